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
#include <ctime>
#include <string>

#include "RkCancel.h"
#include "rkmx_utils.h"
#include "unique_fd.h"

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
constexpr int kTimedOut = -2;
constexpr int kCancelled = -3;
// A token without a descriptor is looked at this often.
constexpr int kCancelPollMs = 100;

// Signals whose ignored disposition would otherwise pass from the host into
// the command.
constexpr int kDefaultedSignals[] = {SIGPIPE, SIGINT,  SIGQUIT, SIGTERM, SIGHUP,  SIGCHLD, SIGALRM,
                                     SIGUSR1, SIGUSR2, SIGTSTP, SIGTTIN, SIGTTOU, SIGXFSZ};

int64_t nowMs() {
  struct timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int defaultTimeoutSeconds() {
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

class SpawnActions {
 public:
  SpawnActions() { ::posix_spawn_file_actions_init(&actions_); }
  ~SpawnActions() { ::posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { ::posix_spawnattr_init(&attributes_); }
  ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

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

  pid_t* pidSlot() { return &pid_; }
  pid_t pid() const { return pid_; }
  bool reaped() const { return reaped_; }
  int waitStatus() const { return waitStatus_; }
  bool statusLost() const { return statusLost_; }

  // Reaps the shell if it has exited; true once it has.
  bool tryReap() {
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

  void signalGroup(int signal) const { ::kill(-pid_, signal); }

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
  size_t readOnce(char* buffer, size_t size) {
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
      const size_t got = readOnce(buffer, std::min(pending, size));
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

int spawnShell(const char* command, int outWrite, int errWrite, Child& child) {
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
  ::posix_spawnattr_setflags(attributes.get(),
                             POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  ::posix_spawnattr_setpgroup(attributes.get(), 0);
  ::posix_spawnattr_setsigmask(attributes.get(), &emptyMask);
  ::posix_spawnattr_setsigdefault(attributes.get(), &defaulted);

  char shellName[] = "sh";
  char option[] = "-c";
  char* const argv[] = {shellName, option, const_cast<char*>(command), nullptr};
  return ::posix_spawn(child.pidSlot(), "/bin/sh", actions.get(), attributes.get(), argv, environ);
}

int exitStatus(const Child& child, bool timedOut, int timeoutSeconds, std::string* errorOutput) {
  if (timedOut) {
    note(errorOutput, "RkProcess: timed out after %d s; process group terminated", timeoutSeconds);
    return kTimedOut;
  }
  if (child.statusLost()) {
    note(errorOutput, "RkProcess: exit status not available (child reaped elsewhere)");
    return kRunnerFailed;
  }
  const int status = child.waitStatus();
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) {
    note(errorOutput, "RkProcess: killed by signal %d", WTERMSIG(status));
    return 128 + WTERMSIG(status);
  }
  return kRunnerFailed;
}

bool cancelled(const RkCancelToken* token) { return token != nullptr && token->cancelled(); }

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
    return kCancelled;
  }
  if (timeoutSeconds <= 0) timeoutSeconds = defaultTimeoutSeconds();

  Pipe outPipe;
  Pipe errPipe;
  int error = outPipe.open();
  if (error == 0 && !mergeErrorOutput) error = errPipe.open();
  if (error != 0) {
    note(errorOutput, "RkProcess: cannot create a pipe: %s", std::strerror(error));
    return kRunnerFailed;
  }

  Child child;
  const int errWrite = mergeErrorOutput ? outPipe.writeEnd.get() : errPipe.writeEnd.get();
  error = spawnShell(command, outPipe.writeEnd.get(), errWrite, child);
  if (error != 0) {
    note(errorOutput, "RkProcess: cannot run /bin/sh: %s", std::strerror(error));
    return kRunnerFailed;
  }
  outPipe.writeEnd.reset();
  errPipe.writeEnd.reset();
  // Becomes readable when the shell exits (close-on-exec by definition).
  UniqueFd exitFd(static_cast<int>(::syscall(SYS_pidfd_open, child.pid(), 0)));

  Stream streams[2] = {{std::move(outPipe.readEnd), output, "output"},
                       {std::move(errPipe.readEnd), errorOutput, "error output"}};
  char buffer[64 * 1024];
  const int64_t deadline = nowMs() + static_cast<int64_t>(timeoutSeconds) * 1000;
  int64_t killAt = 0;
  int64_t stopReadingAt = -1;
  bool timedOut = false;
  bool killed = false;

  // Ends the run when a stream went past the capture limit; the child is
  // reaped by its owner.
  auto overLimit = [&child, &streams, errorOutput]() {
    for (const Stream& stream : streams) {
      if (!stream.full) continue;
      // Only while the shell is unreaped is its process group surely ours.
      if (!child.reaped()) child.signalGroup(SIGKILL);
      note(errorOutput, "RkProcess: %s exceeds the capture limit of %zu MiB; command killed",
           stream.name, kCaptureLimit >> 20);
      return true;
    }
    return false;
  };

  for (;;) {
    if (overLimit()) return kRunnerFailed;
    if (cancelled(token)) {
      if (!child.reaped()) child.signalGroup(SIGKILL);  // reaped by its owner
      note(errorOutput, "RkProcess: cancelled");
      return kCancelled;
    }
    const bool streamsOpen = streams[0].open() || streams[1].open();
    if (!streamsOpen && child.tryReap()) break;
    const int64_t now = nowMs();
    int64_t wait;
    if (child.reaped() && !timedOut) {
      // The shell exited in time; whatever still holds the pipes is a process
      // it left behind: take what arrives within a short grace, then stop.
      if (stopReadingAt < 0) stopReadingAt = now + kLeftOpenGraceMs;
      if (now >= stopReadingAt) {
        for (Stream& stream : streams) stream.drain(buffer, sizeof buffer);
        break;
      }
      wait = stopReadingAt - now;
    } else {
      if (!timedOut && now >= deadline) {
        timedOut = true;
        killAt = now + kKillGraceMs;
        child.signalGroup(SIGTERM);
      }
      if (timedOut && !killed && now >= killAt) {
        killed = true;
        child.signalGroup(SIGKILL);
      }
      if (killed && child.tryReap()) {
        // Descendants that left the group may keep the pipes open: take what
        // is there and stop.
        for (Stream& stream : streams) stream.drain(buffer, sizeof buffer);
        break;
      }
      wait = !timedOut ? deadline - now : (!killed ? killAt - now : -1);
    }

    struct pollfd entries[4];
    Stream* owners[4] = {};
    nfds_t count = 0;
    if (token != nullptr) {
      // Readable once cancelled; the check at the top of the loop acts on it.
      if (token->descriptor() >= 0) {
        entries[count++] = {token->descriptor(), POLLIN, 0};
      } else {
        wait = (wait < 0 || wait > kCancelPollMs) ? kCancelPollMs : wait;
      }
    }
    for (Stream& stream : streams) {
      if (!stream.open()) continue;
      entries[count] = {stream.fd.get(), POLLIN, 0};
      owners[count++] = &stream;
    }
    if (!child.reaped()) {
      if (exitFd.valid()) {
        entries[count] = {exitFd.get(), POLLIN, 0};
        owners[count++] = nullptr;
      } else {
        wait = (wait < 0 || wait > kExitPollMs) ? kExitPollMs : wait;
      }
    }
    if (wait > INT_MAX) wait = INT_MAX;
    int ready = ::poll(entries, count, static_cast<int>(wait));
    if (ready < 0) {
      if (errno == EINTR) continue;
      note(errorOutput, "RkProcess: poll failed: %s", std::strerror(errno));
      return kRunnerFailed;  // the child is killed and reaped by its owner
    }
    for (nfds_t i = 0; i < count; ++i) {
      if (entries[i].revents == 0) continue;
      if (owners[i]) {
        owners[i]->readOnce(buffer, sizeof buffer);
      } else if (entries[i].fd == exitFd.get()) {
        child.tryReap();
      }
    }
  }
  if (overLimit()) return kRunnerFailed;
  return exitStatus(child, timedOut, timeoutSeconds, errorOutput);
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
