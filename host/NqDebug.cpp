// Host log writer: one process-wide sink per log file, shared by every writer
// object of that file. The contract, the line layout and the settings are
// described in platform/NqDebug.h.
#include "NqDebug.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "rkmx_utils.h"
#include "posix_io.h"

using tarnel_host::directory_of;
using tarnel_host::lock_within;
using tarnel_host::monotonic_ns;
using tarnel_host::UniqueFd;
using tarnel_host::write_all;

namespace {

constexpr const char* kDefaultLogDirectory = "/var/log/tarnel";
constexpr const char* kDefaultLogName = "RKTarnel";
constexpr int32_t kDefaultDebugLevel = 0;
constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kDefaultLimitBytes = 10 * kMiB;
constexpr int kDefaultVersions = 10;
constexpr int kMaxVersions = 100;
// A line, its line feed and the cut marker included, never exceeds this.
constexpr size_t kMaxLineBytes = 64 * 1024;
// Room kept for the cut marker " [... N bytes dropped]".
constexpr size_t kMarkerReserve = 48;
// Longest function tag written; a longer one is cut.
constexpr size_t kMaxTagBytes = 1024;
// Lines up to this size are formatted on the stack.
constexpr size_t kStackLineBytes = 4096;
// Distinct log files one process can write.
constexpr int kMaxSinks = 64;
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

void writeStderr(const char* data, size_t length) { write_all(STDERR_FILENO, data, length); }

// Reports a failure of the writer on stderr as one line.
void report(const char* what, const std::string& path, int error) {
  char text[1024];
  int length = std::snprintf(text, sizeof text, "tarnel log: %s %s: %s\n", what, path.c_str(),
                             std::strerror(error));
  if (length > 0) writeStderr(text, std::min(static_cast<size_t>(length), sizeof text - 1));
}

// The process-wide state of one log file. Every member after mutex_ is
// guarded by it.
class Sink {
 public:
  explicit Sink(std::string path)
      : path_(std::move(path)), lockPath_(path_ + ".lock"), directory_(directory_of(path_)) {
    setVersionsLocked(kDefaultVersions);
    setLimitLocked(kDefaultLimitBytes);
  }

  const std::string& path() const { return path_; }
  bool onStderr() const { return onStderr_.load(std::memory_order_relaxed); }
  std::mutex& mutex() { return mutex_; }

  // Opens the file unless it is open already. The first failure is
  // reported on stderr, and lines go to stderr until an open succeeds.
  void ensureOpen() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (file_.valid()) return;
    int error = openFile();
    if (error == 0) return;
    if (!warnedOpen_) {
      warnedOpen_ = true;
      char text[1024];
      int length = std::snprintf(text, sizeof text,
                                 "tarnel log: cannot open %s: %s; log lines go to stderr\n",
                                 path_.c_str(), std::strerror(error));
      if (length > 0) writeStderr(text, std::min(static_cast<size_t>(length), sizeof text - 1));
    }
  }

  void setLimit(uint64_t bytes) {
    std::lock_guard<std::mutex> guard(mutex_);
    setLimitLocked(bytes);
  }
  uint64_t limit() {
    std::lock_guard<std::mutex> guard(mutex_);
    return limit_;
  }

  void setVersions(int versions) {
    std::lock_guard<std::mutex> guard(mutex_);
    setVersionsLocked(versions);
  }
  int versions() {
    std::lock_guard<std::mutex> guard(mutex_);
    return static_cast<int>(rotatedPaths_.size()) + 1;
  }

