#include "call_steering.h"

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cmath>

#include "cluster_access.h"
#include "exit_codes.h"
#include "rkmx_utils.h"

namespace tarnelctl {
namespace {

// ---- cancellation by signal ----

constexpr int kCancelSignals[] = {SIGINT, SIGTERM};
constexpr std::size_t kSignalCount = sizeof kCancelSignals / sizeof kCancelSignals[0];

std::atomic<RkCancelToken*> g_token{nullptr};
volatile sig_atomic_t g_signal = 0;
struct sigaction g_previous[kSignalCount] {};
bool g_installed[kSignalCount] = {};

static_assert(std::atomic<RkCancelToken*>::is_always_lock_free,
              "the signal handler reads the token without a lock");

extern "C" void cancel_call(int signal_number) {
  if (g_signal == 0) g_signal = signal_number;
  // A second signal gets the default action: the process ends at once.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigaction(signal_number, &fallback, nullptr);
  RkCancelToken* token = g_token.load();
  if (token != nullptr) token->cancel();  // async-signal-safe, keeps errno
}

const char* signal_name(int signal_number) {
  return signal_number == SIGTERM ? "SIGTERM" : "SIGINT (Ctrl-C)";
}

// ---- words ----

std::string quoted(const std::string& text) { return "'" + text + "'"; }

// A helper's error output (control characters escaped by the library)
// without the line end it closes with.
std::string trimmed(std::string text) {
  for (;;) {
    const std::size_t n = text.size();
    if (n >= 2 && text[n - 2] == '\\' && (text[n - 1] == 'n' || text[n - 1] == 'r')) {
      text.resize(n - 2);
    } else if (n >= 1 && (text[n - 1] == ' ' || text[n - 1] == '\t')) {
      text.resize(n - 1);
    } else {
      return text;
    }
  }
}

// "5 s", "0.5 s"
std::string seconds_text(double seconds) { return plain_number(seconds) + " s"; }

// "HTTP 409 DuplicateVirtualDisk", with ": message" when asked for.
std::string status_text(const tarnel_outcome& o, bool with_message) {
  std::string text = "HTTP " + std::to_string(o.http_status);
  if (!o.cluster_error.empty()) text += " " + o.cluster_error;
  if (with_message && !o.cluster_message.empty()) text += ": " + o.cluster_message;
  return text;
}

// What went wrong in one attempt, in a few words.
std::string attempt_cause(const tarnel_outcome& o) {
  switch (o.reason) {
    case tarnel_reason::bad_reply:
      return "malformed reply (" + o.detail + ")";
    case tarnel_reason::not_confirmed:
      return "not confirmed (" + o.detail + ")";
    case tarnel_reason::helper_failed:
      return "the drive helper failed: " + trimmed(o.detail);
    case tarnel_reason::cancelled:
      return "cancelled";
    case tarnel_reason::not_ready:
      return "not ready (" + o.detail + ")";
    default:
      break;
  }
  if (!o.transport_error.empty()) return o.transport_error;
  if (o.http_status != 0) return status_text(o, false);
  return o.detail.empty() ? tarnel_reason_word(o.reason) : o.detail;
}

// A setting the library found missing, as a person knows it.
std::string setting_text(const std::string& setting) {
  if (setting == "sTarnelCluster") {
    return "the cluster name (sTarnelCluster; set it with 'tarnelctl keystore set-cluster NAME')";
  }
  if (setting == "sTarnelCID") {
    return "a stored cluster password that decrypts (sTarnelCID; store it with 'tarnelctl "
           "keystore set-password')";
  }
  if (setting == "sTarnelSerial") {
    return "the serial number (sTarnelSerial; set it with 'tarnelctl keystore set-serial SERIAL')";
  }
  if (setting == "credentials") return "a user name and password";
  return setting.empty() ? "a setting it read when it started" : setting;
}

// What the failed call was to do: "create 'vd1'", "log in as TarnelAdmin".
std::string action_text(const CallSubject& s) {
  if (s.login_phase) return "log in as " + s.user;
  switch (s.command) {
    case Command::kCreate:
      return "create " + quoted(s.disk);
    case Command::kExport:
      return "export " + quoted(s.disk);
    case Command::kCapacity:
      return "report its capacity";
    default:
      return "log in as " + s.user;
  }
}

std::string cluster_address() { return rkmx_utils::get_hostname() + ":8080"; }

}  // namespace

int exit_code_for(tarnel_reason reason, int signal_number) {
  switch (reason) {
    case tarnel_reason::ok:
      return kExitDone;
    case tarnel_reason::not_ready:
      return kExitNotConfigured;
    case tarnel_reason::login_refused:
      return kExitLoginRefused;
    case tarnel_reason::unreachable:
    case tarnel_reason::timed_out:
      return kExitUnreachable;
    case tarnel_reason::refused:
    case tarnel_reason::session_refused:
      return kExitRefused;
    case tarnel_reason::may_exist:
      return kExitMayExist;
    case tarnel_reason::cancelled:
      return kExitSignalBase + (signal_number > 0 ? signal_number : SIGINT);
    case tarnel_reason::cluster_error:
    case tarnel_reason::bad_reply:
    case tarnel_reason::not_confirmed:
    case tarnel_reason::helper_failed:
      break;
  }
  return kExitFailed;
}

std::string attempt_line(const std::string& label, const tarnel_attempt& a) {
  const double pause = static_cast<double>(a.pause.count()) / 1000.0;
  std::string next;
  if (a.pause.count() > 0 && a.number < a.limit) {
    next = "retrying in " + seconds_text(pause);
  } else if (a.pause.count() > 0) {
    next = "waiting " + seconds_text(pause) + " before giving up";
  } else if (a.outcome.reason == tarnel_reason::timed_out && !a.outcome.detail.empty()) {
    next = "no time left for a retry";
  } else {
    return "";  // the call ends here, and its final message tells why
  }
  const std::string loop = a.loop == tarnel_loop::login ? "login" : label;
  return loop + " attempt " + std::to_string(a.number) + "/" + std::to_string(a.limit) + ": " +
         attempt_cause(a.outcome) + ": " + next;
}

CallSteering::CallSteering(const Invocation& inv, const Output& out, std::string label)
    : inv_(inv), out_(out), label_(std::move(label)), start_(std::chrono::steady_clock::now()) {
  g_signal = 0;
  g_token.store(&token_);
  struct sigaction action {};
  action.sa_handler = cancel_call;
  action.sa_flags = SA_RESTART;  // the token wakes the waits that matter
  sigfillset(&action.sa_mask);
  for (std::size_t i = 0; i < kSignalCount; ++i) {
    // A signal ignored on entry (nohup) stays ignored.
    sigaction(kCancelSignals[i], nullptr, &g_previous[i]);
    g_installed[i] =
        g_previous[i].sa_handler != SIG_IGN && sigaction(kCancelSignals[i], &action, nullptr) == 0;
  }
}

CallSteering::~CallSteering() {
  for (std::size_t i = 0; i < kSignalCount; ++i) {
    if (g_installed[i]) sigaction(kCancelSignals[i], &g_previous[i], nullptr);
    g_installed[i] = false;
  }
  g_token.store(nullptr);
}

tarnel_call_options CallSteering::options() const {
  tarnel_call_options options;
  options.policy =
      inv_.designed_retries ? tarnel_retry_policy::designed : tarnel_retry_policy::responsive;
  options.attempts = inv_.retries;
  if (inv_.timeout_seconds > 0) {
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start_);
    const auto total = std::chrono::milliseconds(std::llround(inv_.timeout_seconds * 1000));
    // 0 would mean no deadline: a call made once it passed gets 1 ms.
    options.deadline = std::max(total - spent, std::chrono::milliseconds(1));
  }
  options.cancel = &token_;
  options.observer = [this](const tarnel_attempt& attempt) {
    // The final message tells of a cancel.
    const std::string line = attempt_line(label_, attempt);
    if (attempt.outcome.reason != tarnel_reason::cancelled && !line.empty()) out_.progress(line);
  };
  return options;
}

