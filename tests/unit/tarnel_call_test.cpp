// Steered calls: the outcome's reasons, the responsive policy's rules, the
// deadline, cancellation and the observer, through the real facade, session
// and disk handle over the fake host services. Pauses are recorded by the
// fake sleep calls, never taken.
#include "tarnel_call.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "fake_host.h"
#include "tarnel_admin.h"
#include "tarnel_vdisk.h"
#include "unit_test_support.h"

using std::chrono::milliseconds;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using namespace unit_test;

namespace {

// A reply with an HTTP error status and the cluster's error record.
void queue_refusal(long status, const std::string& code, int count = 1) {
  const std::string record =
      R"({"error":{"code":")" + code + R"(","message":"no: )" + code + R"("}})";
  for (int i = 0; i < count; ++i) fake::http_script().push_back(fake::failed_send(status, record));
}
// A send that ended on the wire without a whole reply.
void queue_transport_failure(RkTransportResult result, const std::string& text, bool sent,
                             int count = 1) {
  for (int i = 0; i < count; ++i) {
    fake::http_script().push_back(fake::transport_failure(result, text, sent));
  }
}

tarnel_call_options responsive() {
  tarnel_call_options options;
  options.policy = tarnel_retry_policy::responsive;
  return options;
}

class Calls : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    admin.emplace("operator", "pw-secret");
    fake::journal().clear();
    fake::log_lines().clear();
  }

  std::optional<tarnel_admin> admin;
  tarnel_outcome outcome;
};

}  // namespace

// ---- reasons ----

TEST_F(Calls, ASuccessfulCreateReportsOkWithTheSizeAsked) {
  queue_login();
  queue_capacity();
  queue_created("d1");
  EXPECT_EQ(admin->create_vdisk("d1", responsive(), outcome), 0);
  EXPECT_EQ(outcome.reason, tarnel_reason::ok);
  EXPECT_STREQ(tarnel_reason_word(outcome.reason), "ok");
  EXPECT_EQ(outcome.attempts, 1);
  EXPECT_EQ(outcome.login_attempts, 1);
  EXPECT_EQ(outcome.http_status, 200);
  EXPECT_EQ(outcome.size_requested, "58.64");
  EXPECT_TRUE(fake::sleeps().empty());
}

TEST_F(Calls, AFacadeThatIsNotReadyNamesTheSettingMissingNow) {
  fake::utils_script().cluster = fake::status(1, "");
  tarnel_admin without_cluster("operator", "pw");
  EXPECT_EQ(without_cluster.create_vdisk("d1", responsive(), outcome), -1);
  EXPECT_EQ(outcome.reason, tarnel_reason::not_ready);
  EXPECT_EQ(outcome.missing_setting, "sTarnelCluster");

  fake::reset();
  tarnel_admin node;  // no stored password
  EXPECT_EQ(node.export_vdisk("d1", responsive(), outcome), -1);
  EXPECT_EQ(outcome.missing_setting, "sTarnelCID");
  tarnel_admin empty("", "");
  EXPECT_EQ(empty.create_vdisk("d1", responsive(), outcome), -1);
  EXPECT_EQ(outcome.missing_setting, "credentials");
  EXPECT_TRUE(fake::sent_requests().empty());

  // The steered login too ends without sending anything; the detail names
  // every setting missing.
  fake::utils_script().cluster = fake::status(1, "");
  tarnel_admin unconfigured;
  std::string session_id;
  EXPECT_EQ(unconfigured.get_tarnel_session(session_id, responsive(), outcome), -1);
  EXPECT_EQ(outcome.reason, tarnel_reason::not_ready);
  EXPECT_EQ(outcome.missing_setting, "sTarnelCluster");
  EXPECT_EQ(outcome.detail, "the facade lacks sTarnelCluster, sTarnelCID");
  EXPECT_TRUE(fake::sent_requests().empty());
}

