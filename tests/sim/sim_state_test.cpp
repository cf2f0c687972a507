// The simulated cluster's state (sessions, capacity, disks, mounts, request
// log, state file) and its configuration, without the HTTP front. Time is a
// clock the test moves.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <string>

#include "RkJson.h"
#include "cluster_state.h"
#include "protocol.h"
#include "sim_config.h"
#include "sim_test_support.h"

using json_spirit::mArray;
using json_spirit::mObject;
using sim_test::add_virtual_disk_text;
using sim_test::cluster_information_text;
using sim_test::login_text;
using sim_test::mount_text;
using tarnel_sim::ClusterState;
using tarnel_sim::Reply;
using tarnel_sim::StateOptions;

namespace {

class StateTest : public ::testing::Test {
 protected:
  std::chrono::steady_clock::time_point now_{};
  tarnel_sim::Clock clock_ = [this] { return now_; };

  std::unique_ptr<ClusterState> make(StateOptions options = StateOptions()) {
    return std::make_unique<ClusterState>(sim_test::test_config(), std::move(options), clock_);
  }

  static Reply run(ClusterState& state, const std::string& text) {
    const tarnel_sim::ParseResult parsed = tarnel_sim::parse_request_text(text);
    EXPECT_TRUE(parsed.ok) << text;
    Reply failure;
    const auto type = tarnel_sim::classify(parsed.value, failure);
    EXPECT_TRUE(type.has_value()) << text;
    return type ? state.execute(*type, parsed.value) : failure;
  }

  static std::string body(const Reply& reply) { return tarnel_sim::body_text(reply.body); }

  static std::string error_code(const Reply& reply) {
    return reply.body.at("error").get_obj().at("code").get_str();
  }

  static std::string login(ClusterState& state) {
    const Reply reply = run(state, login_text("tarnel", sim_test::kPassword, "c1"));
    EXPECT_EQ(reply.status, 200) << body(reply);
    return reply.status == 200 ? reply.body.at("result").get_obj().at("sessionId").get_str()
                               : std::string();
  }
};

}  // namespace

