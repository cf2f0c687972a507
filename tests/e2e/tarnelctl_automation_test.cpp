// What automation relies on: "changed" in every --json object, create
// --exist-ok, -q, and doctor's checks and exit codes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <map>
#include <tuple>

#include "e2e_fixture.h"

namespace e2e {
namespace {

class AutomationTest : public ClusterTest {};

// inode and change time: a store that was not written keeps both.
std::pair<ino_t, long> identity(const std::string& path) {
  struct stat status {};
  ::stat(path.c_str(), &status);
  return {status.st_ino, status.st_ctim.tv_nsec + status.st_ctim.tv_sec * 1000000000L};
}

TEST_F(AutomationTest, EveryJsonObjectSaysWhetherTheCommandChangedAnything) {
  ASSERT_NO_FATAL_FAILURE(start_provisioned());
  const std::vector<std::tuple<std::vector<std::string>, int, bool>> rows = {
      {{"create", "vd"}, 0, true},
      {{"create", "vd", "--exist-ok"}, 0, false},
      {{"create", "vd"}, 6, false},
      {{"export", "vd"}, 0, false},
      {{"export", "vd"}, 0, false},
      {{"capacity"}, 0, false},
      {{"login"}, 0, false},
      {{"keystore", "show"}, 0, false},
      {{"keystore", "set-serial", kSerial}, 0, false},
      {{"keystore", "set-cluster", kCluster}, 0, false},
      {{"keystore", "set-cluster", "other"}, 0, true},
      {{"keystore", "set-password"}, 0, true},
  };
  for (auto [args, exit_code, changed] : rows) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const auto before = identity(node->keystore());
    args.push_back("--json");
    const RunResult result = node->ctl(args, {}, std::string(kNodePassword) + "\n");
    EXPECT_EQ(result.exit_code, exit_code) << result.err;
    const rapidjson::Document reply = parse_json(result.out);
    ASSERT_TRUE(reply.IsObject()) << result.out;
    EXPECT_EQ(member<bool>(reply, "ok"), exit_code == 0);
    EXPECT_EQ(member<bool>(reply, "changed"), changed);
    // A value the store held already is not written again.
    EXPECT_TRUE(args[0] != "keystore" || changed || identity(node->keystore()) == before);
  }
}

TEST_F(AutomationTest, CreateExistOkTakesADiskThatExistsAsTheGoalReached) {
  ASSERT_NO_FATAL_FAILURE(start_with_fault("AddVirtualDisk:commit-drop,times=1"));
  const RunResult lost = node->ctl({"create", "vd", "--exist-ok"});
  EXPECT_EQ(lost.exit_code, 0) << lost.err;
  EXPECT_EQ(lost.out,
            "Virtual disk 'vd' exists; an attempt whose reply was lost may have created it.\n");
  const RunResult again = node->ctl({"create", "--exist-ok", "vd"});
  EXPECT_EQ(again.exit_code, 0) << again.err;
  EXPECT_EQ(again.out, "Virtual disk 'vd' already exists; nothing changed.\n");
  EXPECT_EQ(again.err, "");
  // A conflict during the login is no answer about the disk.
  sim->add_fault("Login:status=409,times=1");
  EXPECT_EQ(node->ctl({"create", "other", "--exist-ok"}).exit_code, 4);
}

TEST_F(AutomationTest, QuietLeavesOutWorkDoneButNotQueryResults) {
  ASSERT_NO_FATAL_FAILURE(start_provisioned());
  const std::vector<std::pair<std::vector<std::string>, std::string>> rows = {
      {{"-q", "create", "vd"}, ""},
      {{"-q", "export", "vd"}, ""},
      {{"-q", "login"}, ""},
      {{"-q", "capacity"}, "Cluster capacity: 100 GB (100.00 GB)\n"},
      {{"-q", "keystore", "show"}, "Key store "},
      {{"-q", "keystore", "set-cluster", "c2"}, ""},
  };
  for (const auto& [args, out] : rows) {
    const RunResult result = node->ctl(args);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out.substr(0, out.size()), out) << ::testing::PrintToString(args);
    EXPECT_EQ(result.out.empty(), out.empty()) << ::testing::PrintToString(args);
  }
}

