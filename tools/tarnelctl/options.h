// Command-line parsing of tarnelctl.
//
// parse_command_line turns argv into an Invocation. It never reads a
// password: --user names the user only, and the password comes from
// TARNEL_PASSWORD, --password-file or a prompt (see secret.h).
#pragma once

#include <string>

namespace tarnelctl {

enum class Command {
  kCapacity,
  kCreate,
  kExport,
  kDrives,
  kLogin,
  kKeystoreSetCluster,
  kKeystoreSetSerial,
  kKeystoreSetPassword,
  kKeystoreShow,
};

struct Invocation {
  Command command = Command::kCapacity;
  std::string command_name;       // as shown in messages: "create", "keystore set-serial", ...
  bool json = false;              // --json: one JSON object on stdout
  bool verbose = false;           // -v: mirror log lines to stderr
  bool quiet = false;             // -q: no line per failed attempt on stderr
  bool designed_retries = false;  // --designed-retries: the library's designed retry policy
  int retries = 0;                // --retries: attempts of each retry loop (0: the library's five)
  double timeout_seconds = 0;     // --timeout: the deadline of each command's calls (0: none)
  std::string user;               // --user; empty for the node's own credentials
  std::string password_file;      // --password-file; "-" for standard input
  std::string keystore;           // --keystore; empty for TARNEL_KEYSTORE or the default
  std::string argument;  // NAME of create/export, the value of keystore set-cluster/set-serial
};

struct ParseOutcome {
  bool run = false;   // true: `invocation` is to be carried out
  int exit_code = 0;  // when run is false: 0 after --help or --version, 2 after a usage error
  std::string help;   // when run is false: what is to be printed on stdout (help, version)
  Invocation invocation;
};

// Parses the command line. Usage errors are printed here (stderr); help and
// version are left in `help` for the caller to print.
ParseOutcome parse_command_line(int argc, char** argv);

}  // namespace tarnelctl
