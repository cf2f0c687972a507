// Host process runner: /bin/sh -c in its own process group, both output
// streams read concurrently, bounded in time and in what is captured. The
// contract is described in platform/RkProcess.h.
#include "RkProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "RkCancel.h"
#include "posix_io.h"
#include "rkmx_utils.h"

extern char** environ;

using tarnel_host::UniqueFd;

namespace {

constexpr int kDefaultTimeoutSeconds = 120;
constexpr int64_t kKillGraceMs = 2000;
// Once the shell has exited in time, how long processes it left behind may
// keep the streams open before the runner stops reading.
constexpr int64_t kLeftOpenGraceMs = 100;
// What one stream may capture; one byte more ends the run.
constexpr size_t kCaptureLimit = 16 * 1024 * 1024;
// Space for the runner's messages (see note) after a full error output.
constexpr size_t kMessageRoom = 512;
// Without a pidfd (kernels before 5.3) the child's exit is polled this often.
constexpr int kExitPollMs = 10;

constexpr int kRunnerFailed = -1;
// A token without a descriptor is looked at this often.
constexpr int kCancelPollMs = 100;

// Signals whose ignored disposition would otherwise pass from the host into
// the command.
constexpr int kDefaultedSignals[] = {SIGPIPE, SIGINT,  SIGQUIT, SIGTERM, SIGHUP,  SIGCHLD, SIGALRM,
                                     SIGUSR1, SIGUSR2, SIGTSTP, SIGTTIN, SIGTTOU, SIGXFSZ};

int64_t now_ms() { return tarnel_host::monotonic_ns() / 1000000; }

int default_timeout_seconds() {
  std::string text;
  if (rkmx_utils::get_reg_key("dTarnelProcessTimeout", text) == 0) {
    unsigned int seconds = rkmx_utils::string_to_uint(text);
    if (seconds > 0) return seconds > INT_MAX ? INT_MAX : static_cast<int>(seconds);
  }
  return kDefaultTimeoutSeconds;
}

void note(std::string* errorOutput, const char* format, ...) __attribute__((format(printf, 2, 3)));
void note(std::string* errorOutput, const char* format, ...) {
  if (!errorOutput) return;
  char text[256];
  va_list args;
  va_start(args, format);
  int length = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (length <= 0) return;
  if (!errorOutput->empty() && errorOutput->back() != '\n') errorOutput->push_back('\n');
  errorOutput->append(text, std::min(static_cast<size_t>(length), sizeof text - 1));
  errorOutput->push_back('\n');
}

struct Pipe {
  UniqueFd readEnd;
  UniqueFd writeEnd;
  int open() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
    return 0;
  }
};

// One posix_spawn object (file actions or attributes), made by `Init` and
// given back by `Destroy` at the end of its scope.
template <typename T, int (*Init)(T*), int (*Destroy)(T*)>
class SpawnObject {
 public:
  SpawnObject() { Init(&object_); }
  ~SpawnObject() { Destroy(&object_); }
  SpawnObject(const SpawnObject&) = delete;
  SpawnObject& operator=(const SpawnObject&) = delete;
  T* get() { return &object_; }

 private:
  T object_;
};

using SpawnActions = SpawnObject<posix_spawn_file_actions_t, ::posix_spawn_file_actions_init,
                                 ::posix_spawn_file_actions_destroy>;
using SpawnAttributes =
    SpawnObject<posix_spawnattr_t, ::posix_spawnattr_init, ::posix_spawnattr_destroy>;