TEST_F(Calls, ARefusedLoginEndsTheCallAtOnceWithTheClustersCause) {
  queue_refusal(401, "AuthenticationFailed");
  std::string session_id;
  EXPECT_EQ(admin->get_tarnel_session(session_id, responsive(), outcome), -1);
  EXPECT_EQ(outcome.reason, tarnel_reason::login_refused);
  EXPECT_EQ(outcome.attempts, 1);
  EXPECT_EQ(outcome.http_status, 401);
  EXPECT_EQ(outcome.cluster_error, "AuthenticationFailed");
  EXPECT_EQ(outcome.cluster_message, "no: AuthenticationFailed");
  EXPECT_TRUE(fake::sleeps().empty());
}

TEST_F(Calls, TransportFailuresAreRetriedWithoutAPauseAfterTheLast) {
  queue_transport_failure(RK_TRANSPORT_UNREACHABLE, "connection refused", false, 5);
  EXPECT_EQ(admin->create_vdisk("d1", responsive(), outcome), -1);
  EXPECT_EQ(outcome.reason, tarnel_reason::unreachable);
  EXPECT_EQ(outcome.transport_error, "connection refused");
  EXPECT_EQ(outcome.login_attempts, 5);
  EXPECT_EQ(fake::sleep_milliseconds(), (std::vector<int>{5000, 10000, 15000, 20000}));
}

TEST_F(Calls, RetriedStatusesEndAsClusterErrorOthersAsRefusalAtOnce) {
  queue_login();
  queue_refusal(503, "InjectedFault", 5);
  EXPECT_EQ(admin->export_vdisk("d1", responsive(), outcome), -1);
  EXPECT_EQ(outcome.reason, tarnel_reason::cluster_error);
  EXPECT_EQ(outcome.attempts, 5);
  EXPECT_EQ(outcome.cluster_error, "InjectedFault");

  fake::reset();
  queue_login();
  queue_refusal(404, "UnknownVirtualDisk");
  EXPECT_EQ(admin->export_vdisk("d1", responsive(), outcome), -1);
  EXPECT_EQ(outcome.reason, tarnel_reason::refused);
  EXPECT_EQ(outcome.attempts, 1);
  EXPECT_EQ(outcome.cluster_error, "UnknownVirtualDisk");
  EXPECT_TRUE(fake::sleeps().empty());
}

TEST_F(Calls, AMemberOfTheWrongTypeIsABadReplyNamingItNotAnException) {
  tarnel_vdisk disk("S1", "d1", "node1");
  fake::queue_reply(R"({"result":{"capacity":{"total":{"units":"GB","value":"many"}}}})");
  std::pair<double, std::string> space;
  EXPECT_NO_THROW(space = disk.get_cluster_space(responsive(), outcome));
  EXPECT_EQ(space, std::make_pair(0.0, std::string()));
  EXPECT_EQ(outcome.reason, tarnel_reason::bad_reply);
  EXPECT_EQ(outcome.detail, "member result.capacity.total.value is a string, not a number");
  EXPECT_EQ(outcome.attempts, 1);

  fake::queue_reply(R"({"result":[]})");
  std::string session_id;
  EXPECT_EQ(admin->get_tarnel_session(session_id, responsive(), outcome), -1);
  EXPECT_EQ(outcome.detail, "member result is an array, not an object");
}

TEST_F(Calls, AReplyWithoutTheSuccessRecordIsNotConfirmed) {
  queue_login();
  queue_capacity();
  fake::queue_reply(R"({"result":[]})");
  EXPECT_EQ(admin->create_vdisk("d1", responsive(), outcome), -1);
  EXPECT_EQ(outcome.reason, tarnel_reason::not_confirmed);
  EXPECT_EQ(outcome.attempts, 1);
}

TEST_F(Calls, ACreateWhoseReplyWasLostAndThenFoundExistingMayExist) {
  queue_login();
  queue_capacity();
  queue_transport_failure(RK_TRANSPORT_LOST, "connection closed without a reply", true);
  queue_capacity();
  queue_refusal(409, "DuplicateVirtualDisk");
  EXPECT_EQ(admin->create_vdisk("d1", responsive(), outcome), -1);
  EXPECT_EQ(outcome.reason, tarnel_reason::may_exist);
  EXPECT_EQ(outcome.attempts, 2);

  // A 409 without a lost reply before it is a plain refusal.
  fake::reset();
  queue_login();
  queue_capacity();
  queue_refusal(409, "DuplicateVirtualDisk");
  EXPECT_EQ(admin->create_vdisk("d1", responsive(), outcome), -1);
  EXPECT_EQ(outcome.reason, tarnel_reason::refused);
}

