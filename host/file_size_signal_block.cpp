// SIGXFSZ held off around the log writer's writes (file_size_signal_block.h).
#include "file_size_signal_block.h"

#include <pthread.h>

#include <cerrno>
#include <ctime>

#include "posix_io.h"

namespace tarnel_host {

namespace {

sigset_t file_size_signal() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGXFSZ);
  return set;
}

}  // namespace

FileSizeSignalBlock::FileSizeSignalBlock() {
  const sigset_t set = file_size_signal();
  pthread_sigmask(SIG_BLOCK, &set, &previous_);
  // One can be pending now only if the thread had it blocked already.
  if (sigismember(&previous_, SIGXFSZ)) {
    sigset_t pending;
    pendingBefore_ = sigpending(&pending) == 0 && sigismember(&pending, SIGXFSZ);
  }
}

FileSizeSignalBlock::~FileSizeSignalBlock() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

void FileSizeSignalBlock::consume_raised() {
  if (pendingBefore_) return;
  const int error = errno;
  const sigset_t set = file_size_signal();
  const struct timespec now = {0, 0};
  sigtimedwait(&set, nullptr, &now);  // EAGAIN when the write raised none
  errno = error;
}

bool write_within_size_limit(int fd, const char* data, size_t length, size_t* written) {
  FileSizeSignalBlock block;
  const bool complete = write_all(fd, data, length, written);
  if (!complete) block.consume_raised();
  return complete;
}

}  // namespace tarnel_host
