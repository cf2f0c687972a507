// The configuration check tarnelctl makes before it calls the library.
//
// The facade has no readiness accessor: a facade built from an incomplete
// configuration would spend its retries (minutes of pauses) on empty
// credentials. So every cluster command first checks, through the same host
// services the library uses, that the key store can be read and holds the
// cluster name, and, for the node's own credentials, the stored password and
// a serial number that decrypts it. Each missing item is reported with the
// command that provides it.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tarnelctl {

struct ConfigProblem {
  std::string item;     // short name: "key store", "cluster name", ...
  std::string message;  // what is wrong
  std::string fix;      // how to mend it; may be empty
  // The message with the fix in parentheses, as a command tells it.
  std::string text() const { return fix.empty() ? message : message + " (" + fix + ")"; }
};

// How to mend a key store that does not exist.
extern const char* const kCreateKeystoreFix;

// Path of the key store file the host services read (TARNEL_KEYSTORE or the default).
std::string keystore_path();
// The directory of the library's log (TARNEL_LOG_DIR, the key store's
// sTarnelLogDir, or the default), and the path of its log file, for
// messages that point a person at it.
std::string log_directory();
std::string log_file_path();

// Why the key store cannot be read, for a message ("not a regular file",
// ...); empty when it can. It is opened the way the host services open it
// (never blocking on a FIFO), and a store they refuse (over 1 MiB) counts as
// unreadable. `*missing` (when given) tells that it does not exist.
std::string keystore_unreadable(bool* missing = nullptr);

// A warning for people when the key store is a regular file that users
// other than its owner may read or write (it holds the encrypted cluster
// password and the node's configuration); empty when it is not.
std::string keystore_exposure();

// The items of the configuration, each checked on its own: the problem, or
// nothing when the item is in order.
//   keystore_problem: the key store can be read (keystore_unreadable);
//   cluster_name_problem: it holds the cluster name;
//   serial_problem: the node has a serial number (the key store's, else the
//     DMI one), left in `serial`;
//   stored_password_problem: it holds the stored password, and, given a
//     `serial`, that password decrypts with it.
std::optional<ConfigProblem> keystore_problem();
std::optional<ConfigProblem> cluster_name_problem();
std::optional<ConfigProblem> serial_problem(std::string& serial);
std::optional<ConfigProblem> stored_password_problem(const std::string& serial);

// Every problem found; empty when the command can go ahead. With
// `node_credentials` the stored password and the serial number are checked
// too, including that the password decrypts with that serial.
std::vector<ConfigProblem> check_configuration(bool node_credentials);

}  // namespace tarnelctl
