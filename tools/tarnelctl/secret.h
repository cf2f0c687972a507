// Passwords in tarnelctl: where they come from and how they are held.
//
// A password never comes from argv. It is read from a file, from the
// environment (TARNEL_PASSWORD, removed from the environment once read so
// that no child process inherits it), from standard input, or from a prompt
// on the controlling terminal with echo switched off. Buffers that held it
// are wiped.
#pragma once

#include <string>

namespace tarnelctl {

// A text wiped (zeroed) when it is replaced or destroyed. Not copyable.
class Secret {
 public:
  Secret() = default;
  ~Secret();
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;
  Secret(Secret&& other) noexcept;
  Secret& operator=(Secret&& other) noexcept;

  const std::string& str() const { return value_; }
  bool empty() const { return value_.empty(); }
  // Appends one byte (used while reading).
  void push_back(char c) { value_.push_back(c); }
  void clear();

 private:
  std::string value_;
};

// Zeroes the characters of `text` in place and empties it.
void wipe(std::string& text);

// Result of reading a password: ok with the text, or an error message; and
// a warning for people when the file it came from is a regular file that
// users other than its owner may read.
struct SecretRead {
  bool ok = false;
  Secret value;
  std::string error;
  std::string warning;
};

// Longest password accepted, in bytes (the library decrypts the stored
// password into a buffer of 1024 bytes with its terminating NUL).
constexpr std::size_t kMaxPasswordBytes = 1023;

// The first line of the file at `path`, without its line end.
SecretRead read_password_file(const std::string& path);
// The first line of standard input, without its line end.
SecretRead read_password_stdin();
// Asks on the controlling terminal with echo off; asks twice and compares
// when `confirm` is set. Fails when there is no terminal.
SecretRead prompt_password(const std::string& prompt, bool confirm);
// True when standard input is a terminal.
bool stdin_is_terminal();
// The password for --user: --password-file when given ("-": the first line
// of standard input, or the prompt when it is a terminal), else
// TARNEL_PASSWORD, else the prompt. An empty password is an error.
SecretRead user_password(const std::string& user, const std::string& password_file);

}  // namespace tarnelctl
