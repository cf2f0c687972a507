#include "fault_injector.h"

#include <charconv>
#include <utility>

namespace tarnel_sim {

namespace {

using json_spirit::mArray;
using json_spirit::mObject;
using json_spirit::mValue;

struct FaultWord {
  FaultKind kind;
  const char* name;
};

constexpr FaultWord kFaultWords[] = {
    {FaultKind::Status, "status"},
    {FaultKind::Malformed, "malformed"},
    {FaultKind::Truncated, "truncated"},
    {FaultKind::WrongTypes, "wrong-types"},
    {FaultKind::Drop, "drop"},
    {FaultKind::Delay, "delay"},
    {FaultKind::ExpireSession, "expire-session"},
    {FaultKind::CommitDrop, "commit-drop"},
};

constexpr unsigned kMaxDelayMs = 3600 * 1000;

bool parse_unsigned(std::string_view text, unsigned& out) {
  const char* end = text.data() + text.size();
  const auto result = std::from_chars(text.data(), end, out);
  return !text.empty() && result.ec == std::errc() && result.ptr == end;
}

bool request_named(std::string_view name, std::optional<RequestType>& out, std::string& error) {
  if (name == "*") {
    out.reset();
    return true;
  }
  out = request_type_named(name);
  if (!out) {
    error = "unknown request type \"" + std::string(name) +
            "\" (Login, ClusterInformation, AddVirtualDisk, Mount or *)";
  }
  return out.has_value();
}

bool kind_named(std::string_view name, FaultKind& out, std::string& error) {
  for (const FaultWord& word : kFaultWords) {
    if (name == word.name) {
      out = word.kind;
      return true;
    }
  }
  error =
      "unknown fault \"" + std::string(name) +
      "\" (status, malformed, truncated, wrong-types, drop, delay, expire-session, commit-drop)";
  return false;
}

bool check_status(unsigned status, std::string& error) {
  if (status >= 400 && status <= 599) return true;
  error = "the status must be between 400 and 599";
  return false;
}

bool check_delay(unsigned delay, std::string& error) {
  if (delay >= 1 && delay <= kMaxDelayMs) return true;
  error = "the delay must be between 1 and " + std::to_string(kMaxDelayMs) + " milliseconds";
  return false;
}

bool check_times(unsigned times, std::string& error) {
  if (times >= 1) return true;
  error = "times must be at least 1";
  return false;
}

// Reads a non-negative integer member, if present.
bool unsigned_member(const mObject& object, const char* key, std::optional<unsigned>& out,
                     std::string& error) {
  const auto found = object.find(key);
  if (found == object.end()) return true;
  if (found->second.type() != json_spirit::int_type || found->second.is_uint64() ||
      found->second.get_int64() < 0 || found->second.get_int64() > 0xffffffffLL) {
    error = std::string("\"") + key + "\" must be a non-negative integer";
    return false;
  }
  out = static_cast<unsigned>(found->second.get_int64());
  return true;
}

std::string param_text(const RequestValue& request, std::string_view key) {
  const RequestValue* params = request.find("params");
  const RequestValue* value = params != nullptr ? params->find(key) : nullptr;
  return value != nullptr && value->is_scalar() ? value->text : std::string();
}

std::string first_target(const RequestValue& request) {
  const RequestValue* params = request.find("params");
  const RequestValue* targets = params != nullptr ? params->find("targets") : nullptr;
  if (targets == nullptr || !targets->is_list() || targets->items.empty()) return std::string();
  return targets->items.front().is_scalar() ? targets->items.front().text : std::string();
}

mObject wrap_result(mValue result) {
  mObject body;
  body["result"] = std::move(result);
  return body;
}

mObject single(const char* key, mValue value) {
  mObject object;
  object[key] = std::move(value);
  return object;
}

// A reply shaped like the request's success reply.
mObject success_shaped(RequestType type, const RequestValue& request) {
  switch (type) {
    case RequestType::Login:
      return wrap_result(single("sessionId", "00000000000000000000000000000000"));
    case RequestType::ClusterInformation: {
      mObject total;
      total["units"] = "TB";
      total["value"] = 1.0;
      return wrap_result(single("capacity", single("total", std::move(total))));
    }
    case RequestType::AddVirtualDisk: {
      mObject record;
      record["name"] = param_text(request, "name");
      record["status"] = "ok";
      return wrap_result(mArray{mValue(std::move(record))});
    }
    case RequestType::Mount: {
      mObject record;
      record["status"] = "ok";
      record["target"] = first_target(request);
      return wrap_result(mArray{mValue(std::move(record))});
    }
  }
  return mObject();
}

// The request's reply members with values of the wrong JSON types.
mObject wrong_types(RequestType type, const RequestValue& request) {
  switch (type) {
    case RequestType::Login:
      return wrap_result(single("sessionId", 12345));
    case RequestType::ClusterInformation: {
      mObject total;
      total["units"] = 1024;
      total["value"] = "12.5";
      return wrap_result(single("capacity", single("total", std::move(total))));
    }
    case RequestType::AddVirtualDisk: {
      mObject record;
      record["name"] = mArray{mValue(param_text(request, "name"))};
      record["status"] = true;
      return wrap_result(mArray{mValue(std::move(record))});
    }
    case RequestType::Mount: {
      mObject record;
      record["status"] = true;
      record["target"] = mArray{mValue(first_target(request))};
      return wrap_result(mArray{mValue(std::move(record))});
    }
  }
  return mObject();
}

}  // namespace

const char* fault_name(FaultKind kind) {
  for (const FaultWord& word : kFaultWords) {
    if (word.kind == kind) return word.name;
  }
  return "";
}

std::optional<FaultRule> parse_fault_rule(std::string_view text, std::string& error) {
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) {
    error = "a fault is REQUEST:FAULT[,times=N][,skip=N], not \"" + std::string(text) + "\"";
    return std::nullopt;
  }
  FaultRule rule;
  if (!request_named(text.substr(0, colon), rule.request, error)) return std::nullopt;

