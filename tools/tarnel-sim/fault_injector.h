// Fault injection: rules that make requests of one type (or of every type)
// fail in a chosen way, set by command-line flags or the control endpoint.
//
// Faults and what the client sees (all but commit-drop are applied before
// the request touches the cluster's state):
//
//   status[=CODE]   HTTP status CODE (400..599, default 500) with the body
//                   {"error":{"code":"InjectedFault","message":...}}
//   malformed       status 200 with a body that is not JSON
//   truncated       status 200 announcing a success-shaped reply's length,
//                   then half of it, then the connection is closed
//   wrong-types     status 200 with the request's reply members holding
//                   values of the wrong JSON types
//   drop            the connection is closed without any reply
//   delay=MS        the reply is held back MS milliseconds, then the request
//                   is carried out as usual
//   expire-session  the request's session ends as if it had timed out, and
//                   the reply is 401 SessionExpired
//   commit-drop     the request is carried out (the state changes), then the
//                   connection is closed without the reply
//
// The flag form of a rule is REQUEST:FAULT[,times=N][,skip=N], where REQUEST
// is Login, ClusterInformation, AddVirtualDisk, Mount or * (every type), e.g.
// "AddVirtualDisk:status=503,times=4" or "*:delay=2000". The JSON form is
// {"request": ..., "fault": ..., "status": CODE, "delayMs": MS,
//  "times": N, "skip": N}, or {"rule": "<flag form>"}.
//
// A rule lets the first `skip` matching requests through, then applies to
// the next `times` ones (to every one when `times` is not given) and is then
// removed. For each request the first rule in the order added that matches
// its type and is not skipping decides; a rule that is still skipping counts
// the request and passes it on to the rules after it.
#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json_spirit/json_spirit_value.h"
#include "protocol.h"
#include "request_parser.h"

namespace tarnel_sim {

enum class FaultKind {
  Status,
  Malformed,
  Truncated,
  WrongTypes,
  Drop,
  Delay,
  ExpireSession,
  CommitDrop
};

// "status", "malformed", "truncated", "wrong-types", "drop", "delay",
// "expire-session", "commit-drop".
const char* fault_name(FaultKind kind);

struct FaultRule {
  std::optional<RequestType> request;  // nothing: every request type ("*")
  FaultKind kind = FaultKind::Status;
  int status = 500;                    // for Status
  std::chrono::milliseconds delay{0};  // for Delay
  std::optional<unsigned> times;       // nothing: every matching request
  unsigned skip = 0;
};

// Parse the flag form; on failure return nothing and set `error`.
std::optional<FaultRule> parse_fault_rule(std::string_view text, std::string& error);
// Parse the JSON form; on failure return nothing and set `error`.
std::optional<FaultRule> fault_rule_from_json(const json_spirit::mObject& object,
                                              std::string& error);
// The JSON form of a rule (with "times" only when limited).
json_spirit::mObject fault_rule_to_json(const FaultRule& rule);

// The body of an injected reply for `kind` (Status, Malformed, Truncated
// (the whole text, of which half is sent), WrongTypes, ExpireSession) to a
// request of `type`; `request` supplies names to echo.
std::string injected_body(const FaultRule& rule, RequestType type, const RequestValue& request);

// The rules in force. Thread-safe.
class FaultInjector {
 public:
  void add(FaultRule rule);
  void clear();
  std::vector<FaultRule> rules() const;
  // The fault for one request of `type`, if any; counts the request against
  // the rules (skips and times) as described above.
  std::optional<FaultRule> take(RequestType type);

 private:
  mutable std::mutex mutex_;
  std::vector<FaultRule> rules_;
};

}  // namespace tarnel_sim
