#include "options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "exit_codes.h"
#include "output.h"

namespace tarnelctl {
namespace {

const char* const kDescription =
    "tarnelctl: administer this node's storage cluster through libtarnel.\n"
    "Cluster commands use the node's own credentials unless --user is given; the\n"
    "password for --user comes from TARNEL_PASSWORD, --password-file or a prompt.\n"
    "Text output shows control characters escaped (\\n, \\r, \\x1b). --json prints one JSON\n"
    "object in UTF-8 (a byte that is not valid UTF-8 is written as U+FFFD) that says\n"
    "whether the command changed anything (\"changed\").\n"
    "Cluster commands retry only what a retry can mend (transport failures, time-outs,\n"
    "HTTP 408, 429, 500, 502-504); --designed-retries retries everything as the library's\n"
    "designed operations do. A failed attempt that another follows is told on stderr\n"
    "(not with --json, -q). Ctrl-C (SIGINT) or SIGTERM cancels the command at once.\n"
    "The exit status names the kind of failure: see EXIT STATUS in tarnelctl(1).";

// A number from `least` to `most`, in decimal ("2", "0.5", "1e3"; with
// `whole`, digits only): never nan or an infinity, which would pass a
// range's comparisons and switch a bound off.
CLI::Validator number_in(double least, double most, bool whole) {
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        char* end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        const bool parsed =
            !text.empty() && end == text.c_str() + text.size() &&
            text.find_first_not_of(whole ? "0123456789" : "0123456789.eE+-") == std::string::npos;
        if (parsed && std::isfinite(value) && value >= least && value <= most) return "";
        return "'" + for_people(text) + "' is not " + (whole ? "a whole number" : "a number") +
               " from " + plain_number(least) + " to " + plain_number(most);
      },
      "");
}

CLI::Validator non_empty() {
  return CLI::Validator(
      [](std::string& value) {
        return value.empty() ? std::string("must not be empty") : std::string();
      },
      "");
}

// A name or value stored in the key store or sent to the cluster: a control
// character in it would break the key store's line or the request, so it is
// a usage error here rather than a failure later. With `trimmed`, a space at
// either end is one too: the cluster would not know the name.
CLI::Validator stored_text(bool trimmed = false) {
  return CLI::Validator(
      [trimmed](std::string& value) -> std::string {
        if (value.empty()) return "must not be empty";
        for (const char c : value) {
          const auto byte = static_cast<unsigned char>(c);
          if (byte < 0x20 || byte == 0x7F) {
            return "'" + for_people(value) + "' holds a control character";
          }
        }
        if (trimmed && (value.front() == ' ' || value.back() == ' ')) {
          return "'" + value + "' begins or ends with a space";
        }
        return "";
      },
      "");
}

// Help of a subcommand: its own options, then tarnelctl's own (accepted after
// the subcommand too) under "Global options", then its subcommands.
class Formatter : public CLI::Formatter {
 public:
  std::string make_subcommands(const CLI::App* app, CLI::AppFormatMode mode) const override {
    std::string globals;
    const CLI::App* root = app;
    while (root->get_parent() != nullptr) root = root->get_parent();
    if (mode == CLI::AppFormatMode::Normal && root != app) {
      // --user and --password-file are refused by keystore commands and doctor.
      const bool keystore = app->get_name() == "keystore" || app->get_name() == "doctor" ||
                            app->get_parent()->get_name() == "keystore";
      const std::vector<const CLI::Option*> options =
          root->get_options([&](const CLI::Option* option) {
            const std::string name = option->get_name();
            return option->nonpositional() && option != root->get_help_ptr() &&
                   name != "--version" &&
                   !(keystore && (name == "--user" || name == "--password-file"));
          });
      globals = make_group("Global options", false, options);
    }
    return globals + CLI::Formatter::make_subcommands(app, mode);
  }
};

// The subcommands of `level` by name, "help" among them.
std::vector<std::string> subcommand_names(const CLI::App& level) {
  std::vector<std::string> names;
  for (const CLI::App* sub : level.get_subcommands([](const CLI::App*) { return true; })) {
    names.push_back(sub->get_name());
  }
  return names;
}

