// tarnelctl's own contract: usage errors exit 2, an incomplete configuration
// exits 3 before anything is sent (no retries spent on empty credentials),
// --help and --version, key store provisioning, and -v.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "e2e_fixture.h"

namespace e2e {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

class CliTest : public ClusterTest {
 protected:
  void SetUp() override { start(); }
  // A run that ended with `code` having sent nothing to the cluster.
  void expect_refused(const RunResult& result, int code) const {
    EXPECT_TRUE(result.finished);
    EXPECT_EQ(result.exit_code, code) << result.out << result.err;
    EXPECT_TRUE(sim->requests().empty());
    EXPECT_EQ(node->count("Failed to get a tarnel session"), 0);
  }
};

TEST_F(CliTest, UsageErrorsExitWithTwo) {
  node->provision();
  const std::string file = dir.file("pw");
  write_file(file, "x\n");
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate"},
      {"create"},
      {"create", ""},
      {"export", "a", "b"},
      {"capacity", "--bogus"},
      {"keystore"},
      {"keystore", "set-cluster"},
      {"--password-file", file, "capacity"},
      {"--user", "someone", "keystore", "set-cluster", "c"},
      {"--user", "someone", "doctor"},
      {"--user", "", "capacity"},
      {"--retries", "0", "capacity"},
      {"capacity", "--retries", "many"},
      {"--timeout", "0", "login"},
      {"--timeout", "nan", "login"},
      {"--timeout", "-nan", "login"},
      {"--timeout", "inf", "login"},
      {"--timeout", "1e999", "login"},
      {"--timeout", "0x10", "login"},
      {"--retries", "1e1", "login"},
      {"--retries", "nan", "login"},
      {"--user", "someone", "--password-file", dir.file("missing"), "capacity"},
  };
  for (const std::vector<std::string>& args : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const RunResult result = node->ctl(args);
    expect_refused(result, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_THAT(result.err, StartsWith("tarnelctl: "));
    EXPECT_THAT(result.err, HasSubstr(" --help' for usage.\n"));
  }
}

TEST_F(CliTest, EverySubcommandHasHelpAndTheToolAVersion) {
  const std::vector<std::vector<std::string>> cases = {
      {"--help"},
      {"capacity", "--help"},
      {"create", "--help"},
      {"export", "-h"},
      {"drives", "--help"},
      {"login", "--help"},
      {"doctor", "--help"},
      {"help"},
      {"keystore", "--help"},
      {"keystore", "set-cluster", "--help"},
      {"keystore", "set-serial", "--help"},
      {"keystore", "set-password", "--help"},
  };
  for (const std::vector<std::string>& args : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const RunResult result = node->ctl(args);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_THAT(result.out, HasSubstr("Usage: tarnelctl"));
  }
  // help COMMAND is that command's --help.
  for (const std::vector<std::string>& topic :
       {std::vector<std::string>{}, {"create"}, {"keystore", "show"}}) {
    std::vector<std::string> asked = {"help"};
    asked.insert(asked.end(), topic.begin(), topic.end());
    std::vector<std::string> flag = topic;
    flag.push_back("--help");
    EXPECT_EQ(node->ctl(asked).out, node->ctl(flag).out) << ::testing::PrintToString(topic);
  }
  const RunResult version = node->ctl({"--version"});
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.out, "1.2.0\n");
}

TEST_F(CliTest, AMissingKeyStoreIsNamed) {
  const RunResult result = node->ctl({"capacity"});
  expect_refused(result, 3);
  EXPECT_THAT(result.err, HasSubstr("tarnelctl capacity: not configured:"));
  EXPECT_THAT(result.err, HasSubstr("cannot read the key store " + node->keystore() +
                                    ": No such file or directory"));

  const RunResult json = node->ctl({"--json", "create", "vd"});
  expect_refused(json, 3);
  const rapidjson::Document reply = parse_json(json.out);
  ASSERT_TRUE(reply.IsObject());
  EXPECT_FALSE(member<bool>(reply, "ok"));
  EXPECT_EQ(member<int>(reply, "exit_code"), 3);
  ASSERT_EQ(member<Array>(reply, "missing").Size(), 1u);
  EXPECT_EQ(member(member<Array>(reply, "missing")[0], "item"), "key store");
}

TEST_F(CliTest, AStoreThatCannotBeReadIsToldFromOneWithoutTheClusterName) {
  const std::string big = dir.file("big.conf");
  write_file(big, "#" + std::string(1024 * 1024, 'x') + "\nsTarnelCluster=" + kCluster + "\n");
  const std::string fifo = dir.file("fifo.conf");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  write_file(node->keystore(), "sTarnelSerial=" + std::string(kSerial) + "\n");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {dir.path(), ": not a regular file"},
      {fifo, ": not a regular file"},
      {big, ": larger than 1 MiB"},
      {node->keystore(), "no cluster name in "}};
  for (const auto& [store, message] : cases) {
    const RunResult result =
        run(node->ctl_launch({"login"}, {{"TARNEL_KEYSTORE", store}}), std::chrono::seconds(20));
    expect_refused(result, 3);
    EXPECT_THAT(result.err, HasSubstr(message)) << store;
  }
}

