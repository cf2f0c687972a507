// tarnelctl create NAME: the facade's create_vdisk (a login, then attempts
// that each read the capacity and ask for the disk).
#include "call_steering.h"
#include "cluster_access.h"
#include "commands.h"
#include "exit_codes.h"

namespace tarnelctl {

int run_create(const Invocation& inv, Output& out) {
  ClusterAccess access;
  if (const int code = open_cluster_access(inv, out, access); code != kExitDone) return code;
  const CallSteering steering(inv, out, "create");
  tarnel_outcome outcome;
  if (access.admin->create_vdisk(inv.argument, steering.options(), outcome) != 0) {
    // No attempt of the command: the login failed.
    const bool login_phase = outcome.attempts == 0;
    return steering.fail(out, {Command::kCreate, inv.argument, access.user, login_phase}, outcome);
  }
  out.record(outcome, true);
  out.created(inv.argument);
  return kExitDone;
}

}  // namespace tarnelctl