// "; did you mean 'create'?" when `word` is a near miss of one of `names`.
std::string suggestion(const std::string& word, const std::vector<std::string>& names) {
  const std::string near = nearest_word(word, names);
  return near.empty() ? "" : "; did you mean '" + near + "'?";
}

// The long options `level` and tarnelctl itself take.
std::vector<std::string> option_names(const CLI::App& level) {
  std::vector<std::string> names;
  for (const CLI::App* app = &level; app != nullptr; app = app->get_parent()) {
    for (const CLI::Option* option : app->get_options()) {
      for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
    }
  }
  return names;
}

// "unknown command 'craete'; did you mean 'create'?", or with the commands
// of `level` listed when no name is near.
std::string unknown_command(const CLI::App& level, const std::string& word) {
  const std::string what =
      level.get_parent() != nullptr ? level.get_name() + " command" : "command";
  const std::vector<std::string> names = subcommand_names(level);
  std::string text = "unknown " + what + " '" + for_people(word) + "'";
  if (const std::string near = suggestion(word, names); !near.empty()) return text + near;
  std::string list;
  for (const std::string& name : names) list += (list.empty() ? "" : ", ") + name;
  return text + "; the " + what + "s are " + list;
}

// What is wrong with the command line, in tarnelctl's words, for CLI11's
// `error`: an unknown word or option named (with a near miss), a missing
// command listed, anything else as CLI11 says it. `level` is the deepest
// command given.
std::string usage_message(const CLI::App& app, const CLI::App& level, const CLI::ParseError& error,
                          int argc, char** argv) {
  const std::vector<std::string> extras = app.remaining(true);
  // The first word of the command line that was not taken, in its order.
  std::string extra;
  for (int i = 1; i < argc && extra.empty(); ++i) {
    if (std::find(extras.begin(), extras.end(), argv[i]) != extras.end()) extra = argv[i];
  }
  if (!extra.empty() && extra.front() == '-' && extra != "-") {
    const std::string name = extra.substr(0, extra.find('='));
    return "unknown option '" + for_people(name) + "'" + suggestion(name, option_names(level));
  }
  const bool no_command = dynamic_cast<const CLI::RequiredError*>(&error) != nullptr &&
                          level.get_require_subcommand_min() > 0 && level.get_subcommands().empty();
  if (no_command && !extra.empty()) return unknown_command(level, extra);
  if (no_command) {
    std::string list;
    for (const std::string& name : subcommand_names(level))
      list += (list.empty() ? "" : ", ") + name;
    return level.get_parent() != nullptr ? level.get_name() + " needs a command: " + list
                                         : "no command given; the commands are " + list;
  }
  if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr && !extra.empty()) {
    return "unexpected argument '" + for_people(extra) + "'";
  }
  // "NAME is required" says of which command.
  const bool missing = dynamic_cast<const CLI::RequiredError*>(&error) != nullptr;
  const std::string prefix =
      missing && level.get_parent() != nullptr ? level.get_name() + ": " : "";
  return prefix + for_people(error.what());
}

// The deepest command of the command line that CLI11 took, `app` itself
// when it took none.
const CLI::App* deepest_command(const CLI::App& app) {
  const CLI::App* level = &app;
  for (;;) {
    const std::vector<CLI::App*> chosen = level->get_subcommands();
    if (chosen.empty()) return level;
    level = chosen.back();
  }
}

// "tarnelctl keystore show" for the command `level`.
std::string command_path(const CLI::App* level) {
  std::string path;
  for (; level != nullptr; level = level->get_parent()) {
    path = level->get_name() + (path.empty() ? "" : " " + path);
  }
  return path;
}

