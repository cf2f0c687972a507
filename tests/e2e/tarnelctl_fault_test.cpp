// Every fault the simulator injects, met by the real library through
// tarnelctl: each run ends by itself (no crash, no hang) with its documented
// exit code and log lines.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e_fixture.h"

namespace e2e {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class FaultTest : public ClusterTest {
 protected:
  // A run that ended by itself with `code`, not by a signal.
  static void expect_exit(const RunResult& result, int code) {
    EXPECT_TRUE(result.finished);
    EXPECT_FALSE(result.signaled) << result.err;
    EXPECT_EQ(result.exit_code, code) << result.err;
  }
  int faults_applied(const std::string& name) const {
    int n = 0;
    for (const SimRequest& r : sim->requests()) n += r.fault == name ? 1 : 0;
    return n;
  }
};

constexpr const char* kCreateAttemptFailed =
    "tarnel_admin::create_vdisk(): Failed to create vdisk vd";
constexpr const char* kExportAttemptFailed =
    "tarnel_admin::export_vdisk(): Failed to export vdisk vd";

TEST_F(FaultTest, ErrorStatusOnEveryMountFailsTheExport) {
  ASSERT_NO_FATAL_FAILURE(start_with_fault("Mount:status=500"));
  const RunResult result = node->ctl({"export", "vd"});
  expect_exit(result, 1);
  EXPECT_THAT(result.err, HasSubstr("the cluster could not export 'vd' after 5 attempts (HTTP 500 "
                                    "InjectedFault: "));
  EXPECT_EQ(node->count("tarnel_session::tarnel_req_rsp(): Failed to send curl request. HTTP code "
                        "[500], HTTP resp [{\"error\":{\"code\":\"InjectedFault\""),
            5);
  EXPECT_EQ(node->count("tarnel_vdisk::export_vdisk(): Failed to export vdisk : [vd]"), 5);
  EXPECT_EQ(node->count(kExportAttemptFailed), 5);
  EXPECT_EQ(faults_applied("status"), 5);
  EXPECT_TRUE(sim->mounts().empty());
}

TEST_F(FaultTest, MalformedRepliesAreRejectedByTheCodec) {
  ASSERT_NO_FATAL_FAILURE(start_with_fault("AddVirtualDisk:malformed"));
  const RunResult result = node->ctl({"create", "vd", "--designed-retries"});
  expect_exit(result, 1);
  EXPECT_EQ(node->count("tarnel_session::tarnel_req_rsp(): Failed to unserialize json string ["),
            5);
  EXPECT_EQ(node->count("tarnel_vdisk::create_vdisk(): Failed to create vdisk : [vd]"), 5);
  EXPECT_EQ(node->count(kCreateAttemptFailed), 5);
  EXPECT_TRUE(sim->disks().empty());
}

TEST_F(FaultTest, ATruncatedReplyFailsOneAttemptAndTheRetrySucceeds) {
  ASSERT_NO_FATAL_FAILURE(start_with_fault("AddVirtualDisk:truncated,times=1"));
  const RunResult result = node->ctl({"create", "vd"});
  expect_exit(result, 0);
  EXPECT_EQ(
      node->count("tarnel_session::tarnel_req_rsp(): Failed to send curl request. HTTP code [200], "
                  "HTTP resp [{"),
      1);
  EXPECT_EQ(node->count(kCreateAttemptFailed), 1);
  EXPECT_EQ(node->count("tarnel_admin::create_vdisk(): Vdisk created vd"), 1);
  EXPECT_EQ(faults_applied("truncated"), 1);
  EXPECT_THAT(sim->disks(), ElementsAre("vd"));
}

TEST_F(FaultTest, WrongMemberTypesInTheCapacityReplyAreReportedNotFatal) {
  ASSERT_NO_FATAL_FAILURE(start_with_fault("ClusterInformation:wrong-types"));
  const RunResult capacity = node->ctl({"capacity"});
  expect_exit(capacity, 1);
  EXPECT_THAT(capacity.err, HasSubstr("tarnelctl capacity: malformed reply from the cluster "
                                      "(member result.capacity.total."));

  // Creation reads the capacity first: the type error leaves it before any
  // AddVirtualDisk request is sent, and a bad reply is not retried.
  const RunResult create = node->ctl({"create", "vd", "--json"});
  expect_exit(create, 1);
  const rapidjson::Document reply = parse_json(create.out);
  ASSERT_TRUE(reply.IsObject());
  EXPECT_FALSE(member<bool>(reply, "ok"));
  EXPECT_THAT(member(reply, "error"), HasSubstr("malformed reply from the cluster (member "));
  EXPECT_EQ(member(reply, "reason"), "bad_reply");
  EXPECT_THAT(kinds(), ElementsAre("Login", "ClusterInformation", "Login", "ClusterInformation"));
}

TEST_F(FaultTest, ACapacityBeyondAnyNumberOfGigabytesIsAMalformedReply) {
  SimOptions options;
  options.units = "TB";
  options.value = 1e308;  // finite, but not in gigabytes
  ASSERT_NO_FATAL_FAILURE(start_provisioned(options));
  const RunResult text = node->ctl({"capacity"});
  expect_exit(text, 1);
  EXPECT_THAT(text.err, HasSubstr("tarnelctl capacity: malformed reply from the cluster ("));
  EXPECT_EQ(text.out, "");
  const RunResult json = node->ctl({"capacity", "--json"});
  expect_exit(json, 1);
  const rapidjson::Document reply = parse_json(json.out);
  ASSERT_TRUE(reply.IsObject());
  EXPECT_FALSE(reply["ok"].GetBool());
  EXPECT_THAT(reply["error"].GetString(), HasSubstr("malformed reply from the cluster ("));
}

TEST_F(FaultTest, WrongMemberTypesInTheLoginReplyAreReportedNotFatal) {
  ASSERT_NO_FATAL_FAILURE(start_with_fault("Login:wrong-types"));
  const RunResult result = node->ctl({"login"});
  expect_exit(result, 1);
  EXPECT_THAT(result.err,
              HasSubstr("malformed reply from the cluster (member result.sessionId is "));
  EXPECT_THAT(kinds(), ElementsAre("Login"));
}

TEST_F(FaultTest, WrongMemberTypesInTheCreateReplyNeverMatchTheSuccessRecord) {
  ASSERT_NO_FATAL_FAILURE(start_with_fault("AddVirtualDisk:wrong-types"));
  const RunResult result = node->ctl({"create", "vd", "--designed-retries"});
  expect_exit(result, 1);
  EXPECT_EQ(node->count("tarnel_vdisk::create_vdisk(): Failed to create vdisk : [vd]"), 5);
  EXPECT_EQ(node->count(kCreateAttemptFailed), 5);
}

TEST_F(FaultTest, DroppedConnectionsAreRetried) {
  ASSERT_NO_FATAL_FAILURE(start_with_fault("Login:drop,times=2"));
  const RunResult login = node->ctl({"login"});
  expect_exit(login, 0);
  EXPECT_EQ(node->count("tarnel_session::tarnel_req_rsp(): No answer received"), 2);
  EXPECT_EQ(node->count("tarnel_admin::get_tarnel_session(): Failed to get a tarnel session"), 2);

  sim->add_fault("Mount:drop");
  const RunResult exported = node->ctl({"export", "vd"});
  expect_exit(exported, 5);
  EXPECT_THAT(exported.err, HasSubstr("tarnelctl export: cannot reach the cluster at " +
                                      host_name() + ":8080: connection closed without a reply"));
  EXPECT_EQ(node->count("tarnel_session::tarnel_req_rsp(): No answer received"), 7);
  EXPECT_EQ(node->count(kExportAttemptFailed), 5);
}

TEST_F(FaultTest, AReplyDelayedBeyondTheClientTimeoutFailsThatAttemptOnly) {
  ASSERT_NO_FATAL_FAILURE(start_provisioned());
  ASSERT_EQ(node->ctl({"create", "vd"}).exit_code, 0);
  node->add_key("dTarnelRequestTimeout", "1");
  sim->add_fault("Mount:delay=3000,times=1");
  const RunResult result = node->ctl({"export", "vd"});
  expect_exit(result, 0);
  EXPECT_GE(result.elapsed.count(), 1000);
  EXPECT_EQ(node->count("tarnel_session::tarnel_req_rsp(): No answer received"), 1);
  EXPECT_EQ(node->count(kExportAttemptFailed), 1);
  EXPECT_EQ(node->count("tarnel_admin::export_vdisk(): Vdisk exported vd"), 1);
  EXPECT_THAT(sim->mounts(), ElementsAre("vd -> " + host_name()));
}

TEST_F(FaultTest, AnExpiredSessionFailsEveryLaterAttemptSinceTheDesignedPolicyNeverLogsInAgain) {
  ASSERT_NO_FATAL_FAILURE(start_with_fault("AddVirtualDisk:expire-session,times=1"));
  const RunResult result = node->ctl({"create", "vd", "--designed-retries"});
  expect_exit(result, 6);
  EXPECT_THAT(result.err, HasSubstr("the cluster refused the session to create 'vd' (HTTP 401 "));
  EXPECT_EQ(node->count("HTTP code [401], HTTP resp [{\"error\":{\"code\":\"SessionExpired\""), 1);
  EXPECT_EQ(node->count(kCreateAttemptFailed), 5);
  EXPECT_EQ(faults_applied("expire-session"), 1);
  // Login, ClusterInformation, then the expiring AddVirtualDisk; every
  // request of the four later attempts (at least their capacity queries)
  // carries the dead session.
  const std::vector<SimRequest> requests = sim->requests();
  ASSERT_GE(requests.size(), 7u);
  EXPECT_EQ(requests[0].request, "Login");
  EXPECT_EQ(requests[1].status, 200);
  EXPECT_EQ(requests[2].fault, "expire-session");
  for (std::size_t i = 3; i < requests.size(); ++i) {
    EXPECT_NE(requests[i].request, "Login");
    EXPECT_EQ(requests[i].status, 401) << requests[i].text;
  }
  EXPECT_TRUE(sim->disks().empty());
}

TEST_F(FaultTest, AReplyLostAfterTheCommitMakesTheRetriesMeetTheirOwnDisk) {
  ASSERT_NO_FATAL_FAILURE(start_with_fault("AddVirtualDisk:commit-drop,times=1"));
  const RunResult result = node->ctl({"create", "vd", "--designed-retries"});
  // The disk exists, but no attempt saw its success record.
  expect_exit(result, 7);
  EXPECT_THAT(sim->disks(), ElementsAre("vd"));
  EXPECT_EQ(node->count("tarnel_session::tarnel_req_rsp(): No answer received"), 1);
  EXPECT_EQ(
      node->count("HTTP code [409], HTTP resp [{\"error\":{\"code\":\"DuplicateVirtualDisk\""), 4);
  EXPECT_EQ(node->count(kCreateAttemptFailed), 5);
  EXPECT_EQ(faults_applied("commit-drop"), 1);
}

}  // namespace
}  // namespace e2e
