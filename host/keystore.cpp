// The key store of the host utility library: the reader with its cache of
// the last text read, and the atomic writer with its lock. The contracts and
// every setting are described in platform/rkmx_utils.h.
#include "keystore.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <string_view>

#include "keystore_lines.h"
#include "posix_io.h"
#include "rkmx_utils.h"

namespace tarnel_host {
namespace keystore {

const char* env_or_null(const char* name) {
  const char* value = std::getenv(name);
  return (value && *value) ? value : nullptr;
}

std::string_view trim(std::string_view text, const char* blanks) {
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

}  // namespace keystore
}  // namespace tarnel_host

using namespace tarnel_host::keystore;
using tarnel_host::UniqueFd;

namespace {

constexpr const char* kDefaultKeystorePath = "/etc/tarnel/keystore.conf";
constexpr size_t kMaxKeystoreBytes = 1 << 20;
// How long set_reg_key waits for another writer of the key store.
constexpr int kWriterLockWaitMs = 5000;
// A temporary file of the store left alone this long is a killed writer's.
constexpr int64_t kStaleTemporaryNs = 60 * 1000000000LL;

// Settings that an environment variable overrides.
struct EnvOverride {
  const char* key;
  const char* variable;
};
constexpr EnvOverride kEnvOverrides[] = {
    {"sTarnelLogDir", "TARNEL_LOG_DIR"},
    {"dTarnelDebugLevel", "TARNEL_DEBUG_LEVEL"},
};

std::string keystore_path() {
  const char* path = env_or_null("TARNEL_KEYSTORE");
  return path ? path : kDefaultKeystorePath;
}

int64_t realtime_ns() {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  return tarnel_host::nanoseconds(now);
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

  // The settings of `settings` marked in `wanted` (bit i for settings[i])
  // from the store at `path`, in one pass over its lines: kFound with the
  // value, or kKeyMissing or kStoreUnreadable. Returns 0, or the errno value
  // that made the store unreadable.
  int get(const std::string& path, Setting* settings, size_t count, uint64_t wanted) {
    std::lock_guard<std::mutex> guard(mutex_);
    const int error = current(path);
    const bool readable = error == 0;
    for (size_t i = 0; i < count; ++i) {
      if ((wanted >> i) & 1) settings[i].result = readable ? kKeyMissing : kStoreUnreadable;
    }
    if (!readable) return error;
    for_each_line(content_, [&](std::string_view, const ParsedLine& parsed) {
      if (!parsed.is_setting) return;
      for (size_t i = 0; i < count; ++i) {
        // The last setting of a key wins.
        if (((wanted >> i) & 1) == 0 || parsed.key != settings[i].key) continue;
        settings[i].value.assign(parsed.value.data(), parsed.value.size());
        settings[i].result = kFound;
      }
    });
    return 0;
  }

 private:
  // Makes content_ the store at `path` as it is now (a stat, and a read
  // unless the text read last may be reused): 0, or the errno value (or
  // posix_io's error) of the stat or the read. The caller holds mutex_.
  int current(const std::string& path) {
    struct stat status;
    if (::stat(path.c_str(), &status) != 0) return errno;
    if (reusable_ && same_file(path, status)) return 0;
    reusable_ = false;
    const int64_t readStart = realtime_ns();
    if (const int error = tarnel_host::read_regular_file(path, kMaxKeystoreBytes, content_)) {
      content_.clear();
      return error;
    }
    path_ = path;
    status_ = status;
    reusable_ = tarnel_host::nanoseconds(status.st_mtim) < readStart - kSettledNs &&
                tarnel_host::nanoseconds(status.st_ctim) < readStart - kSettledNs;
    return 0;
  }

  // Longer than the time-stamp granularity of any local file system.
  static constexpr int64_t kSettledNs = 2000000000LL;

  bool same_file(const std::string& path, const struct stat& status) const {
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

bool valid_key(const std::string& key) {
  if (key.empty() || key.front() == '#') return false;
  if (trim(key, kLineBlanks).size() != key.size()) return false;
  return key.find_first_of(std::string_view("=\n\r\0", 4)) == std::string::npos;
}

bool valid_value(const std::string& value) {
  return value.find_first_of(std::string_view("\n\r\0", 3)) == std::string::npos;
}

// The text of the key store with `key` set to `value`: the first setting of
// the key is replaced in place, later ones are dropped, every other line is
// kept as it was; a key not present is appended.
std::string with_setting(std::string_view content, const std::string& key,
                         const std::string& value) {
  std::string result;
  result.reserve(content.size() + key.size() + value.size() + 2);
  bool written = false;
  for_each_line(content, [&](std::string_view line, const ParsedLine& parsed) {
    if (parsed.is_setting && parsed.key == key) {
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

// Whether `name` is that of a temporary file of the store named `store`:
// "<store>.tmp." and the six letters or digits of create_temporary.
bool is_temporary_of(std::string_view name, std::string_view store) {
  constexpr std::string_view kInfix = ".tmp.";
  constexpr size_t kUniqueChars = 6;
  if (name.size() != store.size() + kInfix.size() + kUniqueChars) return false;
  if (name.substr(0, store.size()) != store || name.substr(store.size(), kInfix.size()) != kInfix) {
    return false;
  }
  for (char c : name.substr(store.size() + kInfix.size())) {
    if (!(c >= '0' && c <= '9') && !(c >= 'A' && c <= 'Z') && !(c >= 'a' && c <= 'z')) return false;
  }
  return true;
}

// Removes the temporary files that writers of the store at `path` killed
// before their rename left behind (each a copy of the store, the encrypted
// password included): regular files named as is_temporary_of says, unchanged
// for kStaleTemporaryNs. Called under the writers' lock, so no writer of
// this store is between making its file and renaming it; the age spares a
// file that someone writing without the lock is still filling. Nothing
// else in the directory is touched; best effort.
void remove_stale_temporaries(const std::string& path) {
  const std::string directory = tarnel_host::directory_of(path);
  const std::string_view store = std::string_view(path).substr(path.rfind('/') + 1);
  UniqueFd opened(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOCTTY | O_CLOEXEC));
  if (!opened.valid()) return;
  const std::unique_ptr<DIR, int (*)(DIR*)> listing(::fdopendir(opened.get()), ::closedir);
  if (!listing) return;
  const int fd = opened.release();  // closed with the listing
  const int64_t staleBefore = realtime_ns() - kStaleTemporaryNs;
  while (const struct dirent* entry = ::readdir(listing.get())) {
    if (!is_temporary_of(entry->d_name, store)) continue;
    struct stat status;
    if (::fstatat(fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(status.st_mode) || tarnel_host::nanoseconds(status.st_mtim) >= staleBefore) {
      continue;
    }
    ::unlinkat(fd, entry->d_name, 0);
  }
}

// Sets `key` in the store: a status of set_reg_key, with `error` set to
// the errno value of the failing step.
int set_key_in_store(const std::string& key, const std::string& value, int& error) {
  if (!valid_key(key) || !valid_value(value)) {
    error = EINVAL;
    return kInvalidArgument;
  }
  const std::string path = keystore_path();
  const std::string directory = tarnel_host::directory_of(path);
  if (::mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST) {
    error = errno;
    return kWriteFailed;
  }

  // Writers (never readers) take this lock, so that two writers cannot lose
  // each other's key. Never opened through a link: its target would be
  // created or locked in the store's stead.
  UniqueFd lock = tarnel_host::safe_open(path + ".lock", tarnel_host::OpenFor::kUpdate, &error);
  if (!lock.valid()) return kWriteFailed;
  error = tarnel_host::lock_within(lock.get(), kWriterLockWaitMs);
  if (error == ETIMEDOUT) return kStoreBusy;
  if (error != 0) return kWriteFailed;
  remove_stale_temporaries(path);

  std::string content;
  error = tarnel_host::read_regular_file(path, kMaxKeystoreBytes, content);
  if (error == ENOENT) {
    content.clear();
  } else if (error != 0) {
    return kStoreUnreadable;  // never replace a store that could not be read
  }
  error = tarnel_host::atomic_replace(path, with_setting(content, key, value));
  return error == 0 ? kWritten : kWriteFailed;
}

// `status`, with errno set to `error` when there is one; an error of
// posix_io that is not an errno value (kNotRegularFile) becomes EINVAL.
int with_errno(int status, int error) {
  if (error != 0) errno = error == tarnel_host::kNotRegularFile ? EINVAL : error;
  return status;
}

// The environment variable that overrides `key` when it is set; null when
// none does.
const char* env_override(std::string_view key) {
  for (const EnvOverride& entry : kEnvOverrides) {
    if (key == entry.key) return env_or_null(entry.variable);
  }
  return nullptr;
}

}  // namespace

namespace tarnel_host {
namespace keystore {

void read_settings(Setting* settings, size_t count) {
  try {
    uint64_t fromStore = 0;
    for (size_t i = 0; i < count; ++i) {
      if (const char* fromEnv = env_override(settings[i].key)) {
        settings[i].value = fromEnv;
        settings[i].result = kFound;
      } else {
        fromStore |= uint64_t{1} << i;
      }
    }
    if (fromStore != 0) KeystoreCache::instance().get(keystore_path(), settings, count, fromStore);
  } catch (...) {
    for (size_t i = 0; i < count; ++i) settings[i].result = kInternalError;
  }
}

}  // namespace keystore
}  // namespace tarnel_host

namespace rkmx_utils {

int get_reg_key(std::string key, std::string& value) {
  try {
    if (const char* fromEnv = env_override(key)) {
      value = fromEnv;
      return kFound;
    }
    Setting setting(key);
    const int error = KeystoreCache::instance().get(keystore_path(), &setting, 1, 1);
    if (setting.result == kFound) value = std::move(setting.value);
    return with_errno(setting.result, error);
  } catch (...) {
    return with_errno(kInternalError, ENOMEM);
  }
}

int set_reg_key(const std::string& key, const std::string& value) {
  int error = 0;
  try {
    const int status = set_key_in_store(key, value, error);
    return with_errno(status, error);
  } catch (...) {
    return with_errno(kInternalError, ENOMEM);
  }
}

}  // namespace rkmx_utils