// The options every command takes, before or after its subcommand.
void add_global_options(CLI::App& app, Invocation& inv) {
  app.add_flag("--json", inv.json, "Print one JSON object on stdout instead of text");
  app.add_flag("-v,--verbose", inv.verbose,
               "Mirror the library's log lines to stderr as they are written");
  app.add_flag("-q,--quiet", inv.quiet,
               "Say nothing of failed attempts or of work done; query results (capacity, drives, "
               "doctor, keystore show) are still printed");
  app.add_flag("--designed-retries", inv.designed_retries,
               "Retry every failure and pause after every failed attempt, the last included, "
               "as the library's designed operations do");
  app.add_option("--retries", inv.retries,
                 "Attempts of each retry loop (login, command); default 5")
      ->check(number_in(1, 100, true))
      ->type_name("N");
  app.add_option("--timeout", inv.timeout_seconds,
                 "Give up a command that has not ended after SECONDS (retries and pauses included)")
      ->check(number_in(0.001, 604800, false))
      ->type_name("SECONDS");
  CLI::Option* user = app.add_option("--user", inv.user,
                                     "Log in as this cluster user instead of the node's own "
                                     "credentials")
                          ->check(non_empty())
                          ->type_name("USER");
  app.add_option("--password-file", inv.password_file,
                 "Read the --user password from the first line of this file ('-': stdin)")
      ->needs(user)
      ->check(CLI::Validator(
          [](std::string& path) { return path == "-" ? std::string() : CLI::ExistingFile(path); },
          ""))
      ->type_name("FILE");
  app.add_option("--keystore", inv.keystore,
                 "The key store to read and write (default: TARNEL_KEYSTORE, else " +
                     std::string(TARNEL_DEFAULT_KEYSTORE) + ")")
      ->check(non_empty())
      ->type_name("PATH");
}

// A subcommand and the command it stands for.
struct Entry {
  CLI::App* app;
  Command command;
};

// The subcommands, each entered into `entries`; returns the keystore group.
CLI::App* add_subcommands(CLI::App& app, Invocation& inv, std::vector<Entry>& entries) {
  auto add = [&](CLI::App& parent, const char* name, const char* help, Command command) {
    CLI::App* sub = parent.add_subcommand(name, help);
    entries.push_back({sub, command});
    return sub;
  };
  add(app, "capacity", "Show the cluster's total capacity", Command::kCapacity);
  CLI::App* create = add(app, "create", "Create a virtual disk sized from the cluster's capacity",
                         Command::kCreate);
  create->add_option("NAME", inv.argument, "Name of the new virtual disk")
      ->required()
      ->check(stored_text());
  create->add_flag("--exist-ok", inv.exist_ok,
                   "Succeed without a change when the cluster already has a disk of that name "
                   "(it refuses the create with HTTP 409)");
  add(app, "export", "Export (mount) a virtual disk to this host", Command::kExport)
      ->add_option("NAME", inv.argument, "Name of the virtual disk")
      ->required()
      ->check(stored_text());
  add(app, "drives", "List this node's data drives (runs the drive helper)", Command::kDrives);
  add(app, "login", "Log in to the cluster, as every cluster command does first", Command::kLogin)
      ->add_flag("--show-session", inv.show_session,
                 "Print the session identifier (a credential while the session lasts)");
  add(app, "doctor",
      "Check, read-only, whether this node is ready: one line a check, and how to fix a "
      "failure; the node's own credentials, one attempt a call",
      Command::kDoctor);

  CLI::App* keystore = app.add_subcommand("keystore", "Provision this node's key store");
  keystore->require_subcommand(1);
  add(*keystore, "set-cluster", "Store the name of the cluster this node belongs to",
      Command::kKeystoreSetCluster)
      ->add_option("NAME", inv.argument, "Cluster name")
      ->required()
      ->check(stored_text(true));
  add(*keystore, "set-serial", "Store this node's serial number (the key of the stored password)",
      Command::kKeystoreSetSerial)
      ->add_option("SERIAL", inv.argument, "Serial number")
      ->required()
      ->check(stored_text());
  add(*keystore, "set-password",
      "Store the cluster password, encrypted with the serial number; the password is read "
      "from stdin, or from a prompt without echo on a terminal",
      Command::kKeystoreSetPassword);
  add(*keystore, "show",
      "Show the key store's path, its file mode and every key with its value (the stored "
      "password redacted)",
      Command::kKeystoreShow);
  return keystore;
}

