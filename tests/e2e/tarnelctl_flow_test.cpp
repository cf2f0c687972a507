// The whole flow through tarnelctl, libtarnel and libtarnel_host against the
// simulator: node credentials and --user, the request texts the simulator
// received, the outputs, the drive listing at the helper's fixed path, and
// the README's example program.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e_fixture.h"

namespace e2e {
namespace {

using ::testing::ElementsAre;

class FlowTest : public ClusterTest {};

// The outcome members of a call done at the first attempt after one login.
const std::string kDoneAtOnce =
    R"("reason":"ok","http_status":200,"cluster_error":"","attempts":1,"login_attempts":1)";

// The session identifiers the library logged ("Session ID is %s", level 1).
std::vector<std::string> logged_sessions(const Node& node) {
  std::vector<std::string> ids;
  const std::string marker = "tarnel_admin::get_tarnel_session(): Session ID is ";
  for (const std::string& text : node.log_texts()) {
    if (text.rfind(marker, 0) == 0) ids.push_back(text.substr(marker.size()));
  }
  return ids;
}

TEST_F(FlowTest, NodeCredentialsCapacityCreateExportAndLogin) {
  ASSERT_NO_FATAL_FAILURE(start_provisioned());
  const std::string host = host_name();

  const RunResult capacity = node->ctl({"capacity"});
  EXPECT_EQ(capacity.exit_code, 0) << capacity.err;
  EXPECT_EQ(capacity.out, "Cluster capacity: 100 GB (100.00 GB)\n");

  const RunResult create = node->ctl({"create", "vd1"});
  EXPECT_EQ(create.exit_code, 0) << create.err;
  EXPECT_EQ(create.out, "Created virtual disk 'vd1' (58.64 GB).\n");

  const RunResult exported = node->ctl({"export", "vd1"});
  EXPECT_EQ(exported.exit_code, 0) << exported.err;
  EXPECT_EQ(exported.out, "Exported virtual disk 'vd1' to host '" + host + "'.\n");

  EXPECT_FALSE(parse_json(node->ctl({"login", "--json"}).out).HasMember("session_id"));
  const RunResult login = node->ctl({"login", "--json", "--show-session"});
  EXPECT_EQ(login.exit_code, 0) << login.err;
  const rapidjson::Document reply = parse_json(login.out);
  ASSERT_TRUE(reply.IsObject());
  EXPECT_TRUE(member<bool>(reply, "ok"));
  EXPECT_EQ(member(reply, "user"), kNodeUser);
  EXPECT_EQ(member(reply, "cluster"), kCluster);

  // Every session the library obtained, in order, is the one its requests carry.
  const std::vector<std::string> sessions = logged_sessions(*node);
  ASSERT_EQ(sessions.size(), 5u);
  EXPECT_EQ(member(reply, "session_id"), sessions[4]);
  const std::vector<SimRequest> requests = sim->requests();
  ASSERT_EQ(requests.size(), 9u);
  const std::string login_request = login_text(kNodeUser, kCluster);
  EXPECT_EQ(requests[0].text, login_request);
  EXPECT_EQ(requests[1].text, cluster_information_text(sessions[0]));
  EXPECT_EQ(requests[2].text, login_request);
  EXPECT_EQ(requests[3].text, cluster_information_text(sessions[1]));
  EXPECT_EQ(requests[4].text, add_virtual_disk_text("vd1", "58.64", sessions[1]));
  EXPECT_EQ(requests[5].text, login_request);
  EXPECT_EQ(requests[6].text, mount_text("vd1", host, sessions[2]));
  EXPECT_EQ(requests[7].text, login_request);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[1].method, "POST");
  EXPECT_EQ(requests[4].method, "POST");
  EXPECT_EQ(requests[6].method, "PUT");
  for (const SimRequest& r : requests) EXPECT_EQ(r.status, 200) << r.text;

