// The process runner against real shells: statuses, streams, time-outs and
// descriptors.
#include "RkProcess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "RkCancel.h"
#include "host_test_support.h"

using host_test::read_file;
using host_test::ScopedEnv;
using host_test::TempDir;
using host_test::write_file;

namespace {

struct Outcome {
  int status;
  std::string output;
  std::string errorOutput;
};

Outcome run(const std::string& command, int timeoutSeconds = 30, bool merge = false) {
  Outcome result{0, "stale output", "stale error output"};
  result.status = RkProcess::system(command.c_str(), &result.output, &result.errorOutput,
                                    timeoutSeconds, merge);
  return result;
}

std::set<int> open_descriptors() {
  std::set<int> fds;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    fds.insert(std::stoi(entry.path().filename().string()));
  }
  return fds;
}

// Descriptors of this process that a child would inherit.
std::set<int> inheritable_descriptors() {
  std::set<int> fds;
  for (int fd : open_descriptors()) {
    int flags = ::fcntl(fd, F_GETFD);
    if (flags >= 0 && !(flags & FD_CLOEXEC)) fds.insert(fd);
  }
  return fds;
}

// True when `pid` no longer runs (gone, or a zombie waiting for its reaper).
bool finished_now(pid_t pid) {
  if (::kill(pid, 0) != 0) return errno == ESRCH;
  const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

// A SIGKILLed process may take a moment to finish exiting: waits up to 10 s.
bool finished(pid_t pid) {
  for (int i = 0; i < 1000; ++i) {
    if (finished_now(pid)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

std::vector<pid_t> pids_in(const std::string& text) {
  std::vector<pid_t> pids;
  std::istringstream in(text);
  for (long pid; in >> pid;) pids.push_back(static_cast<pid_t>(pid));
  return pids;
}

// Kills, however the test ends, the processes whose pids a command wrote to
// a file (they may have left the command's process group).
class LeftBehind {
 public:
  explicit LeftBehind(std::string pidFile) : pidFile_(std::move(pidFile)) {}
  ~LeftBehind() {
    for (pid_t pid : pids()) {
      if (pid > 1) ::kill(pid, SIGKILL);
    }
  }
  LeftBehind(const LeftBehind&) = delete;
  LeftBehind& operator=(const LeftBehind&) = delete;
  const std::string& file() const { return pidFile_; }
  std::vector<pid_t> pids() const { return pids_in(read_file(pidFile_)); }

 private:
  std::string pidFile_;
};

class ProcessRunner : public ::testing::Test {
 protected:
  TempDir dir;
  ScopedEnv keystore{"TARNEL_KEYSTORE", dir.file("keystore.conf")};
};

TEST_F(ProcessRunner, ReportsExitStatusesAndKeepsTheStreamsApart) {
  Outcome failed = run("echo out; echo err >&2; exit 3");
  EXPECT_EQ(failed.status, 3);
  EXPECT_EQ(failed.output, "out\n");
  EXPECT_EQ(failed.errorOutput, "err\n");

  Outcome clean = run("printf 'a\\nb'");
  EXPECT_EQ(clean.status, 0);
  EXPECT_EQ(clean.output, "a\nb");
  EXPECT_EQ(clean.errorOutput, "");

  EXPECT_EQ(run("exit 255").status, 255);
  EXPECT_EQ(run("false").status, 1);

  Outcome missing = run("/nonexistent/helper list_data_drives");
  EXPECT_EQ(missing.status, 127);
  EXPECT_NE(missing.errorOutput.find("not found"), std::string::npos) << missing.errorOutput;
}

TEST_F(ProcessRunner, ACommandKilledByASignalIsAFailureNamingTheSignal) {
  Outcome terminated = run("echo partial; kill -TERM $$");
  EXPECT_EQ(terminated.status, 128 + SIGTERM);
  EXPECT_EQ(terminated.output, "partial\n");
  EXPECT_NE(terminated.errorOutput.find("signal 15"), std::string::npos);
  EXPECT_EQ(run("kill -KILL $$").status, 128 + SIGKILL);
}

TEST_F(ProcessRunner, MergingPutsTheErrorOutputIntoTheOutputInOrder) {
  Outcome merged = run("echo one; echo two >&2; echo three", 30, true);
  EXPECT_EQ(merged.status, 0);
  EXPECT_EQ(merged.output, "one\ntwo\nthree\n");
  EXPECT_EQ(merged.errorOutput, "");
}

TEST_F(ProcessRunner, LargeOutputOnBothStreamsAtOnceDoesNotDeadlock) {
  Outcome big =
      run("head -c 10000000 /dev/zero | tr '\\0' o & "
          "head -c 10000000 /dev/zero | tr '\\0' e >&2; wait");
  EXPECT_EQ(big.status, 0);
  EXPECT_EQ(big.output.size(), 10000000u);
  EXPECT_EQ(big.errorOutput.size(), 10000000u);
  EXPECT_EQ(big.output.find_first_not_of('o'), std::string::npos);
  EXPECT_EQ(big.errorOutput.find_first_not_of('e'), std::string::npos);
}

TEST_F(ProcessRunner, TimeOutKillsTheWholeGroupEvenWhenItIgnoresTerm) {
  const auto start = std::chrono::steady_clock::now();
  Outcome stuck =
      run("trap '' TERM; sleep 60 & echo $!; sh -c 'sleep 60' & echo $!; echo $$; wait", 1);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_NE(stuck.status, 0);
  EXPECT_NE(stuck.errorOutput.find("timed out after 1 s"), std::string::npos) << stuck.errorOutput;
  EXPECT_GE(elapsed, std::chrono::seconds(3));  // SIGTERM at 1 s was ignored; SIGKILL 2 s later
  const std::vector<pid_t> pids = pids_in(stuck.output);
  ASSERT_EQ(pids.size(), 3u) << stuck.output;
  for (pid_t pid : pids) EXPECT_TRUE(finished(pid)) << pid;
}

// At the time-out the group gets SIGTERM first (the shell's trap writes
// its file), SIGKILL 2 s later; a process that left the group and holds the
// pipes does not keep the result back.
TEST_F(ProcessRunner, ATimeOutTermsTheGroupBeforeKillingItAndReturnsWhatever) {
  LeftBehind lingering(dir.file("pids"));
  const auto start = std::chrono::steady_clock::now();
  Outcome stuck = run("trap 'echo TERM > " + dir.file("trapped") + "' TERM; setsid sleep 30 & " +
                          "echo $! > " + lingering.file() + "; sleep 60 & wait; sleep 60",
                      1);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(stuck.status, -2) << stuck.errorOutput;
  EXPECT_EQ(read_file(dir.file("trapped")), "TERM\n");
  EXPECT_LT(std::chrono::duration_cast<std::chrono::seconds>(elapsed).count(), 6);
  EXPECT_EQ(lingering.pids().size(), 1u);
}

TEST_F(ProcessRunner, WhatTheShellLeftHoldingThePipesDoesNotDelayItsResult) {
  LeftBehind lingering(dir.file("pids"));
  Outcome done = run("echo 'WD-1|/dev/sdb|/mnt/d1|2:0:1:0|1|'; setsid sleep 200 & echo $! > " +
                         lingering.file() + "; date +%s%N > " + dir.file("end") + "; exit 0",
                     60);
  // From the shell's last command to the result: the grace, about 100 ms.
  const auto after_shell = std::chrono::system_clock::now().time_since_epoch() -
                           std::chrono::nanoseconds(std::stoll(read_file(dir.file("end"))));
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(after_shell).count(), 800);
  EXPECT_EQ(done.status, 0);
  EXPECT_EQ(done.output, "WD-1|/dev/sdb|/mnt/d1|2:0:1:0|1|\n");
  EXPECT_EQ(done.errorOutput, "");
  EXPECT_EQ(lingering.pids().size(), 1u);
}

TEST_F(ProcessRunner, ACancelKillsTheGroupAtOnceAndAnEarlierOneRunsNothing) {
  LeftBehind group(dir.file("pids"));
  RkCancelToken token;
  std::string output;
  std::string errors;
  std::thread canceller([&] {
    // Cancel once the command has started (its pid file is written).
    for (int i = 0; i < 1000 && group.pids().empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    token.cancel();
  });
  const auto start = std::chrono::steady_clock::now();
  const int status = RkProcess::system(("sleep 60 & echo $! > " + group.file() + "; wait").c_str(),
                                       &output, &errors, 60, false, &token);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  canceller.join();
  EXPECT_EQ(status, -3);
  EXPECT_EQ(errors, "RkProcess: cancelled\n");
  EXPECT_LT(std::chrono::duration_cast<std::chrono::seconds>(elapsed).count(), 2);
  ASSERT_EQ(group.pids().size(), 1u);
  EXPECT_TRUE(finished(group.pids()[0]));

  EXPECT_EQ(
      RkProcess::system(("touch " + dir.file("ran")).c_str(), &output, &errors, 60, false, &token),
      -3);
  EXPECT_FALSE(std::filesystem::exists(dir.file("ran")));
}

TEST_F(ProcessRunner, EachStreamCapturesAtMostSixteenMebibytesThenTheGroupIsKilled) {
  const size_t limit = 16u << 20;
  Outcome atLimit = run("head -c 16777216 /dev/zero");
  EXPECT_EQ(atLimit.status, 0);
  EXPECT_EQ(atLimit.output.size(), limit);

  LeftBehind group(dir.file("pids"));
  Outcome over = run("sleep 60 & echo $! > " + group.file() + "; head -c 16777217 /dev/zero; wait");
  EXPECT_EQ(over.status, -1);
  EXPECT_EQ(over.output.size(), limit);
  EXPECT_EQ(over.errorOutput,
            "RkProcess: output exceeds the capture limit of 16 MiB; command killed\n");
  ASSERT_EQ(group.pids().size(), 1u);
  EXPECT_TRUE(finished(group.pids()[0]));

  Outcome errorsOver = run("head -c 20000000 /dev/zero >&2");
  EXPECT_EQ(errorsOver.status, -1);
  ASSERT_GE(errorsOver.errorOutput.size(), limit);
  EXPECT_EQ(errorsOver.errorOutput.substr(limit, 100),  // a bounded text if it fails
            "\nRkProcess: error output exceeds the capture limit of 16 MiB; command killed\n");
}

TEST_F(ProcessRunner, ZeroTimeOutTakesTheBoundFromTheKeyStore) {
  write_file(dir.file("keystore.conf"), "dTarnelProcessTimeout=1\n");
  Outcome bounded = run("sleep 30", 0);
  EXPECT_NE(bounded.status, 0);
  EXPECT_NE(bounded.errorOutput.find("timed out after 1 s"), std::string::npos)
      << bounded.errorOutput;
}

TEST_F(ProcessRunner, TheCommandGetsNoDescriptorOfOursAndNoTerminalInput) {
  // Our standard input: a pipe with a line waiting in it.
  int feed[2];
  ASSERT_EQ(::pipe2(feed, O_CLOEXEC), 0);
  ASSERT_EQ(::write(feed[1], "ours\n", 5), 5);
  ::close(feed[1]);
  const int savedStdin = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
  ::dup2(feed[0], STDIN_FILENO);
  ::close(feed[0]);
  const std::set<int> inherited = inheritable_descriptors();
  Outcome listing = run("ls /proc/$$/fd; readlink /proc/$$/fd/0");
  const std::string read = run("cat").output;
  ::dup2(savedStdin, STDIN_FILENO);
  ::close(savedStdin);
  ASSERT_EQ(listing.status, 0) << listing.errorOutput;
  std::istringstream in(listing.output);
  std::set<int> seen;
  std::string last;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos) {
      seen.insert(std::stoi(line));
    }
    last = line;
  }
  std::set<int> expected = inherited;
  expected.insert({0, 1, 2});
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(last, "/dev/null");
  EXPECT_EQ(read, "");  // returns at once: its input is empty
}

TEST_F(ProcessRunner, NoDescriptorGrowthOverAThousandRunsFromFourThreads) {
  const std::set<int> before = open_descriptors();
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&failures, t] {
      std::string output, errorOutput;
      for (int i = 0; i < 250; ++i) {
        const bool merge = (i + t) % 4 == 0;
        const int status = RkProcess::system(i % 2 ? "exit 0" : "echo x; echo y >&2", &output,
                                             &errorOutput, 30, merge);
        const bool expected = i % 2 ? output.empty() && errorOutput.empty()
                                    : (merge ? output == "x\ny\n" && errorOutput.empty()
                                             : output == "x\n" && errorOutput == "y\n");
        if (status != 0 || !expected) failures.fetch_add(1);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(open_descriptors(), before);
}

TEST_F(ProcessRunner, SignalDispositionsAndMaskOfTheCallerDoNotReachTheCommand) {
  struct sigaction ignore {};
  struct sigaction previous {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &previous);
  sigset_t blockTerm, oldMask;
  sigemptyset(&blockTerm);
  sigaddset(&blockTerm, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &blockTerm, &oldMask);

  // With SIGPIPE ignored, yes would report a broken pipe and exit 1.
  Outcome pipe = run("yes | head -c 10 >/dev/null; echo done");
  // With SIGTERM blocked, the shell would survive its own kill.
  Outcome term = run("kill -TERM $$; echo survived");

  ::pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
  ::sigaction(SIGPIPE, &previous, nullptr);
  EXPECT_EQ(pipe.status, 0);
  EXPECT_EQ(pipe.output, "done\n");
  EXPECT_EQ(pipe.errorOutput, "");
  EXPECT_EQ(term.status, 128 + SIGTERM);
  EXPECT_EQ(term.output, "");
}

TEST_F(ProcessRunner, ACommandThatCannotStartIsAFailureWithAMessage) {
  Outcome none{0, "", ""};
  none.status = RkProcess::system(nullptr, &none.output, &none.errorOutput, 5, false);
  EXPECT_EQ(none.status, -1);
  EXPECT_EQ(none.errorOutput, "RkProcess: no command\n");

  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  struct rlimit none_left = saved;
  none_left.rlim_cur = 3;  // no descriptor above stderr can be made
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none_left), 0);
  std::string output, errorOutput;
  const int status = RkProcess::system("echo never", &output, &errorOutput, 5, false);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(status, -1);
  EXPECT_EQ(errorOutput,
            std::string("RkProcess: cannot create a pipe: ") + std::strerror(EMFILE) + "\n");
  EXPECT_EQ(output, "");

  EXPECT_EQ(RkProcess::system("echo discarded; echo also >&2", nullptr, nullptr, 5, false), 0);
}

}  // namespace
