#include "cluster_access.h"

#include "config_check.h"
#include "exit_codes.h"
#include "rkmx_utils.h"
#include "secret.h"
#include "tarnel_vdisk.h"

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
  if (!password.warning.empty() && !inv.quiet) out.warn(password.warning);
  if (!password.ok) return out.fail(kExitUsage, password.error);
  access.user = inv.user;
  access.admin = std::make_unique<tarnel_admin>(inv.user, password.value.str());
  return kExitDone;
}

std::pair<double, std::string> cluster_capacity(const std::string& session_id,
                                                const tarnel_call_options& options,
                                                tarnel_outcome& outcome) {
  tarnel_vdisk probe(session_id, "tarnelctl-capacity-probe", rkmx_utils::get_hostname());
  return probe.get_cluster_space(options, outcome);
}

int log_in(const Invocation& inv, Output& out, Command command, const char* label,
           LoggedIn& session) {
  if (const int code = open_cluster_access(inv, out, session.access); code != kExitDone) {
    return code;
  }
  session.steering = std::make_unique<CallSteering>(inv, out, label);
  const tarnel_call_options options = session.steering->options();
  if (session.access.admin->get_tarnel_session(session.session_id, options, session.login) == 0) {
    return kExitDone;
  }
  return session.steering->fail(out, {command, "", session.access.user, true}, session.login);
}

}  // namespace tarnelctl