// A key store that a lack of descriptors keeps from being read, or one on
// a read-only file system, is reported with the cause. Each row brings its
// failure about in a shell that then runs tarnelctl.
TEST_F(CliTest, AKeyStoreTheSystemCannotReadOrWriteIsReportedWithTheCause) {
  node->provision();
  const std::string mount = dir.file("read-only");
  ASSERT_TRUE(std::filesystem::create_directory(mount));
  const struct {
    std::vector<std::string> shell;
    std::vector<std::string> args;
    std::map<std::string, std::string> env;
    int exit_code;
    std::string message;
  } cases[] = {
#ifndef __SANITIZE_ADDRESS__  // the sanitizers' own checks need descriptors
      // Descriptor 3 is the one tarnelctl's loader may use; the runner may
      // have left one of its own there.
      {{"/bin/sh", "-c", "exec 3>&-; ulimit -n 4"},
       {"login"},
       {},
       3,
       "cannot read the key store " + node->keystore() +
           ": the host services cannot read it: Too many open files"},
#endif
      {{"/usr/bin/unshare", "-m", "/bin/sh", "-c", "mount -t tmpfs -o ro,size=4k tmpfs " + mount},
       {"keystore", "set-cluster", kCluster},
       {{"TARNEL_KEYSTORE", mount + "/keystore.conf"}},
       1,
       "cannot write the key store " + mount + "/keystore.conf: Read-only file system"},
  };
  constexpr int kCannotBringAbout = 99;
  for (const auto& row : cases) {
    LaunchPlan launch = node->ctl_launch(row.args, row.env);
    std::vector<std::string> argv = row.shell;
    argv.back() += " || exit 99; exec \"$0\" \"$@\"";
    launch.argv.insert(launch.argv.begin(), argv.begin(), argv.end());
    const RunResult result = run(launch, std::chrono::seconds(20));
    if (result.exit_code == kCannotBringAbout || result.err.rfind("unshare: ", 0) == 0) {
      GTEST_SKIP() << "this machine cannot run " << argv.back() << ": " << result.err;
    }
    expect_refused(result, row.exit_code);
    EXPECT_THAT(result.err, HasSubstr(row.message));
  }
}

TEST_F(CliTest, NodeCredentialsNeedTheStoredPasswordAndTheSerial) {
  ASSERT_EQ(node->ctl({"keystore", "set-cluster", kCluster}).exit_code, 0);
  for (const char* command : {"capacity", "login"}) {
    const RunResult result = node->ctl({command, "--json"});
    expect_refused(result, 3);
    const rapidjson::Document reply = parse_json(result.out);
    ASSERT_TRUE(reply.IsObject());
    std::vector<std::string> items;
    for (const rapidjson::Value& item : member<Array>(reply, "missing")) {
      items.push_back(member(item, "item"));
    }
    EXPECT_THAT(items, ::testing::ElementsAre("stored password", "serial number"));
  }
  const RunResult export_run = node->ctl({"export", "vd"});
  expect_refused(export_run, 3);
  EXPECT_THAT(export_run.err, HasSubstr("tarnelctl keystore set-password"));
  EXPECT_THAT(export_run.err, HasSubstr("tarnelctl keystore set-serial SERIAL"));
}

TEST_F(CliTest, TheClusterNameIsNeededWithEitherCredentials) {
  ASSERT_EQ(node->ctl({"keystore", "set-serial", kSerial}).exit_code, 0);
  const RunResult node_run = node->ctl({"create", "vd"});
  expect_refused(node_run, 3);
  EXPECT_THAT(node_run.err, HasSubstr("no cluster name in " + node->keystore()));
  const RunResult user_run =
      node->ctl({"--user", kOperator, "create", "vd"}, {{"TARNEL_PASSWORD", kOperatorPassword}});
  expect_refused(user_run, 3);
  EXPECT_THAT(user_run.err, HasSubstr("no cluster name in "));
}

TEST_F(CliTest, APasswordStoredUnderAnotherSerialIsNotConfigured) {
  node->provision();
  const RunResult reserial = node->ctl({"keystore", "set-serial", "OTHER-SERIAL"});
  EXPECT_EQ(reserial.exit_code, 0);
  EXPECT_THAT(reserial.err,
              HasSubstr("warning: the stored cluster password was encrypted with another "
                        "serial number"));
  const RunResult result = node->ctl({"create", "vd"});
  expect_refused(result, 3);
  EXPECT_THAT(result.err, HasSubstr("does not decrypt with this node's serial number"));

  // Storing it again under the new serial mends it.
  ASSERT_EQ(
      node->ctl({"keystore", "set-password"}, {}, std::string(kNodePassword) + "\n").exit_code, 0);
  EXPECT_EQ(node->ctl({"create", "vd"}).exit_code, 0);
}