  // Appends one complete line with one write.
  void write(const char* line, size_t length) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!file_.valid()) {
      writeStderr(line, length);
      return;
    }
    const int64_t now = monotonic_ns();
    if (sinceRecheck_ >= recheckBytes_ || now - lastRecheckNs_ >= kRecheckNs) recheck(now);
    if (limit_ > 0 && size_ + length > limit_) rotate(length, now);
    if (!write_all(file_.get(), line, length)) {
      warn("cannot write", errno, now);
      writeStderr(line, length);
      return;
    }
    size_ += length;
    sinceRecheck_ += length;
  }

  // After fork, in the child: the lock descriptor is shared with the parent
  // (and so would be its flock), so the child opens its own. Only
  // async-signal-safe calls; the caller holds mutex_.
  void reopenLockInChild() {
    if (lock_.valid()) lock_.reset(::open(lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640));
  }

 private:
  void setLimitLocked(uint64_t bytes) {
    limit_ = bytes;
    recheckBytes_ = (bytes > 0 && bytes / 8 < kMaxRecheckBytes) ? bytes / 8 : kMaxRecheckBytes;
  }

  void setVersionsLocked(int versions) {
    if (versions < 1) versions = 1;
    if (versions > kMaxVersions) versions = kMaxVersions;
    if (static_cast<size_t>(versions) == rotatedPaths_.size() + 1) return;
    rotatedPaths_.clear();
    for (int i = 1; i < versions; ++i) rotatedPaths_.push_back(path_ + "." + std::to_string(i));
  }

  // Opens (creating the last directory level if needed) and takes the
  // file's identity and size. 0 or an errno value.
  int openFile() {
    int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0 && errno == ENOENT && ::mkdir(directory_.c_str(), 0755) == 0) {
      fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    }
    if (fd < 0) return errno;
    UniqueFd opened(fd);
    struct stat status;
    if (::fstat(fd, &status) != 0) return errno;
    file_ = std::move(opened);
    device_ = status.st_dev;
    inode_ = status.st_ino;
    size_ = static_cast<uint64_t>(status.st_size);
    sinceRecheck_ = 0;
    lastRecheckNs_ = monotonic_ns();
    onStderr_.store(false, std::memory_order_relaxed);
    if (!lock_.valid()) {
      lock_.reset(::open(lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640));
      lockError_ = lock_.valid() ? 0 : errno;
    }
    return 0;
  }

  // Takes the true size of the file and, when the path names another file
  // (another process rotated it), opens that one instead.
  void recheck(int64_t now) {
    sinceRecheck_ = 0;
    lastRecheckNs_ = now;
    struct stat status;
    if (::stat(path_.c_str(), &status) == 0 && status.st_dev == device_ && status.st_ino == inode_) {
      size_ = static_cast<uint64_t>(status.st_size);
      return;
    }
    UniqueFd current = std::move(file_);
    int error = openFile();
    if (error != 0) {
      file_ = std::move(current);  // keep writing to the file we have
      warn("cannot reopen", error, now);
    }
  }

  // 0 once the rotation lock is held, otherwise the errno value that tells
  // why it is not (ETIMEDOUT: another process kept it).
  int lockForRotation() {
    if (!lock_.valid()) return lockError_;
    return lock_within(lock_.get(), kRotationLockWaitMs, 1);
  }

  // Rotates before a line of `length` bytes unless another process has
  // done so already. Runs under the cross-process lock; without it the
  // line is written to the current file.
  void rotate(size_t length, int64_t now) {
    if (now < rotationBackoffUntilNs_) return;
    if (int error = lockForRotation()) {
      rotationBackoffUntilNs_ = now + kRotationBackoffNs;
      warn("cannot lock for rotation", error, now);
      return;
    }
    recheck(now);
    if (size_ > 0 && size_ + length > limit_) {
      bool renamed = shiftFiles();
      if (!renamed) {
        rotationBackoffUntilNs_ = now + kRotationBackoffNs;
        warn("cannot rotate", errno, now);
      }
      UniqueFd previous = std::move(file_);
      int error = openFile();
      if (error != 0) {
        file_ = std::move(previous);
        warn("cannot open after rotation", error, now);
      }
    }
    ::flock(lock_.get(), LOCK_UN);
  }

  // .N-1 becomes .N down to the current file becoming .1; with one version
  // in all the current file is removed. False when the current file stayed.
  bool shiftFiles() {
    if (rotatedPaths_.empty()) return ::unlink(path_.c_str()) == 0 || errno == ENOENT;
    for (size_t i = rotatedPaths_.size() - 1; i > 0; --i) {
      ::rename(rotatedPaths_[i - 1].c_str(), rotatedPaths_[i].c_str());  // a gap is no error
    }
    return ::rename(path_.c_str(), rotatedPaths_[0].c_str()) == 0 || errno == ENOENT;
  }

  void warn(const char* what, int error, int64_t now) {
    if (lastWarningNs_ != 0 && now - lastWarningNs_ < kWarningIntervalNs) return;
    lastWarningNs_ = now;
    report(what, path_, error);
  }

  const std::string path_;
  const std::string lockPath_;
  const std::string directory_;
  std::atomic<bool> onStderr_{true};
  std::mutex mutex_;
  UniqueFd file_;
  UniqueFd lock_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  uint64_t size_ = 0;            // bytes in the file as far as we know
  uint64_t limit_ = 0;            // rotation limit in bytes; 0: none
  uint64_t recheckBytes_ = 0;
  uint64_t sinceRecheck_ = 0;    // our bytes since the last look at the file
  int64_t lastRecheckNs_ = 0;
  int64_t rotationBackoffUntilNs_ = 0;
  int64_t lastWarningNs_ = 0;
  bool warnedOpen_ = false;
  int lockError_ = 0;
  std::vector<std::string> rotatedPaths_;  // .1 .. .(versions - 1)
};

