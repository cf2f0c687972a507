// Command-line parsing of tarnelctl.
//
// parse_command_line turns argv into an Invocation. It never reads a
// password: --user names the user only, and the password comes from
// TARNEL_PASSWORD, --password-file or a prompt (see secret.h). A usage
// error is told in tarnelctl's own words, with a near miss named ("did you
// mean 'create'?").
#pragma once

#include <string>
#include <vector>

namespace tarnelctl {

enum class Command {
  kCapacity,
  kCreate,
  kExport,
  kDrives,
  kLogin,
  kDoctor,
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
  bool quiet = false;             // -q: no progress lines and no word on work done
  bool designed_retries = false;  // --designed-retries: the library's designed retry policy
  int retries = 0;                // --retries: attempts of each retry loop (0: the library's five)
  double timeout_seconds = 0;     // --timeout: the deadline of each command's calls (0: none)
  std::string user;               // --user; empty for the node's own credentials
  std::string password_file;      // --password-file; "-" for standard input
  std::string keystore;           // --keystore; empty for TARNEL_KEYSTORE or the default
  std::string argument;       // NAME of create/export, the value of keystore set-cluster/set-serial
  bool exist_ok = false;      // create --exist-ok: a disk that already exists is the goal reached
  bool show_session = false;  // login --show-session: print the session identifier
};

struct ParseOutcome {
  bool run = false;   // true: `invocation` is to be carried out
  int exit_code = 0;  // when run is false: 0 after help or --version, 2 after a usage error
  std::string help;   // when run is false: what is to be printed on stdout (help, version)
  // A usage error: what is wrong ("unknown command 'craete'; did you mean
  // 'create'?"), and the command whose --help tells the usage ("tarnelctl
  // create"). `invocation` then holds --json (wherever it stood) and the
  // command's name as far as they are known.
  std::string error;
  std::string help_command;
  Invocation invocation;
};

// Parses the command line. Nothing is printed here: help, version and usage
// errors are left for the caller. `tarnelctl help [COMMAND...]` gives the
// help of that command, as `tarnelctl COMMAND... --help` does.
ParseOutcome parse_command_line(int argc, char** argv);

// The word among `candidates` that `word` most likely misspells (at most one
// letter wrong, missing, extra or two swapped; two in words of six letters
// or more), or empty when none is that near or two are equally near.
std::string nearest_word(const std::string& word, const std::vector<std::string>& candidates);

}  // namespace tarnelctl
