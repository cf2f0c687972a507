// POSIX helpers shared by the host services, tarnelctl and tarnel-sim
// (internal: built as the static library tarnel_posix, never installed or
// exported).
//
// The files these programs open for configuration, state and logs live in
// directories that someone else may be able to write, and they run as root.
// So every such file is opened through safe_open:
//   - close-on-exec, and never left on descriptor 0, 1 or 2 (a program
//     started with a standard stream closed would otherwise write its output
//     into the file);
//   - O_NONBLOCK, so a FIFO or a device planted at the path cannot block the
//     open; the descriptor is then checked with fstat, and anything but a
//     regular file is refused (kNotRegularFile);
//   - for files written to (logs, locks, temporary files) O_NOFOLLOW: a
//     symbolic link at the path is refused (ELOOP) and its target is never
//     touched; a file that does not exist is created with O_CREAT|O_EXCL.
// Every function here is safe to call from any thread and throws nothing.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "unique_fd.h"

namespace tarnel_host {

// Error value of safe_open for a path that names something other than a
// regular file (a FIFO, a device, a directory, a socket). Not an errno value.
constexpr int kNotRegularFile = -1;

enum class OpenFor {
  kRead,    // read only; a symbolic link is followed (the target must be a regular file)
  kAppend,  // write only, O_APPEND, created when missing; never through a link
  kUpdate,  // read and write (lock files), created when missing; never through a link
};

// Opens `path` as described above. A file created gets `mode` (less the
// umask). With `narrow` set, an existing file this process owns whose
// permissions go beyond `mode` is narrowed to them (fchmod). Returns the
// descriptor (3 or above), or an invalid one with `*error` set to an errno
// value or kNotRegularFile.
UniqueFd safe_open(const std::string& path, OpenFor purpose, int* error, mode_t mode = 0600,
                   bool narrow = false);

// Reads the whole regular file at `path` (opened with safe_open for
// reading) into `content`. 0, or an errno value, kNotRegularFile, or EFBIG
// when the file holds more than `cap` bytes. Only a lack of memory for
// `content` throws (std::bad_alloc).
int read_regular_file(const std::string& path, size_t cap, std::string& content);

// Moves `fd` to 3 or above (close-on-exec) when it is 0, 1 or 2: a program
// started with a standard stream closed would otherwise write its output into
// whatever holds that number. 0, or an errno value (`fd` is then closed).
int move_off_standard_streams(UniqueFd& fd);

// Creates a new temporary file next to `path` ("<path>.tmp.XXXXXX", mode
// 0600, O_EXCL so nothing already there is used) and stores its name in
// `*temporary`. Returns the descriptor, or an invalid one with `*error` set.
UniqueFd create_temporary(const std::string& path, std::string* temporary, int* error);

// The text of an error from the functions here: "not a regular file" for
// kNotRegularFile, "is a symbolic link" for ELOOP, strerror otherwise.
std::string error_text(int error);

// Writes all of `data`, retrying after interruptions and short writes. True
// when everything was written; otherwise `*written` (when not null) tells how
// much was, and errno why not.
bool write_all(int fd, const void* data, size_t length, size_t* written = nullptr);

// Blocks for `milliseconds` (nothing for 0 or less), across interruptions.
void sleep_ms(long milliseconds);

// Nanoseconds of a time stamp, and of the monotonic clock now.
int64_t nanoseconds(const struct timespec& time);
int64_t monotonic_ns();

// The directory part of `path`: "." without a slash, "/" for a file in the
// root directory.
std::string directory_of(const std::string& path);

// Takes an exclusive flock on `fd`, trying every `step_ms` for at most
// `wait_ms`. 0 once held; ETIMEDOUT when another holder kept it; otherwise
// the errno value of flock.
int lock_within(int fd, int wait_ms, int step_ms = 10);

// Replaces the file at `path` by one holding `content`, mode 0600, so that a
// reader sees the old or the new file whole: a temporary file made by
// create_temporary, written, fsync'ed, renamed over `path`, then the
// directory synced. On any failure the temporary file is removed and `path`
// is left as it was. 0, or the errno value of the step that failed.
int atomic_replace(const std::string& path, const std::string& content);

}  // namespace tarnel_host
