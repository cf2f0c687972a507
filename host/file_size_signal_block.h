// SIGXFSZ held off for the writes of the log writer (internal to host/). A
// write that would take a file past the process's file-size limit
// (RLIMIT_FSIZE) raises SIGXFSZ, whose default action ends the process; with
// the signal blocked the write fails with EFBIG instead, and the signal it
// raised stays pending until it is taken here.
#pragma once

#include <signal.h>

#include <cstddef>

namespace tarnel_host {

// Blocks SIGXFSZ for the calling thread for its lifetime, then restores the
// thread's mask as it was. Throws nothing; use it on one thread only.
class FileSizeSignalBlock {
 public:
  FileSizeSignalBlock();
  ~FileSizeSignalBlock();
  FileSizeSignalBlock(const FileSizeSignalBlock&) = delete;
  FileSizeSignalBlock& operator=(const FileSizeSignalBlock&) = delete;

  // After a failed write: takes the SIGXFSZ that the write raised, so that
  // it is not delivered when the mask is restored. A SIGXFSZ that was
  // pending already when the block began is not ours and stays pending.
  // Preserves errno.
  void consume_raised();

 private:
  sigset_t previous_;
  bool pendingBefore_ = false;
};

// Writes all of `data` to `fd` as write_all does (posix_io.h) inside a
// FileSizeSignalBlock, consuming the SIGXFSZ of a failed write. True when
// everything was written; otherwise `*written` (when not null) tells how
// much was, and errno why not (EFBIG past the file-size limit).
bool write_within_size_limit(int fd, const char* data, size_t length, size_t* written = nullptr);

}  // namespace tarnel_host