TEST_F(Calls, AFailingHelperIsReportedNotThrown) {
  fake::process_script().push_back(fake::exited(127, "", "sh: not found"));
  std::vector<_tarnel_data_drive> drives;
  EXPECT_EQ(admin->enumerate_data_drives(drives, responsive(), outcome), -1);
  EXPECT_EQ(outcome.reason, tarnel_reason::helper_failed);
  EXPECT_EQ(outcome.detail, "sh: not found");

  fake::process_script().push_back(fake::exited(0, "a|sda|/m|1|1|x\nbad\n"));
  EXPECT_EQ(admin->enumerate_data_drives(drives, responsive(), outcome), -1);
  EXPECT_EQ(outcome.reason, tarnel_reason::bad_reply);
  EXPECT_EQ(outcome.detail, "drive helper line 2 has 1 fields, not 6");
  EXPECT_TRUE(drives.empty());
}

// ---- the responsive policy's rules ----

TEST_F(Calls, ADiskRequestRefusedWith401LogsInAgainWithinTheSameAttemptCount) {
  queue_login("S1");
  queue_refusal(401, "SessionExpired");
  queue_login("S2");
  queue_exported("node1");
  EXPECT_EQ(admin->export_vdisk("d1", responsive(), outcome), 0);
  EXPECT_EQ(outcome.attempts, 2);
  EXPECT_EQ(outcome.login_attempts, 2);
  EXPECT_THAT(request_types(), ElementsAre("Login", "Mount", "Login", "Mount"));
  EXPECT_THAT(fake::sent_requests().back(), HasSubstr("sessionId:S2"));

  // The designed policy keeps the session it has.
  fake::reset();
  queue_login("S1");
  queue_refusal(401, "SessionExpired", 5);
  EXPECT_EQ(admin->export_vdisk("d1", tarnel_call_options(), outcome), -1);
  EXPECT_EQ(outcome.reason, tarnel_reason::session_refused);
  EXPECT_THAT(request_types(), ElementsAre("Login", "Mount", "Mount", "Mount", "Mount", "Mount"));
}

TEST_F(Calls, ARefusedLoginBeforeARetryEndsTheCall) {
  queue_login("S1");
  queue_refusal(401, "SessionExpired");
  queue_refusal(403, "AuthenticationFailed");
  EXPECT_EQ(admin->export_vdisk("d1", responsive(), outcome), -1);
  EXPECT_EQ(outcome.reason, tarnel_reason::login_refused);
  EXPECT_THAT(request_types(), ElementsAre("Login", "Mount", "Login"));
}

TEST_F(Calls, TheCapacityQueryHasNoCredentialsSoA401IsFinal) {
  tarnel_vdisk disk("S1", "d1", "node1");
  queue_refusal(401, "SessionExpired", 2);
  disk.get_cluster_space(responsive(), outcome);
  EXPECT_EQ(outcome.reason, tarnel_reason::session_refused);
  EXPECT_EQ(fake::sent_requests().size(), 1u);
}

// ---- the designed policy through the overloads ----

TEST_F(Calls, TheDesignedPolicyRetriesEverythingAndPausesAfterTheLastAttempt) {
  std::vector<tarnel_attempt> seen;
  tarnel_call_options options;
  options.observer = [&](const tarnel_attempt& attempt) { seen.push_back(attempt); };
  queue_refusal(401, "AuthenticationFailed", 5);
  std::string session_id;
  EXPECT_EQ(admin->get_tarnel_session(session_id, options, outcome), -1);
  EXPECT_EQ(outcome.reason, tarnel_reason::login_refused);
  EXPECT_EQ(outcome.attempts, 5);
  EXPECT_EQ(fake::sleep_milliseconds(), (std::vector<int>{5000, 10000, 15000, 20000, 25000}));
  ASSERT_EQ(seen.size(), 5u);
  EXPECT_EQ(seen[4].loop, tarnel_loop::login);
  EXPECT_EQ(seen[4].number, 5);
  EXPECT_EQ(seen[4].limit, 5);
  EXPECT_EQ(seen[4].pause, milliseconds(25000));
  EXPECT_EQ(seen[4].outcome.http_status, 401);
  EXPECT_EQ(fake::log_texts("tarnel_admin::get_tarnel_session()").size(), 5u);
}