// Sinks of this process, created on first use and kept until the process
// ends (writers may still log while static objects are destroyed).
struct Registry {
  std::mutex mutex;  // guards creation; taken before any sink's mutex
  std::atomic<Sink*> sinks[kMaxSinks] = {};
  int count = 0;
  pid_t pid = 0;
};

Registry* gRegistry = nullptr;
thread_local pid_t tThreadId = 0;
thread_local int64_t tCachedSecond = -1;
thread_local char tCachedDate[24];

// fork: no sink may be in use while the child is made, and the child needs
// its own rotation-lock descriptors and its own identifiers.
void beforeFork() {
  gRegistry->mutex.lock();
  for (int i = 0; i < gRegistry->count; ++i) gRegistry->sinks[i].load()->mutex().lock();
}
void afterForkInParent() {
  for (int i = gRegistry->count - 1; i >= 0; --i) gRegistry->sinks[i].load()->mutex().unlock();
  gRegistry->mutex.unlock();
}
void afterForkInChild() {
  gRegistry->pid = ::getpid();
  tThreadId = 0;
  for (int i = gRegistry->count - 1; i >= 0; --i) {
    Sink* sink = gRegistry->sinks[i].load();
    sink->reopenLockInChild();
    sink->mutex().unlock();
  }
  gRegistry->mutex.unlock();
}

Registry& registry() {
  static Registry* const instance = [] {
    auto* created = new Registry();
    created->pid = ::getpid();
    gRegistry = created;
    ::pthread_atfork(beforeFork, afterForkInParent, afterForkInChild);
    return created;
  }();
  return *instance;
}

Sink* sinkAt(int32_t index) {
  if (index < 0 || index >= kMaxSinks) return nullptr;
  return registry().sinks[index].load(std::memory_order_acquire);
}

// The index of the sink of `path`, created and opened as needed; -1 when
// the process already writes kMaxSinks files.
int32_t joinSink(const std::string& path) {
  Registry& reg = registry();
  std::lock_guard<std::mutex> guard(reg.mutex);
  for (int i = 0; i < reg.count; ++i) {
    Sink* sink = reg.sinks[i].load(std::memory_order_relaxed);
    if (sink->path() == path) {
      sink->ensureOpen();
      return i;
    }
  }
  if (reg.count == kMaxSinks) return -1;
  auto sink = std::make_unique<Sink>(path);
  sink->ensureOpen();
  reg.sinks[reg.count].store(sink.release(), std::memory_order_release);
  return reg.count++;
}

bool validLogName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

int32_t configuredDebugLevel() {
  std::string text;
  if (rkmx_utils::get_reg_key("dTarnelDebugLevel", text) != 0) return kDefaultDebugLevel;
  int32_t level = kDefaultDebugLevel;
  const char* end = text.data() + text.size();
  auto [rest, error] = std::from_chars(text.data(), end, level);
  if (text.empty() || error != std::errc() || rest != end) return kDefaultDebugLevel;
  return level;
}

bool mirrorRequestedByEnvironment() {
  const char* value = std::getenv("TARNEL_LOG_STDERR");
  return value && std::strcmp(value, "1") == 0;
}

// Writes `value` in decimal at `out`; returns the end.
char* putDecimal(char* out, unsigned long long value) {
  char digits[24];
  size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) *out++ = digits[--count];
  return out;
}

