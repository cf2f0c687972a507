// How a command ends, through tarnelctl against the simulator's faults: the
// cause it names, its exit code and --json members, what the responsive
// policy retries and what it does not, the attempt lines on stderr, the
// deadline of --timeout, and Ctrl-C.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <tuple>

#include "e2e_fixture.h"
#include "test_guard.h"

namespace e2e {
namespace {

using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// Real pauses: 5 s after a first failed attempt.
const std::map<std::string, std::string> kRealPauses = {{"TARNEL_SLEEP_SCALE", "1"}};

class OutcomeTest : public ClusterTest {
 protected:
  int sent(const std::string& kind) const {
    const std::vector<std::string> all = kinds();
    return static_cast<int>(std::count(all.begin(), all.end(), kind));
  }
  // The --json reply of a failed run, checked for its exit code and reason.
  static rapidjson::Document failure(const RunResult& run, int code, const char* reason) {
    EXPECT_EQ(run.exit_code, code) << run.out << run.err;
    EXPECT_EQ(run.err, "");
    rapidjson::Document reply = parse_json(run.out);
    if (!reply.IsObject()) return reply;
    EXPECT_FALSE(member<bool>(reply, "ok"));
    EXPECT_EQ(member<int>(reply, "exit_code"), code);
    EXPECT_EQ(member(reply, "reason"), reason);
    return reply;
  }
};

TEST_F(OutcomeTest, AWrongPasswordIsRefusedAtOnceWithoutAPause) {
  SimOptions options;
  options.users = {{kNodeUser, "not the stored password"}};
  ASSERT_NO_FATAL_FAILURE(start_provisioned(options));

  const RunResult text = node->ctl({"capacity"}, kRealPauses);
  EXPECT_EQ(text.exit_code, 4);
  EXPECT_LT(text.elapsed.count(), 4000) << "a pause of 5 s was taken";
  EXPECT_EQ(text.err,
            "tarnelctl capacity: the cluster refused the login for user TarnelAdmin (HTTP 401 "
            "AuthenticationFailed)\n");

  const rapidjson::Document json = failure(node->ctl({"login", "--json"}), 4, "login_refused");
  EXPECT_EQ(member<int>(json, "http_status"), 401);
  EXPECT_EQ(member(json, "cluster_error"), "AuthenticationFailed");
  EXPECT_EQ(member<int>(json, "attempts"), 1);
  EXPECT_THAT(kinds(), ElementsAre("Login", "Login"));
}

TEST_F(OutcomeTest, RefusalsEndTheCommandAtOnceWithTheirCause) {
  ASSERT_NO_FATAL_FAILURE(start_provisioned());
  ASSERT_EQ(node->ctl({"create", "vd"}).exit_code, 0);

  const RunResult again = node->ctl({"create", "vd"});
  EXPECT_EQ(again.exit_code, 6);
  EXPECT_EQ(again.err,
            "tarnelctl create: virtual disk 'vd' already exists (HTTP 409 DuplicateVirtualDisk)\n");
  EXPECT_EQ(sent("AddVirtualDisk"), 2);

  const rapidjson::Document json = failure(node->ctl({"--json", "export", "nope"}), 6, "refused");
  EXPECT_EQ(member(json, "error"),
            "virtual disk 'nope' is unknown to the cluster (HTTP 404 UnknownVirtualDisk)");
  EXPECT_EQ(member<int>(json, "http_status"), 404);
  EXPECT_EQ(sent("Mount"), 1);
}

TEST_F(OutcomeTest, ASessionThatExpiresDuringAnExportIsRenewed) {
  ASSERT_NO_FATAL_FAILURE(start_with_fault("Mount:expire-session,times=1"));
  ASSERT_EQ(node->ctl({"create", "vd"}).exit_code, 0);
  const std::size_t before = sim->requests().size();

  const RunResult exported = node->ctl({"export", "vd"});
  EXPECT_EQ(exported.exit_code, 0) << exported.err;
  EXPECT_EQ(exported.err, "export attempt 1/5: HTTP 401 SessionExpired: retrying in 0.01 s\n");
  const std::vector<SimRequest> requests = sim->requests();
  ASSERT_EQ(requests.size(), before + 4);
  EXPECT_EQ(requests[before + 1].status, 401);
  EXPECT_EQ(requests[before + 2].request, "Login");
  EXPECT_EQ(requests[before + 3].status, 200);
  EXPECT_NE(session_of(requests[before + 3].text), session_of(requests[before + 1].text));
  EXPECT_THAT(sim->mounts(), ElementsAre("vd -> " + host_name()));
}

TEST_F(OutcomeTest, ACreateWhoseReplyWasLostAndThenFoundExistingMayHaveMadeTheDisk) {
  ASSERT_NO_FATAL_FAILURE(start_with_fault("AddVirtualDisk:commit-drop,times=1"));
  const rapidjson::Document json = failure(node->ctl({"create", "vd", "--json"}), 7, "may_exist");
  EXPECT_EQ(member(json, "error"),
            "the cluster may have created 'vd': an earlier attempt's reply "
            "was lost and a retry found it existing");
  EXPECT_EQ(member<int>(json, "attempts"), 2);
  ASSERT_TRUE(json.IsObject() && json.HasMember("size_gb") && json["size_gb"].IsNumber());
  EXPECT_DOUBLE_EQ(json["size_gb"].GetDouble(), 58.64);
  EXPECT_THAT(sim->disks(), ElementsAre("vd"));
}

TEST_F(OutcomeTest, AClusterNobodyListensForIsUnreachable) {
  ASSERT_NO_FATAL_FAILURE(start_provisioned());
  sim->stop();
  const RunResult result = node->ctl({"create", "vd", "--retries", "2"});
  EXPECT_EQ(result.exit_code, 5);
  EXPECT_EQ(result.err,
            "login attempt 1/2: connection refused: retrying in 0.01 s\n"
            "tarnelctl create: cannot reach the cluster at " +
                host_name() + ":8080: connection refused\n");
}

TEST_F(OutcomeTest, RetriedStatusesRunOutAfterTheAttemptsAskedForUnderEitherPolicy) {
  ASSERT_NO_FATAL_FAILURE(start_with_fault("AddVirtualDisk:status=503"));
  // The pauses told are the ones taken, at the tests' sleep scale.
  const std::string first = "create attempt 1/2: HTTP 503 InjectedFault: retrying in 0.01 s\n";
  const std::string failed =
      "tarnelctl create: the cluster could not create 'vd' after 2 attempts (HTTP 503 "
      "InjectedFault: ";

  const RunResult responsive = node->ctl({"create", "vd", "--retries", "2"});
  EXPECT_EQ(responsive.exit_code, 1);
  EXPECT_THAT(responsive.err, StartsWith(first + failed));
  const RunResult designed = node->ctl({"--designed-retries", "--retries", "2", "create", "vd"});
  EXPECT_EQ(designed.exit_code, 1);
  EXPECT_THAT(designed.err, StartsWith(first +
                                       "create attempt 2/2: HTTP 503 InjectedFault: waiting "
                                       "0.02 s before giving up\n" +
                                       failed));
  const RunResult quiet = node->ctl({"-q", "create", "vd", "--retries", "2"});
  EXPECT_EQ(quiet.exit_code, 1);
  EXPECT_THAT(quiet.err, StartsWith(failed));
  EXPECT_EQ(sent("AddVirtualDisk"), 6);
}

TEST_F(OutcomeTest, TheTimeoutEndsACommandInFlightOrBeforeAPauseThatWouldPassIt) {
  ASSERT_NO_FATAL_FAILURE(start_with_fault("ClusterInformation:delay=8000"));
  const RunResult cut = node->ctl({"capacity", "--timeout", "1"});
  EXPECT_EQ(cut.exit_code, 5);
  EXPECT_LT(cut.elapsed.count(), 5000);
  EXPECT_THAT(cut.err, HasSubstr("tarnelctl capacity: timed out: no result within --timeout 1 s "
                                 "(last attempt: timed out)"));

  sim->add_fault("Login:status=503");
  const RunResult early = node->ctl({"login", "--timeout", "2"}, kRealPauses);
  EXPECT_EQ(early.exit_code, 5);
  EXPECT_LT(early.elapsed.count(), 2000);
  EXPECT_EQ(early.err,
            "login attempt 1/5: HTTP 503 InjectedFault: no time left for a retry\n"
            "tarnelctl login: timed out: no result within --timeout 2 s (last attempt: "
            "HTTP 503 InjectedFault)\n");
}

TEST_F(OutcomeTest, CtrlCOrSigtermDuringAPauseEndsTheCommandAtOnce) {
  ASSERT_NO_FATAL_FAILURE(start_with_fault("AddVirtualDisk:status=503"));
  for (const auto& [signal_number, code, name] : {std::make_tuple(SIGINT, 130, "SIGINT (Ctrl-C)"),
                                                  std::make_tuple(SIGTERM, 143, "SIGTERM")}) {
    Process create(node->ctl_launch({"create", "vd"}, kRealPauses));
    ASSERT_TRUE(
        eventually([&] { return create.err().find("retrying in 5 s") != std::string::npos; }));
    const auto sent_at = std::chrono::steady_clock::now();
    ASSERT_EQ(::kill(create.pid(), signal_number), 0);
    ASSERT_TRUE(create.wait(std::chrono::seconds(20)));
    EXPECT_LT(std::chrono::steady_clock::now() - sent_at, std::chrono::seconds(5));
    EXPECT_FALSE(create.signaled());
    EXPECT_EQ(create.exit_code(), code);
    EXPECT_THAT(create.err(),
                EndsWith(std::string("tarnelctl create: interrupted by ") + name + "\n"));
  }
  EXPECT_EQ(sent("AddVirtualDisk"), 2);
}

TEST_F(OutcomeTest, ASecondCtrlCEndsTheProcessAtOnce) {
  ASSERT_NO_FATAL_FAILURE(start_with_fault("AddVirtualDisk:status=503"));
  // Its stderr is a full pipe nobody reads: after a first Ctrl-C, tarnelctl
  // is stuck telling what happened, and only a second one can end it.
  int err[2];
  ASSERT_EQ(::pipe2(err, O_CLOEXEC | O_NONBLOCK), 0);
  const std::string chunk(4096, '.');
  while (::write(err[1], chunk.data(), chunk.size()) > 0) {
  }
  ASSERT_EQ(::fcntl(err[1], F_SETFL, 0), 0);
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  const LaunchPlan launch = node->ctl_launch({"create", "vd"}, kRealPauses);
  std::vector<std::string> env;
  for (const auto& [name, value] : launch.env) env.push_back(name + "=" + value);
  const pid_t pid =
      test_guard::spawn(launch.argv, &env, {null, null, err[1]}, test_guard::Session::own);
  // Once the first attempt failed, the handlers are in place.
  EXPECT_TRUE(eventually([&] { return node->count("Failed to create vdisk vd") > 0; }));
  ASSERT_EQ(::kill(pid, SIGINT), 0);
  // The first is taken before the second is sent.
  EXPECT_TRUE(eventually([&] {
    const std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = status.find("ShdPnd:\t");
    return at != std::string::npos && (std::stoull(status.substr(at + 8), nullptr, 16) & 2) == 0;
  }));
  ASSERT_EQ(::kill(pid, SIGINT), 0);
  int status = 0;
  const bool ended =
      eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::seconds(5));
  if (!ended) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  EXPECT_TRUE(ended && WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
  for (const int fd : {err[0], err[1], null}) ::close(fd);
}

TEST_F(OutcomeTest, ASigintIgnoredAtTheStartStaysIgnored) {
  ASSERT_NO_FATAL_FAILURE(start_with_fault("AddVirtualDisk:status=503"));
  // As in a background job of a shell without job control; pauses of 1 s.
  LaunchPlan launch =
      node->ctl_launch({"create", "vd", "--retries", "2"}, {{"TARNEL_SLEEP_SCALE", "0.2"}});
  launch.argv.insert(launch.argv.begin(), {"/bin/sh", "-c", "trap '' INT; exec \"$0\" \"$@\""});
  Process create(launch);
  ASSERT_TRUE(eventually([&] { return create.err().find("retrying in") != std::string::npos; }));
  ASSERT_EQ(::kill(create.pid(), SIGINT), 0);
  ASSERT_TRUE(create.wait(std::chrono::seconds(20)));
  EXPECT_EQ(create.exit_code(), 1) << create.err();
  EXPECT_THAT(create.err(), HasSubstr("could not create 'vd' after 2 attempts"));
}

TEST_F(OutcomeTest, AConflictDuringTheLoginOfACreateIsARefusedLogin) {
  ASSERT_NO_FATAL_FAILURE(start_with_fault("Login:status=409"));
  const RunResult text = node->ctl({"create", "vd"});
  EXPECT_EQ(text.exit_code, 4);
  EXPECT_THAT(text.err, HasSubstr("tarnelctl create: the cluster refused the login for user "
                                  "TarnelAdmin (HTTP 409 InjectedFault"));
  const rapidjson::Document json =
      failure(node->ctl({"create", "vd", "--json"}), 4, "login_refused");
  EXPECT_EQ(member<int>(json, "attempts"), 0);
  EXPECT_EQ(member<int>(json, "login_attempts"), 1);
  EXPECT_EQ(sent("AddVirtualDisk"), 0);
}

// True when `pid` has ended (gone, or a zombie nobody reaped yet).
bool ended(pid_t pid) {
  const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t paren = stat.rfind(')');
  return paren == std::string::npos || stat.compare(paren + 1, 3, " Z ") == 0;
}

TEST_F(OutcomeTest, CtrlCDuringTheDriveHelperKillsTheHelper) {
  if (!mount_namespace_available()) GTEST_SKIP() << "needs root and unshare for a private /opt";
  ASSERT_NO_FATAL_FAILURE(start());
  const std::string pid_file = dir.file("helper.pid");
  const std::string helper = dir.file("helper.sh");
  write_file(helper, "#!/bin/sh\necho $$ > " + pid_file + "\nexec sleep 60\n", 0755);

  Process drives(in_helper_namespace(node->ctl_launch({"drives"}), helper));
  ASSERT_TRUE(eventually([&] { return read_file(pid_file).find('\n') != std::string::npos; }));
  const pid_t helper_pid = static_cast<pid_t>(std::stol(read_file(pid_file)));
  ASSERT_EQ(::kill(drives.pid(), SIGINT), 0);
  ASSERT_TRUE(drives.wait(std::chrono::seconds(20)));
  EXPECT_FALSE(drives.signaled());
  EXPECT_EQ(drives.exit_code(), 130) << drives.err();
  EXPECT_TRUE(eventually([&] { return ended(helper_pid); }, std::chrono::seconds(5)));
}

}  // namespace
}  // namespace e2e
