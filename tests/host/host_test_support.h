// Helpers of the host tests: a temporary directory and file reading and
// writing (the support library's, tests/support), an environment variable
// set for one scope, stderr capture, a function run in a forked child with a
// time limit, and a cancellation token without a descriptor. A program that
// makes a TempDir also gets the guardian of test_guard.h: what it started
// (the process runner's shells and what they left running) and its
// temporary directories go when it ends, however it ends.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "RkCancel.h"
#include "scratch.h"

namespace host_test {

// Scratch directories (tests/support/scratch.h).
using test_support::TempDir;

// Sets (or, with std::nullopt, unsets) an environment variable and restores
// its previous state at the end of the scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) previous_ = old;
    apply(value);
  }
  ~ScopedEnv() { apply(previous_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void apply(const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name_.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  std::string name_;
  std::optional<std::string> previous_;
};

// Whole-file reads and writes (tests/support/scratch.h); a written file
// has mode 0600.
using test_support::read_file;
using test_support::write_file;

// What in_child returns for a child that did not exit by itself in time.
constexpr int kNoExit = -1000;

// Runs `body` in a forked child (sharing the test's files and stderr), so
// that a call that blocks fails the test instead of hanging it: the child's
// exit status (body's result; -1 comes back as 255), or kNoExit when the
// child was killed by a signal or did not end within `limitMs` (it is then
// killed).
inline int in_child(const std::function<int()>& body, int limitMs = 10000) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(body() & 0xff);
  if (child < 0) return kNoExit;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  int status = 0;
  while (::waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      return kNoExit;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : kNoExit;
}

// Sends this process's stderr (fd 2) to a file for the scope.
class StderrCapture {
 public:
  explicit StderrCapture(std::string path) : path_(std::move(path)) {
    saved_ = ::dup(STDERR_FILENO);
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
  }
  ~StderrCapture() { restore(); }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  // Restores stderr and returns what was written to it.
  std::string finish() {
    restore();
    return read_file(path_);
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    saved_ = -1;
  }
  std::string path_;
  int saved_ = -1;
};

// A token made while the descriptor limit left no descriptor free, so it
// has none and its waiters fall back to looking at its flag.
inline std::unique_ptr<RkCancelToken> token_without_descriptor() {
  const int lowestFree = ::dup(STDIN_FILENO);
  if (lowestFree < 0) throw std::runtime_error("dup failed");
  ::close(lowestFree);
  struct rlimit saved;
  ::getrlimit(RLIMIT_NOFILE, &saved);
  struct rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowestFree);
  ::setrlimit(RLIMIT_NOFILE, &tight);
  std::unique_ptr<RkCancelToken> token(new RkCancelToken);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  return token;
}

}  // namespace host_test
