// The call API's reasons and the state of a steered call
// (tarnel_call_context.h).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "RkException.h"
#include "RkJson.h"
#include "request_text.h"
#include "rkmx_utils.h"
#include "tarnel_call_context.h"
#include "tarnel_debug.h"

namespace {

constexpr int kDefaultAttempts = 5;
// The designed pauses: 5 s after the first failed attempt, 5 s more after
// each later one.
constexpr long kFirstPauseMs = 5000;
constexpr long kPauseStepMs = 5000;
// The process runner's results for a run it timed out and one it cancelled.
constexpr int kHelperTimedOut = -2;
constexpr int kHelperCancelled = -3;
// Longest excerpt of a reply body kept in an outcome.
constexpr size_t kExcerptBytes = 200;

bool retried_status(long status) {
  switch (status) {
    case 408:
    case 429:
    case 500:
    case 502:
    case 503:
    case 504:
      return true;
    default:
      return false;
  }
}

const char* type_name(json_spirit::Value_type type) {
  switch (type) {
    case json_spirit::obj_type:
      return "an object";
    case json_spirit::array_type:
      return "an array";
    case json_spirit::str_type:
      return "a string";
    case json_spirit::bool_type:
      return "a boolean";
    case json_spirit::int_type:
      return "an integer";
    case json_spirit::real_type:
      return "a number";
    case json_spirit::null_type:
      return "null";
  }
  return "a value";
}

void wrong_type(tarnel_call_context& call, const json_spirit::mValue& value, const char* path,
                const char* wanted) {
  call.bad_reply(std::string("member ") + path + " is " + type_name(value.type()) + ", not " +
                 wanted);
}

}  // namespace

const char* tarnel_reason_word(tarnel_reason reason) {
  // In the order of tarnel_reason.
  static const char* const kWords[] = {
      "ok",        "not_ready",     "login_refused", "session_refused", "unreachable",
      "timed_out", "refused",       "cluster_error", "bad_reply",       "not_confirmed",
      "may_exist", "helper_failed", "cancelled",
  };
  const auto index = static_cast<size_t>(reason);
  return index < sizeof kWords / sizeof kWords[0] ? kWords[index] : "unknown";
}

tarnel_call_context::tarnel_call_context(const tarnel_call_options& options,
                                         tarnel_outcome& outcome, std::string password)
    : options_(options),
      outcome_(outcome),
      password_(std::move(password)),
      start_(std::chrono::steady_clock::now()),
      limit_(options.attempts > 0 ? options.attempts : kDefaultAttempts) {
  outcome_ = tarnel_outcome();
}

long tarnel_call_context::remaining_ms() const {
  if (options_.deadline.count() <= 0) return -1;
  const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start_);
  const long left = static_cast<long>((options_.deadline - spent).count());
  return left > 0 ? left : 0;
}

void tarnel_call_context::run(const std::function<void()>& body) {
  try {
    body();
  } catch (const RkException& e) {
    fail(tarnel_reason::helper_failed,
         tarnel_request::printable(e.what(), password_, kExcerptBytes));
  } catch (const std::exception& e) {
    bad_reply(tarnel_request::printable(e.what(), password_, kExcerptBytes));
  } catch (...) {
    bad_reply("unexpected exception");
  }
}

void tarnel_call_context::finish(bool succeeded) {
  if (succeeded) {
    outcome_.reason = tarnel_reason::ok;
    outcome_.detail.clear();
  } else if (outcome_.reason == tarnel_reason::ok) {
    bad_reply("the call failed without a recorded cause");
  }
  outcome_.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start_);
}

bool tarnel_call_context::may_send() {
  if (options_.cancel != nullptr && options_.cancel->cancelled()) {
    fail(tarnel_reason::cancelled, std::string());
    return false;
  }
  if (remaining_ms() == 0) {
    fail(tarnel_reason::timed_out, "the call's deadline passed");
    return false;
  }
  return true;
}

bool tarnel_call_context::begin_attempt(tarnel_loop loop, int number) {
  if (!may_send()) return false;
  if (loop == tarnel_loop::command) outcome_.attempts = number;
  // The outcome tells about the latest attempt.
  outcome_.reason = tarnel_reason::ok;
  outcome_.detail.clear();
  return true;
}

