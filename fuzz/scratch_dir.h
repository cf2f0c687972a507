// A directory of its own for a fuzz target's files, removed at exit with the
// files named through file(). Memory-backed when possible (/dev/shm): a
// target rewrites its file for every input, and on a disk file system that
// waits for the disk.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace fuzz {

class ScratchDir {
 public:
  // "<base>/<prefix>.XXXXXX", the base /dev/shm, else $TMPDIR, else /tmp.
  explicit ScratchDir(const char* prefix) {
    const char* base = std::getenv("TMPDIR");
    if (::access("/dev/shm", W_OK) == 0) base = "/dev/shm";
    path_ = std::string(base && *base ? base : "/tmp") + "/" + prefix + ".XXXXXX";
    made_ = ::mkdtemp(&path_[0]) != nullptr;
  }
  ~ScratchDir() {
    for (const std::string& file : files_) ::unlink(file.c_str());
    if (made_) ::rmdir(path_.c_str());
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // False when the directory could not be made; path() is then its pattern.
  bool made() const { return made_; }
  const std::string& path() const { return path_; }
  // The path of `name` in the directory; that file goes with it.
  std::string file(const std::string& name) {
    files_.push_back(path_ + "/" + name);
    return files_.back();
  }

 private:
  std::string path_;
  bool made_ = false;
  std::vector<std::string> files_;
};

}  // namespace fuzz
