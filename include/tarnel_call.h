// Steered calls: the outcome of a call, the options that steer its retries,
// and cancellation. An addition to the four classes: their existing
// operations keep their designed behaviour; the overloads that take a
// tarnel_call_options and a tarnel_outcome (tarnel_admin.h, tarnel_vdisk.h)
// opt in to what is here.
//
// The overloads send the same requests and write the same log lines as the
// designed operations. They never throw: a reply member of the wrong JSON
// type is reason bad_reply, a failing drive helper helper_failed. They fill
// the outcome on every return. A call, its options and its outcome belong to
// one thread; only the token may be cancelled from elsewhere.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "RkCancel.h"
#include "tarnel_export.h"

// Why a call ended. The words of tarnel_reason_word are stable: scripts and
// logs may rely on them.
enum class tarnel_reason : int {
  ok,               // "ok": done
  not_ready,        // "not_ready": the facade lacks a setting (missing_setting names it)
  login_refused,    // "login_refused": the login got 401 or 403, or another status
                    //   no retry changes (e.g. 409 to the login of a create)
  session_refused,  // "session_refused": a disk request got 401 (session unknown or expired)
  unreachable,      // "unreachable": no connection, or it broke before a whole reply
  timed_out,        // "timed_out": a request timed out, or the call's deadline passed
  refused,          // "refused": a final status outside 2xx that is not retried (e.g. 404,
                    //   409, a redirect)
  cluster_error,  // "cluster_error": a retried status (408, 429, 500, 502-504) on the last attempt
  bad_reply,      // "bad_reply": a reply that is not JSON, or lacks a member, or has one of the
                  //   wrong type (detail names it); a malformed drive helper line
  not_confirmed,  // "not_confirmed": a create or export reply without its success record
  may_exist,      // "may_exist": a create whose earlier reply was lost after sending, then 409
  helper_failed,  // "helper_failed": the drive helper could not run or failed
  cancelled,      // "cancelled": the call's token was cancelled
};

TARNEL_API const char* tarnel_reason_word(tarnel_reason reason);

// What a steered call did and why it ended. Never holds a secret: bodies are
// cut, the login password in them is replaced by "***" and control
// characters are escaped.
struct TARNEL_API tarnel_outcome {
  tarnel_reason reason = tarnel_reason::ok;
  // A few words on the cause beyond the fields below, e.g. "member
  // result.capacity.total.value is a string, not a number"; may be empty.
  std::string detail;
  // not_ready: the setting that is missing or unusable ("sTarnelCluster",
  // "sTarnelCID", "sTarnelSerial", or "credentials" for an empty user name or
  // password given to the facade).
  std::string missing_setting;
  // Attempts of the command (of the login for get_tarnel_session), and the
  // login exchanges made, logins before a retry included.
  int attempts = 0;
  int login_attempts = 0;
  // The HTTP status of the last reply (0 when none arrived), and the cluster's
  // error code and message when that reply held {"error":{"code","message"}};
  // otherwise cluster_message holds a short excerpt of the reply's body.
  long http_status = 0;
  std::string cluster_error;
  std::string cluster_message;
  // Why no whole reply arrived, e.g. "connection refused"; empty otherwise.
  std::string transport_error;
  // create_vdisk: the size asked for, in GB as sent ("58.64"); empty when
  // no create request was built.
  std::string size_requested;
  std::chrono::milliseconds elapsed{0};

  bool ok() const { return reason == tarnel_reason::ok; }
};

enum class tarnel_retry_policy : int {
  // What the designed operations do: every failure is retried, and a pause
  // follows every failed attempt, the last one included.
  designed,
  // Retries only what a retry can mend: transport failures, time-outs, a
  // lost reply, and the statuses 408, 429, 500, 502, 503 and 504; any other
  // status of 400 or more ends the call at once, and so does a bad reply.
  // No pause after the last attempt. A disk request refused with 401 logs in
  // again before the next attempt (that login belongs to the attempt); a
  // refused login ends the call.
  responsive,
};

// The retry loops of a call: session acquisition, and the command itself.
enum class tarnel_loop : int { login, command };

// Handed to the observer after each failed attempt.
struct TARNEL_API tarnel_attempt {
  tarnel_loop loop = tarnel_loop::command;
  int number = 0;  // 1 for the first attempt of its loop
  int limit = 0;   // attempts that loop may make
  // The failed attempt's outcome (reason, status, cluster error, transport).
  tarnel_outcome outcome;
  // The pause before the next attempt; 0 when the loop ends here. With the
  // designed policy a pause follows the last attempt too (pause > 0 and
  // number == limit).
  std::chrono::milliseconds pause{0};
};

struct TARNEL_API tarnel_call_options {
  tarnel_retry_policy policy = tarnel_retry_policy::designed;
  // Attempts of each loop; 0 or less: five.
  int attempts = 0;
  // The pause after failed attempt n is pauses[n - 1], the last entry
  // repeating; empty: 5, 10, 15, 20 and 25 seconds.
  std::vector<std::chrono::milliseconds> pauses;
  // The whole call ends by this time after its start (0: no bound): requests
  // in flight are cut, and a pause that would pass it is not taken; the
  // reason is then timed_out.
  std::chrono::milliseconds deadline{0};
  // Called after each failed attempt, on the calling thread; it may cancel
  // the token. An exception it throws is swallowed.
  std::function<void(const tarnel_attempt&)> observer;
  // Cancels the call: pauses end at once, a request in flight is cut, the
  // drive helper's process group is killed; the reason is then cancelled.
  const RkCancelToken* cancel = nullptr;
};