TEST_F(CliTest, TheSerialNumberIsCaseInsensitiveAsTheLibraryLowerCasesIt) {
  node->provision(kCluster, "ab-Cd-99", kNodePassword);
  ASSERT_EQ(node->ctl({"keystore", "set-serial", "AB-CD-99"}).exit_code, 0);
  EXPECT_EQ(node->ctl({"capacity"}).exit_code, 0);
}

TEST_F(CliTest, UserWithoutAnyPasswordSourceIsAUsageError) {
  ASSERT_EQ(node->ctl({"keystore", "set-cluster", kCluster}).exit_code, 0);
  // No TARNEL_PASSWORD, no file, and no terminal to prompt on.
  const RunResult result = node->ctl({"--user", kOperator, "capacity"});
  expect_refused(result, 2);
  EXPECT_THAT(result.err, HasSubstr("no password for --user operator"));
  const RunResult empty = node->ctl({"--user", kOperator, "capacity"}, {{"TARNEL_PASSWORD", ""}});
  expect_refused(empty, 2);
  EXPECT_THAT(empty.err, HasSubstr("TARNEL_PASSWORD is empty"));
}

TEST_F(CliTest, KeystoreProvisioning) {
  // The password is encrypted with the serial, so the serial comes first.
  const RunResult early = node->ctl({"keystore", "set-password"}, {}, "pw\n");
  EXPECT_EQ(early.exit_code, 3);
  EXPECT_THAT(early.err, HasSubstr("tarnelctl keystore set-serial SERIAL"));

  ASSERT_EQ(node->ctl({"keystore", "set-serial", kSerial}).exit_code, 0);
  const RunResult empty = node->ctl({"keystore", "set-password"}, {}, "\n");
  EXPECT_EQ(empty.exit_code, 2);
  EXPECT_THAT(empty.err, HasSubstr("is empty"));
  const RunResult none = node->ctl({"keystore", "set-password"});
  EXPECT_EQ(none.exit_code, 2);

  const RunResult set = node->ctl({"--json", "keystore", "set-password"}, {}, "pa ss\r\n");
  EXPECT_EQ(set.exit_code, 0) << set.err;
  EXPECT_EQ(set.out,
            "{\"command\":\"keystore set-password\",\"ok\":true,\"changed\":true,"
            "\"key\":\"sTarnelCID\","
            "\"keystore\":\"" +
                node->keystore() + "\"}\n");
  const RunResult cluster = node->ctl({"keystore", "set-cluster", "c 1"});
  EXPECT_EQ(cluster.exit_code, 0);
  EXPECT_EQ(cluster.out, "Stored the cluster name in " + node->keystore() + ".\n");

  const std::string text = read_file(node->keystore());
  EXPECT_THAT(text, HasSubstr("sTarnelSerial=" + std::string(kSerial) + "\n"));
  EXPECT_THAT(text, HasSubstr("sTarnelCluster=c 1\n"));
  EXPECT_THAT(text, HasSubstr("sTarnelCID=v1$"));
  EXPECT_EQ(text.find("pa ss"), std::string::npos);
  struct stat info {};
  ASSERT_EQ(stat(node->keystore().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(CliTest, OutputThatCannotBeWrittenFailsTheCommand) {
  node->provision();
  for (const std::string redirect : {">&-", "> /dev/full"}) {
    LaunchPlan launch = node->ctl_launch({"capacity"});
    launch.argv.insert(launch.argv.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" " + redirect});
    const RunResult result = run(launch);
    EXPECT_EQ(result.exit_code, 1) << redirect;
    EXPECT_THAT(result.err, HasSubstr("tarnelctl capacity: cannot write to standard output: "));
  }
  EXPECT_EQ(read_file(node->log_file()).find("Cluster capacity"), std::string::npos);
}

TEST_F(CliTest, VerboseMirrorsTheLogLinesToStderr) {
  node->provision();
  const RunResult quiet = node->ctl({"create", "vd-a"});
  EXPECT_EQ(quiet.exit_code, 0);
  EXPECT_EQ(quiet.err, "");
  const RunResult verbose = node->ctl({"-v", "create", "vd-b"});
  EXPECT_EQ(verbose.exit_code, 0);
  EXPECT_THAT(verbose.err,
              HasSubstr("tarnel_session::tarnel_req_rsp(): Curl response for session: ["));
  EXPECT_THAT(verbose.err, HasSubstr("tarnel_admin::create_vdisk(): Vdisk created vd-b"));
  EXPECT_EQ(verbose.out, "Created virtual disk 'vd-b' (58.64 GB).\n");
}

}  // namespace
}  // namespace e2e