  EXPECT_THAT(sim->disks(), ElementsAre("vd1"));
  EXPECT_THAT(sim->mounts(), ElementsAre("vd1 -> " + host));
  EXPECT_EQ(node->count("tarnel_vdisk::create_vdisk(): Successfully created vdisk : [vd1]"), 1);
  EXPECT_EQ(node->count("tarnel_admin::create_vdisk(): Vdisk created vd1"), 1);
  EXPECT_EQ(node->count("tarnel_vdisk::export_vdisk(): Successfully exported vdisk : [vd1]"), 1);
  EXPECT_EQ(node->count("tarnel_admin::export_vdisk(): Vdisk exported vd1"), 1);
}

TEST_F(FlowTest, UserCredentialsFromTheEnvironmentAndFromAFile) {
  ASSERT_NO_FATAL_FAILURE(start());
  // --user needs only the cluster name: no stored password, no serial.
  ASSERT_EQ(node->ctl({"keystore", "set-cluster", kCluster}).exit_code, 0);
  const std::string host = host_name();

  const RunResult create = node->ctl({"--user", kOperator, "create", "vd-op", "--json"},
                                     {{"TARNEL_PASSWORD", kOperatorPassword}});
  EXPECT_EQ(create.exit_code, 0) << create.err;
  EXPECT_EQ(create.out, R"({"command":"create","ok":true,"changed":true,"name":"vd-op",)" +
                            kDoneAtOnce + R"(,"size_gb":58.64})" + "\n");

  const std::string password_file = dir.file("operator.pw");
  write_file(password_file, std::string(kOperatorPassword) + "\n");
  const RunResult exported = node->ctl(
      {"export", "vd-op", "--user", kOperator, "--password-file", password_file, "--json"});
  EXPECT_EQ(exported.exit_code, 0) << exported.err;
  EXPECT_EQ(exported.out,
            R"({"command":"export","ok":true,"changed":false,"name":"vd-op","target":")" +
                request_texts::escaped(host) + "\"," + kDoneAtOnce + "}\n");

  const RunResult capacity = node->ctl({"--json", "--user", kOperator, "capacity"},
                                       {{"TARNEL_PASSWORD", kOperatorPassword}});
  EXPECT_EQ(capacity.exit_code, 0) << capacity.err;
  EXPECT_EQ(
      capacity.out,
      R"({"command":"capacity","ok":true,"changed":false,"value":100.0,"units":"GB","gigabytes":100.0,)" +
          kDoneAtOnce + "}\n");

  const std::vector<std::string> sessions = logged_sessions(*node);
  ASSERT_EQ(sessions.size(), 3u);
  const std::string login_request = login_text(kOperator, kCluster);
  EXPECT_THAT(texts(), ElementsAre(login_request, cluster_information_text(sessions[0]),
                                   add_virtual_disk_text("vd-op", "58.64", sessions[0]),
                                   login_request, mount_text("vd-op", host, sessions[1]),
                                   login_request, cluster_information_text(sessions[2])));
  EXPECT_THAT(sim->disks(), ElementsAre("vd-op"));
  EXPECT_THAT(sim->mounts(), ElementsAre("vd-op -> " + host));
}

TEST_F(FlowTest, ThinProvisioningSizesEveryDiskFromTheTotal) {
  SimOptions options;
  options.units = "TB";
  options.value = 12.5;
  ASSERT_NO_FATAL_FAILURE(start_provisioned(options));
  for (const char* name : {"a", "b", "c"}) {
    const RunResult create = node->ctl({"create", name});
    EXPECT_EQ(create.exit_code, 0) << create.err;
  }
  // 12.5 TB = 12800 GB; 12800 * 0.95 / 1.62 = 7506.17
  int adds = 0;
  for (const SimRequest& r : sim->requests()) {
    if (r.request != "AddVirtualDisk") continue;
    ++adds;
    EXPECT_NE(r.text.find(",value:7506.17},"), std::string::npos) << r.text;
  }
  EXPECT_EQ(adds, 3);
  EXPECT_THAT(sim->disks(), ElementsAre("a", "b", "c"));
}

TEST_F(FlowTest, TheExampleProgramCreatesAndExportsWithTheNodesCredentials) {
  ASSERT_NO_FATAL_FAILURE(start_provisioned());
  LaunchPlan launch = node->ctl_launch({});
  launch.argv = {kExample, "example-disk"};
  launch.name = "example";
  const RunResult result = run(launch);
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out,
            "login: ok (1 attempt, HTTP 200)\n"
            "capacity query: ok (1 attempt, HTTP 200)\n"
            "capacity: 100 GB\n"
            "create: ok (1 attempt, HTTP 200)\n"
            "created example-disk\n"
            "export: ok (1 attempt, HTTP 200)\n"
            "exported example-disk to " +
                host_name() + "\n");
  EXPECT_THAT(sim->disks(), ElementsAre("example-disk"));
  EXPECT_THAT(sim->mounts(), ElementsAre("example-disk -> " + host_name()));

  // Run again, the create is refused and the example says why.
  const RunResult again = run(launch);
  EXPECT_EQ(again.exit_code, 1);
  EXPECT_THAT(again.out,
              ::testing::EndsWith("create: refused (1 attempt, HTTP 409 DuplicateVirtualDisk)\n"));
}

