// Host log writer: one process-wide sink per log file, shared by every writer
// object of that file. The contract, the line layout and the settings are
// described in platform/NqDebug.h.
#include "NqDebug.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "file_size_signal_block.h"
#include "rkmx_utils.h"
#include "rotating_log_sink.h"

using tarnel_host::RotatingLogSink;
using tarnel_host::write_within_size_limit;

namespace {

constexpr const char* kDefaultLogDirectory = "/var/log/tarnel";
constexpr const char* kDefaultLogName = "RKTarnel";
constexpr int32_t kDefaultDebugLevel = 0;
constexpr uint64_t kMiB = 1024 * 1024;
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

void write_stderr(const char* data, size_t length) {
  write_within_size_limit(STDERR_FILENO, data, length);
}

// Sinks of this process, created on first use and kept until the process
// ends (writers may still log while static objects are destroyed).
struct Registry {
  std::mutex mutex;  // guards creation; taken before any sink's mutex
  std::atomic<RotatingLogSink*> sinks[kMaxSinks] = {};
  int count = 0;
  pid_t pid = 0;
};

Registry* gRegistry = nullptr;
thread_local pid_t tThreadId = 0;
thread_local int64_t tCachedSecond = -1;
thread_local char tCachedDate[24];

// fork: no sink may be in use while the child is made, and the child needs
// its own rotation-lock descriptors and its own identifiers.
void before_fork() {
  gRegistry->mutex.lock();
  for (int i = 0; i < gRegistry->count; ++i) gRegistry->sinks[i].load()->mutex().lock();
}
void after_fork_in_parent() {
  for (int i = gRegistry->count - 1; i >= 0; --i) gRegistry->sinks[i].load()->mutex().unlock();
  gRegistry->mutex.unlock();
}
void after_fork_in_child() {
  gRegistry->pid = ::getpid();
  tThreadId = 0;
  for (int i = gRegistry->count - 1; i >= 0; --i) {
    RotatingLogSink* sink = gRegistry->sinks[i].load();
    sink->reopen_lock_in_child();
    sink->mutex().unlock();
  }
  gRegistry->mutex.unlock();
}

Registry& registry() {
  static Registry* const instance = [] {
    auto* created = new Registry();
    created->pid = ::getpid();
    gRegistry = created;
    ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
    return created;
  }();
  return *instance;
}

RotatingLogSink* sink_at(int32_t index) {
  if (index < 0 || index >= kMaxSinks) return nullptr;
  return registry().sinks[index].load(std::memory_order_acquire);
}

// The index of the sink of `path`, created and opened as needed; -1 when
// the process already writes kMaxSinks files.
int32_t join_sink(const std::string& path) {
  Registry& reg = registry();
  std::lock_guard<std::mutex> guard(reg.mutex);
  for (int i = 0; i < reg.count; ++i) {
    RotatingLogSink* sink = reg.sinks[i].load(std::memory_order_relaxed);
    if (sink->path() == path) {
      sink->ensure_open();
      return i;
    }
  }
  if (reg.count == kMaxSinks) return -1;
  auto sink = std::make_unique<RotatingLogSink>(path);
  sink->ensure_open();
  reg.sinks[reg.count].store(sink.release(), std::memory_order_release);
  return reg.count++;
}

bool valid_log_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

int32_t configured_debug_level() {
  std::string text;
  if (rkmx_utils::get_reg_key("dTarnelDebugLevel", text) != 0) return kDefaultDebugLevel;
  int32_t level = kDefaultDebugLevel;
  const char* end = text.data() + text.size();
  auto [rest, error] = std::from_chars(text.data(), end, level);
  if (text.empty() || error != std::errc() || rest != end) return kDefaultDebugLevel;
  return level;
}

bool mirror_requested_by_environment() {
  const char* value = std::getenv("TARNEL_LOG_STDERR");
  return value && std::strcmp(value, "1") == 0;
}

// Writes `value` in decimal at `out`; returns the end.
char* put_decimal(char* out, unsigned long long value) {
  char digits[24];
  size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) *out++ = digits[--count];
  return out;
}

