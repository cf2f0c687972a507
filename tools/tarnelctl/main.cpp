// tarnelctl: command-line tool over libtarnel for people and scripts.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <new>

#include "RkException.h"
#include "cluster_access.h"
#include "commands.h"
#include "config_check.h"
#include "exit_codes.h"
#include "options.h"
#include "output.h"

namespace tarnelctl {
namespace {

int dispatch(const Invocation& inv, Output& out) {
  struct Handler {
    Command command;
    int (*run)(const Invocation&, Output&);
  };
  static constexpr Handler kHandlers[] = {
      {Command::kCapacity, run_capacity},
      {Command::kCreate, run_create},
      {Command::kExport, run_export},
      {Command::kDrives, run_drives},
      {Command::kLogin, run_login},
      {Command::kDoctor, run_doctor},
      {Command::kKeystoreSetCluster, run_keystore_set_cluster},
      {Command::kKeystoreSetSerial, run_keystore_set_serial},
      {Command::kKeystoreSetPassword, run_keystore_set_password},
      {Command::kKeystoreShow, run_keystore_show},
  };
  for (const Handler& handler : kHandlers) {
    if (handler.command == inv.command) return handler.run(inv, out);
  }
  return out.fail(kExitUsage, "unknown command");
}

// A standard descriptor that is closed at start gets /dev/null, opened read
// only: a file opened later (the log) never takes its number, and what is
// meant for a closed stdout or stderr fails to be written (EBADF) instead of
// landing in that file. False when /dev/null cannot be opened.
bool occupy_closed_standard_descriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lower numbers are open, so this takes `fd`.
    const int null = ::open("/dev/null", O_RDONLY | O_NOCTTY);
    if (null != fd) return false;
  }
  return true;
}

int run(const Invocation& inv, Output& out) {
  try {
    return dispatch(inv, out);
  } catch (const std::bad_alloc&) {
    throw;  // main's last resort: telling it here would allocate
  } catch (const RkException& e) {
    return out.fail(kExitFailed,
                    std::string("host service failed: ") + e.what() + "; " + see_log());
  } catch (const std::exception& e) {
    return out.fail(kExitFailed, std::string("unexpected error: ") + e.what());
  }
}

// The last word when nothing else can be done (memory exhausted, or an
// error escaping every handler): a fixed text written without allocating,
// and the failed code instead of an abort.
[[noreturn]] void last_resort(const char* text, std::size_t length) {
  if (::write(STDERR_FILENO, text, length) < 0) {
    // Nothing is left to tell it with.
  }
  ::_exit(kExitFailed);
}

template <std::size_t N>
[[noreturn]] void last_resort(const char (&text)[N]) {
  last_resort(text, N - 1);
}

[[noreturn]] void on_terminate() {
  last_resort("tarnelctl: stopped: out of memory, or an error that could not be reported\n");
}

// Before any other static object is made (those of the command-line parser
// allocate): an allocation that fails there ends tarnelctl through
// on_terminate too.
__attribute__((constructor(101))) void install_terminate_handler() {
  std::set_terminate(on_terminate);
}

int run_main(int argc, char** argv) {
  // tarnelctl holds passwords (the --user one, the one being stored, the
  // stored one decrypted): no core dump of it, no ptrace by its user.
  ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  // Output past the file-size limit fails with EFBIG, reported like any
  // failed write, instead of ending the process (the drive helper gets the
  // default action back, host/RkProcess.cpp).
  ::signal(SIGXFSZ, SIG_IGN);
  if (!occupy_closed_standard_descriptors()) return kExitFailed;
  const ParseOutcome parsed = parse_command_line(argc, argv);
  const Invocation& inv = parsed.invocation;
  if (!parsed.run && parsed.exit_code == kExitUsage) {
    const Output out(inv.json, false, inv.command_name);
    return out.finish(out.usage_error(parsed.error, parsed.help_command));
  }
  if (!parsed.run) return close_stdout("tarnelctl", parsed.exit_code, print_stdout(parsed.help));
  // The host services read both from the environment, so they are set
  // before any of them runs: the key store on every call, the log writer
  // when the first log facade is set up.
  if (!inv.keystore.empty()) setenv("TARNEL_KEYSTORE", inv.keystore.c_str(), 1);
  if (inv.verbose) setenv("TARNEL_LOG_STDERR", "1", 1);

  Output out(inv.json, inv.quiet, inv.command_name);
  const int code = run(inv, out);
  // Told after the command, which may have replaced the store (mode 0600);
  // doctor tells it among its checks.
  if (!inv.quiet && inv.command != Command::kDoctor) {
    if (const std::string exposed = keystore_exposure(); !exposed.empty()) out.warn(exposed);
  }
  return out.finish(code);
}

}  // namespace
}  // namespace tarnelctl

int main(int argc, char** argv) {
  using tarnelctl::last_resort;
  try {
    return tarnelctl::run_main(argc, argv);
  } catch (const std::bad_alloc&) {
    last_resort("tarnelctl: out of memory\n");
  } catch (...) {
    last_resort("tarnelctl: stopped by an error that could not be reported\n");
  }
}
