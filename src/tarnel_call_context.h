// The call engine: every operation of the library, designed or steered, runs
// as one call of it. A call has a preset, a retry policy and an outcome.
//
// The preset tells a designed operation from a steered call (tarnel_call.h);
// the two are defined in one place, tarnel_call_context.cpp, and operations
// never ask which one they run under:
//   - designed: failures give the designed results, a reply member of the
//     wrong type throws json_spirit's type error, a failing drive helper
//     RkException; pauses go to ZUSLEEP_InTeRnAl naming the call site; the
//     host services are asked nothing beyond their original members; the
//     outcome is the call's own and nobody reads it;
//   - steered: nothing is thrown, every failure is recorded in the caller's
//     outcome; pauses go to ZUSLEEP_Cancellable; the client and the drive
//     helper's runner get the token and the time left.
// A call belongs to one thread.
#pragma once

#include <chrono>
#include <exception>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "RKLibCurl.h"
#include "RkException.h"
#include "exchange_reason.h"
#include "outcome_recorder.h"
#include "retry_policy.h"

// A place in the library's sources, which the designed pause names.
struct call_site {
  const char* file;
  int line;
};
#define TARNEL_CALL_SITE (call_site{__FILE__, __LINE__})

// What differs between a designed operation and a steered call.
struct call_preset {
  // Failures are recorded and nothing is thrown; otherwise the designed
  // results and exceptions stand.
  bool records_failures;
  // The pause between attempts; non-zero when `token` cut it short.
  int (*pause)(int milliseconds, const RkCancelToken* token, const char* file, int line);
  // The host services' additions are used: the client's token, time limit
  // and transport result, the runner with a token, the sleep scale.
  bool uses_host_additions;
};

// The password of a call that sends no login: none.
const std::string& no_password();

class tarnel_call_context {
 public:
  // A steered call under `options`, filling `outcome`. `password` is the
  // login password the call may send (it outlives the call): no text of
  // the outcome holds it.
  tarnel_call_context(const tarnel_call_options& options, tarnel_outcome& outcome,
                      const std::string& password);
  // A designed operation.
  explicit tarnel_call_context(const std::string& password);
  tarnel_call_context(const tarnel_call_context&) = delete;
  tarnel_call_context& operator=(const tarnel_call_context&) = delete;

  tarnel_outcome& outcome() const { return recorder_.outcome(); }

  // Runs the whole call and ends the outcome; `body` returns the call's
  // status (0: done), which run returns. An exception leaves a designed
  // operation as it came; a steered call records it (RkException:
  // helper_failed; any other: bad_reply) and returns -1.
  template <typename Body>
  int run(Body&& body);

  // The one retry loop: the attempts of `loop`, `attempt(number)` making one
  // and telling whether it succeeded. After a failed attempt the observer
  // is told, the pause taken (the designed pause names `site`) and the
  // policy decides whether another follows. False when none succeeded.
  bool retry(tarnel_loop loop, const call_site& site, const std::function<bool(int)>& attempt);
  // An attempt begins: false when the call must end first (recorded).
  bool begin_attempt(tarnel_loop loop, int number);
  // The command loop holds credentials: a disk request's 401 can be mended
  // by a new login, as the policy says; take_login_again tells (once) that
  // the coming attempt must log in first.
  void allow_login_again() { can_login_again_ = true; }
  bool take_login_again() { return std::exchange(login_again_, false); }

  // Before an exchange: false when none may start (recorded).
  bool may_send();
  // Hands the client the call's token and time left for the coming request.
  void steer(RKLibCurl& client) const;
  // Records how an exchange of `kind` ended: the status and transport result
  // and, after a failed send, the refusal's body (may be null) and reason.
  void record_exchange(const RKLibCurl& client, tarnel_exchange_kind kind, bool carried_out,
                       const char* body, unsigned long length);

  // Runs the drive helper's `command`, bounded by the time left.
  int run_helper(const std::string& command, std::string& output, std::string& error_output);
  // The helper ended with the runner's `status` (not 0): designed, throws
  // `designed_error`; steered, records the cause.
  void helper_failed(int status, const std::string& error_output,
                     const RkException& designed_error);

  // A reply member is not of the type read (`detail` says so): true when it
  // is read anyway, by the accessor that throws (designed); false after
  // recording bad_reply (steered).
  bool wrong_member(const std::string& detail);
  void bad_reply(std::string detail) { fail(tarnel_reason::bad_reply, std::move(detail)); }
  void fail(tarnel_reason reason, std::string detail) { recorder_.fail(reason, std::move(detail)); }
  std::string quote(const std::string& text) const { return recorder_.quote(text); }
  // A facade that is not ready ends the call: steered, with the settings
  // `missing` names (read anew; the first into missing_setting); designed,
  // asking nothing.
  void not_ready(const std::function<std::vector<std::string>()>& missing);

 private:
  tarnel_call_context(const call_preset& preset, const tarnel_call_options& options,
                      tarnel_outcome& outcome, const std::string& password);
  // Milliseconds left before the deadline: -1 without one, 0 once passed.
  long remaining_ms() const;
  // After failed attempt `number`: pauses; true when another attempt follows.
  bool after_failure(tarnel_loop loop, int number, const call_site& site);
  void record_exception(const std::exception_ptr& error);

  const call_preset& preset_;
  const tarnel_call_options& options_;
  const retry_policy policy_;
  tarnel_outcome own_outcome_;  // a designed operation's
  outcome_recorder recorder_;
  const std::chrono::steady_clock::time_point start_;
  const double pause_scale_;  // what the host's sleep puts on a pause
  bool can_login_again_ = false;
  bool login_again_ = false;
  bool create_lost_ = false;  // an AddVirtualDisk of this call lost its reply
};

template <typename Body>
int tarnel_call_context::run(Body&& body) {
  int status = -1;
  try {
    status = body();
  } catch (...) {
    if (!preset_.records_failures) throw;
    record_exception(std::current_exception());
  }
  recorder_.finish(status == 0, start_);
  return status;
}
