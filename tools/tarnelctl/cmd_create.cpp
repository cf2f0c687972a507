// tarnelctl create NAME: the facade's create_vdisk (login and up to five
// attempts with growing pauses).
#include "cluster_access.h"
#include "commands.h"
#include "exit_codes.h"

namespace tarnelctl {

int run_create(const Invocation& inv, const Output& out) {
  ClusterAccess access;
  if (const int code = open_cluster_access(inv, out, access); code != kExitDone) return code;
  if (access.admin->create_vdisk(inv.argument) != 0) {
    return out.fail(kExitFailed, "could not create virtual disk '" + inv.argument + "' on cluster '" +
                                     access.cluster + "'; " + see_log());
  }
  out.created(inv.argument);
  return kExitDone;
}

}  // namespace tarnelctl
