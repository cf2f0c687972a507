// Key store, node identity, conversions and the sleep call of the host
// utility library. The contracts and every setting are described in
// platform/rkmx_utils.h.
#include "rkmx_utils.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <climits>
#include <ctime>
#include <mutex>
#include <string_view>
#include <utility>

#include "RkCancel.h"
#include "posix_io.h"

using tarnel_host::UniqueFd;

namespace {

constexpr const char* kDefaultKeystorePath = "/etc/tarnel/keystore.conf";
constexpr const char* kDefaultDmiSerialPath = "/sys/class/dmi/id/product_serial";
constexpr size_t kMaxKeystoreBytes = 1 << 20;
constexpr size_t kMaxSerialBytes = 4096;
// How long set_reg_key waits for another writer of the key store.
constexpr int kWriterLockWaitMs = 5000;

// Status results of get_reg_key and set_reg_key.
constexpr int kFound = 0;
constexpr int kKeyMissing = 1;
constexpr int kStoreUnreadable = 2;
constexpr int kInvalidArgument = 3;
constexpr int kStoreBusy = 4;
constexpr int kWriteFailed = 5;
constexpr int kInternalError = -1;

// Settings that an environment variable overrides.
struct EnvOverride {
  const char* key;
  const char* variable;
};
constexpr EnvOverride kEnvOverrides[] = {
    {"sTarnelLogDir", "TARNEL_LOG_DIR"},
    {"dTarnelDebugLevel", "TARNEL_DEBUG_LEVEL"},
};

const char* envOrNull(const char* name) {
  const char* value = std::getenv(name);
  return (value && *value) ? value : nullptr;
}

std::string keystorePath() {
  const char* path = envOrNull("TARNEL_KEYSTORE");
  return path ? path : kDefaultKeystorePath;
}

std::string_view trim(std::string_view text, const char* blanks) {
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

constexpr const char* kLineBlanks = " \t";
constexpr const char* kAllWhitespace = " \t\r\n\v\f";

// Reads the whole file at `path` (at most `cap` bytes) into `content`.
// 0 on success, otherwise an errno value (EFBIG when it is larger than `cap`).
int readFile(const std::string& path, size_t cap, std::string& content) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return errno;
  content.clear();
  char buffer[8192];
  for (;;) {
    ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (got == 0) return 0;
    if (content.size() + static_cast<size_t>(got) > cap) return EFBIG;
    content.append(buffer, static_cast<size_t>(got));
  }
}

// One line of the key store, without its line feed and trailing CR.
struct ParsedLine {
  bool isSetting = false;  // false: blank, comment or malformed
  std::string_view key;
  std::string_view value;
};

ParsedLine parseLine(std::string_view line) {
  ParsedLine parsed;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  std::string_view head = trim(line, kLineBlanks);
  if (head.empty() || head.front() == '#') return parsed;
  size_t equals = line.find('=');
  if (equals == std::string_view::npos) return parsed;
  parsed.key = trim(line.substr(0, equals), kLineBlanks);
  if (parsed.key.empty()) return parsed;
  parsed.value = line.substr(equals + 1);
  parsed.isSetting = true;
  return parsed;
}

// Calls `visit(line, parsed)` for every line of `content` (the text after the
// last line feed counts as a line when it is not empty).
template <typename Visit>
void forEachLine(std::string_view content, Visit&& visit) {
  while (!content.empty()) {
    size_t end = content.find('\n');
    std::string_view line = content.substr(0, end);
    visit(line, parseLine(line));
    if (end == std::string_view::npos) break;
    content.remove_prefix(end + 1);
  }
}

bool lookup(std::string_view content, std::string_view key, std::string& value) {
  bool found = false;
  forEachLine(content, [&](std::string_view, const ParsedLine& parsed) {
    if (parsed.isSetting && parsed.key == key) {  // the last setting of a key wins
      value.assign(parsed.value.data(), parsed.value.size());
      found = true;
    }
  });
  return found;
}

// The key store as last read, kept while the file is unchanged, so that a
// reader makes one stat() instead of opening and reading the file. The copy
// is used again only when the path, device, inode, size, modification time
// and status-change time are those of the file that was read, and only when
// the file had been left alone for kSettledNs before that read began: a
// change made within a file system's time-stamp granularity after the read
// could keep all of them, so a store changed that recently is read again on
// every call until it settles. A store replaced by set_reg_key (a rename) is
// another inode. The mutex is held across fork() by the handlers below.
class KeystoreCache {
 public:
  static KeystoreCache& instance() {
    // Never destroyed: writers read settings while static objects go away.
    static KeystoreCache* const cache = [] {
      auto* created = new KeystoreCache();
      ::pthread_atfork([] { instance().mutex_.lock(); }, [] { instance().mutex_.unlock(); },
                       [] { instance().mutex_.unlock(); });
      return created;
    }();
    return *cache;
  }

