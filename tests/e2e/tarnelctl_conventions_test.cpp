// tarnelctl follows the command line's conventions as an operator expects
// them: errors name what was wrong, every --help shows the options accepted
// there, "-" means stdin, names that cannot be stored are usage errors, the
// key store can be chosen, shown, and is guarded; tarnel-sim tells its
// version too.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <tuple>

#include "e2e_fixture.h"

namespace e2e {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class ConventionsTest : public ClusterTest {
 protected:
  void SetUp() override { start(); }
  // Each run ends as a usage error naming `argument`, nothing stored or sent.
  void expect_refused_names(const std::vector<std::vector<std::string>>& cases,
                            const std::string& argument) const {
    for (const std::vector<std::string>& args : cases) {
      SCOPED_TRACE(::testing::PrintToString(args));
      const RunResult result = node->ctl(args);
      EXPECT_EQ(result.exit_code, 2) << result.err;
      EXPECT_THAT(result.err, HasSubstr(argument + ": '"));
    }
    EXPECT_EQ(::access(node->keystore().c_str(), F_OK), -1);
    EXPECT_TRUE(sim->requests().empty());
  }
};

// A usage error names what is wrong and a near miss, points at the --help
// that helps, and is also one JSON object under --json wherever it stands.
TEST_F(ConventionsTest, UsageErrorsNameWhatIsWrongInTextAndJson) {
  const std::vector<std::tuple<std::vector<std::string>, std::string, std::string>> cases = {
      {{"frobnicate"},
       "unknown command 'frobnicate'; the commands are capacity, create, export, drives, login, "
       "doctor, keystore, help",
       "tarnelctl"},
      {{"craete", "vd"}, "unknown command 'craete'; did you mean 'create'?", "tarnelctl"},
      {{"keystore", "shw"},
       "unknown keystore command 'shw'; did you mean 'show'?",
       "tarnelctl keystore"},
      {{"-o", "json", "capacity"}, "unknown option '-o'", "tarnelctl capacity"},
      {{"capacity", "--jsn"},
       "unknown option '--jsn'; did you mean '--json'?",
       "tarnelctl capacity"},
      {{"help", "exprot"}, "unknown command 'exprot'; did you mean 'export'?", "tarnelctl"},
  };
  for (const auto& [args, message, help] : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const RunResult text = node->ctl(args);
    EXPECT_EQ(text.exit_code, 2);
    EXPECT_EQ(text.out, "");
    EXPECT_EQ(text.err, "tarnelctl: " + message + "\nRun '" + help + " --help' for usage.\n");
    std::vector<std::string> with_json = args;
    with_json.insert(with_json.begin() + 1, "--json");
    const RunResult json = node->ctl(with_json);
    EXPECT_EQ(json.exit_code, 2);
    EXPECT_EQ(json.err, text.err);
    const rapidjson::Document reply = parse_json(json.out);
    ASSERT_TRUE(reply.IsObject()) << json.out;
    EXPECT_FALSE(member<bool>(reply, "ok") || member<bool>(reply, "changed"));
    EXPECT_EQ(member<int>(reply, "exit_code"), 2);
    EXPECT_EQ(member(reply, "reason"), "usage");
    EXPECT_EQ(member(reply, "message"), message);
  }
}

TEST_F(ConventionsTest, EverySubcommandsHelpListsTheGlobalOptions) {
  const std::vector<std::vector<std::string>> commands = {{"capacity"},
                                                          {"create"},
                                                          {"export"},
                                                          {"drives"},
                                                          {"login"},
                                                          {"doctor"},
                                                          {"keystore"},
                                                          {"keystore", "set-cluster"},
                                                          {"keystore", "set-serial"},
                                                          {"keystore", "set-password"},
                                                          {"keystore", "show"}};
  for (std::vector<std::string> args : commands) {
    const bool keystore = args[0] == "keystore" || args[0] == "doctor";
    args.push_back("--help");
    SCOPED_TRACE(::testing::PrintToString(args));
    const RunResult help = node->ctl(args);
    EXPECT_EQ(help.exit_code, 0);
    const std::size_t globals = help.out.find("\nGlobal options:\n");
    ASSERT_NE(globals, std::string::npos) << help.out;
    const std::string listed = help.out.substr(globals);
    for (const char* option :
         {"  --json ", "  -v,--verbose ", "  -q,--quiet ", "  --retries N ", "  --timeout SECONDS ",
          "  --designed-retries ", "  --keystore PATH "}) {
      EXPECT_THAT(listed, HasSubstr(option));
    }
    // Keystore commands and doctor refuse --user.
    EXPECT_EQ(listed.find("  --user USER ") == std::string::npos, keystore);
  }
}

TEST_F(ConventionsTest, KeystoreOptionWinsOverTheVariable) {
  node->provision();
  const std::string moved = dir.file("moved.conf");
  ASSERT_EQ(std::rename(node->keystore().c_str(), moved.c_str()), 0);
  EXPECT_EQ(node->ctl({"capacity"}).exit_code, 3);
  const RunResult capacity = node->ctl({"capacity", "--keystore", moved});
  EXPECT_EQ(capacity.exit_code, 0) << capacity.err;
  const RunResult set = node->ctl({"--keystore", moved, "keystore", "set-cluster", "other"});
  EXPECT_EQ(set.out, "Stored the cluster name in " + moved + ".\n");
  EXPECT_THAT(read_file(moved), HasSubstr("sTarnelCluster=other\n"));
  EXPECT_EQ(::access(node->keystore().c_str(), F_OK), -1);
}

TEST_F(ConventionsTest, PasswordFileDashReadsStandardInput) {
  ASSERT_EQ(node->ctl({"keystore", "set-cluster", kCluster}).exit_code, 0);
  const RunResult login = node->ctl({"--user", kOperator, "--password-file", "-", "login"}, {},
                                    std::string(kOperatorPassword) + "\nignored\n");
  EXPECT_EQ(login.exit_code, 0) << login.err;
  EXPECT_EQ(login.out, "Logged in to cluster 'e2e-cluster' as operator.\n");
  const RunResult none = node->ctl({"--user", kOperator, "--password-file", "-", "login"});
  EXPECT_EQ(none.exit_code, 2);
  EXPECT_THAT(none.err, HasSubstr("no password on standard input"));
}

TEST_F(ConventionsTest, ANameWithAControlCharacterIsAUsageError) {
  expect_refused_names({{"keystore", "set-cluster", "a\nb"},
                        {"create", "vd\x1b[2J"},
                        {"export", "vd\r"},
                        {"--json", "create", "a\tb"}},
                       "NAME");
  expect_refused_names({{"keystore", "set-serial", "SN\x7f"}}, "SERIAL");
}

TEST_F(ConventionsTest, AClusterNameWithSurroundingSpacesIsRefused) {
  expect_refused_names(
      {{"keystore", "set-cluster", " e2e-cluster"}, {"keystore", "set-cluster", "e2e-cluster "}},
      "NAME");
}

TEST_F(ConventionsTest, KeystoreShowTellsPathModeAndKeysButNotThePassword) {
  node->provision();
  node->add_key("sNote", "a\x1b]0;x");
  std::string encrypted = read_file(node->keystore());
  encrypted = encrypted.substr(encrypted.find("sTarnelCID=") + 11, 20);

  const RunResult text = node->ctl({"keystore", "show"});
  EXPECT_EQ(text.exit_code, 0) << text.err;
  EXPECT_EQ(text.out,
            "Key store " + node->keystore() + " (mode 0600):\n" +
                "  sTarnelCluster  'e2e-cluster'\n" + "  sTarnelSerial   'E2E-SN-00A7'\n" +
                "  sTarnelCID      (set, encrypted)\n" + "  sNote           'a\\x1b]0;x'\n");

  const RunResult json = node->ctl({"keystore", "show", "--json"});
  EXPECT_EQ(json.out.find(encrypted), std::string::npos);
  const rapidjson::Document reply = parse_json(json.out);
  ASSERT_TRUE(reply.IsObject()) << json.out;
  EXPECT_EQ(member(reply, "keystore"), node->keystore());
  EXPECT_EQ(member(reply, "mode"), "0600");
  const Array keys = member<Array>(reply, "keys");
  ASSERT_EQ(keys.Size(), 4u);
  EXPECT_EQ(member(keys[0], "value"), kCluster);
  EXPECT_EQ(member(keys[2], "key"), "sTarnelCID");
  EXPECT_TRUE(member<bool>(keys[2], "redacted"));
  EXPECT_TRUE(keys[2]["value"].IsNull());
  EXPECT_EQ(member(keys[3], "value"), "a\x1b]0;x");
}

// Every text for people goes through one escape; the values of the key
// store reach it unchecked.
TEST_F(ConventionsTest, TextForPeopleShowsC0C1AndDelEscapedAndOtherTextAsItIs) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"esc\x1b]0;t\x07", "esc\\x1b]0;t\\x07"},
      {"del\x7f", "del\\x7f"},
      {"csi\xc2\x9b"
       "2J",
       "csi\\xc2\\x9b"
       "2J"},
      {"c1 \xc2\x80 \xc2\x9d \xc2\x9f", "c1 \\xc2\\x80 \\xc2\\x9d \\xc2\\x9f"},
      {"stray \x9b \x80", "stray \\x9b \\x80"},
      {"overlong \xe0\x82\x9b", "overlong \xe0\\x82\\x9b"},
      {"utf8 \xc2\xa0\xc3\xa9\xe2\x82\xac\xf0\x9f\x92\xbe",
       "utf8 \xc2\xa0\xc3\xa9\xe2\x82\xac\xf0\x9f\x92\xbe"},
      {"other \xff \xc2", "other \xff \xc2"},
  };
  write_file(node->keystore(), "");
  for (std::size_t i = 0; i < cases.size(); ++i) {
    node->add_key("sRow" + std::to_string(i), cases[i].first);
  }
  const RunResult show = node->ctl({"keystore", "show"});
  EXPECT_EQ(show.exit_code, 0) << show.err;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_THAT(show.out,
                HasSubstr("  sRow" + std::to_string(i) + "  '" + cases[i].second + "'\n"));
  }
}