char* putTwo(char* out, int value) {
  *out++ = static_cast<char>('0' + value / 10);
  *out++ = static_cast<char>('0' + value % 10);
  return out;
}

// "YYYY-MM-DDTHH:MM:SS.uuuuuuZ pid tid [tag: ][[code C, id I] ]" at `out`,
// which has room for kMaxTagBytes + 128 bytes. Returns its length.
size_t formatHeader(char* out, const char* function, unsigned int code, long long id) {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  if (now.tv_sec != tCachedSecond) {
    struct tm parts;
    time_t seconds = now.tv_sec;
    ::gmtime_r(&seconds, &parts);
    char* d = tCachedDate;
    d = putDecimal(d, static_cast<unsigned long long>(parts.tm_year + 1900));
    *d++ = '-';
    d = putTwo(d, parts.tm_mon + 1);
    *d++ = '-';
    d = putTwo(d, parts.tm_mday);
    *d++ = 'T';
    d = putTwo(d, parts.tm_hour);
    *d++ = ':';
    d = putTwo(d, parts.tm_min);
    *d++ = ':';
    d = putTwo(d, parts.tm_sec);
    *d = '\0';
    tCachedSecond = now.tv_sec;
  }
  if (tThreadId == 0) tThreadId = ::gettid();

  char* p = out;
  for (const char* d = tCachedDate; *d; ++d) *p++ = *d;
  *p++ = '.';
  long micros = now.tv_nsec / 1000;
  for (long divisor = 100000; divisor > 0; divisor /= 10) {
    *p++ = static_cast<char>('0' + (micros / divisor) % 10);
  }
  *p++ = 'Z';
  *p++ = ' ';
  p = putDecimal(p, static_cast<unsigned long long>(registry().pid));
  *p++ = ' ';
  p = putDecimal(p, static_cast<unsigned long long>(tThreadId));
  *p++ = ' ';
  if (function) {
    size_t tagLength = ::strnlen(function, kMaxTagBytes);
    std::memcpy(p, function, tagLength);
    p += tagLength;
    *p++ = ':';
    *p++ = ' ';
  }
  if (code != 0 || id != 0) {
    std::memcpy(p, "[code ", 6);
    p = putDecimal(p + 6, code);
    std::memcpy(p, ", id ", 5);
    p += 5;
    if (id < 0) *p++ = '-';
    p = putDecimal(p, id < 0 ? 0ULL - static_cast<unsigned long long>(id)
                             : static_cast<unsigned long long>(id));
    *p++ = ']';
    *p++ = ' ';
  }
  return static_cast<size_t>(p - out);
}

// One formatted line: on the stack when it fits, otherwise on the heap.
class LineText {
 public:
  // Formats the header and the message, cuts it to kMaxLineBytes with the
  // marker, and ends it with one line feed.
  LineText(const char* function, unsigned int code, long long id, const char* format,
           va_list args) {
    size_t header = formatHeader(stack_, function, code, id);
    if (!format) format = "(null)";
    // Room for the message on the stack, keeping space for marker and line feed.
    const size_t stackRoom = kStackLineBytes - header - kMarkerReserve - 1;
    va_list retry;
    va_copy(retry, args);
    int needed = std::vsnprintf(stack_ + header, stackRoom + 1, format, args);
    if (needed < 0) {
      static const char kBad[] = "(message could not be formatted)";
      std::memcpy(stack_ + header, kBad, sizeof kBad - 1);
      needed = sizeof kBad - 1;
    }
    const size_t message = static_cast<size_t>(needed);
    size_t kept = message;
    data_ = stack_;
    if (message > stackRoom) {
      const size_t maxMessage = kMaxLineBytes - header - 1;
      if (message > maxMessage) kept = maxMessage - kMarkerReserve;
      heap_.reset(new (std::nothrow) char[header + kept + kMarkerReserve + 2]);
      if (heap_) {
        std::memcpy(heap_.get(), stack_, header);
        std::vsnprintf(heap_.get() + header, kept + 1, format, retry);
        data_ = heap_.get();
      } else {
        kept = stackRoom;  // no memory for the whole line: keep what the stack holds
      }
    }
    va_end(retry);
    length_ = header + kept;
    if (kept < message) {
      int marker = std::snprintf(data_ + length_, kMarkerReserve, " [... %zu bytes dropped]",
                                 message - kept);
      length_ += static_cast<size_t>(marker);
    } else {
      // The message's own final line feeds are dropped: the line gets exactly one.
      while (length_ > header && data_[length_ - 1] == '\n') --length_;
    }
    data_[length_++] = '\n';
  }
  LineText(const LineText&) = delete;
  LineText& operator=(const LineText&) = delete;

