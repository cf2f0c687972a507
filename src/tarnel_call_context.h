// The state of one steered call (tarnel_call.h) inside the library: its
// options, the outcome it fills, its deadline and token, and what the last
// exchange with the cluster left behind. The designed operations run the
// same code with no context (a null pointer) and never reach anything here.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "RKLibCurl.h"
#include "json_spirit/json_spirit_value.h"
#include "tarnel_call.h"

class tarnel_debug;

// Which request an exchange carries: the reading of a refusal depends on it.
enum class tarnel_exchange_kind { login, query, add_disk, mount };

class tarnel_call_context {
 public:
  // `password` is the login password the call may send: every text taken
  // from a reply into the outcome has it replaced by "***".
  tarnel_call_context(const tarnel_call_options& options, tarnel_outcome& outcome,
                      std::string password);
  tarnel_call_context(const tarnel_call_context&) = delete;
  tarnel_call_context& operator=(const tarnel_call_context&) = delete;

  tarnel_outcome& outcome() { return outcome_; }
  const RkCancelToken* token() const { return options_.cancel; }
  // Milliseconds left before the deadline: -1 without one, 0 once passed.
  long remaining_ms() const;

  // Runs `body`, turning any exception into the outcome (RkException:
  // helper_failed; any other: bad_reply); never throws.
  void run(const std::function<void()>& body);
  // Ends the call: the reason is ok when `succeeded`, and a failure keeps a
  // reason; the time spent is filled in.
  void finish(bool succeeded);

  // ---- attempts ----
  // An attempt of `loop` begins: false when the call must end first
  // (cancelled, deadline passed; the reason is set).
  bool begin_attempt(tarnel_loop loop, int number);
  // Attempt `number` of `loop` failed with the reason now in the outcome:
  // tells the observer, pauses as the policy says and tells whether another
  // attempt follows.
  bool after_failure(tarnel_loop loop, int number);
  // Disk commands of the facade hold credentials: a 401 there can be mended
  // by a new login (responsive policy).
  void allow_relogin() { can_relogin_ = true; }
  // True (once) when the next attempt must log in again first.
  bool take_relogin();

  // ---- exchanges ----
  // Before an exchange: false when none may start (the reason is set).
  bool may_send();
  // Sets the client's token and time limit for the coming request.
  void steer(RKLibCurl& client) const;
  // The request the next exchange carries (a query when not said).
  void expect(tarnel_exchange_kind kind) { kind_ = kind; }
  // Records how that exchange ended: the client's status and transport
  // result, and the reply body (`body`, `length`; may be null).
  void record_exchange(const RKLibCurl& client, bool carried_out, const char* body,
                       unsigned long length);
  // The drive helper's run ended with the runner's `status` (not 0).
  void helper_failed(int status, const std::string& error_output);
  // A reply that is there but unusable.
  void bad_reply(const std::string& detail) { fail(tarnel_reason::bad_reply, detail); }
  void fail(tarnel_reason reason, const std::string& detail);

 private:
  bool retried(tarnel_reason reason) const;
  std::chrono::milliseconds pause_after(int number) const;
  void read_cluster_error(const char* body, unsigned long length);

  const tarnel_call_options& options_;
  tarnel_outcome& outcome_;
  const std::string password_;
  const std::chrono::steady_clock::time_point start_;
  const int limit_;
  tarnel_exchange_kind kind_ = tarnel_exchange_kind::query;
  bool can_relogin_ = false;
  bool relogin_ = false;
  // An AddVirtualDisk request went out and its reply never came whole.
  bool create_reply_lost_ = false;
};

// Readers of reply members. With a call, the value's type is checked first
// and a mismatch is recorded as bad_reply naming `path` (the result is then
// null, or false); without one, json_spirit's accessor is used, which throws
// its type error as the designed operations do.
const json_spirit::mObject* object_member(tarnel_call_context* call,
                                          const json_spirit::mValue& value, const char* path);
const std::string* string_member(tarnel_call_context* call, const json_spirit::mValue& value,
                                 const char* path);
bool number_member(tarnel_call_context* call, const json_spirit::mValue& value, const char* path,
                   double& number);
// Records a member that is missing (with a call; nothing without one).
void missing_member(tarnel_call_context* call, const char* path);

// The members one operation reads from a reply. A missing member is logged
// with the operation's own line (`tag`, level -1) and recorded with the call.
struct reply_members {
  tarnel_debug& debug;
  const char* tag;
  tarnel_call_context* call;

  // The member at `path` ("result.capacity": the member "capacity" of
  // `parent`), or null after `missing_line` was logged.
  const json_spirit::mValue* find(const json_spirit::mObject& parent, const char* path,
                                  const char* missing_line) const;
  // The same member read as an object (object_member); null when missing or
  // (with a call) not an object.
  const json_spirit::mObject* object(const json_spirit::mObject& parent, const char* path,
                                     const char* missing_line) const;
};
