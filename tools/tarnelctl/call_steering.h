// How tarnelctl steers the library's calls (tarnel_call.h) and reports how
// they ended.
//
// A CallSteering is made by a command right before its first call, after any
// password prompt (the prompt has signal handlers of its own, secret.cpp).
// It holds the cancellation token and, for its lifetime, handlers of SIGINT
// and SIGTERM that cancel it: the call unwinds (pauses end, a request in
// flight is cut, the drive helper is killed) and the command exits with
// 128 + the signal's number. A signal ignored on entry stays ignored; after
// the first signal the default action is back, so a second Ctrl-C ends
// tarnelctl at once. One CallSteering at a time.
//
// options() gives the call options of the command line: the responsive
// policy unless --designed-retries, --retries attempts per loop, what is
// left of --timeout as the deadline, the token, and an observer that prints
// a line on stderr (not with --json or --quiet) for a failed attempt that
// another follows, or a pause, or whose line says why none follows:
//   create attempt 2/5: HTTP 503 InjectedFault: retrying in 10 s
// A refusal that ends the call at once, or the last attempt, is told by the
// final message alone.
#pragma once

#include <chrono>
#include <string>

#include "RkCancel.h"
#include "options.h"
#include "output.h"
#include "tarnel_call.h"

namespace tarnelctl {

// What a failed call was about, for its message.
struct CallSubject {
  Command command = Command::kCapacity;
  std::string disk;          // create, export: the disk's name
  std::string user;          // the user the library logs in as
  bool login_phase = false;  // the call ended while logging in
};

class CallSteering {
 public:
  // `label` names the command loop in attempt lines ("create", "capacity").
  CallSteering(const Invocation& inv, const Output& out, std::string label);
  ~CallSteering();
  CallSteering(const CallSteering&) = delete;
  CallSteering& operator=(const CallSteering&) = delete;

  // The options of the next call; its deadline is what is left of --timeout.
  tarnel_call_options options() const;

  // Reports the failed call through `out` (its outcome included) and returns
  // the exit code its reason gives (exit_codes.h).
  int fail(Output& out, const CallSubject& subject, const tarnel_outcome& outcome) const;
  // What fail() reports: the message that names the cause, and the exit code.
  std::string explain(const CallSubject& subject, const tarnel_outcome& outcome) const;
  int exit_code(const tarnel_outcome& outcome) const;

 private:
  bool deadline_reached(const tarnel_outcome& outcome) const;

  RkCancelToken token_;
  const Invocation& inv_;
  const Output& out_;
  const std::string label_;
  const std::chrono::steady_clock::time_point start_;
};

// The line for a failed attempt, without a line end (escaped when printed);
// empty when no attempt or pause follows and the line would not say why.
std::string attempt_line(const std::string& label, const tarnel_attempt& attempt);

}  // namespace tarnelctl