bool CallSteering::deadline_reached(const tarnel_outcome& o) const {
  if (inv_.timeout_seconds <= 0 || o.reason != tarnel_reason::timed_out) return false;
  // The library ends a call before a pause that would pass the deadline
  // (and says so in the detail), or cuts the request in flight at it.
  const double spent =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  return !o.detail.empty() || spent + 0.05 >= inv_.timeout_seconds;
}

std::string CallSteering::explain(const CallSubject& s, const tarnel_outcome& o) const {
  const bool drives = s.command == Command::kDrives;
  const std::string action = action_text(s);
  switch (o.reason) {
    case tarnel_reason::ok:
      break;
    case tarnel_reason::not_ready:
      return "not configured: the library lacks " + setting_text(o.missing_setting);
    case tarnel_reason::login_refused:
      return "the cluster refused the login for user " + s.user + " (" + status_text(o, false) +
             ")";
    case tarnel_reason::session_refused:
      return "the cluster refused the session to " + action + " (" + status_text(o, false) + ")";
    case tarnel_reason::unreachable:
      return "cannot reach the cluster at " + cluster_address() + ": " +
             (o.transport_error.empty() ? std::string("no reply") : o.transport_error);
    case tarnel_reason::timed_out:
      if (deadline_reached(o)) {
        return "timed out: no result within --timeout " + seconds_text(inv_.timeout_seconds) +
               (o.attempts + o.login_attempts > 0 ? " (last attempt: " + attempt_cause(o) + ")"
                                                  : "");
      }
      if (drives) return "timed out: the drive helper ran out of time; " + see_log();
      return "timed out: the cluster at " + cluster_address() + " did not answer in time";
    case tarnel_reason::refused:
      // A refusal comes from a disk request: a refused login is login_refused.
      if (s.command == Command::kCreate && o.http_status == 409) {
        return "virtual disk " + quoted(s.disk) + " already exists (" + status_text(o, false) + ")";
      }
      if (s.command == Command::kExport && o.http_status == 404) {
        return "virtual disk " + quoted(s.disk) + " is unknown to the cluster (" +
               status_text(o, false) + ")";
      }
      return "the cluster refused to " + action + " (" + status_text(o, true) + ")";
    case tarnel_reason::cluster_error: {
      const int attempts = s.login_phase ? o.login_attempts : o.attempts;
      return "the cluster could not " + action + " after " + std::to_string(attempts) +
             (attempts == 1 ? " attempt (" : " attempts (") + status_text(o, true) + "); " +
             see_log();
    }
    case tarnel_reason::bad_reply:
      return (drives ? "the drive helper printed a malformed line ("
                     : "malformed reply from the cluster (") +
             o.detail + "); " + see_log();
    case tarnel_reason::not_confirmed:
      return "the cluster did not confirm that it could " + action + " (" + o.detail + "); " +
             see_log();
    case tarnel_reason::may_exist:
      return "the cluster may have created " + quoted(s.disk) +
             ": an earlier attempt's reply was lost and a retry found it existing";
    case tarnel_reason::helper_failed:
      return "the drive helper failed: " + trimmed(o.detail) + "; " + see_log();
    case tarnel_reason::cancelled:
      return "interrupted by " + std::string(signal_name(g_signal));
  }
  return "failed (" + std::string(tarnel_reason_word(o.reason)) + ")";
}

int CallSteering::exit_code(const tarnel_outcome& outcome) const {
  return exit_code_for(outcome.reason, g_signal);
}

int CallSteering::fail(Output& out, const CallSubject& subject,
                       const tarnel_outcome& outcome) const {
  out.record(outcome, subject.command == Command::kCreate);
  return out.fail(exit_code(outcome), explain(subject, outcome));
}

}  // namespace tarnelctl
