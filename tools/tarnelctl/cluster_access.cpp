#include "cluster_access.h"

#include "call_steering.h"
#include "config_check.h"
#include "exit_codes.h"
#include "rkmx_utils.h"
#include "secret.h"

namespace tarnelctl {

std::string see_log() { return "see " + log_file_path(); }

int open_cluster_access(const Invocation& inv, const Output& out, ClusterAccess& access) {
  const bool node_credentials = inv.user.empty();
  const std::vector<ConfigProblem> problems = check_configuration(node_credentials);
  if (!problems.empty()) return out.not_configured(problems);
  rkmx_utils::get_tarnel_cluster(access.cluster);

  if (node_credentials) {
    access.user = tarnel_node_user_name();
    access.admin = std::make_unique<tarnel_admin>();
    return kExitDone;
  }
  SecretRead password = user_password(inv.user, inv.password_file);
  if (!password.ok) return out.fail(kExitUsage, password.error);
  access.user = inv.user;
  access.admin = std::make_unique<tarnel_admin>(inv.user, password.value.str());
  return kExitDone;
}

int log_in(const ClusterAccess& access, const CallSteering& steering, Output& out,
           Command command, std::string& session_id, tarnel_outcome& outcome) {
  if (access.admin->get_tarnel_session(session_id, steering.options(), outcome) == 0) {
    return kExitDone;
  }
  return steering.fail(out, {command, "", access.user, true}, outcome);
}

}  // namespace tarnelctl
