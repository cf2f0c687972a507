// Cancellation token: an atomic flag and an eventfd. The contract is in
// platform/RkCancel.h.
#include "RkCancel.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "posix_io.h"

namespace {

static_assert(std::atomic<bool>::is_always_lock_free, "cancel() must stay async-signal-safe");

// An eventfd that is never 0, 1 or 2, or -1.
int make_event_fd() {
  tarnel_host::UniqueFd fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (fd.valid()) tarnel_host::move_off_standard_streams(fd);
  return fd.release();
}

}  // namespace

RkCancelToken::RkCancelToken() : cancelled_(false), fd_(make_event_fd()) {}

RkCancelToken::~RkCancelToken() {
  if (fd_ >= 0) ::close(fd_);
}

// Only async-signal-safe operations: a lock-free atomic, write(), errno.
void RkCancelToken::cancel() noexcept {
  const int savedErrno = errno;
  if (!cancelled_.exchange(true, std::memory_order_acq_rel) && fd_ >= 0) {
    // The counter only grows, so the descriptor stays readable; a full
    // counter (EAGAIN) is readable already.
    const uint64_t one = 1;
    const ssize_t written = ::write(fd_, &one, sizeof one);
    static_cast<void>(written);
  }
  errno = savedErrno;
}