  // The value of `key` in the store at `path`: kFound, kKeyMissing or
  // kStoreUnreadable.
  int get(const std::string& path, const std::string& key, std::string& value) {
    struct stat status;
    if (::stat(path.c_str(), &status) != 0) return kStoreUnreadable;
    std::lock_guard<std::mutex> guard(mutex_);
    if (!reusable_ || !sameFile(path, status)) {
      reusable_ = false;
      const int64_t readStart = realtimeNs();
      if (readFile(path, kMaxKeystoreBytes, content_) != 0) {
        content_.clear();
        return kStoreUnreadable;
      }
      path_ = path;
      status_ = status;
      reusable_ = tarnel_host::nanoseconds(status.st_mtim) < readStart - kSettledNs &&
                  tarnel_host::nanoseconds(status.st_ctim) < readStart - kSettledNs;
    }
    return lookup(content_, key, value) ? kFound : kKeyMissing;
  }

 private:
  // Longer than the time-stamp granularity of any local file system.
  static constexpr int64_t kSettledNs = 2000000000LL;

  static int64_t realtimeNs() {
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    return tarnel_host::nanoseconds(now);
  }
  bool sameFile(const std::string& path, const struct stat& status) const {
    return path == path_ && status.st_dev == status_.st_dev && status.st_ino == status_.st_ino &&
           status.st_size == status_.st_size &&
           tarnel_host::nanoseconds(status.st_mtim) == tarnel_host::nanoseconds(status_.st_mtim) &&
           tarnel_host::nanoseconds(status.st_ctim) == tarnel_host::nanoseconds(status_.st_ctim);
  }

  std::mutex mutex_;
  bool reusable_ = false;
  std::string path_;
  struct stat status_ = {};
  std::string content_;
};

bool validKey(const std::string& key) {
  if (key.empty() || key.front() == '#') return false;
  if (trim(key, kLineBlanks).size() != key.size()) return false;
  return key.find_first_of(std::string_view("=\n\r\0", 4)) == std::string::npos;
}

bool validValue(const std::string& value) {
  return value.find_first_of(std::string_view("\n\r\0", 3)) == std::string::npos;
}

// The text of the key store with `key` set to `value`: the first setting of
// the key is replaced in place, later ones are dropped, every other line is
// kept as it was; a key not present is appended.
std::string withSetting(std::string_view content, const std::string& key, const std::string& value) {
  std::string result;
  result.reserve(content.size() + key.size() + value.size() + 2);
  bool written = false;
  forEachLine(content, [&](std::string_view line, const ParsedLine& parsed) {
    if (parsed.isSetting && parsed.key == key) {
      if (written) return;
      result.append(key).append("=").append(value).append("\n");
      written = true;
      return;
    }
    result.append(line.data(), line.size()).append("\n");
  });
  if (!written) result.append(key).append("=").append(value).append("\n");
  return result;
}

// Replaces the store at `path` by `content` (see atomic_replace).
int replaceFile(const std::string& path, const std::string& content) {
  return tarnel_host::atomic_replace(path, content) == 0 ? kFound : kWriteFailed;
}

int setRegKey(const std::string& key, const std::string& value) {
  if (!validKey(key) || !validValue(value)) return kInvalidArgument;
  const std::string path = keystorePath();
  const std::string directory = tarnel_host::directory_of(path);
  if (::mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST) return kWriteFailed;

  // Writers (never readers) take this lock, so that two writers cannot lose
  // each other's key.
  UniqueFd lock(::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!lock.valid()) return kWriteFailed;
  if (tarnel_host::lock_within(lock.get(), kWriterLockWaitMs) != 0) return kStoreBusy;

  std::string content;
  int error = readFile(path, kMaxKeystoreBytes, content);
  if (error == ENOENT) {
    content.clear();
  } else if (error != 0) {
    return kStoreUnreadable;  // never replace a store that could not be read
  }
  return replaceFile(path, withSetting(content, key, value));
}

// The scale factor of TARNEL_SLEEP_SCALE; 1 when unset or not a number in [0, 1000].
double sleepScale() {
  const char* text = envOrNull("TARNEL_SLEEP_SCALE");
  if (!text) return 1.0;
  double scale = 1.0;
  const char* end = text + std::strlen(text);
  auto [rest, error] = std::from_chars(text, end, scale);
  if (error != std::errc() || rest != end || !std::isfinite(scale) || scale < 0.0 ||
      scale > 1000.0) {
    return 1.0;
  }
  return scale;
}

}  // namespace

namespace rkmx_utils {

std::string get_hostname() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return std::string();
  return name;
}

int get_reg_key(std::string key, std::string& value) {
  try {
    for (const EnvOverride& entry : kEnvOverrides) {
      if (key != entry.key) continue;
      if (const char* fromEnv = envOrNull(entry.variable)) {
        value = fromEnv;
        return kFound;
      }
    }
    return KeystoreCache::instance().get(keystorePath(), key, value);
  } catch (...) {
    return kInternalError;
  }
}

