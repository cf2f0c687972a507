// tarnelctl drives: the facade runs the node's drive helper and parses its
// output. No cluster access, so no configuration is needed.
#include "RkException.h"
#include "cluster_access.h"
#include "commands.h"
#include "exit_codes.h"

namespace tarnelctl {

int run_drives(const Invocation& /*inv*/, const Output& out) {
  tarnel_admin admin;
  std::vector<_tarnel_data_drive> drives;
  try {
    if (admin.enumerate_data_drives(drives) != 0) {
      return out.fail(kExitFailed, "the drive helper printed a malformed line; " + see_log());
    }
  } catch (const RkException& e) {
    return out.fail(kExitFailed,
                    "the drive helper failed: " + std::string(e.what()) + "; " + see_log());
  }
  out.drives(drives);
  return kExitDone;
}

}  // namespace tarnelctl
