// Cancellation token shared by the library's call API and the host services
// that can wait: the cancellable sleep (rkmx_utils.h), the HTTP client
// (RKLibCurl.h) and the process runner (RkProcess.h).
//
// A token starts not cancelled and, once cancelled, stays so. cancel() is
// async-signal-safe (an atomic flag and one write() to an eventfd), so a
// signal handler or any thread may call it while another thread waits. A
// waiter either checks cancelled() or polls descriptor(), which becomes
// readable at the cancel and stays readable. A token is not copyable and
// must outlive every call it was handed to.
#pragma once

#include <atomic>

#include "host_export.h"

class RK_HOST_API RkCancelToken {
 public:
  // Makes the eventfd (close-on-exec, non-blocking, never 0, 1 or 2). When
  // none can be made, descriptor() is -1 and waiters fall back to checking
  // the flag at least every 100 ms.
  RkCancelToken();
  ~RkCancelToken();
  RkCancelToken(const RkCancelToken&) = delete;
  RkCancelToken& operator=(const RkCancelToken&) = delete;

  // Cancels: sets the flag, then wakes every waiter. Idempotent; keeps errno.
  void cancel() noexcept;
  bool cancelled() const noexcept { return cancelled_.load(std::memory_order_acquire); }
  // Readable (POLLIN) once cancelled; -1 when the token has none. Owned by
  // the token: never read from, written to or closed by a waiter.
  int descriptor() const noexcept { return fd_; }

 private:
  std::atomic<bool> cancelled_;
  int fd_;
};
