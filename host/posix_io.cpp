// POSIX helpers of the host services, tarnelctl and tarnel-sim; the
// contracts are in posix_io.h.
#include "posix_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace tarnel_host {
namespace {

// Attempts at opening a file that another process creates or removes
// between our two opens (existing, then O_EXCL).
constexpr int kCreateRaces = 8;

int open_for_writing(const std::string& path, OpenFor purpose, mode_t mode) {
  const int access = purpose == OpenFor::kAppend ? (O_WRONLY | O_APPEND) : O_RDWR;
  const int flags = access | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
  int fd = -1;
  for (int attempt = 0; attempt < kCreateRaces; ++attempt) {
    fd = ::open(path.c_str(), flags);
    if (fd >= 0 || errno != ENOENT) break;
    fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL, mode);
    if (fd >= 0 || errno != EEXIST) break;
  }
  // A FIFO without a reader refuses a non-blocking writer with ENXIO.
  if (fd < 0 && errno == ENXIO) errno = 0;
  return fd;
}

}  // namespace

int move_off_standard_streams(UniqueFd& fd) {
  if (fd.get() > STDERR_FILENO) return 0;
  const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (moved < 0) {
    const int error = errno;
    fd.reset();
    return error;
  }
  fd.reset(moved);
  return 0;
}

UniqueFd safe_open(const std::string& path, OpenFor purpose, int* error, mode_t mode, bool narrow) {
  int ignored = 0;
  if (error == nullptr) error = &ignored;
  *error = 0;
  const int fd = purpose == OpenFor::kRead
                     ? ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)
                     : open_for_writing(path, purpose, mode);
  if (fd < 0) {
    *error = errno != 0 ? errno : kNotRegularFile;
    return UniqueFd();
  }
  UniqueFd file(fd);
  struct stat status;
  if (::fstat(file.get(), &status) != 0) {
    *error = errno;
    return UniqueFd();
  }
  if (!S_ISREG(status.st_mode)) {
    *error = kNotRegularFile;
    return UniqueFd();
  }
  const mode_t permissions = status.st_mode & 07777;
  if (narrow && status.st_uid == ::geteuid() && (permissions & ~mode) != 0) {
    ::fchmod(file.get(), permissions & mode);  // best effort: the file stays usable
  }
  *error = move_off_standard_streams(file);
  return file;
}

int read_regular_file(const std::string& path, size_t cap, std::string& content) {
  int error = 0;
  const UniqueFd file = safe_open(path, OpenFor::kRead, &error);
  if (!file.valid()) return error;
  content.clear();
  char buffer[8192];
  for (;;) {
    const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno;
    if (got == 0) return 0;
    if (content.size() + static_cast<size_t>(got) > cap) return EFBIG;
    content.append(buffer, static_cast<size_t>(got));
  }
}

UniqueFd create_temporary(const std::string& path, std::string* temporary, int* error) {
  int ignored = 0;
  if (error == nullptr) error = &ignored;
  std::string name = path + ".tmp.XXXXXX";
  UniqueFd file(::mkostemp(&name[0], O_CLOEXEC));  // O_CREAT|O_EXCL, mode 0600
  if (!file.valid()) {
    *error = errno;
    return UniqueFd();
  }
  *error = move_off_standard_streams(file);
  if (*error != 0) {
    ::unlink(name.c_str());
    return UniqueFd();
  }
  if (temporary != nullptr) *temporary = name;
  return file;
}

std::string error_text(int error) {
  if (error == kNotRegularFile) return "not a regular file";
  if (error == ELOOP) return "is a symbolic link";
  return std::strerror(error);
}

bool write_all(int fd, const void* data, size_t length, size_t* written) {
  const char* bytes = static_cast<const char*>(data);
  size_t done = 0;
  bool complete = true;
  while (done < length) {
    const ssize_t put = ::write(fd, bytes + done, length - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      complete = false;
      break;
    }
    if (put == 0) {  // nothing taken and no error: no progress to be made
      errno = EIO;
      complete = false;
      break;
    }
    done += static_cast<size_t>(put);
  }
  if (written != nullptr) *written = done;
  return complete;
}

void sleep_ms(long milliseconds) {
  if (milliseconds <= 0) return;
  struct timespec pause = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

int64_t nanoseconds(const struct timespec& time) {
  return static_cast<int64_t>(time.tv_sec) * 1000000000LL + time.tv_nsec;
}

int64_t monotonic_ns() {
  struct timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return nanoseconds(now);
}

std::string directory_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

int lock_within(int fd, int wait_ms, int step_ms) {
  if (step_ms < 1) step_ms = 1;
  for (int waited = 0;; waited += step_ms) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
    if (errno != EWOULDBLOCK && errno != EINTR) return errno;
    if (waited >= wait_ms) return ETIMEDOUT;
    sleep_ms(step_ms);
  }
}

int atomic_replace(const std::string& path, const std::string& content) {
  std::string temporary;
  int error = 0;
  UniqueFd file = create_temporary(path, &temporary, &error);
  if (!file.valid()) return error;
  if (::fchmod(file.get(), 0600) != 0 || !write_all(file.get(), content.data(), content.size()) ||
      ::fsync(file.get()) != 0) {
    error = errno != 0 ? errno : EIO;
  }
  if (::close(file.release()) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temporary.c_str());
    return error;
  }
  // Make the rename itself durable.
  UniqueFd directory(
      ::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_NOCTTY | O_CLOEXEC));
  if (directory.valid()) ::fsync(directory.get());
  return 0;
}

}  // namespace tarnel_host