TEST_F(Calls, AttemptsAndPausesFollowTheCallersSchedule) {
  tarnel_call_options options = responsive();
  options.attempts = 3;
  options.pauses = {milliseconds(100), milliseconds(700)};
  queue_transport_failure(RK_TRANSPORT_TIMED_OUT, "timed out", false, 3);
  std::string session_id;
  EXPECT_EQ(admin->get_tarnel_session(session_id, options, outcome), -1);
  EXPECT_EQ(outcome.reason, tarnel_reason::timed_out);
  EXPECT_EQ(outcome.attempts, 3);
  EXPECT_EQ(fake::sleep_milliseconds(), (std::vector<int>{100, 700}));
}

// ---- deadline and cancellation ----

TEST_F(Calls, APauseThatWouldPassTheDeadlineEndsTheCallAsTimedOut) {
  tarnel_call_options options = responsive();
  options.deadline = milliseconds(3000);
  queue_transport_failure(RK_TRANSPORT_UNREACHABLE, "connection refused", false);
  std::string session_id;
  EXPECT_EQ(admin->get_tarnel_session(session_id, options, outcome), -1);
  EXPECT_EQ(outcome.reason, tarnel_reason::timed_out);
  EXPECT_EQ(outcome.transport_error, "connection refused");
  EXPECT_TRUE(fake::sleeps().empty());
  ASSERT_EQ(fake::http_clients().size(), 1u);
  EXPECT_GT(fake::http_clients()[0].timeLimit, 0);
  EXPECT_LE(fake::http_clients()[0].timeLimit, 3000);
}

TEST_F(Calls, CancellingDuringAPauseEndsTheCallWithoutAnotherRequest) {
  RkCancelToken token;
  tarnel_call_options options = responsive();
  options.cancel = &token;
  fake::utils_script().cancelAtPause = 1;
  queue_login();
  queue_refusal(503, "InjectedFault", 2);
  EXPECT_EQ(admin->create_vdisk("d1", options, outcome), -1);
  EXPECT_EQ(outcome.reason, tarnel_reason::cancelled);
  EXPECT_TRUE(token.cancelled());
  EXPECT_THAT(request_types(), ElementsAre("Login", "ClusterInformation"));
  ASSERT_EQ(fake::sleeps().size(), 1u);
  EXPECT_TRUE(fake::sleeps()[0].cancellable);
}

TEST_F(Calls, CancellingAnExchangeInFlightEndsTheCall) {
  RkCancelToken token;
  tarnel_call_options options = responsive();
  options.cancel = &token;
  queue_login();
  fake::http_script().push_back(fake::cancelled_in_flight());
  EXPECT_EQ(admin->export_vdisk("d1", options, outcome), -1);
  EXPECT_EQ(outcome.reason, tarnel_reason::cancelled);
  EXPECT_EQ(fake::http_clients().back().token, &token);
  EXPECT_TRUE(fake::sleeps().empty());
}

// ---- how an exchange ended, read as the call's reason ----

