#include "options.h"

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <optional>
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
    "object in UTF-8; a byte that is not valid UTF-8 is written as U+FFFD.\n"
    "Cluster commands retry only what a retry can mend (transport failures, time-outs,\n"
    "HTTP 408, 429, 500, 502-504); --designed-retries retries everything as the library's\n"
    "designed operations do. Each failed attempt is told on stderr (not with --json, -q).\n"
    "Ctrl-C (SIGINT) or SIGTERM cancels the command at once.\n"
    "Exit codes:\n"
    "  0  done                    4  login refused\n"
    "  1  failed                  5  unreachable or timed out\n"
    "  2  usage                   6  refused by the cluster\n"
    "  3  not configured          7  the disk may exist (a create's reply was lost)\n"
    "  130 interrupted (Ctrl-C; 143 after SIGTERM)";

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
      // --user and --password-file are refused by keystore commands.
      const bool keystore =
          app->get_name() == "keystore" || app->get_parent()->get_name() == "keystore";
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

// CLI11 reports a word that names no subcommand as a missing subcommand
// ("A subcommand is required"): an error that names the word instead, or
// nothing when that is not what happened.
std::optional<CLI::ExtrasError> unknown_subcommand(const CLI::App& app, const CLI::App* keystore,
                                                   const CLI::ParseError& error) {
  const CLI::App& level = keystore->parsed() ? *keystore : app;
  const std::vector<std::string> unparsed = app.remaining(true);
  if (dynamic_cast<const CLI::RequiredError*>(&error) == nullptr || unparsed.empty() ||
      !level.get_subcommands().empty()) {
    return std::nullopt;
  }
  const std::string& word = unparsed.front();
  if (word.rfind('-', 0) == 0) {
    return CLI::ExtrasError({for_people(word)});
  }
  std::string names;
  for (const CLI::App* sub : level.get_subcommands([](const CLI::App*) { return true; })) {
    names += (names.empty() ? "" : ", ") + sub->get_name();
  }
  const std::string what = &level == keystore ? "keystore subcommand" : "subcommand";
  return CLI::ExtrasError(
      "Unknown " + what + " '" + for_people(word) + "'; the " + what + "s are " + names,
      CLI::ExitCodes::ExtrasError);
}

// The options every command takes, before or after its subcommand.
void add_global_options(CLI::App& app, Invocation& inv) {
  app.add_flag("--json", inv.json, "Print one JSON object on stdout instead of text");
  app.add_flag("-v,--verbose", inv.verbose,
               "Mirror the library's log lines to stderr as they are written");
  app.add_flag("-q,--quiet", inv.quiet, "Print no line on stderr for each failed attempt");
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
  add(app, "create", "Create a virtual disk sized from the cluster's capacity", Command::kCreate)
      ->add_option("NAME", inv.argument, "Name of the new virtual disk")
      ->required()
      ->check(stored_text());
  add(app, "export", "Export (mount) a virtual disk to this host", Command::kExport)
      ->add_option("NAME", inv.argument, "Name of the virtual disk")
      ->required()
      ->check(stored_text());
  add(app, "drives", "List this node's data drives (runs the drive helper)", Command::kDrives);
  add(app, "login", "Log in to the cluster and show the session identifier", Command::kLogin);

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

}  // namespace

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

  try {
    app.parse(argc, argv);
    if (keystore->parsed() && !inv.user.empty()) {
      throw CLI::ValidationError("--user", "is not used by keystore commands");
    }
  } catch (const CLI::ParseError& e) {
    std::ostringstream help;
    const std::optional<CLI::ExtrasError> unknown = unknown_subcommand(app, keystore, e);
    const int code = unknown ? app.exit(*unknown, help, std::cerr) : app.exit(e, help, std::cerr);
    outcome.help = help.str();
    outcome.exit_code = code == 0 ? kExitDone : kExitUsage;
    return outcome;
  }

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