TEST_F(StateTest, LoginChecksTheClusterAndTheCredentials) {
  auto state = make();
  const std::string first = login(*state);
  const std::string second = login(*state);
  EXPECT_EQ(first.size(), 32u);
  EXPECT_EQ(first.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(first, second);
  EXPECT_EQ(run(*state, login_text("admin", sim_test::kAdminPassword, "c1")).status, 200);

  const Reply wrong_cluster = run(*state, login_text("tarnel", sim_test::kPassword, "c2"));
  EXPECT_EQ(wrong_cluster.status, 401);
  EXPECT_EQ(error_code(wrong_cluster), "UnknownCluster");
  const Reply wrong_password = run(*state, login_text("tarnel", sim_test::kAdminPassword, "c1"));
  EXPECT_EQ(wrong_password.status, 401);
  EXPECT_EQ(error_code(wrong_password), "AuthenticationFailed");
  EXPECT_EQ(body(wrong_password).find("result"), std::string::npos);
  EXPECT_EQ(error_code(run(*state, login_text("nobody", sim_test::kPassword, "c1"))),
            "AuthenticationFailed");
  const Reply incomplete =
      run(*state, "request={type:Login,category:UserManagement,params:{userName:\"tarnel\"}}");
  EXPECT_EQ(incomplete.status, 400);
  EXPECT_EQ(error_code(incomplete), "MissingParameter");
}

TEST_F(StateTest, EveryOtherRequestNeedsALiveSession) {
  auto state = make(StateOptions{std::chrono::seconds(60), false, ""});
  const Reply none = run(*state, "request={type:ClusterInformation,category:ClusterWatch}");
  EXPECT_EQ(none.status, 401);
  EXPECT_EQ(error_code(none), "InvalidSession");
  EXPECT_EQ(error_code(run(*state, cluster_information_text("feedfeed"))), "InvalidSession");
  EXPECT_EQ(error_code(run(*state, add_virtual_disk_text("vd1", "1.00", "feedfeed"))),
            "InvalidSession");

  const std::string session = login(*state);
  now_ += std::chrono::seconds(59);
  EXPECT_EQ(run(*state, cluster_information_text(session)).status, 200);              // quoted
  EXPECT_EQ(run(*state, add_virtual_disk_text("vd1", "1.00", session)).status, 200);  // bare
  now_ += std::chrono::seconds(1);
  const Reply expired = run(*state, cluster_information_text(session));
  EXPECT_EQ(expired.status, 401);
  EXPECT_EQ(error_code(expired), "SessionExpired");
  EXPECT_EQ(error_code(run(*state, cluster_information_text(session))),
            "InvalidSession");  // forgotten
  EXPECT_EQ(run(*state, cluster_information_text(login(*state))).status, 200);
}

TEST_F(StateTest, ExpiringSessionsOnDemand) {
  auto state = make();
  const std::string first = login(*state);
  const std::string second = login(*state);
  state->expire_session(tarnel_sim::parse_request_text(cluster_information_text(first)).value);
  EXPECT_EQ(error_code(run(*state, cluster_information_text(first))), "InvalidSession");
  EXPECT_EQ(run(*state, cluster_information_text(second)).status, 200);
  state->expire_all_sessions();
  EXPECT_EQ(error_code(run(*state, cluster_information_text(second))), "InvalidSession");
  EXPECT_EQ(state->snapshot().at("sessions").get_int(), 0);
}

TEST_F(StateTest, ClusterInformationReportsTotalAndAllocatedInTheTotalsUnit) {
  auto state = make();
  const std::string session = login(*state);
  EXPECT_EQ(body(run(*state, cluster_information_text(session))),
            R"({"result":{"capacity":{"allocated":{"units":"TB","value":0.0},)"
            R"("total":{"units":"TB","value":10.0}}}})");
  ASSERT_EQ(run(*state, add_virtual_disk_text("vd1", "1024.00", session)).status, 200);
  ASSERT_EQ(run(*state, add_virtual_disk_text("vd2", "512.00", session)).status, 200);
  const Reply reply = run(*state, cluster_information_text(session));
  const mObject& capacity = reply.body.at("result").get_obj().at("capacity").get_obj();
  EXPECT_DOUBLE_EQ(capacity.at("allocated").get_obj().at("value").get_real(), 1.5);
  EXPECT_EQ(capacity.at("allocated").get_obj().at("units").get_str(), "TB");
}

TEST_F(StateTest, AddVirtualDiskRecordsTheDiskAndRefusesItsNameTwice) {
  auto state = make();
  const std::string session = login(*state);
  const Reply created = run(*state, add_virtual_disk_text("vd1", "58.64", session));
  EXPECT_EQ(created.status, 200);
  EXPECT_EQ(body(created), R"({"result":[{"name":"vd1","status":"ok"}]})");

  const Reply again = run(*state, add_virtual_disk_text("vd1", "1.00", session));
  EXPECT_EQ(again.status, 409);
  EXPECT_EQ(error_code(again), "DuplicateVirtualDisk");
  EXPECT_EQ(body(again).find("\"status\":\"ok\""), std::string::npos);

  const mObject snapshot = state->snapshot();
  const mArray& disks = snapshot.at("disks").get_array();
  ASSERT_EQ(disks.size(), 1u);
  EXPECT_EQ(tarnel_sim::body_text(disks[0].get_obj()),
            R"({"backupType":"FILER","diskType":"NFS","erasureConfig":"RS_4_2","name":"vd1",)"
            R"("protectionPolicy":"Erasure","scsi3pr":false,"size":{"unit":"GB","value":58.64}})");
}

TEST_F(StateTest, AddVirtualDiskChecksItsParameters) {
  auto state = make();
  const std::string session = login(*state);
  const std::string head = "request={type:AddVirtualDisk,category:VirtualDiskManagement,params:{";
  const std::string full_tail =
      "protectionPolicy:\"Erasure\",erasureConfig:\"RS_4_2\",backupType:\"FILER\",diskType:NFS,"
      "scsi3pr:false";
  struct Case {
    std::string params;
    std::string code;
  };
  const Case cases[] = {
      {"name:\"a\"," + full_tail, "MissingParameter"},  // no size
      {"name:\"a\",size:{unit:\"GB\"}," + full_tail, "MissingParameter"},
      {"name:\"a\",size:{unit:\"XB\",value:1}," + full_tail, "InvalidParameter"},
      {"name:\"a\",size:{unit:\"GB\",value:0.00}," + full_tail, "InvalidParameter"},
      {"name:\"a\",size:{unit:\"GB\",value:-1}," + full_tail, "InvalidParameter"},
      {"name:\"a\",size:{unit:\"GB\",value:1e400}," + full_tail, "InvalidParameter"},
      {"name:\"a\",size:{unit:\"GB\",value:12abc}," + full_tail, "InvalidParameter"},
      {"name:\"\",size:{unit:\"GB\",value:1}," + full_tail, "InvalidParameter"},
      {"size:{unit:\"GB\",value:1}," + full_tail, "MissingParameter"},
      {"name:\"a\",size:{unit:\"GB\",value:1},erasureConfig:\"RS_4_2\",backupType:\"FILER\","
       "diskType:NFS,"
       "scsi3pr:false",
       "MissingParameter"},
      {"name:\"a\",size:{unit:\"GB\",value:1},protectionPolicy:\"Erasure\",erasureConfig:\"RS_4_"
       "2\","
       "backupType:\"FILER\",diskType:NFS,scsi3pr:maybe",
       "InvalidParameter"},
  };
  for (const Case& c : cases) {
    const Reply reply = run(*state, head + c.params + "},sessionId:" + session + "}");
    EXPECT_EQ(reply.status, 400) << c.params;
    EXPECT_EQ(error_code(reply), c.code) << c.params;
  }
  EXPECT_TRUE(state->snapshot().at("disks").get_array().empty());
}

TEST_F(StateTest, ProvisioningIsThinUnlessStrict) {
  auto thin = make();
  const std::string session = login(*thin);
  EXPECT_EQ(run(*thin, add_virtual_disk_text("big", "20480.00", session)).status,
            200);  // 20 TB of 10
  EXPECT_EQ(run(*thin, add_virtual_disk_text("more", "20480.00", session)).status, 200);

  auto strict = make(StateOptions{std::chrono::seconds(3600), true, ""});
  const std::string strict_session = login(*strict);
  EXPECT_EQ(run(*strict, add_virtual_disk_text("a", "8192.00", strict_session)).status,
            200);  // 8 TB
  EXPECT_EQ(run(*strict, add_virtual_disk_text("b", "2048.00", strict_session)).status,
            200);  // exactly full
  const Reply refused = run(*strict, add_virtual_disk_text("c", "0.01", strict_session));
  EXPECT_EQ(refused.status, 507);
  EXPECT_EQ(error_code(refused), "InsufficientCapacity");
  EXPECT_EQ(strict->snapshot().at("disks").get_array().size(), 2u);
}

TEST_F(StateTest, MountNeedsAKnownDiskAndRecordsEachTargetOnce) {
  auto state = make();
  const std::string session = login(*state);
  const Reply unknown = run(*state, mount_text("vd1", "node7", session));
  EXPECT_EQ(unknown.status, 404);
  EXPECT_EQ(error_code(unknown), "UnknownVirtualDisk");

  ASSERT_EQ(run(*state, add_virtual_disk_text("vd1", "1.00", session)).status, 200);
  const Reply mounted = run(*state, mount_text("vd1", "node7", session));
  EXPECT_EQ(mounted.status, 200);
  EXPECT_EQ(body(mounted), R"({"result":[{"status":"ok","target":"node7"}]})");
  EXPECT_EQ(run(*state, mount_text("vd1", "node7", session)).status,
            200);  // again: no second record
  const Reply two =
      run(*state,
          "request={type:Mount,category:VirtualDiskManagement,params:{virtualDisk:\"vd1\","
          "targets:[\"node8\",\"\"]},sessionId:" +
              session + "}");
  EXPECT_EQ(body(two),
            R"({"result":[{"status":"ok","target":"node8"},{"status":"ok","target":""}]})");
  mObject mounts;
  mounts["mounts"] = state->snapshot().at("mounts");
  EXPECT_EQ(
      tarnel_sim::body_text(mounts),
      R"({"mounts":[{"target":"node7","virtualDisk":"vd1"},{"target":"node8","virtualDisk":"vd1"},)"
      R"({"target":"","virtualDisk":"vd1"}]})");

  EXPECT_EQ(error_code(run(
                *state,
                "request={type:Mount,category:VirtualDiskManagement,params:{virtualDisk:\"vd1\","
                "targets:[]},sessionId:" +
                    session + "}")),
            "InvalidParameter");
  EXPECT_EQ(error_code(run(
                *state,
                "request={type:Mount,category:VirtualDiskManagement,params:{virtualDisk:\"vd1\","
                "targets:\"node7\"},sessionId:" +
                    session + "}")),
            "MissingParameter");
}

TEST_F(StateTest, TheStateFileKeepsDisksAndMountsAcrossRestarts) {
  sim_test::TempDir dir;
  const StateOptions options{std::chrono::seconds(3600), false, dir.file("state.json")};
  {
    auto state = make(options);
    const std::string session = login(*state);
    ASSERT_EQ(run(*state, add_virtual_disk_text("vd \"1\"", "58.64", session)).status, 200);
    ASSERT_EQ(run(*state, mount_text("vd \"1\"", "node7", session)).status, 200);
  }
  struct stat info {};
  ASSERT_EQ(::stat(dir.file("state.json").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  auto restarted = make(options);
  const mObject snapshot = restarted->snapshot();
  ASSERT_EQ(snapshot.at("disks").get_array().size(), 1u);
  EXPECT_EQ(snapshot.at("disks").get_array()[0].get_obj().at("name").get_str(), "vd \"1\"");
  EXPECT_DOUBLE_EQ(
      snapshot.at("disks").get_array()[0].get_obj().at("size").get_obj().at("value").get_real(),
      58.64);
  ASSERT_EQ(snapshot.at("mounts").get_array().size(), 1u);
  EXPECT_EQ(snapshot.at("sessions").get_int(), 0);  // sessions do not survive
  const std::string session = login(*restarted);
  EXPECT_EQ(error_code(run(*restarted, add_virtual_disk_text("vd \"1\"", "1.00", session))),
            "DuplicateVirtualDisk");

  ASSERT_TRUE(restarted->reset());
  EXPECT_TRUE(make(options)->snapshot().at("disks").get_array().empty());
}

TEST_F(StateTest, AStateFileThatCannotBeWrittenChangesNothing) {
  sim_test::TempDir dir;
  auto state =
      make(StateOptions{std::chrono::seconds(3600), false, dir.file("missing-dir/state.json")});
  const std::string session = login(*state);
  const Reply reply = run(*state, add_virtual_disk_text("vd1", "1.00", session));
  EXPECT_EQ(reply.status, 500);
  EXPECT_EQ(error_code(reply), "StateNotSaved");
  EXPECT_TRUE(state->snapshot().at("disks").get_array().empty());
  EXPECT_FALSE(state->reset());
}

TEST_F(StateTest, ABrokenStateFileStopsTheStart) {
  sim_test::TempDir dir;
  const StateOptions options{std::chrono::seconds(3600), false, dir.file("state.json")};
  const std::string broken[] = {
      "not json",
      R"({"disks":{},"mounts":[]})",
      R"({"disks":[{"name":"a"}],"mounts":[]})",
      R"({"disks":[{"name":"a","protectionPolicy":"E","erasureConfig":"R","backupType":"F",)"
      R"("diskType":"N","scsi3pr":false,"size":{"unit":"XB","value":1}}],"mounts":[]})",
      R"({"disks":[],"mounts":[{"virtualDisk":1,"target":"t"}]})",
  };
  for (const std::string& text : broken) {
    sim_test::write_file(dir.file("state.json"), text);
    EXPECT_THROW(make(options), std::runtime_error) << text;
  }
}

TEST_F(StateTest, TheRequestLogKeepsTheLatestEntriesInOrder) {
  auto state = make();
  tarnel_sim::LogEntry entry;
  entry.method = "GET";
  entry.request = "Login";
  entry.text = "request={}";
  entry.status = 503;
  entry.fault = "status";
  entry.error = "InjectedFault";
  state->record(entry);
  const mObject before = state->snapshot();
  const mArray& first = before.at("requests").get_array();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(tarnel_sim::body_text(first[0].get_obj()),
            R"({"error":"InjectedFault","fault":"status","method":"GET","request":"Login","seq":1,)"
            R"("status":503,"text":"request={}"})");

  for (std::size_t i = 0; i < ClusterState::kLogCapacity; ++i)
    state->record(tarnel_sim::LogEntry());
  const mObject snapshot = state->snapshot();
  EXPECT_EQ(snapshot.at("requests").get_array().size(), ClusterState::kLogCapacity);
  EXPECT_EQ(snapshot.at("requests").get_array().front().get_obj().at("seq").get_int(), 2);
  EXPECT_EQ(snapshot.at("requestsDropped").get_int(), 1);
}

TEST_F(StateTest, TheSnapshotNeverHoldsAPassword) {
  auto state = make();
  login(*state);
  const std::string text = tarnel_sim::body_text(state->snapshot());
  EXPECT_EQ(text.find("S3cr"), std::string::npos);
  EXPECT_EQ(text.find(sim_test::kAdminPassword), std::string::npos);
  EXPECT_NE(text.find("\"cluster\":\"c1\""), std::string::npos);
}

TEST(SimConfig, ReadsTheClusterTheCapacityAndTheUsers) {
  const tarnel_sim::SimConfig config = tarnel_sim::parse_config(
      R"({"cluster":"demo","capacity":{"units":"TiB","value":12.5},"users":{"u":"p\"w","v":""}})");
  EXPECT_EQ(config.cluster, "demo");
  EXPECT_EQ(config.total.units, "TiB");
  EXPECT_DOUBLE_EQ(config.total.value, 12.5);
  ASSERT_EQ(config.users.size(), 2u);
  EXPECT_EQ(config.users.at("u"), "p\"w");
  EXPECT_EQ(config.users.at("v"), "");
  EXPECT_DOUBLE_EQ(tarnel_sim::parse_config(
                       R"({"cluster":"c","capacity":{"units":"gb","value":7},"users":{"u":"p"}})")
                       .total.value,
                   7);
}

TEST(SimConfig, RefusesInvalidConfigurationsWithoutEchoingPasswords) {
  const std::string invalid[] = {
      "",
      "[]",
      R"({"capacity":{"units":"TB","value":1},"users":{"u":"hunter2"}})",
      R"({"cluster":"","capacity":{"units":"TB","value":1},"users":{"u":"hunter2"}})",
      R"({"cluster":"c","capacity":{"units":"XB","value":1},"users":{"u":"hunter2"}})",
      R"({"cluster":"c","capacity":{"units":"TB","value":0},"users":{"u":"hunter2"}})",
      R"({"cluster":"c","capacity":{"units":"TB","value":"1"},"users":{"u":"hunter2"}})",
      R"({"cluster":"c","capacity":{"units":"TB","value":1},"users":{}})",
      R"({"cluster":"c","capacity":{"units":"TB","value":1},"users":{"u":1234}})",
      R"({"cluster":"c","capacity":{"units":"TB","value":1},"users":{"u":"hunter2"},"user":{}})",
  };
  for (const std::string& text : invalid) {
    try {
      tarnel_sim::parse_config(text);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const tarnel_sim::ConfigError& error) {
      EXPECT_EQ(std::string(error.what()).find("hunter2"), std::string::npos) << error.what();
      EXPECT_EQ(std::string(error.what()).find("1234"), std::string::npos) << error.what();
    }
  }
  sim_test::TempDir dir;
  EXPECT_THROW(tarnel_sim::load_config(dir.file("absent.json")), tarnel_sim::ConfigError);
}

TEST(SimConfig, ConvertsUnitsWithBinaryFactors) {
  EXPECT_EQ(tarnel_sim::bytes_per_unit("B"), 1.0);
  EXPECT_EQ(tarnel_sim::bytes_per_unit("KB"), 1024.0);
  EXPECT_EQ(tarnel_sim::bytes_per_unit("kib"), 1024.0);
  EXPECT_EQ(tarnel_sim::bytes_per_unit("GB"), 1073741824.0);
  EXPECT_EQ(tarnel_sim::bytes_per_unit("GiB"), 1073741824.0);
  EXPECT_EQ(tarnel_sim::bytes_per_unit("pb"), 1125899906842624.0);
  EXPECT_FALSE(tarnel_sim::bytes_per_unit(""));
  EXPECT_FALSE(tarnel_sim::bytes_per_unit("iB"));
  EXPECT_FALSE(tarnel_sim::bytes_per_unit("EB"));
}
