// tarnelctl login: one session acquisition through the facade. The
// identifier the cluster handed out is a bearer credential while the session
// lasts: shown only with --show-session.
#include "cluster_access.h"
#include "commands.h"
#include "exit_codes.h"

namespace tarnelctl {

int run_login(const Invocation& inv, Output& out) {
  LoggedIn session;
  if (const int code = log_in(inv, out, Command::kLogin, "login", session); code != kExitDone) {
    return code;
  }
  out.record(session.login);
  out.logged_in(session.access.user, session.access.cluster,
                inv.show_session ? &session.session_id : nullptr);
  return kExitDone;
}

}  // namespace tarnelctl
