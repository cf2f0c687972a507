// tarnelctl export NAME: the facade's export_vdisk, mounting the disk to
// this host.
#include "cluster_access.h"
#include "commands.h"
#include "exit_codes.h"
#include "rkmx_utils.h"

namespace tarnelctl {

int run_export(const Invocation& inv, const Output& out) {
  ClusterAccess access;
  if (const int code = open_cluster_access(inv, out, access); code != kExitDone) return code;
  if (access.admin->export_vdisk(inv.argument) != 0) {
    return out.fail(kExitFailed, "could not export virtual disk '" + inv.argument + "' on cluster '" +
                                     access.cluster + "'; " + see_log());
  }
  out.exported(inv.argument, rkmx_utils::get_hostname());
  return kExitDone;
}

}  // namespace tarnelctl
