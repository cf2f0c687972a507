// tarnelctl login: one session acquisition through the facade, showing the
// identifier the cluster handed out.
#include "call_steering.h"
#include "cluster_access.h"
#include "commands.h"
#include "exit_codes.h"

namespace tarnelctl {

int run_login(const Invocation& inv, Output& out) {
  ClusterAccess access;
  if (const int code = open_cluster_access(inv, out, access); code != kExitDone) return code;
  const CallSteering steering(inv, out, "login");
  std::string session_id;
  tarnel_outcome outcome;
  if (const int code = log_in(access, steering, out, Command::kLogin, session_id, outcome);
      code != kExitDone) {
    return code;
  }
  out.record(outcome);
  out.logged_in(access.user, access.cluster, session_id);
  return kExitDone;
}

}  // namespace tarnelctl