int set_reg_key(const std::string& key, const std::string& value) {
  try {
    return setRegKey(key, value);
  } catch (...) {
    return kInternalError;
  }
}

unsigned int string_to_uint(std::string text) {
  if (text.empty()) return 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
  }
  unsigned int number = 0;
  auto [rest, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc() || rest != text.data() + text.size()) return 0;
  return number;
}

int get_serial_number(std::string& serial) {
  try {
    std::string stored;
    if (get_reg_key("sTarnelSerial", stored) == kFound && !stored.empty()) {
      serial = stored;
      return kFound;
    }
    const char* dmiPath = envOrNull("TARNEL_DMI_SERIAL_PATH");
    std::string content;
    if (readFile(dmiPath ? dmiPath : kDefaultDmiSerialPath, kMaxSerialBytes, content) != 0) {
      return kKeyMissing;
    }
    std::string_view trimmed = trim(content, kAllWhitespace);
    if (trimmed.empty()) return kKeyMissing;
    serial.assign(trimmed.data(), trimmed.size());
    return kFound;
  } catch (...) {
    return kInternalError;
  }
}

int get_tarnel_cluster(std::string& name) {
  try {
    std::string stored;
    int status = get_reg_key("sTarnelCluster", stored);
    if (status != kFound) return status;
    if (stored.empty()) return kKeyMissing;
    name = stored;
    return kFound;
  } catch (...) {
    return kInternalError;
  }
}

double convert_size_to_gb(double value, std::string unit) {
  struct UnitFactor {
    const char* decimalName;
    const char* binaryName;
    int shift;  // the factor is 2^shift bytes
  };
  static constexpr UnitFactor kUnits[] = {
      {"b", "b", 0},     {"kb", "kib", 10}, {"mb", "mib", 20},
      {"gb", "gib", 30}, {"tb", "tib", 40}, {"pb", "pib", 50},
  };
  std::string_view trimmed = trim(unit, kAllWhitespace);
  std::string lower(trimmed);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const UnitFactor& entry : kUnits) {
    if (lower == entry.decimalName || lower == entry.binaryName) {
      return std::ldexp(value, entry.shift - 30);
    }
  }
  return 0.0;
}

}  // namespace rkmx_utils

namespace {

// The end of a pause of `milliseconds` scaled by TARNEL_SLEEP_SCALE, on the
// monotonic clock; false when the scaled pause is nothing.
bool pauseDeadline(int milliseconds, struct timespec& deadline) {
  if (milliseconds <= 0) return false;
  const double nanoseconds = static_cast<double>(milliseconds) * 1e6 * sleepScale();
  if (nanoseconds < 1.0) return false;
  ::clock_gettime(CLOCK_MONOTONIC, &deadline);
  const long long total = static_cast<long long>(nanoseconds);
  deadline.tv_sec += static_cast<time_t>(total / 1000000000LL);
  deadline.tv_nsec += static_cast<long>(total % 1000000000LL);
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  return true;
}

// Whole milliseconds (rounded up) from now to `deadline`, at most `cap`; 0
// once it has passed.
int millisecondsUntil(const struct timespec& deadline, int cap) {
  struct timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const long long left = (static_cast<long long>(deadline.tv_sec) - now.tv_sec) * 1000000000LL +
                         (deadline.tv_nsec - now.tv_nsec);
  if (left <= 0) return 0;
  const long long ms = (left + 999999) / 1000000;
  return ms < cap ? static_cast<int>(ms) : cap;
}

}  // namespace

int ZUSLEEP_InTeRnAl(int milliseconds, const char* /*file*/, int /*line*/) {
  struct timespec deadline;
  if (!pauseDeadline(milliseconds, deadline)) return 0;
  // An absolute deadline: a signal that interrupts the pause does not shorten it.
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
  return 0;
}

int ZUSLEEP_Cancellable(int milliseconds, const RkCancelToken* token, const char* file, int line) {
  if (token == nullptr) return ZUSLEEP_InTeRnAl(milliseconds, file, line);
  if (token->cancelled()) return 1;
  struct timespec deadline;
  if (!pauseDeadline(milliseconds, deadline)) return 0;
  // The token's descriptor becomes readable at the cancel; without one the
  // flag is looked at every 100 ms. A signal only makes the loop go round.
  struct pollfd wake = {token->descriptor(), POLLIN, 0};
  const int cap = wake.fd >= 0 ? 3600 * 1000 : 100;
  for (;;) {
    if (token->cancelled()) return 1;
    const int wait = millisecondsUntil(deadline, cap);
    if (wait == 0) return 0;
    ::poll(&wake, wake.fd >= 0 ? 1 : 0, wait);
  }
}