TEST_F(AutomationTest, APasswordFileOthersMayReadDrawsOneWarning) {
  ASSERT_NO_FATAL_FAILURE(start_provisioned());
  const std::string file = dir.file("operator.pw");
  write_file(file, std::string(kOperatorPassword) + "\n", 0640);
  const RunResult login = node->ctl({"--user", kOperator, "--password-file", file, "login"});
  EXPECT_EQ(login.exit_code, 0);
  EXPECT_EQ(login.err, "tarnelctl login: warning: the password file " + file +
                           " is readable by others (mode 0640): chmod 600 " + file + "\n");
  EXPECT_EQ(node->ctl({"-q", "--user", kOperator, "--password-file", file, "login"}).err, "");
}

// doctor on a ready node and on one failure of each kind, with a drive
// helper at its fixed path.
TEST_F(AutomationTest, DoctorNamesTheFirstFailureByItsExitCode) {
  if (!mount_namespace_available()) GTEST_SKIP() << "needs root and unshare for a private /opt";
  const std::string good = "#!/bin/sh\nprintf 'WD-1|sdb|/mnt/d1|2:0:1:0|1|\\n'\n";
  const std::string failing = "#!/bin/sh\nexit 3\n";
  struct Row {
    const char* what;
    std::function<void()> spoil;
    std::map<std::string, std::string> env;
    std::string helper;
    std::string statuses;  // keystore .. drive_helper
    int exit_code;
  };
  const std::string plain = dir.file("plain");
  const std::vector<Row> rows = {
      {"ready", nullptr, {}, good, "ok ok ok ok ok ok ok ok", 0},
      {"no cluster name",
       [&] { write_file(node->keystore(), "sTarnelSerial=x\n"); },
       {},
       good,
       "ok FAIL ok FAIL ok skipped skipped ok",
       3},
      {"log directory unusable",
       [&] { write_file(plain, ""); },
       {{"TARNEL_LOG_DIR", plain}},
       good,
       "ok ok ok ok FAIL ok ok ok",
       1},
      {"password refused, helper failing",
       [&] { node->provision(kCluster, kSerial, "wrong"); },
       {},
       failing,
       "ok ok ok ok ok FAIL skipped FAIL",
       4},
      {"cluster down", [&] { sim->stop(); }, {}, good, "ok ok ok ok ok FAIL skipped ok", 5},
      {"helper failing", nullptr, {}, failing, "ok ok ok ok ok ok ok FAIL", 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_NO_FATAL_FAILURE(start_provisioned());
    if (row.spoil) row.spoil();
    const std::string helper = dir.file("helper.sh");
    write_file(helper, row.helper, 0755);
    const auto doctor = [&](const std::vector<std::string>& args) {
      return run(in_helper_namespace(node->ctl_launch(args, row.env), helper));
    };
    const RunResult json = doctor({"doctor", "--json"});
    EXPECT_EQ(json.exit_code, row.exit_code) << json.err;
    const rapidjson::Document reply = parse_json(json.out);
    ASSERT_TRUE(reply.IsObject()) << json.out;
    EXPECT_FALSE(member<bool>(reply, "changed"));
    std::string statuses;
    for (const rapidjson::Value& check : member<Array>(reply, "checks")) {
      statuses += (statuses.empty() ? "" : " ") + member(check, "status");
      EXPECT_EQ(member(check, "fix").empty(), member(check, "status") != "FAIL");
    }
    EXPECT_EQ(statuses, row.statuses) << json.out;

    const RunResult text = doctor({"doctor"});
    EXPECT_EQ(text.exit_code, row.exit_code);
    EXPECT_EQ(text.out.find("FAIL  ") != std::string::npos, row.exit_code != 0) << text.out;
    EXPECT_EQ(text.out.find("fix: ") != std::string::npos, row.exit_code != 0) << text.out;
    // The session identifiers the library logged are never shown.
    for (const std::string& line : node->log_texts()) {
      const std::size_t at = line.find("Session ID is ");
      if (at == std::string::npos) continue;
      EXPECT_EQ(json.out.find(line.substr(at + 14)), std::string::npos);
      EXPECT_EQ(text.out.find(line.substr(at + 14)), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace e2e
