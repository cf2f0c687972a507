#include "e2e_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace e2e {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                        "/tarnel-e2e-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) {
    throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const std::string& path, const std::string& content, mode_t mode) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) throw std::runtime_error("cannot write " + path);
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n <= 0) {
      ::close(fd);
      throw std::runtime_error("cannot write " + path);
    }
    done += static_cast<std::size_t>(n);
  }
  ::fchmod(fd, mode);
  ::close(fd);
}

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
}  // namespace

Process::Process(const LaunchPlan& launch) {
  const std::string stem =
      launch.work_dir + "/" + launch.name + "-" + std::to_string(++g_serial);
  out_path_ = stem + ".out";
  err_path_ = stem + ".err";
  in_path_ = launch.stdin_text.empty() ? std::string("/dev/null") : stem + ".in";
  if (!launch.stdin_text.empty()) write_file(in_path_, launch.stdin_text);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in_path_.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // A session of its own: its own process group, and no controlling
  // terminal, so a password prompt can never wait on the tester's terminal.
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK |
                                      POSIX_SPAWN_SETSIGDEF);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGINT);
  posix_spawnattr_setsigdefault(&attr, &defaults);

  std::vector<char*> argv;
  for (const std::string& a : launch.argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> env_text;
  for (const auto& [name, value] : launch.env) env_text.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& e : env_text) envp.push_back(&e[0]);
  envp.push_back(nullptr);

  const int rc = posix_spawn(&pid_, argv[0], &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    pid_ = -1;
    throw std::runtime_error("cannot start " + launch.argv[0] + ": " + std::strerror(rc));
  }
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
  if (eventually([this] { return !running(); }, limit)) return true;
  ::kill(-pid_, SIGKILL);
  reap();
  return false;
}

void Process::stop(std::chrono::milliseconds grace) {
  if (!running()) return;
  ::kill(-pid_, SIGTERM);
  wait(grace);
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

}  // namespace e2e
