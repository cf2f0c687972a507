// Output of tarnelctl: text for people, or one JSON object for scripts.
//
// Text results go to stdout and failures to stderr, prefixed with
// "tarnelctl <command>: ". With --json, every outcome (success or failure)
// is one JSON object on stdout with the members "command" and "ok"; a
// failure adds "exit_code" and "error" (and "missing" when not configured).
#pragma once

#include <string>
#include <vector>

#include "config_check.h"
#include "tarnel_admin.h"

namespace tarnelctl {

class Output {
 public:
  Output(bool json, std::string command);

  void capacity(double value, const std::string& units, double gigabytes) const;
  void created(const std::string& name) const;
  void exported(const std::string& name, const std::string& host) const;
  void drives(const std::vector<_tarnel_data_drive>& drives) const;
  void logged_in(const std::string& user, const std::string& cluster,
                 const std::string& session_id) const;
  // A key store entry was written; `what` describes it for people.
  void stored(const std::string& key, const std::string& what) const;

  // Reports a failure and returns `exit_code`.
  int fail(int exit_code, const std::string& message) const;
  // Reports what the configuration lacks and returns the not-configured code.
  int not_configured(const std::vector<ConfigProblem>& problems) const;

 private:
  bool json_;
  std::string command_;
};

// Formats a number as a person reads it: no trailing zeros, no exponent
// below 1e15 ("500", "1.5").
std::string plain_number(double value);

}  // namespace tarnelctl
