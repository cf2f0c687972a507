#include "test_guard.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <stdexcept>

extern char** environ;

namespace test_guard {

namespace {

constexpr const char* kName = "TARNEL_TEST_GUARD";

// This program's end of the guardian's socket (-1 when no guardian runs) and
// the marker.
struct Guard {
  std::string marker;
  int socket = -1;
  std::mutex mutex;
};

std::string read_all(const std::string& path) {
  std::string text;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return text;
}

// Whether the NUL-separated `environment` holds the entry `entry`.
bool holds(const std::string& environment, const std::string& entry) {
  for (std::size_t at = 0; at < environment.size();) {
    std::size_t end = environment.find('\0', at);
    if (end == std::string::npos) end = environment.size();
    if (environment.compare(at, end - at, entry) == 0) return true;
    at = end + 1;
  }
  return false;
}

constexpr const char* kGuardianName = "tarnel-guard";

// The signals a runner sends to stop a test; the reaper passes them on.
constexpr int kForwarded[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2};

// Every process but this one whose environment holds `entry`, guardians
// aside: that of a test program this one started cleans up after it once
// that program is killed. A process that has ended (its memory released) no
// longer shows an environment.
std::vector<pid_t> marked_processes(const std::string& entry) {
  std::vector<pid_t> pids;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return pids;
  const pid_t self = ::getpid();
  while (const dirent* item = ::readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(item->d_name, &end, 10);
    if (end == item->d_name || *end != '\0' || pid == self) continue;
    const std::string dir = std::string("/proc/") + item->d_name;
    if (holds(read_all(dir + "/environ"), entry) &&
        read_all(dir + "/comm") != std::string(kGuardianName) + "\n") {
      pids.push_back(static_cast<pid_t>(pid));
    }
  }
  ::closedir(proc);
  return pids;
}

void pause_ms(long ms) {
  timespec pause{0, ms * 1000000L};
  while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

// The guardian: waits for the program to end (its end of `socket` to
// close), collecting directories on the way, then cleans up after it.
[[noreturn]] void guard(int socket, const std::string& marker) {
  ::setsid();  // no signal for the program's process group or terminal reaches it
  ::prctl(PR_SET_NAME, kGuardianName);
  for (int number : {SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGPIPE}) ::signal(number, SIG_IGN);
  // Nothing of the program's but stderr: a pipe another process reads to
  // its end must not stay open because of us.
  const int fd = ::fcntl(socket, F_DUPFD, 10);
  if (fd < 0) ::_exit(1);
  const int null = ::open("/dev/null", O_RDWR);
  ::dup2(null, STDIN_FILENO);
  ::dup2(null, STDOUT_FILENO);
  ::close_range(3, static_cast<unsigned>(fd) - 1, 0);
  ::close_range(static_cast<unsigned>(fd) + 1, ~0U, 0);

  std::vector<std::string> directories;
  std::string pending;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;  // the program has ended
    if (n < 0) {
      if (errno == EINTR) continue;
      ::_exit(1);  // the program may still run: no cleanup
    }
    pending.append(buffer, static_cast<std::size_t>(n));
    for (std::size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
      directories.push_back(pending.substr(0, end));
      pending.erase(0, end + 1);
    }
  }

  ::alarm(60);  // a bound on the cleanup, whatever happens in it
  // Only what escaped the reaper is left here. A process caught between fork
  // and exec may not show the marker to one scan, hence several.
  std::set<pid_t> killed;
  for (int round = 0, empty = 0; round < 100 && empty < 5; ++round) {
    const std::vector<pid_t> marked = marked_processes(marker);
    empty = marked.empty() ? empty + 1 : 0;
    for (pid_t pid : marked) {
      if (::kill(pid, SIGKILL) == 0) killed.insert(pid);
    }
    pause_ms(20);
  }
  int removed = 0;
  for (const std::string& directory : directories) {
    std::error_code error;
    if (!std::filesystem::exists(directory, error)) continue;
    std::filesystem::remove_all(directory, error);
    ++removed;
  }
  if (!killed.empty() || removed > 0) {
    std::fprintf(stderr,
                 "test guard: the test program ended leaving %zu process(es) and %d "
                 "directory(ies); killed and removed them\n",
                 killed.size(), removed);
  }
  ::_exit(0);
}

// The ids of the processes whose parent is `parent`.
std::vector<pid_t> children_of(pid_t parent) {
  std::vector<pid_t> children;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return children;
  while (const dirent* item = ::readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(item->d_name, &end, 10);
    if (end == item->d_name || *end != '\0') continue;
    // "pid (comm) state ppid ...": comm may hold anything but ends at the last ')'.
    const std::string stat = read_all(std::string("/proc/") + item->d_name + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close != std::string::npos && close + 4 < stat.size() &&
        std::strtol(stat.c_str() + close + 4, nullptr, 10) == parent) {
      children.push_back(static_cast<pid_t>(pid));
    }
  }
  ::closedir(proc);
  return children;
}

// Kills every process left below this one and reaps it; how many there
// were. As the child subreaper of the program, this process is the parent of
// each, or of an ancestor of each, whatever sessions they are in: an orphan
// of a process killed in one round is its child in the next, and it stops
// only when it has no child left, so nothing escapes.
std::size_t kill_descendants() {
  std::set<pid_t> killed;
  const pid_t self = ::getpid();
  for (;;) {
    for (pid_t child : children_of(self)) {
      if (::kill(child, SIGKILL) == 0) killed.insert(child);
    }
    if (::waitpid(-1, nullptr, 0) < 0 && errno == ECHILD) return killed.size();
  }
}

volatile sig_atomic_t program_pid = 0;

void forward_signal(int number) { ::kill(program_pid, number); }

// Ends this process the way `status` says the program ended.
[[noreturn]] void end_as(int status) {
  if (WIFSIGNALED(status)) {
    const int number = WTERMSIG(status);
    const rlimit no_core{0, 0};
    ::setrlimit(RLIMIT_CORE, &no_core);
    ::signal(number, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, number);
    ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(number);
    ::_exit(128 + number);
  }
  ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
}

// The reaper: the parent of the program, which the test runner started as
// this process. It passes on the signals a runner sends to stop a test,
// reaps the orphans that come to it while the program runs, and once the
// program has ended kills what it left, then ends as the program did.
[[noreturn]] void reap(pid_t program) {
  program_pid = program;
  struct sigaction forwarder {};
  forwarder.sa_handler = forward_signal;
  for (int number : kForwarded) ::sigaction(number, &forwarder, nullptr);
  int status = 0;
  for (;;) {
    const pid_t ended = ::waitpid(-1, &status, 0);
    if (ended == program) break;
    if (ended < 0 && errno != EINTR) ::_exit(1);
  }
  for (int number : kForwarded) ::signal(number, SIG_IGN);
  ::alarm(60);  // a bound on the cleanup, whatever happens in it
  const std::size_t left = kill_descendants();
  if (left > 0) {
    std::fprintf(stderr,
                 "test guard: the test program ended leaving %zu process(es); killed them\n", left);
  }
  end_as(status);
}

// Makes this process the reaper of the program, which goes on in a child
// (and gets SIGKILL should the reaper be killed). Returns in that child, or
// here when the reaper cannot be set up (the guardian's scan then stands
// alone): another thread already runs (a fork would not carry it over), or
// the system refuses.
void split_off_program() {
  std::size_t threads = 0;
  if (DIR* tasks = ::opendir("/proc/self/task")) {
    while (const dirent* item = ::readdir(tasks)) threads += item->d_name[0] != '.';
    ::closedir(tasks);
  }
  if (threads != 1 || ::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
    std::fprintf(stderr, "test guard: cannot become the reaper of the test program\n");
    return;
  }
  const pid_t parent = ::getpid();
  const pid_t program = ::fork();
  if (program > 0) reap(program);
  if (program < 0) {
    std::perror("test guard: fork");
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    return;
  }
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::raise(SIGKILL);  // the reaper ended before the prctl
}

// Starts the guardian; this program's end of its socket, or -1.
int start_guardian(const std::string& marker) {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    std::perror("test guard: socketpair");
    return -1;
  }
  // Forked twice: the guardian is nobody's child, so a test runner that
  // kills this program's process tree at its time limit does not find it.
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(ends[0]);
    const pid_t guardian = ::fork();
    if (guardian != 0) ::_exit(guardian > 0 ? 0 : 1);
    guard(ends[1], marker);
  }
  ::close(ends[1]);
  int status = -1;
  if (pid > 0) {
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (status != 0) {
    std::fprintf(stderr, "test guard: cannot start the guardian\n");
    ::close(ends[0]);
    return -1;
  }
  return ends[0];
}

Guard* start() {
  auto* started = new Guard;  // kept to the end: closing its socket is what ends the guardian
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const std::string token = std::to_string(::getpid()) + "-" + std::to_string(now.tv_sec) + "." +
                            std::to_string(now.tv_nsec);
  started->marker = std::string(kName) + "=" + token;
  ::setenv(kName, token.c_str(), 1);
  started->socket = start_guardian(started->marker);
  // The reaper keeps its copy of the socket until it ends: the guardian
  // cleans up after both.
  split_off_program();
  return started;
}

Guard& the_guard() {
  static Guard* const guard = start();
  return *guard;
}

// Started before main(), while the program has a single thread.
[[maybe_unused]] const bool kStarted = (the_guard(), true);

// What the child of spawn() needs, prepared before the fork: after it only
// async-signal-safe calls are made.
struct Child {
  char* const* argv;
  char* const* envp;
  Streams streams;
  Session session;
  pid_t parent;
  int report;  // write end of a close-on-exec pipe: errno when the exec fails
};

// Tells the parent why the child could not start (errno), and ends it.
[[noreturn]] void fail_start(const Child& child) {
  const int error = errno;
  if (::write(child.report, &error, sizeof error) < 0) ::_exit(127);
  ::_exit(127);
}

[[noreturn]] void become(const Child& child) {
  if (child.session != Session::kept) ::setsid();
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != child.parent) ::_exit(127);  // the parent ended before the prctl
  int fds[3] = {child.streams.in, child.streams.out, child.streams.err};
  for (int target = 0; target < 3; ++target) {
    if (fds[target] < 3 && fds[target] != target) {
      fds[target] = ::fcntl(fds[target], F_DUPFD_CLOEXEC, 3);
    }
  }
  for (int target = 0; target < 3; ++target) {
    if (fds[target] == target) {
      ::fcntl(target, F_SETFD, 0);
    } else {
      ::dup2(fds[target], target);
    }
  }
  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  for (int number = 1; number < NSIG; ++number) {
    if (number != SIGKILL && number != SIGSTOP) ::sigaction(number, &defaults, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  if (child.session == Session::terminal && ::ioctl(STDIN_FILENO, TIOCSCTTY, 0) != 0) {
    fail_start(child);
  }
  ::execve(child.argv[0], child.argv, child.envp);
  fail_start(child);
}

}  // namespace

const std::string& marker() { return the_guard().marker; }

void remove_at_end(const std::string& path) {
  Guard& guard = the_guard();
  if (guard.socket < 0) return;
  const std::string line = path + "\n";
  std::lock_guard<std::mutex> lock(guard.mutex);
  for (std::size_t sent = 0; sent < line.size();) {
    const ssize_t n = ::send(guard.socket, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the guardian is gone: nothing to tell
    sent += static_cast<std::size_t>(n);
  }
}

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>* env,
            Streams streams, Session session) {
  if (argv.empty()) throw std::runtime_error("spawn: no program");
  const std::string& mark = marker();
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<char*> entries;
  if (env != nullptr) {
    const std::string name = std::string(kName) + "=";
    for (const std::string& entry : *env) {
      if (entry.compare(0, name.size(), name) != 0) {
        entries.push_back(const_cast<char*>(entry.c_str()));
      }
    }
    entries.push_back(const_cast<char*>(mark.c_str()));
    entries.push_back(nullptr);
  }
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(errno));
  }
  const Child child{args.data(), env != nullptr ? entries.data() : environ,
                    streams,     session,
                    ::getpid(),  report[1]};
  // No handler of ours may run in the child before the exec.
  sigset_t all, saved;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &saved);
  const pid_t pid = ::fork();
  if (pid == 0) become(child);
  const int fork_error = errno;
  ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  ::close(report[1]);
  int error = fork_error;
  ssize_t n = pid < 0 ? 1 : 0;
  if (pid > 0) {
    do {
      n = ::read(report[0], &error, sizeof error);
    } while (n < 0 && errno == EINTR);
  }
  ::close(report[0]);
  if (n > 0) {
    if (pid > 0) {
      while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(error));
  }
  return pid;
}

}  // namespace test_guard
