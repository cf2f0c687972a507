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
  LoggedIn session;
  if (const int code = log_in(inv, out, Command::kCapacity, "capacity", session);
      code != kExitDone) {
    return code;
  }
  const CallSteering& steering = *session.steering;
  tarnel_vdisk probe(session.session_id, kCapacityProbeDisk, rkmx_utils::get_hostname());
  tarnel_outcome outcome;
  const std::pair<double, std::string> space = probe.get_cluster_space(steering.options(), outcome);
  outcome.login_attempts = session.login.login_attempts;
  outcome.elapsed += session.login.elapsed;
  if (!outcome.ok()) {
    return steering.fail(out, {Command::kCapacity, "", session.access.user, false}, outcome);
  }
  out.record(outcome);
  return out.capacity(space.first, space.second,
                      rkmx_utils::convert_size_to_gb(space.first, space.second));
}

}  // namespace tarnelctl