bool tarnel_call_context::retried(tarnel_reason reason) const {
  if (options_.policy == tarnel_retry_policy::designed) return true;
  switch (reason) {
    case tarnel_reason::unreachable:
    case tarnel_reason::cluster_error:
      return true;
    case tarnel_reason::timed_out:
      return remaining_ms() != 0;  // the call's own deadline is final
    case tarnel_reason::session_refused:
      return can_relogin_;  // after a new login
    default:
      return false;
  }
}

std::chrono::milliseconds tarnel_call_context::pause_after(int number) const {
  if (!options_.pauses.empty()) {
    const size_t index = std::min(static_cast<size_t>(number), options_.pauses.size()) - 1;
    return options_.pauses[index];
  }
  return std::chrono::milliseconds(kFirstPauseMs + kPauseStepMs * (number - 1));
}

bool tarnel_call_context::after_failure(tarnel_loop loop, int number) {
  const bool designed = options_.policy == tarnel_retry_policy::designed;
  bool another =
      number < limit_ && retried(outcome_.reason) && outcome_.reason != tarnel_reason::cancelled;
  std::chrono::milliseconds pause =
      (another || (designed && outcome_.reason != tarnel_reason::cancelled))
          ? pause_after(number)
          : std::chrono::milliseconds(0);
  const long left = remaining_ms();
  if (left >= 0 && pause.count() >= left) {
    // No pause passes the deadline: the call ends now.
    pause = std::chrono::milliseconds(0);
    if (another) fail(tarnel_reason::timed_out, "the call's deadline passed");
    another = false;
  }
  if (another && !designed && outcome_.reason == tarnel_reason::session_refused && can_relogin_) {
    relogin_ = true;
  }
  if (options_.observer) {
    tarnel_attempt attempt;
    attempt.loop = loop;
    attempt.number = number;
    attempt.limit = limit_;
    attempt.outcome = outcome_;
    attempt.pause = pause;
    try {
      options_.observer(attempt);
    } catch (...) {
      // The observer's failure is not the call's.
    }
  }
  if (pause.count() > 0) {
    const long milliseconds = static_cast<long>(pause.count());
    const int slice = static_cast<int>(std::min<long>(milliseconds, 0x7fffffffL));
    if (ZUSLEEP_Cancellable(slice, options_.cancel, __FILE__, __LINE__) != 0) {
      fail(tarnel_reason::cancelled, std::string());
      return false;
    }
  } else if (options_.cancel != nullptr && options_.cancel->cancelled()) {
    fail(tarnel_reason::cancelled, std::string());
    return false;
  }
  return another;
}

bool tarnel_call_context::take_relogin() { return std::exchange(relogin_, false); }

void tarnel_call_context::steer(RKLibCurl& client) const {
  client.setCancelToken(options_.cancel);
  const long left = remaining_ms();
  if (left > 0) client.setTimeLimit(left);
}

void tarnel_call_context::read_cluster_error(const char* body, unsigned long length) {
  outcome_.cluster_error.clear();
  outcome_.cluster_message.clear();
  if (body == nullptr || length == 0) return;
  const std::string text(body, length);
  json_spirit::mObject reply;
  bool structured = false;
  try {
    if (RkJson::Unserialize(text, reply)) {
      const auto error = reply.find("error");
      if (error != reply.end() && error->second.type() == json_spirit::obj_type) {
        const json_spirit::mObject& fields = error->second.get_obj();
        const auto code = fields.find("code");
        const auto message = fields.find("message");
        if (code != fields.end() && code->second.type() == json_spirit::str_type) {
          outcome_.cluster_error =
              tarnel_request::printable(code->second.get_str(), password_, kExcerptBytes);
          structured = true;
        }
        if (message != fields.end() && message->second.type() == json_spirit::str_type) {
          outcome_.cluster_message =
              tarnel_request::printable(message->second.get_str(), password_, kExcerptBytes);
          structured = true;
        }
      }
    }
  } catch (const std::exception&) {
    structured = false;
  }
  if (!structured)
    outcome_.cluster_message = tarnel_request::printable(text, password_, kExcerptBytes);
}

