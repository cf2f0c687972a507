// tarnelctl capacity: log in through the facade, then ask a disk handle made
// from that session for the cluster's total capacity. The two calls report
// as one: the login's outcome when it fails, else the query's.
#include "call_steering.h"
#include "cluster_access.h"
#include "commands.h"
#include "exit_codes.h"
#include "rkmx_utils.h"
#include "tarnel_vdisk.h"

namespace tarnelctl {
namespace {
// The capacity query names no disk, but a handle needs a non-empty name.
const char* const kCapacityProbeDisk = "tarnelctl-capacity-probe";
}  // namespace

int run_capacity(const Invocation& inv, Output& out) {
  ClusterAccess access;
  if (const int code = open_cluster_access(inv, out, access); code != kExitDone) return code;
  const CallSteering steering(inv, out, "capacity");

  std::string session_id;
  tarnel_outcome login;
  if (const int code = log_in(access, steering, out, Command::kCapacity, session_id, login);
      code != kExitDone) {
    return code;
  }
  tarnel_vdisk probe(session_id, kCapacityProbeDisk, rkmx_utils::get_hostname());
  tarnel_outcome outcome;
  const std::pair<double, std::string> space = probe.get_cluster_space(steering.options(), outcome);
  outcome.login_attempts = login.login_attempts;
  outcome.elapsed += login.elapsed;
  if (!outcome.ok()) {
    return steering.fail(out, {Command::kCapacity, "", access.user, false}, outcome);
  }
  out.record(outcome);
  return out.capacity(space.first, space.second,
                      rkmx_utils::convert_size_to_gb(space.first, space.second));
}

}  // namespace tarnelctl
