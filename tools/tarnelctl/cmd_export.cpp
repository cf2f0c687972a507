// tarnelctl export NAME: the facade's export_vdisk, mounting the disk to
// this host.
#include "call_steering.h"
#include "cluster_access.h"
#include "commands.h"
#include "exit_codes.h"
#include "rkmx_utils.h"

namespace tarnelctl {

int run_export(const Invocation& inv, Output& out) {
  ClusterAccess access;
  if (const int code = open_cluster_access(inv, out, access); code != kExitDone) return code;
  const CallSteering steering(inv, out, "export");
  tarnel_outcome outcome;
  if (access.admin->export_vdisk(inv.argument, steering.options(), outcome) != 0) {
    // No attempt of the command: the login failed.
    const bool login_phase = outcome.attempts == 0;
    return steering.fail(out, {Command::kExport, inv.argument, access.user, login_phase}, outcome);
  }
  out.record(outcome);
  out.exported(inv.argument, rkmx_utils::get_hostname());
  return kExitDone;
}

}  // namespace tarnelctl