// The spawned shell. Until it has been reaped, destroying this kills its
// process group and reaps it, so no exit path leaves a child behind.
class Child {
 public:
  Child() = default;
  ~Child() {
    if (pid_ > 0 && !reaped_) {
      ::kill(-pid_, SIGKILL);
      while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t* pid_slot() { return &pid_; }
  pid_t pid() const { return pid_; }
  bool reaped() const { return reaped_; }
  int wait_status() const { return waitStatus_; }
  bool status_lost() const { return statusLost_; }

  // Reaps the shell if it has exited; true once it has.
  bool try_reap() {
    if (reaped_) return true;
    int status = 0;
    pid_t result;
    do {
      result = ::waitpid(pid_, &status, WNOHANG);
    } while (result < 0 && errno == EINTR);
    if (result == pid_) {
      reaped_ = true;
      waitStatus_ = status;
    } else if (result < 0) {  // ECHILD: the host reaps its children itself
      reaped_ = true;
      statusLost_ = true;
    }
    return reaped_;
  }

  void signal_group(int signal) const { ::kill(-pid_, signal); }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  bool statusLost_ = false;
  int waitStatus_ = 0;
};

// One captured stream: its pipe's read end and the string it fills (none:
// read and dropped, without a limit).
struct Stream {
  UniqueFd fd;
  std::string* sink;
  const char* name;
  bool full = false;  // more than kCaptureLimit arrived; the excess was dropped
  bool open() const { return fd.valid(); }
  // Reads at most `size` bytes of what is there and returns how many; closes
  // the stream at end of file or on error.
  size_t read_once(char* buffer, size_t size) {
    ssize_t got = ::read(fd.get(), buffer, size);
    if (got > 0) {
      if (sink) keep(buffer, static_cast<size_t>(got));
      return static_cast<size_t>(got);
    }
    if (got == 0 || (errno != EINTR && errno != EAGAIN)) fd.reset();
    return 0;
  }
  // Reads what is in the pipe now, and nothing that arrives meanwhile: a
  // writer that never stops cannot hold the runner here.
  void drain(char* buffer, size_t size) {
    int available = 0;
    if (!open() || ::ioctl(fd.get(), FIONREAD, &available) != 0) return;
    for (size_t pending = static_cast<size_t>(std::max(available, 0)); pending > 0 && !full;) {
      const size_t got = read_once(buffer, std::min(pending, size));
      if (got == 0) return;
      pending -= got;
    }
  }

 private:
  void keep(const char* bytes, size_t length) {
    const size_t room = sink->size() < kCaptureLimit ? kCaptureLimit - sink->size() : 0;
    if (length > room) {
      full = true;
      length = room;
    }
    if (sink->size() + length > sink->capacity()) {
      // Grows as append would, but never beyond the limit and room for the
      // runner's own message.
      const size_t wanted = std::max(sink->capacity() * 2, sink->size() + length);
      sink->reserve(wanted < kCaptureLimit ? wanted : kCaptureLimit + kMessageRoom);
    }
    sink->append(bytes, length);
  }
};

int spawn_shell(const char* command, int outWrite, int errWrite, Child& child) {
  SpawnActions actions;
  ::posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_adddup2(actions.get(), outWrite, STDOUT_FILENO);
  ::posix_spawn_file_actions_adddup2(actions.get(), errWrite, STDERR_FILENO);

  SpawnAttributes attributes;
  sigset_t emptyMask;
  sigset_t defaulted;
  sigemptyset(&emptyMask);
  sigemptyset(&defaulted);
  for (int signal : kDefaultedSignals) sigaddset(&defaulted, signal);
  ::posix_spawnattr_setflags(
      attributes.get(), POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  ::posix_spawnattr_setpgroup(attributes.get(), 0);
  ::posix_spawnattr_setsigmask(attributes.get(), &emptyMask);
  ::posix_spawnattr_setsigdefault(attributes.get(), &defaulted);

  char shellName[] = "sh";
  char option[] = "-c";
  char* const argv[] = {shellName, option, const_cast<char*>(command), nullptr};
  return ::posix_spawn(child.pid_slot(), "/bin/sh", actions.get(), attributes.get(), argv, environ);
}

int exit_status(const Child& child, bool timedOut, int timeoutSeconds, std::string* errorOutput) {
  if (timedOut) {
    note(errorOutput, "RkProcess: timed out after %d s; process group terminated", timeoutSeconds);
    return RK_PROCESS_TIMED_OUT;
  }
  if (child.status_lost()) {
    note(errorOutput, "RkProcess: exit status not available (child reaped elsewhere)");
    return kRunnerFailed;
  }
  const int status = child.wait_status();
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) {
    note(errorOutput, "RkProcess: killed by signal %d", WTERMSIG(status));
    return 128 + WTERMSIG(status);
  }
  return kRunnerFailed;
}

bool cancelled(const RkCancelToken* token) { return token != nullptr && token->cancelled(); }

// `wait` (milliseconds, -1 for no bound) shortened to at most `cap`.
int64_t at_most(int64_t wait, int64_t cap) { return (wait < 0 || wait > cap) ? cap : wait; }

// One run of the shell after the checks of its arguments: the child, the
// two streams it writes and the clock of its time-out. Members are
// destroyed streams first, the child (killed and reaped unless reaped) last.
class ShellRun {
 public:
  ShellRun(std::string* output, std::string* errorOutput, int timeoutSeconds,
           const RkCancelToken* token)
      : streams_{{UniqueFd(), output, "output"}, {UniqueFd(), errorOutput, "error output"}},
        errorOutput_(errorOutput),
        timeoutSeconds_(timeoutSeconds),
        token_(token) {}
  ShellRun(const ShellRun&) = delete;
  ShellRun& operator=(const ShellRun&) = delete;

  // Makes the pipes and spawns the shell; the time-out runs from here. 0, or
  // kRunnerFailed with the runner's message noted.
  int start(const char* command, bool mergeErrorOutput) {
    Pipe outPipe;
    Pipe errPipe;
    int error = outPipe.open();
    if (error == 0 && !mergeErrorOutput) error = errPipe.open();
    if (error != 0) {
      note(errorOutput_, "RkProcess: cannot create a pipe: %s", std::strerror(error));
      return kRunnerFailed;
    }
    const int errWrite = mergeErrorOutput ? outPipe.writeEnd.get() : errPipe.writeEnd.get();
    error = spawn_shell(command, outPipe.writeEnd.get(), errWrite, child_);
    if (error != 0) {
      note(errorOutput_, "RkProcess: cannot run /bin/sh: %s", std::strerror(error));
      return kRunnerFailed;
    }
    // Becomes readable when the shell exits (close-on-exec by definition).
    exitFd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, child_.pid(), 0)));
    streams_[0].fd = std::move(outPipe.readEnd);
    streams_[1].fd = std::move(errPipe.readEnd);
    deadline_ = now_ms() + static_cast<int64_t>(timeoutSeconds_) * 1000;
    return 0;
  }

  // Reads both streams until the shell and they are done, the time-out has
  // run its course, a stream went past the limit, or the token is
  // cancelled. The result of RkProcess::system.
  int finish() {
    for (;;) {
      if (over_limit()) return kRunnerFailed;
      if (cancelled(token_)) return cancel();
      const bool streamsOpen = streams_[0].open() || streams_[1].open();
      if (!streamsOpen && child_.try_reap()) break;
      int64_t wait = -1;
      if (!next_wait(wait)) break;
      if (!poll_once(wait)) return kRunnerFailed;  // the child is killed and reaped by its owner
    }
    if (over_limit()) return kRunnerFailed;
    return exit_status(child_, timedOut_, timeoutSeconds_, errorOutput_);
  }

 private:
  // True, with the shell's group killed and the message noted, when a
  // stream went past the capture limit; the child is reaped by its owner.
  bool over_limit() {
    for (const Stream& stream : streams_) {
      if (!stream.full) continue;
      // Only while the shell is unreaped is its process group surely ours.
      if (!child_.reaped()) child_.signal_group(SIGKILL);
      note(errorOutput_, "RkProcess: %s exceeds the capture limit of %zu MiB; command killed",
           stream.name, kCaptureLimit >> 20);
      return true;
    }
    return false;
  }

  int cancel() {
    if (!child_.reaped()) child_.signal_group(SIGKILL);  // reaped by its owner
    note(errorOutput_, "RkProcess: cancelled");
    return RK_PROCESS_CANCELLED;
  }

  void drain_all() {
    for (Stream& stream : streams_) stream.drain(buffer_, sizeof buffer_);
  }

  // How long the next poll may wait (-1: no bound). False when reading is
  // over; what the pipes held then has been taken.
  bool next_wait(int64_t& wait) {
    const int64_t now = now_ms();
    return child_.reaped() && !timedOut_ ? grace_wait(now, wait) : timeout_wait(now, wait);
  }

  // The shell exited in time; whatever still holds the pipes is a process
  // it left behind: take what arrives within a short grace, then stop.
  bool grace_wait(int64_t now, int64_t& wait) {
    if (stopReadingAt_ < 0) stopReadingAt_ = now + kLeftOpenGraceMs;
    if (now >= stopReadingAt_) {
      drain_all();
      return false;
    }
    wait = stopReadingAt_ - now;
    return true;
  }

  // Until the deadline, then SIGTERM to the group and SIGKILL kKillGraceMs
  // later.
  bool timeout_wait(int64_t now, int64_t& wait) {
    if (!timedOut_ && now >= deadline_) {
      timedOut_ = true;
      killAt_ = now + kKillGraceMs;
      child_.signal_group(SIGTERM);
    }
    if (timedOut_ && !killed_ && now >= killAt_) {
      killed_ = true;
      child_.signal_group(SIGKILL);
    }
    if (killed_ && child_.try_reap()) {
      // Descendants that left the group may keep the pipes open: take what
      // is there and stop.
      drain_all();
      return false;
    }
    wait = !timedOut_ ? deadline_ - now : (!killed_ ? killAt_ - now : -1);
    return true;
  }

  // Waits at most `wait` milliseconds for output, the shell's exit or the
  // cancel, and reads what came. False, with the message noted, when poll
  // failed.
  bool poll_once(int64_t wait) {
    struct pollfd entries[4];
    Stream* owners[4] = {};
    nfds_t count = 0;
    if (token_ != nullptr) {
      // Readable once cancelled; the check at the top of the loop acts on it.
      if (token_->descriptor() >= 0) {
        entries[count++] = {token_->descriptor(), POLLIN, 0};
      } else {
        wait = at_most(wait, kCancelPollMs);
      }
    }
    for (Stream& stream : streams_) {
      if (!stream.open()) continue;
      entries[count] = {stream.fd.get(), POLLIN, 0};
      owners[count++] = &stream;
    }
    if (!child_.reaped()) {
      if (exitFd_.valid()) {
        entries[count] = {exitFd_.get(), POLLIN, 0};
        owners[count++] = nullptr;
      } else {
        wait = at_most(wait, kExitPollMs);
      }
    }
    if (wait > INT_MAX) wait = INT_MAX;
    if (::poll(entries, count, static_cast<int>(wait)) < 0) {
      if (errno == EINTR) return true;
      note(errorOutput_, "RkProcess: poll failed: %s", std::strerror(errno));
      return false;
    }
    for (nfds_t i = 0; i < count; ++i) {
      if (entries[i].revents == 0) continue;
      if (owners[i]) {
        owners[i]->read_once(buffer_, sizeof buffer_);
      } else if (entries[i].fd == exitFd_.get()) {
        child_.try_reap();
      }
    }
    return true;
  }

  Child child_;
  UniqueFd exitFd_;
  Stream streams_[2];
  std::string* const errorOutput_;
  const int timeoutSeconds_;
  const RkCancelToken* const token_;
  char buffer_[64 * 1024];
  int64_t deadline_ = 0;
  int64_t killAt_ = 0;
  int64_t stopReadingAt_ = -1;
  bool timedOut_ = false;
  bool killed_ = false;
};