namespace {

enum class Operation { login, create, export_disk };

struct ReasonCase {
  const char* name;
  Operation operation;
  std::vector<fake::HttpExchange> script;
  tarnel_reason reason;
  int attempts;
  int login_attempts;
  std::vector<std::string> requests;  // the request type words; empty: not checked
};

fake::HttpExchange refusal(long status, const std::string& code = "E") {
  return fake::failed_send(status, R"({"error":{"code":")" + code + R"(","message":"no"}})");
}
fake::HttpExchange login_reply(const std::string& id) {
  return fake::reply(R"({"result":{"sessionId":")" + id + R"("}})");
}
fake::HttpExchange capacity() { return fake::reply(capacity_reply("\"GB\"", "100")); }

std::vector<ReasonCase> reason_cases() {
  using fake::transport_failure;
  std::vector<ReasonCase> cases;
  const auto add = [&](const char* name, Operation operation,
                       std::vector<fake::HttpExchange> script, tarnel_reason reason, int attempts,
                       int login_attempts, std::vector<std::string> requests = {}) {
    cases.push_back({name, operation, std::move(script), reason, attempts, login_attempts,
                     std::move(requests)});
  };
  for (long status : {408, 429, 500, 502, 503, 504}) {
    std::vector<fake::HttpExchange> script(6, refusal(status));
    script[0] = login_reply("S1");
    add("retried status", Operation::export_disk, script, tarnel_reason::cluster_error, 5, 1);
  }
  for (long status : {101, 302, 404}) {
    add("final status outside 2xx", Operation::export_disk, {login_reply("S1"), refusal(status)},
        tarnel_reason::refused, 1, 1, {"Login", "Mount"});
  }
  add("a create that went out and timed out, then 409", Operation::create,
      {login_reply("S1"), capacity(), transport_failure(RK_TRANSPORT_TIMED_OUT, "timed out", true),
       capacity(), refusal(409)},
      tarnel_reason::may_exist, 2, 1);
  add("a create never sent, then 409", Operation::create,
      {login_reply("S1"), capacity(),
       transport_failure(RK_TRANSPORT_UNREACHABLE, "connection refused", false), capacity(),
       refusal(409)},
      tarnel_reason::refused, 2, 1);
  add("one 401 brings exactly one new login", Operation::export_disk,
      {login_reply("S1"), refusal(401), login_reply("S2"), refusal(503),
       fake::reply(R"({"result":[{"status":"ok","target":"node1"}]})")},
      tarnel_reason::ok, 3, 2, {"Login", "Mount", "Login", "Mount", "Mount"});
  add("failed logins are no command attempts", Operation::export_disk,
      std::vector<fake::HttpExchange>(5, refusal(503)), tarnel_reason::cluster_error, 0, 5);
  add("a 409 to the login of a create refuses the login", Operation::create, {refusal(409)},
      tarnel_reason::login_refused, 0, 1, {"Login"});
  add("a 409 to the new login after a 401 refuses that login", Operation::create,
      {login_reply("S1"), capacity(), refusal(401), refusal(409)}, tarnel_reason::login_refused, 2,
      2, {"Login", "ClusterInformation", "AddVirtualDisk", "Login"});
  add("a login's 403", Operation::login, {refusal(403)}, tarnel_reason::login_refused, 1, 1,
      {"Login"});
  add("a reply over the cap", Operation::login,
      {transport_failure(RK_TRANSPORT_TOO_LARGE, "reply over 16 MiB", true)},
      tarnel_reason::bad_reply, 1, 1);
  return cases;
}

}  // namespace

TEST_F(Calls, EachWayAnExchangeEndsGivesItsReason) {
  for (const ReasonCase& row : reason_cases()) {
    SCOPED_TRACE(row.name);
    fake::reset();
    fake::http_script().assign(row.script.begin(), row.script.end());
    std::string session_id;
    const int result = row.operation == Operation::login
                           ? admin->get_tarnel_session(session_id, responsive(), outcome)
                       : row.operation == Operation::create
                           ? admin->create_vdisk("d1", responsive(), outcome)
                           : admin->export_vdisk("d1", responsive(), outcome);
    EXPECT_EQ(result, row.reason == tarnel_reason::ok ? 0 : -1);
    EXPECT_STREQ(tarnel_reason_word(outcome.reason), tarnel_reason_word(row.reason));
    EXPECT_EQ(outcome.attempts, row.attempts);
    EXPECT_EQ(outcome.login_attempts, row.login_attempts);
    if (!row.requests.empty()) {
      EXPECT_EQ(request_types(), row.requests);
    }
  }
}

TEST_F(Calls, ATokenCancelledBeforeTheCallSendsNothingAndCountsNoAttempt) {
  RkCancelToken token;
  token.cancel();
  tarnel_call_options options = responsive();
  options.cancel = &token;
  EXPECT_EQ(admin->create_vdisk("d1", options, outcome), -1);
  EXPECT_EQ(outcome.reason, tarnel_reason::cancelled);
  EXPECT_EQ(outcome.attempts, 0);
  EXPECT_EQ(outcome.login_attempts, 0);
  EXPECT_TRUE(fake::http_clients().empty());
}

