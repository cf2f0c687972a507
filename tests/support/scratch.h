// Scratch files of a test program or benchmark: a temporary directory that
// removes itself, and whole-file reads and writes. The directory is also
// given to the guardian (test_guard.h), which removes it when the program
// ends without its destructor (a crash, SIGKILL from the test runner).
#pragma once

#include <sys/types.h>

#include <string>

namespace test_support {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // The path of `name` inside the directory.
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The whole content of `path`; "" when it cannot be read.
std::string read_file(const std::string& path);

// Replaces the content of `path` (created when missing) with `content` and
// gives it `mode`. Throws std::runtime_error naming the path when it cannot.
void write_file(const std::string& path, const std::string& content, mode_t mode = 0600);

}  // namespace test_support
