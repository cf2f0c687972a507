// The rotating multi-process sink of one log file (rotating_log_sink.h).
#include "rotating_log_sink.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "file_size_signal_block.h"
#include "posix_io.h"

namespace tarnel_host {

namespace {

constexpr uint64_t kDefaultLimitBytes = 10 * 1024 * 1024;
constexpr int kDefaultVersions = 10;
// Permissions of the log file and its lock; a wider log file we own is narrowed.
constexpr mode_t kFileMode = 0640;
// Bounded wait for the rotation lock; after a time-out no rotation is tried
// for kRotationBackoffNs.
constexpr int kRotationLockWaitMs = 1000;
constexpr int64_t kRotationBackoffNs = 1000000000LL;
// The file is looked at again (inode and true size) after this many bytes of
// our own or this much time, so that a rotation by another process and the
// other processes' bytes are noticed.
constexpr uint64_t kMaxRecheckBytes = 256 * 1024;
constexpr int64_t kRecheckNs = 1000000000LL;
// At most one failure report on stderr per sink in this time.
constexpr int64_t kWarningIntervalNs = 10LL * 1000000000LL;

void write_stderr(const char* data, size_t length) {
  write_within_size_limit(STDERR_FILENO, data, length);
}

// Reports a failure of the writer on stderr as one line: "tarnel log: <what>
// <path>: <reason><rest>".
void report(const char* what, const std::string& path, int error, const char* rest = "") {
  char text[1024];
  int length = std::snprintf(text, sizeof text, "tarnel log: %s %s: %s%s\n", what, path.c_str(),
                             error_text(error).c_str(), rest);
  if (length > 0) write_stderr(text, std::min(static_cast<size_t>(length), sizeof text - 1));
}

}  // namespace

RotatingLogSink::RotatingLogSink(std::string path)
    : path_(std::move(path)), lockPath_(path_ + ".lock"), directory_(directory_of(path_)) {
  set_versions_locked(kDefaultVersions);
  set_limit_locked(kDefaultLimitBytes);
}

void RotatingLogSink::ensure_open() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (file_.valid()) return;
  int error = open_file();
  if (error == 0 || warnedOpen_) return;
  warnedOpen_ = true;
  report("cannot open", path_, error, "; log lines go to stderr");
}

void RotatingLogSink::set_limit(uint64_t bytes) {
  std::lock_guard<std::mutex> guard(mutex_);
  set_limit_locked(bytes);
}

uint64_t RotatingLogSink::limit() {
  std::lock_guard<std::mutex> guard(mutex_);
  return limit_;
}

void RotatingLogSink::set_versions(int versions) {
  std::lock_guard<std::mutex> guard(mutex_);
  set_versions_locked(versions);
}

int RotatingLogSink::versions() {
  std::lock_guard<std::mutex> guard(mutex_);
  return static_cast<int>(rotatedPaths_.size()) + 1;
}

void RotatingLogSink::write(const char* break_then_line, size_t lineLength) {
  const char* line = break_then_line + 1;
  FileSizeSignalBlock block;  // taken before the lock, which is then held for one write only
  std::lock_guard<std::mutex> guard(mutex_);
  if (!file_.valid()) {
    write_stderr(line, lineLength);
    return;
  }
  const int64_t now = monotonic_ns();
  if (sinceRecheck_ >= recheckBytes_ || now - lastRecheckNs_ >= kRecheckNs) recheck(now);
  if (due_for_rotation(lineLength)) rotate(lineLength, now);
  const char* data = fragment_ ? break_then_line : line;
  const size_t length = fragment_ ? lineLength + 1 : lineLength;
  size_t written = 0;
  const bool complete = write_all(file_.get(), data, length, &written);
  const int error = errno;
  if (!complete) block.consume_raised();
  size_ += written;
  sinceRecheck_ += written;
  if (written > 0) fragment_ = data[written - 1] != '\n';
  if (!complete) {
    warn("cannot write", path_, error, now);
    write_stderr(line, lineLength);
  }
}

void RotatingLogSink::reopen_lock_in_child() {
  if (lock_.valid()) lock_ = safe_open(lockPath_, OpenFor::kUpdate, &lockError_, kFileMode);
}

void RotatingLogSink::set_limit_locked(uint64_t bytes) {
  limit_ = bytes;
  recheckBytes_ = (bytes > 0 && bytes / 8 < kMaxRecheckBytes) ? bytes / 8 : kMaxRecheckBytes;
}

void RotatingLogSink::set_versions_locked(int versions) {
  versions = std::clamp(versions, 1, kMaxVersions);
  if (static_cast<size_t>(versions) == rotatedPaths_.size() + 1) return;
  rotatedPaths_.clear();
  for (int i = 1; i < versions; ++i) rotatedPaths_.push_back(path_ + "." + std::to_string(i));
}