// ---- drives: the helper at the library's fixed path, in a private mount namespace ----

class DrivesTest : public ClusterTest {
 protected:
  void SetUp() override {
    if (!mount_namespace_available()) GTEST_SKIP() << "needs root and unshare for a private /opt";
    ASSERT_NO_FATAL_FAILURE(start());
  }
  RunResult drives(const std::string& helper_script, const std::vector<std::string>& args = {}) {
    const std::string helper = dir.file("helper.sh");
    write_file(helper, helper_script, 0755);
    std::vector<std::string> argv = {"drives"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(in_helper_namespace(node->ctl_launch(argv), helper));
  }
};

TEST_F(DrivesTest, ListsTheHelpersDrivesAsATableAndAsJson) {
  const std::string script =
      "#!/bin/sh\n"
      "[ \"$1\" = list_data_drives ] || exit 9\n"
      "printf 'WD-1|sdb|/mnt/d1|2:0:1:0|1|\\nWD-22|nvme0n1||7|0|\\n'\n";
  const RunResult table = drives(script);
  EXPECT_EQ(table.exit_code, 0) << table.err;
  EXPECT_EQ(table.out,
            "ID     DEVICE        MOUNT    SLOT     HEALTH\n"
            "WD-1   /dev/sdb      /mnt/d1  2:0:1:0  1\n"
            "WD-22  /dev/nvme0n1           7        0\n");

  const RunResult json = drives(script, {"--json"});
  EXPECT_EQ(json.exit_code, 0) << json.err;
  EXPECT_EQ(json.out,
            "{\"command\":\"drives\",\"ok\":true,\"changed\":false,\"drives\":["
            "{\"spid\":\"WD-1\",\"blk\":\"/dev/sdb\",\"mnt\":\"/mnt/"
            "d1\",\"slot\":\"2:0:1:0\",\"healthy\":1},"
            "{\"spid\":\"WD-22\",\"blk\":\"/dev/nvme0n1\",\"mnt\":\"\",\"slot\":\"7\","
            "\"healthy\":0}],"
            R"("reason":"ok","http_status":0,"cluster_error":"","attempts":1,"login_attempts":0})"
            "\n");
  EXPECT_EQ(node->count("tarnel_admin::enumerate_data_drives(): Executing command "
                        "[/opt/kestrix/Bayhold/rkspmhelper.py list_data_drives]"),
            2);
  // The drives command needs no cluster: nothing reached the simulator.
  EXPECT_TRUE(sim->requests().empty());
}

TEST_F(DrivesTest, AMalformedLineFailsWithExitCodeOne) {
  const RunResult result = drives("#!/bin/sh\nprintf 'WD-1|sdb|/mnt/d1|3|1|\\nbroken line\\n'\n");
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_NE(result.err.find("the drive helper printed a malformed line (drive helper line 2 has 1 "
                            "fields, not 6)"),
            std::string::npos)
      << result.err;
  EXPECT_EQ(node->count("Failed to parse Command [/opt/kestrix/Bayhold/rkspmhelper.py "
                        "list_data_drives] output ["),
            1);
}

TEST_F(DrivesTest, AFailingHelperIsReportedWithExitCodeOne) {
  const RunResult result = drives("#!/bin/sh\necho 'no enclosure' >&2\nexit 3\n", {"--json"});
  EXPECT_EQ(result.exit_code, 1);
  const rapidjson::Document reply = parse_json(result.out);
  ASSERT_TRUE(reply.IsObject());
  EXPECT_FALSE(member<bool>(reply, "ok"));
  EXPECT_EQ(member<int>(reply, "exit_code"), 1);
  EXPECT_EQ(member(reply, "error"),
            "the drive helper failed: no enclosure; see " + node->log_file());
  EXPECT_EQ(member(reply, "reason"), "helper_failed");
  EXPECT_EQ(node->count("failed with error [no enclosure"), 1);
}

TEST_F(DrivesTest, TheReferenceHelperRunsAtTheFixedPath) {
  const RunResult result = drives(read_file(kReferenceHelper), {"--json"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  const rapidjson::Document reply = parse_json(result.out);
  ASSERT_TRUE(reply.IsObject());
  EXPECT_TRUE(member<bool>(reply, "ok"));
  for (const rapidjson::Value& drive : member<Array>(reply, "drives")) {
    EXPECT_EQ(member(drive, "blk").rfind("/dev/", 0), 0u);
  }
}

}  // namespace
}  // namespace e2e
