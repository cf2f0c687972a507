// The cancellation token and the cancellable sleep against the real
// operating system: other threads, a signal handler, real pauses.
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <iterator>
#include <thread>

#include "RkCancel.h"
#include "host_test_support.h"
#include "rkmx_utils.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Polls the token's descriptor for up to 5 s, going round on EINTR.
bool descriptor_wakes(const RkCancelToken& token) {
  const Clock::time_point start = Clock::now();
  struct pollfd wait = {token.descriptor(), POLLIN, 0};
  while (seconds_since(start) < 5) {
    if (::poll(&wait, 1, 100) == 1 && (wait.revents & POLLIN) != 0) return true;
  }
  return false;
}

// Cancels `token` from another thread after `delayMs`; joined at the end of scope.
class CancelLater {
 public:
  CancelLater(RkCancelToken& token, int delayMs)
      : thread_([&token, delayMs] {
          std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
          token.cancel();
        }) {}
  ~CancelLater() { thread_.join(); }
  CancelLater(const CancelLater&) = delete;
  CancelLater& operator=(const CancelLater&) = delete;

 private:
  std::thread thread_;
};

RkCancelToken* g_signalled = nullptr;
void cancel_from_handler(int) { g_signalled->cancel(); }

}  // namespace

TEST(CancelToken, StartsUncancelledWithAPrivateDescriptorAboveTheStandardStreams) {
  // With only that standard descriptor free, the token's eventfd would land there.
  for (int standard : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    const int saved = ::fcntl(standard, F_DUPFD_CLOEXEC, 3);
    if (saved >= 0) ::close(standard);
    RkCancelToken token;
    if (saved >= 0) {
      ::dup2(saved, standard);
      ::close(saved);
    }
    EXPECT_FALSE(token.cancelled());
    EXPECT_GT(token.descriptor(), STDERR_FILENO) << "with " << standard << " free";
    EXPECT_NE(::fcntl(token.descriptor(), F_GETFD) & FD_CLOEXEC, 0);
    struct pollfd wait = {token.descriptor(), POLLIN, 0};
    EXPECT_EQ(::poll(&wait, 1, 0), 0);
  }
}

TEST(CancelToken, ClosesItsDescriptorWhenDestroyed) {
  const auto open_descriptors = [] {
    const auto entries = std::filesystem::directory_iterator("/proc/self/fd");
    return std::distance(std::filesystem::begin(entries), std::filesystem::end(entries));
  };
  const auto before = open_descriptors();
  for (int i = 0; i < 100; ++i) RkCancelToken().cancel();
  EXPECT_EQ(open_descriptors(), before);
}

TEST(CancelToken, CancelFromAnotherThreadWakesAPollOnItsDescriptorForGood) {
  RkCancelToken token;
  {
    CancelLater later(token, 50);
    EXPECT_TRUE(descriptor_wakes(token));
  }
  EXPECT_TRUE(token.cancelled());
  token.cancel();  // idempotent
  EXPECT_TRUE(descriptor_wakes(token));
}

TEST(CancelToken, CancelFromASignalHandlerWakesAPoll) {
  RkCancelToken token;
  g_signalled = &token;
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = cancel_from_handler;
  ::sigaction(SIGUSR1, &action, &previous);
  const pthread_t waiter = ::pthread_self();
  std::thread signaller([waiter] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ::pthread_kill(waiter, SIGUSR1);
  });
  const bool woke = descriptor_wakes(token);
  signaller.join();
  ::sigaction(SIGUSR1, &previous, nullptr);
  g_signalled = nullptr;
  EXPECT_TRUE(woke);
  EXPECT_TRUE(token.cancelled());
}

TEST(CancellableSleep, ACancelFromAnotherThreadEndsALongPauseAtOnce) {
  host_test::ScopedEnv scale("TARNEL_SLEEP_SCALE", std::nullopt);
  std::unique_ptr<RkCancelToken> withoutDescriptor = host_test::token_without_descriptor();
  ASSERT_EQ(withoutDescriptor->descriptor(), -1);
  RkCancelToken withDescriptor;
  for (RkCancelToken* token : {&withDescriptor, withoutDescriptor.get()}) {
    const Clock::time_point start = Clock::now();
    int result = -1;
    {
      CancelLater later(*token, 50);
      result = ZUSLEEP_Cancellable(60000, token, __FILE__, __LINE__);
    }
    EXPECT_EQ(result, 1) << token->descriptor();
    EXPECT_LT(seconds_since(start), 2.0) << token->descriptor();
  }
}

TEST(CancellableSleep, ReturnsOneAtOnceWhenAlreadyCancelledAndZeroAfterAWholePause) {
  host_test::ScopedEnv scale("TARNEL_SLEEP_SCALE", std::string("0.001"));
  RkCancelToken token;
  Clock::time_point start = Clock::now();
  EXPECT_EQ(ZUSLEEP_Cancellable(30000, &token, __FILE__, __LINE__), 0);
  EXPECT_EQ(ZUSLEEP_Cancellable(30000, nullptr, __FILE__, __LINE__), 0);
  EXPECT_GE(seconds_since(start), 0.060);  // two pauses scaled to 30 ms

  token.cancel();
  host_test::ScopedEnv unscaled("TARNEL_SLEEP_SCALE", std::nullopt);
  start = Clock::now();
  EXPECT_EQ(ZUSLEEP_Cancellable(60000, &token, __FILE__, __LINE__), 1);
  EXPECT_EQ(ZUSLEEP_Cancellable(0, &token, __FILE__, __LINE__), 1);
  EXPECT_LT(seconds_since(start), 2.0);
}
