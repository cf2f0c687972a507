// tarnelctl capacity: log in through the facade, then ask a disk handle made
// from that session for the cluster's total capacity (cluster_capacity). The
// two calls report as one: the login's outcome when it fails, else the
// query's.
#include "call_steering.h"
#include "cluster_access.h"
#include "commands.h"
#include "exit_codes.h"
#include "rkmx_utils.h"

namespace tarnelctl {

int run_capacity(const Invocation& inv, Output& out) {
  LoggedIn session;
  if (const int code = log_in(inv, out, Command::kCapacity, "capacity", session);
      code != kExitDone) {
    return code;
  }
  const CallSteering& steering = *session.steering;
  tarnel_outcome outcome;
  const std::pair<double, std::string> space =
      cluster_capacity(session.session_id, steering.options(), outcome);
  outcome.login_attempts = session.login.login_attempts;
  outcome.elapsed += session.login.elapsed;
  if (!outcome.ok()) {
    return steering.fail(out, {Command::kCapacity, "", session.access.user, false}, outcome);
  }
  out.record(outcome);
  out.capacity(space.first, space.second,
               rkmx_utils::convert_size_to_gb(space.first, space.second));
  return kExitDone;
}

}  // namespace tarnelctl
