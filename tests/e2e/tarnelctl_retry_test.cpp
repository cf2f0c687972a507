// The facade's retry policies seen from outside: real processes, real pauses
// scaled by TARNEL_SLEEP_SCALE. Only lower bounds are asserted on time. The
// responsive policy (tarnelctl's default) retries a 503 as the designed one
// does; what only the designed policy does runs with --designed-retries.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e_fixture.h"

namespace e2e {
namespace {

using ::testing::ElementsAre;

class RetryTest : public ClusterTest {};

constexpr const char* kLoginFailed =
    "tarnel_admin::get_tarnel_session(): Failed to get a tarnel session";

TEST_F(RetryTest, LoginFailingTwiceThenSucceeding) {
  SimOptions options;
  options.args = {"--fault", "Login:status=503,times=2"};
  ASSERT_NO_FATAL_FAILURE(start_provisioned(options));

  const RunResult login = node->ctl({"login"});
  EXPECT_EQ(login.exit_code, 0) << login.err;
  EXPECT_EQ(node->count(kLoginFailed), 2);
  EXPECT_EQ(
      node->count("tarnel_session::tarnel_req_rsp(): Failed to send curl request. HTTP code [503]"),
      2);
  EXPECT_EQ(node->count("tarnel_admin::get_tarnel_session(): Session ID is "), 1);
  ASSERT_NO_FATAL_FAILURE(expect_pauses_after(kLoginFailed, 2));

  std::vector<int> statuses;
  for (const SimRequest& r : sim->requests()) statuses.push_back(r.status);
  EXPECT_THAT(statuses, ElementsAre(503, 503, 200));
  EXPECT_THAT(texts(), ElementsAre(login_text(kNodeUser, kCluster), login_text(kNodeUser, kCluster),
                                   login_text(kNodeUser, kCluster)));
}

TEST_F(RetryTest, CreateFailingFourTimesThenSucceedingKeepsItsSession) {
  SimOptions options;
  options.args = {"--fault", "AddVirtualDisk:status=503,times=4"};
  ASSERT_NO_FATAL_FAILURE(start_provisioned(options));

  const RunResult create = node->ctl({"create", "vd-retry"});
  EXPECT_EQ(create.exit_code, 0) << create.err;
  EXPECT_EQ(create.out, "Created virtual disk 'vd-retry' (58.64 GB).\n");
  const std::string failed = "tarnel_admin::create_vdisk(): Failed to create vdisk vd-retry";
  EXPECT_EQ(node->count(failed), 4);
  EXPECT_EQ(node->count("tarnel_vdisk::create_vdisk(): Failed to create vdisk : [vd-retry]"), 4);
  EXPECT_EQ(node->count("tarnel_admin::create_vdisk(): Vdisk created vd-retry"), 1);
  ASSERT_NO_FATAL_FAILURE(expect_pauses_after(failed, 4));

  // One login, then five attempts, each asking for the capacity first, all
  // with the one session: no login between attempts.
  const std::vector<SimRequest> requests = sim->requests();
  ASSERT_EQ(requests.size(), 11u);
  EXPECT_EQ(requests[0].request, "Login");
  const std::string session = session_of(requests[1].text);
  for (int attempt = 0; attempt < 5; ++attempt) {
    EXPECT_EQ(requests[1 + 2 * attempt].text, cluster_information_text(session));
    EXPECT_EQ(requests[2 + 2 * attempt].text, add_virtual_disk_text("vd-retry", "58.64", session));
    EXPECT_EQ(requests[2 + 2 * attempt].status, attempt < 4 ? 503 : 200);
  }
  EXPECT_THAT(sim->disks(), ElementsAre("vd-retry"));
}

TEST_F(RetryTest, AllFiveCreateAttemptsFailingExitsWithOne) {
  SimOptions options;
  options.args = {"--fault", "AddVirtualDisk:status=503"};
  ASSERT_NO_FATAL_FAILURE(start_provisioned(options));

  const RunResult create = node->ctl({"--designed-retries", "create", "vd-never"});
  EXPECT_EQ(create.exit_code, 1);
  EXPECT_FALSE(create.signaled);
  EXPECT_EQ(create.out, "");
  EXPECT_NE(create.err.find("tarnelctl create: the cluster could not create 'vd-never' after 5 "
                            "attempts (HTTP 503 InjectedFault"),
            std::string::npos)
      << create.err;
  const std::string failed = "tarnel_admin::create_vdisk(): Failed to create vdisk vd-never";
  EXPECT_EQ(node->count(failed), 5);
  EXPECT_EQ(node->count("Vdisk created"), 0);
  // The pauses after attempts 1 to 4 are seen between log lines; the fifth
  // comes before the facade returns, so all five are in the run's time.
  ASSERT_NO_FATAL_FAILURE(expect_pauses_after(failed, 4));
  double total_ms = 0;
  for (int attempt = 1; attempt <= 5; ++attempt) total_ms += scaled_pause_ms(attempt);
  EXPECT_GE(static_cast<double>(create.elapsed.count()), total_ms);
  EXPECT_TRUE(sim->disks().empty());
}

TEST_F(RetryTest, AllFiveLoginsFailingStopsTheCommandBeforeAnyDiskRequest) {
  SimOptions options;
  options.users = {{kNodeUser, "not the stored password"}};
  ASSERT_NO_FATAL_FAILURE(start_provisioned(options));

  const RunResult create = node->ctl({"create", "vd-x", "--json", "--designed-retries"});
  EXPECT_EQ(create.exit_code, 4);
  const rapidjson::Document reply = parse_json(create.out);
  ASSERT_TRUE(reply.IsObject());
  EXPECT_FALSE(member<bool>(reply, "ok"));
  EXPECT_EQ(member<int>(reply, "exit_code"), 4);
  EXPECT_EQ(member<int>(reply, "login_attempts"), 5);
  EXPECT_EQ(node->count(kLoginFailed), 5);
  EXPECT_EQ(node->count("HTTP code [401]"), 5);
  // After the fifth failed login and its pause, the command gives up.
  ASSERT_NO_FATAL_FAILURE(expect_pauses_after(kLoginFailed, 5));
  EXPECT_EQ(
      node->count("tarnel_admin::create_vdisk(): Failed to get session ID to create vdisk vd-x"),
      1);
  EXPECT_THAT(kinds(), ElementsAre("Login", "Login", "Login", "Login", "Login"));
}

}  // namespace
}  // namespace e2e