int run(const char* command, std::string* output, std::string* errorOutput, int timeoutSeconds,
        bool mergeErrorOutput, const RkCancelToken* token) {
  if (output) output->clear();
  if (errorOutput) errorOutput->clear();
  if (!command) {
    note(errorOutput, "RkProcess: no command");
    return kRunnerFailed;
  }
  if (cancelled(token)) {
    note(errorOutput, "RkProcess: cancelled");
    return RK_PROCESS_CANCELLED;
  }
  if (timeoutSeconds <= 0) timeoutSeconds = default_timeout_seconds();
  ShellRun shell(output, errorOutput, timeoutSeconds, token);
  if (shell.start(command, mergeErrorOutput) != 0) return kRunnerFailed;
  return shell.finish();
}

}  // namespace

int RkProcess::system(const char* command, std::string* output, std::string* errorOutput,
                      int timeoutSeconds, bool mergeErrorOutput) {
  return system(command, output, errorOutput, timeoutSeconds, mergeErrorOutput, nullptr);
}

int RkProcess::system(const char* command, std::string* output, std::string* errorOutput,
                      int timeoutSeconds, bool mergeErrorOutput, const RkCancelToken* token) {
  try {
    return run(command, output, errorOutput, timeoutSeconds, mergeErrorOutput, token);
  } catch (...) {  // out of memory for the captured text
    return kRunnerFailed;
  }
}
