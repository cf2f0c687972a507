// The process-wide sink of one log file (internal to host/): appends whole
// lines with one write each, rotates by size under a lock shared with the
// other processes writing the file, and falls back to stderr. The contract
// it implements (file and lock opening, rotation, failed writes) is stated
// in platform/NqDebug.h; the writer facade (NqDebug.cpp) keeps one sink per
// file for the life of the process.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "unique_fd.h"

namespace tarnel_host {

class RotatingLogSink {
 public:
  static constexpr int kMaxVersions = 100;

  // A sink of the file at `path`, not yet opened: 10 MiB limit, 10 files.
  explicit RotatingLogSink(std::string path);
  RotatingLogSink(const RotatingLogSink&) = delete;
  RotatingLogSink& operator=(const RotatingLogSink&) = delete;

  const std::string& path() const { return path_; }
  // True while lines go to stderr (the file is not open).
  bool on_stderr() const { return onStderr_.load(std::memory_order_relaxed); }
  // The sink's lock, for the fork handlers only: held, the sink is idle.
  std::mutex& mutex() { return mutex_; }

  // Opens the file unless it is open already. The first failure is
  // reported on stderr, and lines go to stderr until an open succeeds.
  void ensure_open();

  // Rotation limit in bytes (0: none).
  void set_limit(uint64_t bytes);
  uint64_t limit();
  // Files kept in all, brought into 1..kMaxVersions.
  void set_versions(int versions);
  int versions();

  // Appends one complete line (`lineLength` bytes at break_then_line + 1, its
  // line feed last) with one write, rotating first when it would take the
  // file past the limit. break_then_line[0] is a line feed: it is written
  // before the line when an earlier write left part of a line in the file,
  // so that this line starts on a line of its own. A line that cannot be
  // written goes to stderr after a report. SIGXFSZ is blocked for the
  // calling thread meanwhile (file_size_signal_block.h).
  void write(const char* break_then_line, size_t lineLength);

  // After fork, in the child, with mutex() held: the lock descriptor is
  // shared with the parent (and so would be its flock), so the child opens
  // its own. Makes system calls only (async-signal-safe).
  void reopen_lock_in_child();

 private:
  void set_limit_locked(uint64_t bytes);
  void set_versions_locked(int versions);
  int open_file();
  void recheck(int64_t now);
  bool due_for_rotation(size_t lineLength) const;
  void rotate(size_t lineLength, int64_t now);
  bool shift_files();
  void warn(const char* what, const std::string& path, int error, int64_t now);

  const std::string path_;
  const std::string lockPath_;
  const std::string directory_;
  std::atomic<bool> onStderr_{true};
  std::mutex mutex_;  // guards every member below
  UniqueFd file_;
  UniqueFd lock_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  uint64_t size_ = 0;   // bytes in the file as far as we know
  uint64_t limit_ = 0;  // rotation limit in bytes; 0: none
  uint64_t recheckBytes_ = 0;
  uint64_t sinceRecheck_ = 0;  // our bytes since the last look at the file
  int64_t lastRecheckNs_ = 0;
  int64_t rotationBackoffUntilNs_ = 0;
  int64_t lastWarningNs_ = 0;
  bool warnedOpen_ = false;
  bool fragment_ = false;  // the file ends with part of a line of ours
  int lockError_ = 0;
  std::vector<std::string> rotatedPaths_;  // .1 .. .(versions - 1)
};

}  // namespace tarnel_host
