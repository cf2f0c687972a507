// tarnelctl drives: the facade runs the node's drive helper and parses its
// output. No cluster access, so no configuration is needed.
#include "call_steering.h"
#include "commands.h"
#include "exit_codes.h"

namespace tarnelctl {

int run_drives(const Invocation& inv, Output& out) {
  tarnel_admin admin;
  const CallSteering steering(inv, out, "drives");
  std::vector<_tarnel_data_drive> drives;
  tarnel_outcome outcome;
  if (admin.enumerate_data_drives(drives, steering.options(), outcome) != 0) {
    return steering.fail(out, {Command::kDrives, "", "", false}, outcome);
  }
  out.record(outcome);
  out.drives(drives);
  return kExitDone;
}

}  // namespace tarnelctl
