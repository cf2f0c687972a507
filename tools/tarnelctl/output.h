// Output of tarnelctl: text for people, or one JSON object for scripts.
//
// Text results go to stdout and failures to stderr, prefixed with
// "tarnelctl <command>: "; a usage error is "tarnelctl: <what is wrong>"
// and a pointer to --help. With -q, what is said about work done (created,
// exported, stored) is left out; query results (capacity, drives, doctor,
// keystore show, a session asked for) are still printed.
//
// With --json, every outcome (success or failure) is one JSON object on
// stdout that begins with "command", "ok" and "changed" (true only when the
// command changed the cluster or the key store). A failure adds "exit_code"
// and "error" (and "missing" when not configured); a usage error (exit 2)
// also "reason": "usage" and "message" (the error's text again), and leaves
// out "command" when the command line named none. Once a command has
// recorded the outcome of its call (record), success and failure objects
// also hold "reason", "http_status", "cluster_error", "attempts",
// "login_attempts" and, for create, "size_gb" (null when no size was asked
// for).
//
// What is printed may come from the cluster, the drive helper or the key
// store, so nothing reaches a screen or a script unchecked: text for people
// shows control characters escaped (for_people), JSON strings are valid
// UTF-8 (valid_utf8), and a number that is not finite is refused as a
// malformed reply. Writing to stdout is checked: a failed write is reported
// by finish() and fails the command.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "config_check.h"
#include "tarnel_admin.h"
#include "tarnel_call.h"

namespace tarnelctl {

// One key of the key store as `keystore show` tells it. A redacted entry's
// value is never held: it stays empty.
struct KeystoreEntry {
  std::string key;
  std::string value;
  bool redacted = false;
};

// One check of `tarnelctl doctor`. Its status is told as "ok", "warn",
// "FAIL" or "skipped", in text and in JSON alike.
struct DoctorCheck {
  enum class Status { ok, warn, fail, skipped };
  std::string name;  // a stable identifier: "keystore", "login", ...
  Status status = Status::ok;
  std::string detail;  // what it found, or why it was skipped
  std::string fix;     // a failure: how to mend it; empty otherwise
};

class Output {
 public:
  // `quiet`: no progress lines and no word on work done.
  Output(bool json, bool quiet, std::string command);

  // The outcome of the command's call, added to what is reported from now
  // on; `with_size` adds the size a create asked for.
  void record(const tarnel_outcome& outcome, bool with_size = false);
  // A line for people on stderr about a call in progress (a failed
  // attempt); nothing with --json or --quiet.
  void progress(const std::string& line) const;

  // A capacity the library found usable: finite and above zero, in value
  // and in gigabytes (the steered query refuses any other as bad_reply).
  void capacity(double value, const std::string& units, double gigabytes) const;
  // The disk was created with the size the recorded outcome asked for.
  void created(const std::string& name) const;
  // create --exist-ok found the disk existing; `maybe_created`: a lost reply
  // may mean that this command created it.
  void found_existing(const std::string& name, bool maybe_created) const;
  void exported(const std::string& name, const std::string& host) const;
  void drives(const std::vector<_tarnel_data_drive>& drives) const;
  // `session_id`: shown when given.
  void logged_in(const std::string& user, const std::string& cluster,
                 const std::string* session_id) const;
  // A key store entry was written (`changed`), or already held the value
  // given; `what` describes it for people.
  void stored(const std::string& key, const std::string& what, bool changed) const;
  // What the key store at `path` holds, with its file mode (permission bits).
  void keystore(const std::string& path, unsigned mode,
                const std::vector<KeystoreEntry>& entries) const;
  // The checks of `doctor`, and, when one failed, the exit code and error
  // of the first failure. Returns `exit_code`.
  int doctor(const std::vector<DoctorCheck>& checks, int exit_code, const std::string& error) const;
  // A note for people on stderr that does not change the outcome.
  void warn(const std::string& message) const;

  // Reports a failure and returns `exit_code`; the usage code is reported
  // as usage_error is, with a pointer to this command's --help.
  int fail(int exit_code, const std::string& message) const;
  // Reports a usage error: `message` and a pointer to `help_command`'s
  // --help ("tarnelctl create"). Returns the usage code.
  int usage_error(const std::string& message, const std::string& help_command) const;
  // Reports what the configuration lacks and returns the not-configured code.
  int not_configured(const std::vector<ConfigProblem>& problems) const;

  // Flushes and closes stdout. Returns `exit_code`, or, when anything
  // written to stdout was lost, reports that on stderr and returns the
  // failed code in place of success.
  int finish(int exit_code) const;

 private:
  void print(const std::string& text) const;
  void print_line(const std::string& line) const;
  // Rows of escaped cells in columns two spaces apart, under `header` when
  // it is not empty.
  void print_table(const std::vector<std::string>& header,
                   const std::vector<std::vector<std::string>>& rows) const;
  // A line on work done: left out with -q.
  void tell(const std::string& line) const;
  void complain(const std::string& line) const;
  template <typename Members>
  void emit(bool ok, bool changed, Members&& members) const;

  bool json_;
  bool quiet_;
  std::string command_;
  std::optional<tarnel_outcome> outcome_;
  bool with_size_ = false;
  mutable int write_error_ = 0;  // errno of the first failed write to stdout
};

// Text as it may be shown on a terminal, so that no text can move the
// cursor or send the terminal a command: the C0 controls other than tab
// (bytes 0x00-0x1F), DEL (0x7F) and the C1 controls are written as \n, \r
// or \xHH (two lower-case hex digits) for each of their bytes. A C1 control
// is U+0080-U+009F in UTF-8 (C2 80 ... C2 9F), or a byte 0x80-0x9F that is
// not part of a well-formed UTF-8 sequence. Everything else, valid UTF-8,
// other bytes and backslashes included, is kept as it is.
std::string for_people(const std::string& text);

// `text` as valid UTF-8: every byte that is not part of a well-formed UTF-8
// sequence (shortest form, no surrogates, at most U+10FFFF) is replaced by
// U+FFFD.
std::string valid_utf8(const std::string& text);

// Writes `text` to stdout and flushes it. 0, or the errno value of the
// failure.
int print_stdout(const std::string& text);

// Flushes and closes stdout, as finish() does, for output written before
// there is an Output (help, version, usage); `who` prefixes the message.
int close_stdout(const std::string& who, int exit_code, int write_error = 0);

// Formats a number as a person reads it: no trailing zeros, no exponent
// below 1e15 ("500", "1.5").
std::string plain_number(double value);

}  // namespace tarnelctl
