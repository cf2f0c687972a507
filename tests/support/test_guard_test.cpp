// A test program killed with SIGKILL leaves neither its scratch directory
// nor a process it started behind.
#include "test_guard.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

// True when `pid` has ended (gone, or a zombie waiting for its reaper).
bool ended(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(stat, text);
  const std::size_t close = text.rfind(')');
  return !stat || (close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z');
}

TEST(TestGuard, AProgramEndedBySigkillLeavesNoProcessAndNoDirectory) {
  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  const pid_t victim =
      test_guard::spawn({TEST_GUARD_VICTIM}, nullptr, {null, out[1], 2}, test_guard::Session::kept);
  ::close(out[1]);
  ::close(null);
  std::string text;
  pollfd reader{out[0], POLLIN, 0};
  char buffer[512];
  while (::poll(&reader, 1, 10000) > 0) {
    const ssize_t n = ::read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(victim, &status, 0), victim);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << text;

  std::istringstream lines(text);
  std::string dir;
  long left = 0;
  ASSERT_TRUE(lines >> dir >> left) << text;
  // The process is gone by the time the program's status is known; the
  // directory goes soon after.
  EXPECT_TRUE(ended(static_cast<pid_t>(left))) << "process " << left << " still runs";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::filesystem::exists(dir) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(std::filesystem::exists(dir));
  if (!ended(static_cast<pid_t>(left))) ::kill(static_cast<pid_t>(left), SIGKILL);
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

}  // namespace
