// tarnelctl login: one session acquisition through the facade (up to five
// attempts), showing the identifier the cluster handed out.
#include "cluster_access.h"
#include "commands.h"
#include "exit_codes.h"

namespace tarnelctl {

int run_login(const Invocation& inv, const Output& out) {
  ClusterAccess access;
  if (const int code = open_cluster_access(inv, out, access); code != kExitDone) return code;
  std::string session_id;
  if (access.admin->get_tarnel_session(session_id) != 0) {
    return out.fail(kExitFailed, "could not log in to cluster '" + access.cluster + "' as " +
                                     access.user + "; " + see_log());
  }
  out.logged_in(access.user, access.cluster, session_id);
  return kExitDone;
}

}  // namespace tarnelctl