char* put_two(char* out, int value) {
  *out++ = static_cast<char>('0' + value / 10);
  *out++ = static_cast<char>('0' + value % 10);
  return out;
}

// "YYYY-MM-DDTHH:MM:SS.uuuuuuZ pid tid [tag: ][[code C, id I] ]" at `out`,
// which has room for kMaxTagBytes + 128 bytes. Returns its length.
size_t format_header(char* out, const char* function, unsigned int code, long long id) {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  if (now.tv_sec != tCachedSecond) {
    struct tm parts;
    time_t seconds = now.tv_sec;
    ::gmtime_r(&seconds, &parts);
    char* d = tCachedDate;
    d = put_decimal(d, static_cast<unsigned long long>(parts.tm_year + 1900));
    *d++ = '-';
    d = put_two(d, parts.tm_mon + 1);
    *d++ = '-';
    d = put_two(d, parts.tm_mday);
    *d++ = 'T';
    d = put_two(d, parts.tm_hour);
    *d++ = ':';
    d = put_two(d, parts.tm_min);
    *d++ = ':';
    d = put_two(d, parts.tm_sec);
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
  p = put_decimal(p, static_cast<unsigned long long>(registry().pid));
  *p++ = ' ';
  p = put_decimal(p, static_cast<unsigned long long>(tThreadId));
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
    p = put_decimal(p + 6, code);
    std::memcpy(p, ", id ", 5);
    p += 5;
    if (id < 0) *p++ = '-';
    p = put_decimal(p, id < 0 ? 0ULL - static_cast<unsigned long long>(id)
                              : static_cast<unsigned long long>(id));
    *p++ = ']';
    *p++ = ' ';
  }
  return static_cast<size_t>(p - out);
}

// A run of message bytes escaped or written as it is as a whole: one
// well-formed UTF-8 character, or one byte.
struct Piece {
  size_t bytes;
  bool escaped;
};

// Length of the well-formed UTF-8 character of two or more bytes at `p`
// (`left` bytes at hand): shortest form, no surrogate, at most U+10FFFF. 0
// when none starts there.
size_t utf8_length(const unsigned char* p, size_t left) {
  const unsigned char c = p[0];
  size_t length = 0;
  unsigned char low = 0x80, high = 0xbf;  // range of the second byte
  if (c >= 0xc2 && c <= 0xdf) {
    length = 2;
  } else if (c >= 0xe0 && c <= 0xef) {
    length = 3;
    if (c == 0xe0) low = 0xa0;
    if (c == 0xed) high = 0x9f;
  } else if (c >= 0xf0 && c <= 0xf4) {
    length = 4;
    if (c == 0xf0) low = 0x90;
    if (c == 0xf4) high = 0x8f;
  }
  if (length == 0 || left < length || p[1] < low || p[1] > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (p[i] < 0x80 || p[i] > 0xbf) return 0;
  }
  return length;
}

// The piece at `p` (`left` bytes at hand, at least 1). Control characters
// other than tab are escaped: C0 and DEL, a C1 control (U+0080 to U+009F,
// encoded C2 80 to C2 9F) and a byte 0x80 to 0x9F that is no part of a
// well-formed character.
Piece piece_at(const unsigned char* p, size_t left) {
  const unsigned char c = p[0];
  if (c < 0x80) return Piece{1, (c < 0x20 && c != '\t') || c == 0x7f};
  const size_t length = utf8_length(p, left);
  if (length == 0) return Piece{1, c <= 0x9f};
  return Piece{length, c == 0xc2 && p[1] <= 0x9f};
}

// Bytes that byte `c` of an escaped piece takes: "\n" and "\r" for line
// feed and carriage return, "\xhh" for the others.
size_t escape_size(unsigned char c) { return c == '\n' || c == '\r' ? 2 : 4; }

// True when every byte of the `length` bytes at `text` is written as it is.
bool plain_text(const unsigned char* text, size_t length) {
  // Printable ASCII only, the common case: one pass that does not stop
  // early, which the compiler can vectorize.
  unsigned char outside = 0;
  for (size_t i = 0; i < length; ++i) outside |= static_cast<unsigned char>(text[i] - 0x20) >= 0x5f;
  if (outside == 0) return true;
  for (size_t i = 0; i < length;) {
    const Piece piece = piece_at(text + i, length - i);
    if (piece.escaped) return false;
    i += piece.bytes;
  }
  return true;
}