// `tarnelctl help [COMMAND...]` as `tarnelctl [COMMAND...] --help`, after
// the words of COMMAND are checked against the commands.
ParseOutcome help_for(const CLI::App& app, const std::vector<std::string>& topic, bool json) {
  std::vector<std::string> words = {"tarnelctl"};
  const CLI::App* level = &app;
  for (const std::string& word : topic) {
    const std::vector<std::string> names = subcommand_names(*level);
    if (std::find(names.begin(), names.end(), word) == names.end()) {
      ParseOutcome unknown;
      unknown.exit_code = kExitUsage;
      unknown.error = unknown_command(*level, word);
      unknown.help_command = command_path(level);
      unknown.invocation.command_name = "help";
      unknown.invocation.json = json;
      return unknown;
    }
    level = level->get_subcommand(word);
    words.push_back(word);
  }
  words.push_back("--help");
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  return parse_command_line(static_cast<int>(argv.size()), argv.data());
}

}  // namespace

std::string nearest_word(const std::string& word, const std::vector<std::string>& candidates) {
  // The edit distance with swaps of neighbours (optimal string alignment).
  const auto distance = [](const std::string& a, const std::string& b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
      for (std::size_t j = 1; j <= b.size(); ++j) {
        const std::size_t change = a[i - 1] == b[j - 1] ? 0 : 1;
        d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
        if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
          d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
      }
    }
    return d[a.size()][b.size()];
  };
  const std::size_t most = word.size() >= 6 ? 2 : 1;
  std::string best;
  std::size_t best_distance = most + 1;
  bool tie = false;
  for (const std::string& candidate : candidates) {
    const std::size_t d = distance(word, candidate);
    if (d < best_distance) {
      best = candidate;
      best_distance = d;
      tie = false;
    } else if (d == best_distance && candidate != best) {
      tie = true;
    }
  }
  return tie || best_distance == 0 ? "" : best;
}

ParseOutcome parse_command_line(int argc, char** argv) {
  ParseOutcome outcome;
  Invocation& inv = outcome.invocation;

  CLI::App app{kDescription, "tarnelctl"};
  // Before any subcommand is added: they take it from their parent.
  app.formatter(std::make_shared<Formatter>());
  app.set_version_flag("--version", TARNELCTL_VERSION);
  app.require_subcommand(1);
  // Options of the top level may also follow the subcommand.
  app.fallthrough();
  add_global_options(app, inv);
  std::vector<Entry> entries;
  CLI::App* keystore = add_subcommands(app, inv, entries);
  std::vector<std::string> topic;
  CLI::App* help = app.add_subcommand("help", "Show the help of tarnelctl or of a command");
  help->add_option("COMMAND", topic, "The command, e.g. 'create' or 'keystore show'");

  try {
    app.parse(argc, argv);
    if ((keystore->parsed() || app.get_subcommand("doctor")->parsed()) && !inv.user.empty()) {
      throw CLI::ValidationError("--user", "is not used by keystore commands or doctor");
    }
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) {  // --help, --version
      std::ostringstream text;
      std::ostringstream ignored;
      app.exit(e, text, ignored);
      outcome.help = text.str();
      return outcome;
    }
    const CLI::App* level = deepest_command(app);
    outcome.exit_code = kExitUsage;
    outcome.error = usage_message(app, *level, e, argc, argv);
    outcome.help_command = command_path(level);
    inv.json = std::find(argv + 1, argv + argc, std::string("--json")) != argv + argc;
    inv.command_name = level == &app ? "" : command_path(level).substr(sizeof "tarnelctl");
    return outcome;
  }
  if (help->parsed()) return help_for(app, topic, inv.json);

  for (const Entry& entry : entries) {
    if (entry.app->parsed()) {
      inv.command = entry.command;
      inv.command_name = entry.app->get_parent() == keystore ? "keystore " + entry.app->get_name()
                                                             : entry.app->get_name();
    }
  }
  outcome.run = true;
  return outcome;
}

}  // namespace tarnelctl
