#include "secret.h"

#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "output.h"
#include "posix_io.h"

namespace tarnelctl {
namespace {

using tarnel_host::UniqueFd;

// What the signal handler restores while a prompt has echo off: the
// terminal and its settings from before the prompt (-1: nothing to restore).
volatile sig_atomic_t g_prompt_tty = -1;
termios g_prompt_saved{};

// The signals that end a prompt: the terminal gets its settings back and
// the process ends with 128 + the signal's number (130 for Ctrl-C).
constexpr int kPromptSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void end_prompt(int signal_number) {
  const int tty = g_prompt_tty;
  if (tty >= 0) {
    tcsetattr(tty, TCSANOW, &g_prompt_saved);
    if (::write(tty, "\n", 1) < 0) {
    }
  }
  _exit(128 + signal_number);
}

// Echo switched off on a terminal for the lifetime of the object. Until it
// is switched on again, the signals above restore the settings first.
class EchoOff {
 public:
  explicit EchoOff(int fd) : fd_(fd) {
    if (tcgetattr(fd_, &saved_) != 0) return;
    g_prompt_saved = saved_;
    g_prompt_tty = fd_;
    struct sigaction action {};
    action.sa_handler = end_prompt;
    sigfillset(&action.sa_mask);
    for (std::size_t i = 0; i < kSignalCount; ++i) {
      // A signal ignored on entry (nohup) stays ignored.
      sigaction(kPromptSignals[i], nullptr, &previous_[i]);
      if (previous_[i].sa_handler != SIG_IGN) sigaction(kPromptSignals[i], &action, nullptr);
    }
    termios quiet = saved_;
    quiet.c_lflag &= static_cast<tcflag_t>(~(ECHO | ECHOE | ECHOK | ECHONL));
    active_ = tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
    if (!active_) restore_signals();
  }
  ~EchoOff() {
    if (!active_) return;
    tcsetattr(fd_, TCSAFLUSH, &saved_);
    restore_signals();
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  static constexpr std::size_t kSignalCount = sizeof kPromptSignals / sizeof kPromptSignals[0];
  void restore_signals() {
    for (std::size_t i = 0; i < kSignalCount; ++i) {
      sigaction(kPromptSignals[i], &previous_[i], nullptr);
    }
    g_prompt_tty = -1;
  }

  int fd_;
  termios saved_{};
  struct sigaction previous_[kSignalCount] {};
  bool active_ = false;
};

void write_all(int fd, const std::string& text) {
  tarnel_host::write_all(fd, text.data(), text.size());
}

// Reads one line from `fd` a byte at a time (so nothing after the line is
// consumed), dropping the line end ("\n" or "\r\n").
SecretRead read_line(int fd, const std::string& source) {
  SecretRead result;
  char c = 0;
  bool any = false;
  for (;;) {
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      result.error = "cannot read the password from " + source + ": " + strerror(errno);
      result.value.clear();
      return result;
    }
    if (n == 0) break;
    any = true;
    if (c == '\n') break;
    if (result.value.str().size() >= kMaxPasswordBytes + 1) {
      result.value.clear();
      result.error = "the password from " + source + " is longer than " +
                     std::to_string(kMaxPasswordBytes) + " bytes";
      return result;
    }
    result.value.push_back(c);
  }
  c = 0;
  if (!result.value.empty() && result.value.str().back() == '\r') {
    Secret trimmed;
    const std::string& s = result.value.str();
    for (std::size_t i = 0; i + 1 < s.size(); ++i) trimmed.push_back(s[i]);
    result.value = std::move(trimmed);
  }
  if (result.value.str().size() > kMaxPasswordBytes) {
    result.value.clear();
    result.error = "the password from " + source + " is longer than " +
                   std::to_string(kMaxPasswordBytes) + " bytes";
    return result;
  }
  if (result.value.empty()) {
    result.error = any ? "the password from " + source + " is empty" : "no password on " + source;
    return result;
  }
  result.ok = true;
  return result;
}

}  // namespace

void wipe(std::string& text) {
  if (!text.empty()) explicit_bzero(&text[0], text.size());
  text.clear();
}

Secret::~Secret() { wipe(value_); }

Secret::Secret(Secret&& other) noexcept : value_(std::move(other.value_)) { wipe(other.value_); }

Secret& Secret::operator=(Secret&& other) noexcept {
  if (this != &other) {
    wipe(value_);
    value_ = std::move(other.value_);
    wipe(other.value_);
  }
  return *this;
}

void Secret::clear() { wipe(value_); }

bool stdin_is_terminal() { return isatty(STDIN_FILENO) == 1; }

SecretRead read_password_file(const std::string& path) {
  // The operator names this file, and a pipe is welcome (--password-file
  // <(...)): a plain open, not safe_open, which refuses anything but a
  // regular file.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) {
    SecretRead result;
    result.error = "cannot open the password file " + path + ": " + strerror(errno);
    return result;
  }
  SecretRead result = read_line(fd.get(), "the password file " + path);
  struct stat status {};
  if (::fstat(fd.get(), &status) == 0 && S_ISREG(status.st_mode) &&
      (status.st_mode & (S_IRGRP | S_IROTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
    result.warning = "the password file " + path + " is readable by others (mode " + mode +
                     "): chmod 600 " + path;
  }
  return result;
}

SecretRead read_password_stdin() { return read_line(STDIN_FILENO, "standard input"); }

SecretRead prompt_password(const std::string& prompt, bool confirm) {
  UniqueFd tty(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (tty.get() < 0) {
    SecretRead result;
    result.error = "no terminal to ask for the password on";
    return result;
  }
  SecretRead first;
  {
    EchoOff quiet(tty.get());
    write_all(tty.get(), prompt);
    first = read_line(tty.get(), "the terminal");
    write_all(tty.get(), "\n");
  }
  if (!first.ok || !confirm) return first;
  SecretRead second;
  {
    EchoOff quiet(tty.get());
    write_all(tty.get(), "Again: ");
    second = read_line(tty.get(), "the terminal");
    write_all(tty.get(), "\n");
  }
  if (!second.ok) return second;
  if (second.value.str() != first.value.str()) {
    SecretRead mismatch;
    mismatch.error = "the two passwords differ";
    return mismatch;
  }
  return first;
}

SecretRead user_password(const std::string& user, const std::string& password_file) {
  if (password_file == "-") {
    // Standard input, as a file would be; on a terminal, without echo.
    return stdin_is_terminal() ? prompt_password("Password for " + for_people(user) + ": ", false)
                               : read_password_stdin();
  }
  if (!password_file.empty()) return read_password_file(password_file);
  if (char* env = std::getenv("TARNEL_PASSWORD")) {
    SecretRead result;
    std::string text(env);
    // Zero the value where the environment holds it (so /proc/PID/environ no
    // longer shows it) and keep it from every process this one starts.
    explicit_bzero(env, text.size());
    unsetenv("TARNEL_PASSWORD");
    if (text.empty()) {
      result.error = "TARNEL_PASSWORD is empty";
    } else if (text.size() > kMaxPasswordBytes) {
      result.error =
          "TARNEL_PASSWORD is longer than " + std::to_string(kMaxPasswordBytes) + " bytes";
    } else {
      for (char c : text) result.value.push_back(c);
      result.ok = true;
    }
    wipe(text);
    return result;
  }
  SecretRead asked = prompt_password("Password for " + for_people(user) + ": ", false);
  if (!asked.ok && asked.error == "no terminal to ask for the password on") {
    asked.error = "no password for --user " + user +
                  ": set TARNEL_PASSWORD, use --password-file, or run on a terminal";
  }
  return asked;
}

}  // namespace tarnelctl
