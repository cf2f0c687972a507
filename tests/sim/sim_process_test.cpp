// The tarnel-sim binary as a child process: its command line, the first
// line it prints, stopping by signal, the state file across restarts, and
// that passwords stay out of its output.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim_test_support.h"
#include "waiting.h"

using json_spirit::mObject;
using sim_test::add_virtual_disk_text;
using sim_test::login_text;
using sim_test::raw_exchange;
using sim_test::rest_target;
using sim_test::SimProcess;

namespace {

constexpr const char* kConfig =
    R"({"cluster":"c1","capacity":{"units":"TB","value":10},"users":{"tarnel":"Pr0c-secret"}})";

class SimProcessTest : public ::testing::Test {
 protected:
  void SetUp() override { sim_test::write_file(config(), kConfig); }
  std::string config() const { return dir_.file("sim.json"); }

  std::vector<std::string> args(std::vector<std::string> extra) const {
    std::vector<std::string> all{"--config", config(), "--port", "0"};
    all.insert(all.end(), extra.begin(), extra.end());
    return all;
  }

  static std::string login(int port) {
    const sim_test::RawReply reply =
        raw_exchange(port, "GET", rest_target(login_text("tarnel", "Pr0c-secret", "c1")));
    EXPECT_EQ(reply.status, 200) << reply.bytes;
    return reply.status == 200
               ? sim_test::parse_json(reply.body).at("result").get_obj().at("sessionId").get_str()
               : std::string();
  }

  sim_test::TempDir dir_;
};

}  // namespace

TEST_F(SimProcessTest, PrintsItsPortFirstServesAndStopsCleanlyOnSigterm) {
  SimProcess sim(args({}), dir_);
  ASSERT_GT(sim.port(), 0) << sim.first_line();
  EXPECT_EQ(sim.first_line(), "listening on 127.0.0.1:" + std::to_string(sim.port()));
  EXPECT_FALSE(login(sim.port()).empty());
  EXPECT_EQ(sim.stop(SIGTERM), 0);
  EXPECT_EQ(sim.rest_of_stdout(), "");
  EXPECT_NE(sim.err().find("stopped"), std::string::npos);
}

TEST_F(SimProcessTest, StopsCleanlyOnSigint) {
  SimProcess sim(args({}), dir_);
  ASSERT_GT(sim.port(), 0);
  EXPECT_EQ(sim.stop(SIGINT), 0);
}

TEST_F(SimProcessTest, ListensOnTheLoopbackAddressOnly) {
  SimProcess sim(args({}), dir_);
  ASSERT_GT(sim.port(), 0);
  // The port is taken on 127.0.0.1 only: another address may still bind it.
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in other{};
  other.sin_family = AF_INET;
  other.sin_port = htons(static_cast<uint16_t>(sim.port()));
  other.sin_addr.s_addr = htonl(0x7f000002);  // 127.0.0.2
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&other), sizeof other), 0);
  ::close(fd);
  EXPECT_EQ(sim.stop(SIGTERM), 0);
}

TEST_F(SimProcessTest, AppliesFaultsGivenAsFlags) {
  SimProcess sim(args({"--fault", "Login:status=503,times=2", "--fault",
                       "AddVirtualDisk:commit-drop,times=1"}),
                 dir_);
  ASSERT_GT(sim.port(), 0);
  const std::string target = rest_target(login_text("tarnel", "Pr0c-secret", "c1"));
  EXPECT_EQ(raw_exchange(sim.port(), "GET", target).status, 503);
  EXPECT_EQ(raw_exchange(sim.port(), "GET", target).status, 503);
  const std::string session = login(sim.port());
  const std::string create = rest_target(add_virtual_disk_text("vd1", "1.00", session));
  EXPECT_EQ(raw_exchange(sim.port(), "POST", create).bytes, "");
  EXPECT_EQ(raw_exchange(sim.port(), "POST", create).status, 409);
  EXPECT_EQ(sim.stop(SIGTERM), 0);
}

TEST_F(SimProcessTest, SigtermEndsItPromptlyWhileSlowClientsHoldEveryWorker) {
  SimProcess sim(args({"--max-workers", "16", "--read-timeout", "20"}), dir_);
  ASSERT_GT(sim.port(), 0);
  // 20 clients that never finish their request's header: 16 workers read
  // them, and the other 4 wait their turn.
  const sim_test::HeldConnections slow(sim.port(), 20, "GET /state HTTP/1.1\r\nHost: 127.");
  const auto threads = [&sim] {
    const std::string status =
        sim_test::read_file("/proc/" + std::to_string(sim.pid()) + "/status");
    const std::size_t at = status.find("\nThreads:");
    return at == std::string::npos ? 0 : std::atoi(status.c_str() + at + 9);
  };
  // The main thread, the signal waiter and 16 workers (a sanitizer may add
  // one of its own); 20 workers would be 22.
  ASSERT_TRUE(test_support::eventually([&] { return threads() >= 18; })) << threads();
  EXPECT_LT(threads(), 22);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(sim.stop(SIGTERM), 0);
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                  start)
                .count(),
            5000);
}

