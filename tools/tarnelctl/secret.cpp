#include "secret.h"

#include <fcntl.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace tarnelctl {
namespace {

// An open descriptor, closed on destruction.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Echo switched off on a terminal for the lifetime of the object.
class EchoOff {
 public:
  explicit EchoOff(int fd) : fd_(fd) {
    if (tcgetattr(fd_, &saved_) == 0) {
      termios quiet = saved_;
      quiet.c_lflag &= static_cast<tcflag_t>(~(ECHO | ECHOE | ECHOK | ECHONL));
      active_ = tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
    }
  }
  ~EchoOff() {
    if (active_) tcsetattr(fd_, TCSAFLUSH, &saved_);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

void write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
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
    result.error = any ? "the password from " + source + " is empty"
                       : "no password on " + source;
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
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    SecretRead result;
    result.error = "cannot open the password file " + path + ": " + strerror(errno);
    return result;
  }
  return read_line(fd.get(), "the password file " + path);
}

SecretRead read_password_stdin() { return read_line(STDIN_FILENO, "standard input"); }

SecretRead prompt_password(const std::string& prompt, bool confirm) {
  Fd tty(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
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
      result.error = "TARNEL_PASSWORD is longer than " + std::to_string(kMaxPasswordBytes) + " bytes";
    } else {
      for (char c : text) result.value.push_back(c);
      result.ok = true;
    }
    wipe(text);
    return result;
  }
  SecretRead asked = prompt_password("Password for " + user + ": ", false);
  if (!asked.ok && asked.error == "no terminal to ask for the password on") {
    asked.error = "no password for --user " + user +
                  ": set TARNEL_PASSWORD, use --password-file, or run on a terminal";
  }
  return asked;
}

}  // namespace tarnelctl