// Opens the file through safe_open (never through a link, never waiting on a
// FIFO, only a regular file; created when missing, with the last directory
// level if needed; narrowed to kFileMode when we own it) and takes its
// identity and size; opens the rotation lock the same way unless it is open.
// 0, or an errno value or kNotRegularFile. A lock that cannot be opened is
// reported; the log is then not rotated.
int RotatingLogSink::open_file() {
  int error = 0;
  UniqueFd opened = safe_open(path_, OpenFor::kAppend, &error, kFileMode, true);
  if (!opened.valid() && error == ENOENT && ::mkdir(directory_.c_str(), 0755) == 0) {
    opened = safe_open(path_, OpenFor::kAppend, &error, kFileMode, true);
  }
  if (!opened.valid()) return error;
  struct stat status;
  if (::fstat(opened.get(), &status) != 0) return errno;
  if (status.st_dev != device_ || status.st_ino != inode_) fragment_ = false;
  file_ = std::move(opened);
  device_ = status.st_dev;
  inode_ = status.st_ino;
  size_ = static_cast<uint64_t>(status.st_size);
  sinceRecheck_ = 0;
  lastRecheckNs_ = monotonic_ns();
  onStderr_.store(false, std::memory_order_relaxed);
  if (!lock_.valid()) {
    lock_ = safe_open(lockPath_, OpenFor::kUpdate, &lockError_, kFileMode);
    if (!lock_.valid()) warn("cannot open", lockPath_, lockError_, lastRecheckNs_);
  }
  return 0;
}

// Takes the true size of the file and, when the path names another file
// (another process rotated it), opens that one instead.
void RotatingLogSink::recheck(int64_t now) {
  sinceRecheck_ = 0;
  lastRecheckNs_ = now;
  struct stat status;
  if (::stat(path_.c_str(), &status) == 0 && status.st_dev == device_ && status.st_ino == inode_) {
    size_ = static_cast<uint64_t>(status.st_size);
    return;
  }
  UniqueFd current = std::move(file_);
  int error = open_file();
  if (error != 0) {
    file_ = std::move(current);  // keep writing to the file we have
    warn("cannot reopen", path_, error, now);
  }
}

// True when a line of `lineLength` bytes (and the line feed before it, after
// a fragment) would take a non-empty file past the limit.
bool RotatingLogSink::due_for_rotation(size_t lineLength) const {
  return limit_ > 0 && size_ > 0 && size_ + lineLength + (fragment_ ? 1 : 0) > limit_;
}

// Rotates before a line of `lineLength` bytes unless another process has
// done so already. Runs under the cross-process lock; without it the line is
// written to the current file.
void RotatingLogSink::rotate(size_t lineLength, int64_t now) {
  if (now < rotationBackoffUntilNs_) return;
  const int lockError =
      lock_.valid() ? lock_within(lock_.get(), kRotationLockWaitMs, 1) : lockError_;
  if (lockError != 0) {
    // Counted from the end of the wait, which may have taken its full time.
    rotationBackoffUntilNs_ = monotonic_ns() + kRotationBackoffNs;
    warn("cannot lock for rotation", path_, lockError, now);
    return;
  }
  recheck(now);
  if (due_for_rotation(lineLength)) {
    if (!shift_files()) {
      rotationBackoffUntilNs_ = now + kRotationBackoffNs;
      warn("cannot rotate", path_, errno, now);
    }
    UniqueFd previous = std::move(file_);
    int error = open_file();
    if (error != 0) {
      file_ = std::move(previous);
      warn("cannot open after rotation", path_, error, now);
    }
  }
  ::flock(lock_.get(), LOCK_UN);
}

// .N-1 becomes .N down to the current file becoming .1; with one version in
// all the current file is removed. The numbered files beyond the kept ones
// (up to .99, left by a larger setting) are removed first. False when the
// current file stayed.
bool RotatingLogSink::shift_files() {
  // Results ignored: most of these files do not exist, and one left behind
  // only takes room.
  for (size_t i = rotatedPaths_.size() + 1; i < static_cast<size_t>(kMaxVersions); ++i) {
    ::unlink((path_ + "." + std::to_string(i)).c_str());
  }
  if (rotatedPaths_.empty()) return ::unlink(path_.c_str()) == 0 || errno == ENOENT;
  // A missing .N (a rotation with fewer files, or a removed one) has nothing
  // to move; the rest still shift.
  for (size_t i = rotatedPaths_.size() - 1; i > 0; --i) {
    ::rename(rotatedPaths_[i - 1].c_str(), rotatedPaths_[i].c_str());
  }
  return ::rename(path_.c_str(), rotatedPaths_[0].c_str()) == 0 || errno == ENOENT;
}

void RotatingLogSink::warn(const char* what, const std::string& path, int error, int64_t now) {
  if (lastWarningNs_ != 0 && now - lastWarningNs_ < kWarningIntervalNs) return;
  lastWarningNs_ = now;
  report(what, path, error);
}

}  // namespace tarnel_host