// How a message is written: its first `kept` bytes, taking `size` bytes
// escaped, and the cut marker when `cut`.
struct Layout {
  size_t kept;
  size_t size;
  bool cut;
};

// The layout of the `have` bytes of a message at `text` (`complete`: the
// whole message) in at most `room` bytes: all of them when they fit,
// otherwise the longest beginning of whole pieces that leaves room for the
// marker.
Layout lay_out(const unsigned char* text, size_t have, bool complete, size_t room) {
  const size_t cutRoom = room - kMarkerReserve;
  size_t total = 0;
  Layout cut{0, 0, true};
  for (size_t i = 0; i < have && total <= room;) {
    const Piece piece = piece_at(text + i, have - i);
    for (const size_t end = i + piece.bytes; i < end; ++i) {
      total += piece.escaped ? escape_size(text[i]) : 1;
    }
    if (total <= cutRoom) cut = Layout{i, total, true};
  }
  if (complete && total <= room) return Layout{have, total, false};
  return cut;
}

// Writes the first `kept` bytes at `text` escaped over the `size` bytes at
// `text` that lay_out gave for them. The bytes move to the end of that room
// first, so the escapes written from the front never reach a byte not yet
// read.
void escape_in_place(char* text, size_t kept, size_t size) {
  static const char kHex[] = "0123456789abcdef";
  auto* in = reinterpret_cast<unsigned char*>(text + size - kept);
  std::memmove(in, text, kept);
  char* out = text;
  for (size_t i = 0; i < kept;) {
    const Piece piece = piece_at(in + i, kept - i);
    for (const size_t end = i + piece.bytes; i < end; ++i) {
      const unsigned char c = in[i];
      if (!piece.escaped) {
        *out++ = static_cast<char>(c);
      } else if (c == '\n' || c == '\r') {
        *out++ = '\\';
        *out++ = c == '\n' ? 'n' : 'r';
      } else {
        *out++ = '\\';
        *out++ = 'x';
        *out++ = kHex[c >> 4];
        *out++ = kHex[c & 0xf];
      }
    }
  }
}

// One formatted line: on the stack when it fits, otherwise on the heap. The
// buffer holds a line feed before the line (see RotatingLogSink::write).
class LineText {
 public:
  // Formats the header and the message, drops the message's final line
  // feeds, escapes it, cuts it to kMaxLineBytes with the marker, and ends it
  // with one line feed. A message without bytes to escape is not copied.
  LineText(const char* function, unsigned int code, long long id, const char* format,
           va_list args) {
    stack_[0] = '\n';
    const size_t header = format_header(line(), function, code, id);
    if (!format) format = "(null)";
    // Room for the message on the stack, keeping space for marker and line feed.
    const size_t stackRoom = capacity_ - header - kMarkerReserve - 1;
    // Message bytes a line can hold.
    size_t room = kMaxLineBytes - header - 1;
    va_list retry;
    va_copy(retry, args);
    int needed = std::vsnprintf(line() + header, stackRoom + 1, format, args);
    if (needed < 0) {
      static const char kBad[] = "(message could not be formatted)";
      std::memcpy(line() + header, kBad, sizeof kBad - 1);
      needed = sizeof kBad - 1;
    }
    const size_t message = static_cast<size_t>(needed);
    size_t have = std::min(message, stackRoom);  // bytes of the message at hand
    if (message > stackRoom) {
      const size_t wanted = std::min(message, room);
      if (move_to_heap(header + wanted + kMarkerReserve + 1, header)) {
        std::vsnprintf(line() + header, wanted + 1, format, retry);
        have = wanted;
      } else {
        room = capacity_ - header - 1;  // no memory for the whole line: keep what the stack holds
      }
    }
    va_end(retry);
    const bool complete = have == message;
    const auto* text = reinterpret_cast<const unsigned char*>(line() + header);
    // The message's own final line feeds are dropped: the line gets exactly one.
    if (complete) {
      while (have > 0 && text[have - 1] == '\n') --have;
    }
    Layout layout{have, have, false};
    if (!plain_text(text, have)) {
      layout = lay_out(text, have, complete, room);
      const size_t lineBytes = header + layout.size + (layout.cut ? kMarkerReserve : 0) + 1;
      if (lineBytes > capacity_ && !move_to_heap(lineBytes, header + layout.kept)) {
        layout = lay_out(text, have, complete, capacity_ - header - 1);
      }
      escape_in_place(line() + header, layout.kept, layout.size);
    } else if (!complete) {
      const size_t kept = std::min(have, room - kMarkerReserve);
      layout = Layout{kept, kept, true};
    }
    length_ = header + layout.size;
    if (layout.cut) {
      int marker = std::snprintf(line() + length_, kMarkerReserve, " [... %zu bytes dropped]",
                                 message - layout.kept);
      length_ += static_cast<size_t>(marker);
    }
    line()[length_++] = '\n';
  }
  LineText(const LineText&) = delete;
  LineText& operator=(const LineText&) = delete;