TEST_F(SimProcessTest, HoldsAReplyBackForADelayFault) {
  SimProcess sim(args({"--fault", "Login:delay=300,times=1"}), dir_);
  ASSERT_GT(sim.port(), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(login(sim.port()).empty());
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
  EXPECT_EQ(sim.stop(SIGTERM), 0);
}

TEST_F(SimProcessTest, TheStateFileSurvivesARestart) {
  const std::vector<std::string> with_state = args({"--state-file", dir_.file("state.json")});
  {
    SimProcess sim(with_state, dir_);
    ASSERT_GT(sim.port(), 0);
    const std::string session = login(sim.port());
    const std::string create = rest_target(add_virtual_disk_text("vd1", "58.64", session));
    ASSERT_EQ(raw_exchange(sim.port(), "POST", create).status, 200);
    ASSERT_EQ(sim.stop(SIGTERM), 0);
  }
  SimProcess again(with_state, dir_);
  ASSERT_GT(again.port(), 0);
  const mObject state = sim_test::parse_json(raw_exchange(again.port(), "GET", "/state").body);
  ASSERT_EQ(state.at("disks").get_array().size(), 1u);
  EXPECT_EQ(state.at("disks").get_array()[0].get_obj().at("name").get_str(), "vd1");
  const std::string session = login(again.port());
  const std::string create = rest_target(add_virtual_disk_text("vd1", "1.00", session));
  EXPECT_EQ(raw_exchange(again.port(), "POST", create).status, 409);
  EXPECT_EQ(again.stop(SIGTERM), 0);
}

TEST_F(SimProcessTest, RefusesOversizedDisksWithStrictCapacity) {
  SimProcess sim(args({"--strict-capacity"}), dir_);
  ASSERT_GT(sim.port(), 0);
  const std::string session = login(sim.port());
  const std::string create = rest_target(add_virtual_disk_text("big", "20480.00", session));
  EXPECT_EQ(raw_exchange(sim.port(), "POST", create).status, 507);
  EXPECT_EQ(sim.stop(SIGTERM), 0);
}

TEST_F(SimProcessTest, VerboseLinesNeverShowThePassword) {
  SimProcess sim(args({"-v"}), dir_);
  ASSERT_GT(sim.port(), 0);
  login(sim.port());
  raw_exchange(sim.port(), "GET",
               rest_target("request={type:Login,params:{password:\"Pr0c-secret\"y\"}}"));
  ASSERT_EQ(sim.stop(SIGTERM), 0);
  const std::string err = sim.err();
  EXPECT_NE(err.find("GET Login -> 200: "
                     "request={type:Login,category:UserManagement,params:{userName:\"tarnel\","
                     "password:\"***\",cluster:\"c1\"}}"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("GET - -> 400: request={type:Login,params:{password***"), std::string::npos)
      << err;
  EXPECT_EQ(err.find("Pr0c-secret"), std::string::npos) << err;
}

TEST_F(SimProcessTest, HelpDescribesTheCommandLineAndTheEndpoints) {
  std::string out;
  std::string err;
  EXPECT_EQ(sim_test::run_sim({"--help"}, out, err), 0);
  for (const char* text :
       {"--config", "--port", "--state-file", "--session-ttl", "--strict-capacity", "--fault",
        "--max-workers", "--read-timeout", "--idle-timeout", "/rest?request=", "/state", "/control",
        "commit-drop", "expire-session"}) {
    EXPECT_NE(out.find(text), std::string::npos) << text;
  }
}

TEST_F(SimProcessTest, UsageErrorsExitWithTwo) {
  std::string out;
  std::string err;
  EXPECT_EQ(sim_test::run_sim({"--port", "0"}, out, err), 2);  // no --config
  EXPECT_NE(err.find("--config"), std::string::npos) << err;
  EXPECT_EQ(sim_test::run_sim(args({"--fault", "Login:explode"}), out, err), 2);
  EXPECT_NE(err.find("unknown fault"), std::string::npos) << err;
  EXPECT_EQ(sim_test::run_sim(args({"--session-ttl", "0"}), out, err), 2);
  EXPECT_EQ(sim_test::run_sim({"--config", config(), "--port", "70000"}, out, err), 2);
  EXPECT_EQ(sim_test::run_sim(args({"--password", "x"}), out, err), 2);
}

TEST_F(SimProcessTest, AFifoAsConfigurationOrStateFileFailsTheStartAtOnce) {
  const std::string fifo = dir_.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::vector<std::string> cases[] = {{"--config", fifo, "--port", "0"},
                                            args({"--state-file", fifo})};
  for (const std::vector<std::string>& arguments : cases) {
    // A simulator stuck opening the FIFO is killed by wait() after its time limit.
    SimProcess sim(arguments, dir_);
    EXPECT_EQ(sim.first_line(), "");
    EXPECT_EQ(sim.wait(), 1);
    const std::string err = sim.err();
    EXPECT_NE(err.find(fifo + ": not a regular file"), std::string::npos) << err;
  }
}

TEST_F(SimProcessTest, StartFailuresExitWithOneAndKeepPasswordsOut) {
  std::string out;
  std::string err;
  sim_test::write_file(
      config(),
      R"({"cluster":"c1","capacity":{"units":"ZB","value":1},"users":{"u":"Pr0c-secret"}})");
  EXPECT_EQ(sim_test::run_sim(args({}), out, err), 1);
  EXPECT_NE(err.find("units"), std::string::npos) << err;
  EXPECT_EQ(err.find("Pr0c-secret"), std::string::npos) << err;
  EXPECT_EQ(out, "");

  sim_test::write_file(config(), kConfig);
  sim_test::write_file(dir_.file("state.json"), "{broken");
  EXPECT_EQ(sim_test::run_sim(args({"--state-file", dir_.file("state.json")}), out, err), 1);
  EXPECT_NE(err.find("state file"), std::string::npos) << err;

  SimProcess holder(args({}), dir_);
  ASSERT_GT(holder.port(), 0);
  EXPECT_EQ(
      sim_test::run_sim({"--config", config(), "--port", std::to_string(holder.port())}, out, err),
      1);
  EXPECT_NE(err.find("cannot listen"), std::string::npos) << err;
  EXPECT_EQ(holder.stop(SIGTERM), 0);
}
