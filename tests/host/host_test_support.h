// Helpers of the host tests: a temporary directory, an environment variable
// set for one scope, file reading, stderr capture and a cancellation token
// without a descriptor. A program that makes a TempDir also gets the
// guardian of test_guard.h: what it started (the process runner's shells and
// what they left running) and its temporary directories go when it ends,
// however it ends.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>

#include "RkCancel.h"
#include "test_guard.h"

namespace host_test {

// A fresh directory under the system's temp dir, removed with its contents.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarnel-host-XXXXXX").string();
    if (!::mkdtemp(&pattern[0])) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    test_guard::remove_at_end(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

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

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
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
    return readFile(path_);
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
inline std::unique_ptr<RkCancelToken> tokenWithoutDescriptor() {
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