  const char* data() const { return buffer_ + 1; }
  size_t length() const { return length_; }
  // A line feed followed by the line.
  const char* break_then_line() const { return buffer_; }

 private:
  char* line() { return buffer_ + 1; }

  // Moves the first `keep` bytes of the line to a heap buffer for
  // `lineBytes`. False, changing nothing, when there is no memory.
  bool move_to_heap(size_t lineBytes, size_t keep) {
    std::unique_ptr<char[]> bigger(new (std::nothrow) char[lineBytes + 1]);
    if (!bigger) return false;
    std::memcpy(bigger.get(), buffer_, keep + 1);
    heap_ = std::move(bigger);
    buffer_ = heap_.get();
    capacity_ = lineBytes;
    return true;
  }

  char stack_[kStackLineBytes + 1];
  std::unique_ptr<char[]> heap_;
  char* buffer_ = stack_;
  size_t capacity_ = kStackLineBytes;  // bytes of the line the buffer holds
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
    instance->debugLevel = configured_debug_level();
    instance->moduleId = moduleId;
    instance->instanceId = instanceId;
    instance->mirrorToConsole = mirrorToConsole || mirror_requested_by_environment();
    instance->enabled = 1;
    std::string directory;
    if (rkmx_utils::get_reg_key("sTarnelLogDir", directory) != 0 || directory.empty()) {
      directory = kDefaultLogDirectory;
    }
    instance->logDirectory = directory;
    instance->logName = logName;
    if (directory.back() != '/') directory += '/';
    const std::string path =
        directory + (valid_log_name(logName) ? logName : std::string(kDefaultLogName)) + ".log";
    instance->sinkIndex = join_sink(path);
    RotatingLogSink* sink = sink_at(instance->sinkIndex);
    if (!sink) return -1;
    instance->maxFileSize = static_cast<int64_t>(sink->limit());
    instance->maxVersions = sink->versions();
    return sink->on_stderr() ? 1 : 0;
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
    if (RotatingLogSink* sink = sink_at(instance_->sinkIndex)) sink->set_limit(bytes);
  } catch (...) {
    return -1;
  }
  return 0;
}

int NqDebug::setMaxVersion(int versions) {
  if (!instance_) return -1;
  if (versions < 1) versions = 1;
  if (versions > RotatingLogSink::kMaxVersions) versions = RotatingLogSink::kMaxVersions;
  instance_->maxVersions = versions;
  try {
    if (RotatingLogSink* sink = sink_at(instance_->sinkIndex)) sink->set_versions(versions);
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
    RotatingLogSink* sink = instance ? sink_at(instance->sinkIndex) : nullptr;
    if (!sink) {
      write_stderr(line.data(), line.length());
      return;
    }
    sink->write(line.break_then_line(), line.length());
    if (instance->mirrorToConsole && !sink->on_stderr()) write_stderr(line.data(), line.length());
    instance->linesWritten += 1;
    instance->bytesWritten += static_cast<int64_t>(line.length());
  } catch (...) {
    // A log line is never worth an exception in the caller.
  }
}