TEST_F(ConventionsTest, AKeyStoreOthersMayReadOrWriteDrawsOneWarning) {
  node->provision();
  ASSERT_EQ(::chmod(node->keystore().c_str(), 0644), 0);
  const std::string warning = "warning: the key store " + node->keystore() +
                              " is readable by others (mode 0644); it holds the encrypted "
                              "cluster password: chmod 600 " +
                              node->keystore() + "\n";
  const RunResult capacity = node->ctl({"capacity"});
  EXPECT_EQ(capacity.exit_code, 0);
  EXPECT_EQ(capacity.err, "tarnelctl capacity: " + warning);
  const RunResult json = node->ctl({"--json", "login"});
  EXPECT_THAT(json.err, HasSubstr(warning));
  EXPECT_TRUE(parse_json(json.out).IsObject());
  EXPECT_EQ(node->ctl({"-q", "capacity"}).err, "");

  ASSERT_EQ(::chmod(node->keystore().c_str(), 0620), 0);
  EXPECT_THAT(node->ctl({"keystore", "show"}).err, HasSubstr(" is writable by others (mode 0620)"));
  // Storing a key replaces the store with one of mode 0600.
  EXPECT_THAT(node->ctl({"keystore", "set-cluster", "other"}).err, Not(HasSubstr("warning")));
}

TEST_F(ConventionsTest, TheSimulatorTellsItsVersion) {
  LaunchPlan launch = node->ctl_launch({});
  launch.argv = {kSimulator, "--version"};
  const RunResult version = run(launch);
  EXPECT_EQ(version.exit_code, 0) << version.err;
  EXPECT_EQ(version.out, "tarnel-sim " + node->ctl({"--version"}).out);
}

}  // namespace
}  // namespace e2e
