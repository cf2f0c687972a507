// tarnelctl under the process limits a host may set: output past the
// file-size limit and memory that runs out end the command with the failed
// code (1) and a message, never with a signal, and the key store stays whole.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include "e2e_fixture.h"

namespace e2e {
namespace {

using ::testing::HasSubstr;

class LimitsTest : public ClusterTest {
 protected:
  // A tarnelctl run under prlimit's `limit` ("--as=24000000"), its stdout
  // appended to `out_file` when one is given.
  RunResult limited(const std::string& limit, const std::vector<std::string>& args,
                    const std::string& out_file = "") const {
    LaunchPlan launch = node->ctl_launch(args);
    launch.argv.insert(launch.argv.begin(),
                       {"/bin/sh", "-c", "exec prlimit " + limit + " -- \"$@\" >>\"$0\"",
                        out_file.empty() ? "/dev/null" : out_file});
    return run(launch, std::chrono::seconds(30));
  }
};

TEST_F(LimitsTest, OutputPastTheFileSizeLimitFailsTheCommandNotTheProcess) {
  ASSERT_NO_FATAL_FAILURE(start_provisioned());
  const std::string out = dir.file("full.out");
  write_file(out, std::string(65536, '.'));
  const RunResult result = limited("--fsize=65536", {"capacity"}, out);
  EXPECT_FALSE(result.signaled) << "signal " << result.exit_code - 128;
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.err, HasSubstr("tarnelctl capacity: cannot write to standard output: File "
                                    "too large"));
}

// The window in which memory runs out inside tarnelctl is narrow and moves
// with the build, so each command is run at limits from where the program
// is loaded at all (below that the loader fails, exit 127) up to where the
// command succeeds.
TEST_F(LimitsTest, MemoryRunningOutEndsTheCommandWithTheFailedCode) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reserves more address space than any such limit";
#endif
  ASSERT_NO_FATAL_FAILURE(start_provisioned());
  const std::string keystore = read_file(node->keystore());
  const std::vector<std::vector<std::string>> commands = {{"keystore", "set-cluster", "other"},
                                                          {"capacity"}};
  constexpr long kMiB = 1024 * 1024;
  for (const std::vector<std::string>& args : commands) {
    SCOPED_TRACE(::testing::PrintToString(args));
    auto at = [&](long bytes) { return limited("--as=" + std::to_string(bytes), args); };
    long loaded = 8 * kMiB;
    while (loaded < 512 * kMiB && at(loaded).exit_code == 127) loaded += kMiB;
    int runs = 0;
    int out_of_memory = 0;
    for (long bytes = loaded - kMiB; runs < 100; bytes += 32 * 1024, ++runs) {
      const RunResult result = at(bytes);
      ASSERT_TRUE(result.finished);
      // Near the loader's own needs, ld.so may crash setting up thread-local
      // storage, before any of tarnelctl runs: a SIGSEGV with nothing said.
      EXPECT_TRUE(!result.signaled || (result.exit_code == 128 + SIGSEGV && result.err.empty()))
          << bytes << " bytes: signal " << result.exit_code - 128 << ": " << result.err;
      out_of_memory += result.err.find("tarnelctl: out of memory") != std::string::npos ? 1 : 0;
      if (result.exit_code == 0) break;
    }
    EXPECT_LT(runs, 100) << "no limit up to " << loaded << " bytes let the command succeed";
    EXPECT_GT(out_of_memory, 0) << "no limit made the memory run out inside tarnelctl";
    ASSERT_EQ(node->ctl({"keystore", "set-cluster", kCluster}).exit_code, 0);
    EXPECT_EQ(read_file(node->keystore()), keystore);
  }
}

}  // namespace
}  // namespace e2e
