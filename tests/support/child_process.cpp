#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstring>
#include <stdexcept>

#include "scratch.h"
#include "test_guard.h"
#include "waiting.h"

extern char** environ;

namespace test_support {

std::map<std::string, std::string> clean_environment() {
  std::map<std::string, std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    const std::size_t eq = text.find('=');
    if (eq == std::string::npos) continue;
    const std::string name = text.substr(0, eq);
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name.rfind("TARNEL_", 0) == 0 || lower.find("proxy") != std::string::npos) continue;
    env[name] = text.substr(eq + 1);
  }
  return env;
}

namespace {

std::atomic<int> g_serial{0};

// A child's standard stream, open (close-on-exec) for the time of the start.
struct Stream {
  Stream(const std::string& path, int flags) : fd(::open(path.c_str(), flags | O_CLOEXEC, 0600)) {
    if (fd < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
  }
  ~Stream() { ::close(fd); }
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;
  const int fd;
};

}  // namespace

Process::Process(const LaunchPlan& launch) {
  const std::string stem = launch.work_dir + "/" + launch.name + "-" + std::to_string(++g_serial);
  out_path_ = stem + ".out";
  err_path_ = stem + ".err";
  in_path_ = launch.stdin_text.empty() ? std::string("/dev/null") : stem + ".in";
  if (!launch.stdin_text.empty()) write_file(in_path_, launch.stdin_text);

  const Stream in(in_path_, O_RDONLY);
  const Stream out(out_path_, O_WRONLY | O_CREAT | O_TRUNC);
  const Stream err(err_path_, O_WRONLY | O_CREAT | O_TRUNC);
  std::vector<std::string> env;
  for (const auto& [name, value] : launch.env) env.push_back(name + "=" + value);
  // A session of its own: its own process group, and no controlling
  // terminal, so a password prompt can never wait on the tester's terminal.
  pid_ = test_guard::spawn(launch.argv, &env, {in.fd, out.fd, err.fd}, test_guard::Session::own);
}

Process::~Process() {
  if (pid_ > 0 && !reaped_) {
    ::kill(-pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

void Process::reap() {
  // The child has ended but is not reaped yet, so its process group still
  // exists: what it left behind in that group goes with it.
  ::kill(-pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  reaped_ = true;
  if (WIFEXITED(status)) {
    exit_code_ = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    signaled_ = true;
    exit_code_ = 128 + WTERMSIG(status);
  }
}

bool Process::running() {
  if (reaped_) return false;
  siginfo_t info{};
  if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
      info.si_pid == pid_) {
    reap();
    return false;
  }
  return true;
}

bool Process::wait(std::chrono::milliseconds limit) {
  if (eventually([this] { return !running(); }, limit)) return true;  // bounded by the budget too
  ::kill(-pid_, SIGKILL);
  reap();
  return false;
}

void Process::send_signal(int number) {
  if (running()) ::kill(pid_, number);
}

void Process::stop(std::chrono::milliseconds grace) {
  if (!running()) return;
  ::kill(-pid_, SIGTERM);
  wait(grace);
}

std::string Process::first_line(std::chrono::milliseconds limit) {
  eventually([this] { return out().find('\n') != std::string::npos || !running(); }, limit);
  const std::string text = out();  // read again: it may have come just before the end
  const std::size_t newline = text.find('\n');
  return newline == std::string::npos ? std::string() : text.substr(0, newline);
}

std::string Process::out() const { return read_file(out_path_); }
std::string Process::err() const { return read_file(err_path_); }

RunResult run(const LaunchPlan& launch, std::chrono::milliseconds limit) {
  const auto start = std::chrono::steady_clock::now();
  Process child(launch);
  RunResult result;
  result.finished = child.wait(limit);
  result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  result.exit_code = child.exit_code();
  result.signaled = child.signaled();
  result.out = child.out();
  result.err = child.err();
  return result;
}

}  // namespace test_support
