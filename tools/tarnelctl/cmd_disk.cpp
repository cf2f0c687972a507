// tarnelctl create NAME and export NAME: the facade's create_vdisk (a login,
// then attempts that each read the capacity and ask for the disk) and
// export_vdisk (mounting the disk to this host).
//
// create --exist-ok takes a disk that already exists as the goal reached:
// the AddVirtualDisk request refused with 409, or a may_exist outcome (a
// lost reply, then 409), which may mean that this command made it. A 409
// during the login is no such answer. export cannot tell whether the disk
// was exported already (the cluster answers a repeated Mount as the
// first), so it never reports a change.
#include "call_steering.h"
#include "cluster_access.h"
#include "commands.h"
#include "exit_codes.h"
#include "rkmx_utils.h"

namespace tarnelctl {
namespace {

using DiskOperation = int (tarnel_admin::*)(std::string, const tarnel_call_options&,
                                            tarnel_outcome&);

// Runs `operation` on the disk NAME; 0 with `outcome` filled when it
// succeeded or `accept` (when given) takes its failure, or the failure
// reported through `out` and its exit code.
int run_disk_operation(const Invocation& inv, Output& out, Command command, const char* label,
                       DiskOperation operation, tarnel_outcome& outcome,
                       bool (*accept)(const tarnel_outcome&) = nullptr) {
  ClusterAccess access;
  if (const int code = open_cluster_access(inv, out, access); code != kExitDone) return code;
  const CallSteering steering(inv, out, label);
  if (((*access.admin).*operation)(inv.argument, steering.options(), outcome) == 0 ||
      (accept != nullptr && accept(outcome))) {
    return kExitDone;
  }
  // No attempt of the command: the login failed.
  const bool login_phase = outcome.attempts == 0;
  return steering.fail(out, {command, inv.argument, access.user, login_phase}, outcome);
}

// The cluster has the disk: the create request itself (a size was asked
// for, past the login) was refused with 409, or a retry met the disk an
// attempt whose reply was lost may have made.
bool disk_exists(const tarnel_outcome& o) {
  const bool conflict = o.reason == tarnel_reason::refused && o.http_status == 409 &&
                        o.attempts > 0 && !o.size_requested.empty();
  return conflict || o.reason == tarnel_reason::may_exist;
}

}  // namespace

int run_create(const Invocation& inv, Output& out) {
  tarnel_outcome outcome;
  const int code =
      run_disk_operation(inv, out, Command::kCreate, "create", &tarnel_admin::create_vdisk, outcome,
                         inv.exist_ok ? disk_exists : nullptr);
  if (code != kExitDone) return code;
  out.record(outcome, true);
  if (outcome.ok()) {
    out.created(inv.argument);
  } else {
    out.found_existing(inv.argument, outcome.reason == tarnel_reason::may_exist);
  }
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