  const char* data() const { return data_; }
  size_t length() const { return length_; }

 private:
  char stack_[kStackLineBytes];
  std::unique_ptr<char[]> heap_;
  char* data_ = nullptr;
  size_t length_ = 0;
};

}  // namespace

NqDebug::NqDebug(NqDebugFileInstance* instance) : instance_(instance) {}

// The descriptor may be destroyed before its writer (the library's facade
// declares the writer first), so the destructor does not look at it.
NqDebug::~NqDebug() = default;

int NqDebug::initialize(NqDebugFileInstance* instance, unsigned int moduleId, long long instanceId,
                        bool mirrorToConsole, const std::string& logName) {
  if (!instance) return -1;
  instance_ = instance;
  instance->debugLevel = kDefaultDebugLevel;
  instance->sinkIndex = -1;
  try {
    instance->debugLevel = configuredDebugLevel();
    instance->moduleId = moduleId;
    instance->instanceId = instanceId;
    instance->mirrorToConsole = mirrorToConsole || mirrorRequestedByEnvironment();
    instance->enabled = 1;
    std::string directory;
    if (rkmx_utils::get_reg_key("sTarnelLogDir", directory) != 0 || directory.empty()) {
      directory = kDefaultLogDirectory;
    }
    instance->logDirectory = directory;
    instance->logName = logName;
    if (directory.back() != '/') directory += '/';
    const std::string path =
        directory + (validLogName(logName) ? logName : std::string(kDefaultLogName)) + ".log";
    instance->sinkIndex = joinSink(path);
    Sink* sink = sinkAt(instance->sinkIndex);
    if (!sink) return -1;
    instance->maxFileSize = static_cast<int64_t>(sink->limit());
    instance->maxVersions = sink->versions();
    return sink->onStderr() ? 1 : 0;
  } catch (...) {
    return -1;
  }
}

int NqDebug::setLogFileSize(unsigned long long sizeMiB) {
  if (!instance_) return -1;
  const unsigned long long maxMiB = static_cast<unsigned long long>(INT64_MAX) / kMiB;
  const uint64_t bytes = (sizeMiB > maxMiB ? maxMiB : sizeMiB) * kMiB;
  instance_->maxFileSize = static_cast<int64_t>(bytes);
  try {
    if (Sink* sink = sinkAt(instance_->sinkIndex)) sink->setLimit(bytes);
  } catch (...) {
    return -1;
  }
  return 0;
}

int NqDebug::setMaxVersion(int versions) {
  if (!instance_) return -1;
  if (versions < 1) versions = 1;
  if (versions > kMaxVersions) versions = kMaxVersions;
  instance_->maxVersions = versions;
  try {
    if (Sink* sink = sinkAt(instance_->sinkIndex)) sink->setVersions(versions);
  } catch (...) {
    return -1;
  }
  return 0;
}

void NqDebug::handleMsgEventDebug_NEW(int /*severity*/, const char* function, unsigned int code,
                                      int /*category*/, long long id, const char* /*file*/,
                                      const char* format, va_list args) {
  try {
    NqDebugFileInstance* instance = instance_;
    if (instance && instance->enabled == 0) return;
    LineText line(function, code, id, format, args);
    Sink* sink = instance ? sinkAt(instance->sinkIndex) : nullptr;
    if (!sink) {
      writeStderr(line.data(), line.length());
      return;
    }
    sink->write(line.data(), line.length());
    if (instance->mirrorToConsole && !sink->onStderr()) writeStderr(line.data(), line.length());
    instance->linesWritten += 1;
    instance->bytesWritten += static_cast<int64_t>(line.length());
  } catch (...) {
    // A log line is never worth an exception in the caller.
  }
}