  const std::string_view rest = text.substr(colon + 1);
  std::vector<std::string_view> items;
  for (std::size_t start = 0;;) {
    const std::size_t comma = rest.find(',', start);
    items.push_back(rest.substr(start, comma == std::string_view::npos ? comma : comma - start));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  bool first = true;
  for (const std::string_view item : items) {
    const std::size_t equals = item.find('=');
    const std::string_view name = item.substr(0, equals);
    const std::optional<std::string_view> value =
        equals == std::string_view::npos ? std::nullopt
                                         : std::optional<std::string_view>(item.substr(equals + 1));
    unsigned number = 0;
    if (value && !parse_unsigned(*value, number)) {
      error = "\"" + std::string(item) + "\" needs a whole number after '='";
      return std::nullopt;
    }
    if (first) {
      first = false;
      if (!kind_named(name, rule.kind, error)) return std::nullopt;
      if (rule.kind == FaultKind::Status) {
        if (value && !check_status(number, error)) return std::nullopt;
        if (value) rule.status = static_cast<int>(number);
      } else if (rule.kind == FaultKind::Delay) {
        if (!value) {
          error = "delay needs a time: delay=MILLISECONDS";
          return std::nullopt;
        }
        if (!check_delay(number, error)) return std::nullopt;
        rule.delay = std::chrono::milliseconds(number);
      } else if (value) {
        error = std::string("the fault ") + fault_name(rule.kind) + " takes no value";
        return std::nullopt;
      }
    } else if (name == "times" && value) {
      if (!check_times(number, error)) return std::nullopt;
      rule.times = number;
    } else if (name == "skip" && value) {
      rule.skip = number;
    } else {
      error = "unknown option \"" + std::string(item) + "\" (times=N or skip=N)";
      return std::nullopt;
    }
  }
  return rule;
}

std::optional<FaultRule> fault_rule_from_json(const mObject& object, std::string& error) {
  const auto flag_form = object.find("rule");
  if (flag_form != object.end()) {
    if (object.size() != 1 || flag_form->second.type() != json_spirit::str_type) {
      error = "\"rule\" must be a string and stand alone";
      return std::nullopt;
    }
    return parse_fault_rule(flag_form->second.get_str(), error);
  }
  for (const auto& member : object) {
    const std::string& key = member.first;
    if (key != "request" && key != "fault" && key != "status" && key != "delayMs" &&
        key != "times" && key != "skip") {
      error = "unknown member \"" + key + "\" in a fault";
      return std::nullopt;
    }
  }
  const auto request = object.find("request");
  const auto fault = object.find("fault");
  if (request == object.end() || request->second.type() != json_spirit::str_type ||
      fault == object.end() || fault->second.type() != json_spirit::str_type) {
    error = "a fault needs \"request\" and \"fault\" as strings";
    return std::nullopt;
  }
  FaultRule rule;
  if (!request_named(request->second.get_str(), rule.request, error)) return std::nullopt;
  if (!kind_named(fault->second.get_str(), rule.kind, error)) return std::nullopt;

  std::optional<unsigned> status;
  std::optional<unsigned> delay;
  std::optional<unsigned> skip;
  if (!unsigned_member(object, "status", status, error) ||
      !unsigned_member(object, "delayMs", delay, error) ||
      !unsigned_member(object, "times", rule.times, error) ||
      !unsigned_member(object, "skip", skip, error)) {
    return std::nullopt;
  }
  if (status && rule.kind != FaultKind::Status) {
    error = "\"status\" belongs to the fault status";
    return std::nullopt;
  }
  if (delay && rule.kind != FaultKind::Delay) {
    error = "\"delayMs\" belongs to the fault delay";
    return std::nullopt;
  }
  if (status) {
    if (!check_status(*status, error)) return std::nullopt;
    rule.status = static_cast<int>(*status);
  }
  if (rule.kind == FaultKind::Delay) {
    if (!delay) {
      error = "the fault delay needs \"delayMs\"";
      return std::nullopt;
    }
    if (!check_delay(*delay, error)) return std::nullopt;
    rule.delay = std::chrono::milliseconds(*delay);
  }
  if (rule.times && !check_times(*rule.times, error)) return std::nullopt;
  rule.skip = skip.value_or(0);
  return rule;
}

mObject fault_rule_to_json(const FaultRule& rule) {
  mObject object;
  object["request"] = rule.request ? request_name(*rule.request) : "*";
  object["fault"] = fault_name(rule.kind);
  if (rule.kind == FaultKind::Status) object["status"] = rule.status;
  if (rule.kind == FaultKind::Delay) object["delayMs"] = static_cast<int64_t>(rule.delay.count());
  if (rule.times) object["times"] = static_cast<int64_t>(*rule.times);
  object["skip"] = static_cast<int64_t>(rule.skip);
  return object;
}

std::string injected_body(const FaultRule& rule, RequestType type, const RequestValue& request) {
  switch (rule.kind) {
    case FaultKind::Status:
      return body_text(error_reply(rule.status, "InjectedFault",
                                   "injected HTTP status " + std::to_string(rule.status))
                           .body);
    case FaultKind::Malformed:
      return "{\"result\": this is not JSON}";
    case FaultKind::Truncated:
      return body_text(success_shaped(type, request));
    case FaultKind::WrongTypes:
      return body_text(wrong_types(type, request));
    case FaultKind::ExpireSession:
      return body_text(error_reply(401, "SessionExpired", "the session has expired").body);
    case FaultKind::Drop:
    case FaultKind::Delay:
    case FaultKind::CommitDrop:
      break;
  }
  return std::string();
}

void FaultInjector::add(FaultRule rule) {
  std::lock_guard<std::mutex> lock(mutex_);
  rules_.push_back(std::move(rule));
}

void FaultInjector::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  rules_.clear();
}

std::vector<FaultRule> FaultInjector::rules() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rules_;
}

std::optional<FaultRule> FaultInjector::take(RequestType type) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = rules_.begin(); it != rules_.end(); ++it) {
    if (it->request && *it->request != type) continue;
    if (it->skip > 0) {
      --it->skip;
      continue;
    }
    FaultRule applied = *it;
    if (it->times && --*it->times == 0) rules_.erase(it);
    return applied;
  }
  return std::nullopt;
}

}  // namespace tarnel_sim