void tarnel_call_context::record_exchange(const RKLibCurl& reader, bool carried_out,
                                          const char* body, unsigned long length) {
  const tarnel_exchange_kind kind = std::exchange(kind_, tarnel_exchange_kind::query);
  outcome_.http_status = static_cast<long>(reader.GetHttpErrorCode());
  const RkTransportResult transport = reader.GetTransportResult();
  outcome_.transport_error =
      transport == RK_TRANSPORT_DONE ? std::string() : reader.GetTransportText();
  if (kind == tarnel_exchange_kind::login) ++outcome_.login_attempts;
  if (carried_out) {
    // The exchange parses a reply that arrived; only a refusal's body is read here.
    outcome_.cluster_error.clear();
    outcome_.cluster_message.clear();
    return;
  }
  read_cluster_error(body, length);

  const bool lost = reader.GetRequestSent() &&
                    (transport == RK_TRANSPORT_LOST || transport == RK_TRANSPORT_TIMED_OUT ||
                     transport == RK_TRANSPORT_TOO_LARGE);
  if (lost && kind == tarnel_exchange_kind::add_disk) create_reply_lost_ = true;
  switch (transport) {
    case RK_TRANSPORT_DONE:
      break;
    case RK_TRANSPORT_CANCELLED:
      fail(tarnel_reason::cancelled, std::string());
      return;
    case RK_TRANSPORT_TIMED_OUT:
      fail(tarnel_reason::timed_out, std::string());
      return;
    case RK_TRANSPORT_TOO_LARGE:
      bad_reply("the reply was too large");
      return;
    default:
      fail(tarnel_reason::unreachable, std::string());
      return;
  }
  const long status = outcome_.http_status;
  if (kind == tarnel_exchange_kind::login && (status == 401 || status == 403)) {
    fail(tarnel_reason::login_refused, std::string());
  } else if (kind != tarnel_exchange_kind::login && status == 401) {
    fail(tarnel_reason::session_refused, std::string());
  } else if (retried_status(status) || status < 400) {
    fail(tarnel_reason::cluster_error, std::string());
  } else if (status == 409 && kind == tarnel_exchange_kind::add_disk && create_reply_lost_) {
    fail(tarnel_reason::may_exist,
         "an earlier attempt's reply was lost and a retry found the disk existing");
  } else {
    fail(tarnel_reason::refused, std::string());
  }
}

void tarnel_call_context::helper_failed(int status, const std::string& error_output) {
  if (status == kHelperCancelled) {
    fail(tarnel_reason::cancelled, std::string());
  } else if (status == kHelperTimedOut) {
    fail(tarnel_reason::timed_out, "the drive helper ran out of time");
  } else {
    const std::string said = tarnel_request::printable(error_output, password_, kExcerptBytes);
    fail(tarnel_reason::helper_failed,
         said.empty() ? "the drive helper ended with status " + std::to_string(status) : said);
  }
}

void tarnel_call_context::fail(tarnel_reason reason, const std::string& detail) {
  outcome_.reason = reason;
  outcome_.detail = detail;
}

const json_spirit::mObject* object_member(tarnel_call_context* call,
                                          const json_spirit::mValue& value, const char* path) {
  if (call == nullptr) return &value.get_obj();
  if (value.type() == json_spirit::obj_type) return &value.get_obj();
  wrong_type(*call, value, path, "an object");
  return nullptr;
}

const std::string* string_member(tarnel_call_context* call, const json_spirit::mValue& value,
                                 const char* path) {
  if (call == nullptr) return &value.get_str();
  if (value.type() == json_spirit::str_type) return &value.get_str();
  wrong_type(*call, value, path, "a string");
  return nullptr;
}

bool number_member(tarnel_call_context* call, const json_spirit::mValue& value, const char* path,
                   double& number) {
  if (call != nullptr && value.type() != json_spirit::real_type &&
      value.type() != json_spirit::int_type) {
    wrong_type(*call, value, path, "a number");
    return false;
  }
  number = value.get_real();
  return true;
}

void missing_member(tarnel_call_context* call, const char* path) {
  if (call != nullptr) call->bad_reply(std::string("member ") + path + " is missing");
}

const json_spirit::mValue* reply_members::find(const json_spirit::mObject& parent, const char* path,
                                               const char* missing_line) const {
  const char* dot = std::strrchr(path, '.');
  const auto member = parent.find(dot != nullptr ? dot + 1 : path);
  if (member != parent.end()) return &member->second;
    // The designed line is the writer's format, as written at each caller (it
    // holds no '%').
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
  debug.logMessage(tag, -1, missing_line);
#pragma GCC diagnostic pop
  missing_member(call, path);
  return nullptr;
}

const json_spirit::mObject* reply_members::object(const json_spirit::mObject& parent,
                                                  const char* path,
                                                  const char* missing_line) const {
  const json_spirit::mValue* value = find(parent, path, missing_line);
  return value != nullptr ? object_member(call, *value, path) : nullptr;
}
