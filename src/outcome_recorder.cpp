#include "outcome_recorder.h"

#include <iterator>
#include <utility>

#include "RkJson.h"
#include "request_text.h"

namespace {

constexpr size_t kExcerptBytes = 200;
constexpr size_t kShortestMaskedPassword = 4;  // as request_text.h masks
const char kWithheld[] = "(withheld: the login password is too short to be masked)";

const std::string* string_field(const json_spirit::mObject& fields, const char* key) {
  const auto member = fields.find(key);
  return member != fields.end() && member->second.type() == json_spirit::str_type
             ? &member->second.get_str()
             : nullptr;
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
  return index < std::size(kWords) ? kWords[index] : "unknown";
}

outcome_recorder::outcome_recorder(tarnel_outcome& outcome, const std::string& password)
    : outcome_(outcome), password_(password) {}

void outcome_recorder::fail(tarnel_reason reason, std::string detail) {
  outcome_.reason = reason;
  outcome_.detail = std::move(detail);
}

void outcome_recorder::finish(bool succeeded, std::chrono::steady_clock::time_point start) {
  if (succeeded) {
    fail(tarnel_reason::ok, std::string());
  } else if (outcome_.reason == tarnel_reason::ok) {
    fail(tarnel_reason::bad_reply, "the call failed without a recorded cause");
  }
  outcome_.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
}

std::string outcome_recorder::quote(const std::string& text) const {
  if (text.empty()) return text;
  if (!password_.empty() && password_.size() < kShortestMaskedPassword) return kWithheld;
  return tarnel_request::printable(text, password_, kExcerptBytes);
}

void outcome_recorder::refusal(const char* body, unsigned long length) {
  outcome_.cluster_error.clear();
  outcome_.cluster_message.clear();
  if (body == nullptr || length == 0) return;
  const std::string text(body, length);
  json_spirit::mObject reply;
  if (RkJson::Unserialize(text, reply)) {
    const auto error = reply.find("error");
    if (error != reply.end() && error->second.type() == json_spirit::obj_type) {
      const std::string* code = string_field(error->second.get_obj(), "code");
      const std::string* message = string_field(error->second.get_obj(), "message");
      if (code != nullptr) outcome_.cluster_error = quote(*code);
      if (message != nullptr) outcome_.cluster_message = quote(*message);
      if (code != nullptr || message != nullptr) return;
    }
  }
  outcome_.cluster_message = quote(text);
}