// The host's sleep scales every pause (TARNEL_SLEEP_SCALE): the deadline and
// the observer weigh the pause really slept, while the sleep call is still
// told the pause of the schedule.
TEST_F(Calls, TheDeadlineWeighsThePausesAsTheHostScalesThem) {
  struct Row {
    double scale;
    int attempts;
    tarnel_reason reason;
    std::vector<milliseconds> observed;
  };
  const Row rows[] = {
      {0.001,
       5,
       tarnel_reason::unreachable,
       {milliseconds(5), milliseconds(10), milliseconds(15), milliseconds(20), milliseconds(0)}},
      {1, 2, tarnel_reason::timed_out, {milliseconds(5000), milliseconds(0)}},
      {3, 1, tarnel_reason::timed_out, {milliseconds(0)}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.scale);
    fake::reset();
    fake::utils_script().sleepScale = row.scale;
    queue_transport_failure(RK_TRANSPORT_UNREACHABLE, "connection refused", false, 5);
    std::vector<milliseconds> observed;
    tarnel_call_options options = responsive();
    options.deadline = milliseconds(8000);
    options.observer = [&](const tarnel_attempt& attempt) { observed.push_back(attempt.pause); };
    std::string session_id;
    EXPECT_EQ(admin->get_tarnel_session(session_id, options, outcome), -1);
    EXPECT_EQ(outcome.attempts, row.attempts);
    EXPECT_EQ(outcome.reason, row.reason);
    EXPECT_EQ(observed, row.observed);
    EXPECT_EQ(fake::sleep_milliseconds().size(), static_cast<size_t>(row.attempts - 1));
    if (!fake::sleeps().empty()) {
      EXPECT_EQ(fake::sleeps()[0].milliseconds, 5000);
    }
  }
}

TEST_F(Calls, ACapacityThatIsNoSizeIsABadReplyOfTheSteeredQueryOnly) {
  struct Row {
    std::string units, value;
    std::string detail;
  };
  const Row rows[] = {
      {"\"TB\"", "-5", "the cluster's total capacity -5.00 is not above zero"},
      {"\"GB\"", "0", "the cluster's total capacity 0.00 is not above zero"},
      {"\"XB\"", "5", "the cluster's capacity unit 'XB' gives no gigabytes"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.detail);
    tarnel_vdisk disk("S1", "d1", "node1");
    fake::queue_reply(capacity_reply(row.units, row.value));
    EXPECT_EQ(disk.get_cluster_space(responsive(), outcome), std::make_pair(0.0, std::string()));
    EXPECT_EQ(outcome.reason, tarnel_reason::bad_reply);
    EXPECT_EQ(outcome.detail, row.detail);
    // The designed query reports what the cluster said.
    fake::queue_reply(capacity_reply(row.units, row.value));
    EXPECT_EQ(disk.get_cluster_space().first, std::stod(row.value));
  }
}

TEST_F(Calls, TextsOfTheOutcomeHoldNoPasswordAndNoControlCharacter) {
  // A password too short to be masked: what the reply says is withheld.
  tarnel_admin short_password("operator", "Zq9");
  fake::http_script().push_back(
      fake::failed_send(401, R"({"error":{"code":"Zq9","message":"bad password Zq9"}})"));
  std::string session_id;
  EXPECT_EQ(short_password.get_tarnel_session(session_id, responsive(), outcome), -1);
  EXPECT_EQ(outcome.cluster_error.find("Zq9"), std::string::npos);
  EXPECT_THAT(outcome.cluster_message, HasSubstr("withheld"));
  // A longer one is masked; C0 and C1 controls are escaped, other UTF-8 kept.
  fake::http_script().push_back(fake::failed_send(
      401, "{\"error\":{\"code\":\"E\",\"message\":\"pw-secret \\u009b\\u0007 \\u00e9\"}}"));
  EXPECT_EQ(admin->get_tarnel_session(session_id, responsive(), outcome), -1);
  EXPECT_EQ(outcome.cluster_message, "*** \\xc2\\x9b\\x07 \xc3\xa9");
}
