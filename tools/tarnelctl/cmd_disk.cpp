// tarnelctl create NAME and export NAME: the facade's create_vdisk (a login,
// then attempts that each read the capacity and ask for the disk) and
// export_vdisk (mounting the disk to this host).
#include "call_steering.h"
#include "cluster_access.h"
#include "commands.h"
#include "exit_codes.h"
#include "rkmx_utils.h"

namespace tarnelctl {
namespace {

using DiskOperation = int (tarnel_admin::*)(std::string, const tarnel_call_options&,
                                            tarnel_outcome&);

// Runs `operation` on the disk NAME; 0 with `outcome` filled, or the failure
// reported through `out` and its exit code.
int run_disk_operation(const Invocation& inv, Output& out, Command command, const char* label,
                       DiskOperation operation, tarnel_outcome& outcome) {
  ClusterAccess access;
  if (const int code = open_cluster_access(inv, out, access); code != kExitDone) return code;
  const CallSteering steering(inv, out, label);
  if (((*access.admin).*operation)(inv.argument, steering.options(), outcome) != 0) {
    // No attempt of the command: the login failed.
    const bool login_phase = outcome.attempts == 0;
    return steering.fail(out, {command, inv.argument, access.user, login_phase}, outcome);
  }
  return kExitDone;
}

}  // namespace

int run_create(const Invocation& inv, Output& out) {
  tarnel_outcome outcome;
  const int code = run_disk_operation(inv, out, Command::kCreate, "create",
                                      &tarnel_admin::create_vdisk, outcome);
  if (code != kExitDone) return code;
  out.record(outcome, true);
  out.created(inv.argument);
  return kExitDone;
}

int run_export(const Invocation& inv, Output& out) {
  tarnel_outcome outcome;
  const int code = run_disk_operation(inv, out, Command::kExport, "export",
                                      &tarnel_admin::export_vdisk, outcome);
  if (code != kExitDone) return code;
  out.record(outcome);
  out.exported(inv.argument, rkmx_utils::get_hostname());
  return kExitDone;
}

}  // namespace tarnelctl
