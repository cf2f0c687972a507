// Session acquisition and the disk commands: the retry policy, the pauses,
// the lines and the objects used, through the real session and disk handle
// over the fake HTTP client. Pauses are recorded by the fake sleep call.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "fake_host.h"
#include "tarnel_admin.h"
#include "unit_test_support.h"

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using unit_test::login_text;
using unit_test::queueCapacity;
using unit_test::queueCreated;
using unit_test::queueExported;
using unit_test::queueLogin;
using unit_test::requestTypes;
using unit_test::sendsAndPauses;
using unit_test::sourceLine;

namespace {

const char kSessionTag[] = "tarnel_admin::get_tarnel_session()";
const char kCreateTag[] = "tarnel_admin::create_vdisk()";
const char kExportTag[] = "tarnel_admin::export_vdisk()";
const char kNoSession[] = "Failed to get a tarnel session";

const std::vector<int> kAllPauses = {5000, 10000, 15000, 20000, 25000};

// Exchanges that bring no answer: the login or operation attempts fail.
void queueNoAnswer(int count = 1) {
  for (int i = 0; i < count; ++i) fake::httpScript().push_back(fake::noAnswer());
}

int totalPause() {
  const std::vector<int> pauses = fake::sleepMilliseconds();
  return std::accumulate(pauses.begin(), pauses.end(), 0);
}

class Commands : public ::testing::Test {
 protected:
  void SetUp() override { fake::reset(); }

  // A ready facade with the caller's credentials on host node1, with the
  // records of its construction cleared.
  void makeAdmin(int debug_level = 1) {
    fake::logScript().debugLevel = debug_level;
    admin.emplace("operator", "pw");
    fake::journal().clear();
    fake::logLines().clear();
  }

  std::optional<tarnel_admin> admin;
};

}  // namespace

// ---- session acquisition ----

TEST_F(Commands, FirstLoginSucceedingReturnsItsIdentifierWithoutPause) {
  makeAdmin();
  queueLogin("S1");
  std::string session_id = "stale";
  EXPECT_EQ(admin->get_tarnel_session(session_id), 0);
  EXPECT_EQ(session_id, "S1");
  EXPECT_EQ(fake::logTexts(kSessionTag), std::vector<std::string>{"Session ID is S1"});
  EXPECT_TRUE(fake::sleeps().empty());
  EXPECT_EQ(fake::sentRequests(),
            std::vector<std::string>{login_text("operator", "pw", "cluster1")});
}

TEST_F(Commands, ThirdLoginSucceedingFollowsPausesOfFiveAndTenSeconds) {
  makeAdmin();
  queueNoAnswer(2);
  queueLogin("S3");
  std::string session_id;
  EXPECT_EQ(admin->get_tarnel_session(session_id), 0);
  EXPECT_EQ(session_id, "S3");
  EXPECT_EQ(fake::logTexts(kSessionTag),
            (std::vector<std::string>{kNoSession, kNoSession, "Session ID is S3"}));
  EXPECT_EQ(sendsAndPauses(), (std::vector<std::string>{"send", "ZUSLEEP_InTeRnAl(5000)", "send",
                                                        "ZUSLEEP_InTeRnAl(10000)", "send"}));
}

TEST_F(Commands, NoLoginSucceedingPausesSeventyFiveSecondsAndEmptiesTheIdentifier) {
  makeAdmin();
  queueNoAnswer(5);
  std::string session_id = "stale";
  EXPECT_EQ(admin->get_tarnel_session(session_id), -1);
  EXPECT_EQ(session_id, "");
  EXPECT_EQ(fake::logTexts(kSessionTag), std::vector<std::string>(5, kNoSession));
  EXPECT_EQ(fake::sleepMilliseconds(), kAllPauses);
  EXPECT_EQ(totalPause(), 75000);
  // The pause after the fifth failure is taken before returning.
  EXPECT_EQ(sendsAndPauses().back(), "ZUSLEEP_InTeRnAl(25000)");
  EXPECT_EQ(fake::sentRequests().size(), 5u);
}

TEST_F(Commands, AllLoginAttemptsUseOneSessionObject) {
  makeAdmin();
  queueNoAnswer(4);
  queueLogin("S5");
  std::string session_id;
  EXPECT_EQ(admin->get_tarnel_session(session_id), 0);
  // A session reads the host name once, when it is constructed.
  EXPECT_EQ(fake::journalWith("rkmx_utils::get_hostname()").size(), 1u);
  EXPECT_EQ(fake::sentRequests().size(), 5u);
}

TEST_F(Commands, PausesNameThisSourceFileAndTheLineOfTheSleepCall) {
  makeAdmin();
  std::string session_id;
  admin->get_tarnel_session(session_id);  // nothing scripted: five failures
  ASSERT_EQ(fake::sleeps().size(), 5u);
  for (const fake::SleepCall& pause : fake::sleeps()) {
    EXPECT_THAT(pause.file, EndsWith("src/tarnel_admin.cpp"));
    EXPECT_EQ(pause.line, fake::sleeps()[0].line);
  }
  EXPECT_THAT(sourceLine(fake::sleeps()[0].file, fake::sleeps()[0].line),
              HasSubstr("ZUSLEEP_InTeRnAl("));

  queueLogin("S1");
  queueNoAnswer(1);
  queueExported("node1");
  fake::sleeps().clear();
  EXPECT_EQ(admin->export_vdisk("vd1"), 0);
  ASSERT_EQ(fake::sleeps().size(), 1u);
  EXPECT_THAT(fake::sleeps()[0].file, EndsWith("src/tarnel_admin.cpp"));
  EXPECT_THAT(sourceLine(fake::sleeps()[0].file, fake::sleeps()[0].line),
              HasSubstr("ZUSLEEP_InTeRnAl("));
}

TEST_F(Commands, SessionLineIsLevelOneAndFailureLinesLevelMinusOne) {
  makeAdmin(0);
  queueNoAnswer(1);
  queueLogin("S2");
  std::string session_id;
  EXPECT_EQ(admin->get_tarnel_session(session_id), 0);
  EXPECT_EQ(fake::logTexts(kSessionTag), std::vector<std::string>{kNoSession});

  makeAdmin(-1);
  queueNoAnswer(1);
  EXPECT_EQ(admin->get_tarnel_session(session_id), -1);
  EXPECT_EQ(fake::logTexts(kSessionTag), std::vector<std::string>(5, kNoSession));
}

TEST_F(Commands, SessionAcquisitionOnAFacadeThatIsNotReadyStillTries) {
  fake::utilsScript().cluster = fake::status(1, "");
  makeAdmin();
  std::string session_id;
  EXPECT_EQ(admin->get_tarnel_session(session_id), -1);
  EXPECT_EQ(fake::sentRequests(), std::vector<std::string>(5, login_text("operator", "pw", "")));
  EXPECT_EQ(totalPause(), 75000);

  tarnel_admin empty("", "");
  fake::httpClients().clear();
  queueLogin("S1");
  EXPECT_EQ(empty.get_tarnel_session(session_id), 0);
  EXPECT_EQ(session_id, "S1");
  EXPECT_EQ(fake::sentRequests(), std::vector<std::string>{login_text("", "", "")});
}

// ---- disk commands ----

TEST_F(Commands, CommandsOnAFacadeThatIsNotReadyDoNothing) {
  fake::utilsScript().cluster = fake::status(1, "");
  makeAdmin();
  queueLogin("S1");
  EXPECT_EQ(admin->create_vdisk("vd1"), -1);
  EXPECT_EQ(admin->export_vdisk("vd1"), -1);
  EXPECT_TRUE(fake::journal().empty());
  EXPECT_TRUE(fake::logLines().empty());
  EXPECT_TRUE(fake::sleeps().empty());
}

TEST_F(Commands, CreateSucceedingAtOnceLogsInOnceAndReportsTheDisk) {
  makeAdmin();
  queueLogin("S1");
  queueCapacity();
  queueCreated("vd1");
  EXPECT_EQ(admin->create_vdisk("vd1"), 0);
  EXPECT_EQ(fake::logTexts(kCreateTag), std::vector<std::string>{"Vdisk created vd1"});
  EXPECT_TRUE(fake::sleeps().empty());
  EXPECT_THAT(requestTypes(), ElementsAre("Login", "ClusterInformation", "AddVirtualDisk"));
  EXPECT_THAT(fake::sentRequests()[2],
              AllOf(HasSubstr("params:{name:\"vd1\""), EndsWith(",sessionId:S1}")));
}

TEST_F(Commands, CreateSucceedingOnTheSecondAttemptPausesFiveSeconds) {
  makeAdmin();
  queueLogin("S1");
  queueCapacity();
  queueNoAnswer(1);
  queueCapacity();
  queueCreated("vd1");
  EXPECT_EQ(admin->create_vdisk("vd1"), 0);
  EXPECT_EQ(fake::logTexts(kCreateTag),
            (std::vector<std::string>{"Failed to create vdisk vd1", "Vdisk created vd1"}));
  EXPECT_EQ(fake::sleepMilliseconds(), std::vector<int>{5000});
  EXPECT_THAT(requestTypes(), ElementsAre("Login", "ClusterInformation", "AddVirtualDisk",
                                          "ClusterInformation", "AddVirtualDisk"));
}

TEST_F(Commands, ExportSucceedingOnTheSecondAttemptPausesFiveSeconds) {
  makeAdmin();
  queueLogin("S1");
  queueNoAnswer(1);
  queueExported("node1");
  EXPECT_EQ(admin->export_vdisk("vd1"), 0);
  EXPECT_EQ(fake::logTexts(kExportTag),
            (std::vector<std::string>{"Failed to export vdisk vd1", "Vdisk exported vd1"}));
  EXPECT_EQ(fake::sleepMilliseconds(), std::vector<int>{5000});
  EXPECT_THAT(requestTypes(), ElementsAre("Login", "Mount", "Mount"));
  EXPECT_THAT(fake::sentRequests()[1],
              AllOf(HasSubstr("virtualDisk:\"vd1\""), HasSubstr("targets:[\"node1\"]"),
                    EndsWith(",sessionId:S1}")));
}

TEST_F(Commands, CreateFailingFiveTimesReturnsTheFifthStatusAfterSeventyFiveSeconds) {
  makeAdmin();
  queueLogin("S1");
  for (int i = 0; i < 5; ++i) {
    queueCapacity();
    fake::queueReply(R"({"result":[{"name":"vd1","status":"failed"}]})");
  }
  EXPECT_EQ(admin->create_vdisk("vd1"), -1);
  EXPECT_EQ(fake::logTexts(kCreateTag), std::vector<std::string>(5, "Failed to create vdisk vd1"));
  EXPECT_EQ(fake::sleepMilliseconds(), kAllPauses);
  EXPECT_EQ(sendsAndPauses().back(), "ZUSLEEP_InTeRnAl(25000)");
  EXPECT_EQ(fake::journalWith("RKLibCurl::RKLibCurlSendHttpReq").size(), 11u);  // one login
}

TEST_F(Commands, ExportFailingFiveTimesReturnsTheFifthStatusAfterSeventyFiveSeconds) {
  makeAdmin();
  queueLogin("S1");
  queueExported("another-node");
  queueNoAnswer(4);
  EXPECT_EQ(admin->export_vdisk("vd1"), -1);
  EXPECT_EQ(fake::logTexts(kExportTag), std::vector<std::string>(5, "Failed to export vdisk vd1"));
  EXPECT_EQ(fake::sleepMilliseconds(), kAllPauses);
  EXPECT_THAT(requestTypes(), ElementsAre("Login", "Mount", "Mount", "Mount", "Mount", "Mount"));
}

TEST_F(Commands, OneDiskObjectServesEveryAttemptAndTheNameIsPassedOnUnchecked) {
  makeAdmin();
  queueLogin("S1");
  // A disk handle made with an empty name says so once, when it is constructed.
  EXPECT_EQ(admin->export_vdisk(""), -1);
  EXPECT_EQ(fake::logTexts("tarnel_vdisk::tarnel_vdisk()"),
            std::vector<std::string>{"Please provide the required arguments."});
  EXPECT_EQ(fake::logTexts(kExportTag), std::vector<std::string>(5, "Failed to export vdisk "));
  EXPECT_THAT(fake::sentRequests()[1], HasSubstr("virtualDisk:\"\""));
}

TEST_F(Commands, EachCommandLogsInAgain) {
  makeAdmin();
  queueLogin("S1");
  queueExported("node1");
  queueLogin("S2");
  queueExported("node1");
  EXPECT_EQ(admin->export_vdisk("vd1"), 0);
  EXPECT_EQ(admin->export_vdisk("vd2"), 0);
  EXPECT_THAT(requestTypes(), ElementsAre("Login", "Mount", "Login", "Mount"));
  EXPECT_THAT(fake::sentRequests()[3],
              AllOf(HasSubstr("virtualDisk:\"vd2\""), EndsWith(",sessionId:S2}")));
}

TEST_F(Commands, CreateWithoutASessionGivesUpAfterTheLoginPauses) {
  makeAdmin(-1);
  queueNoAnswer(5);
  EXPECT_EQ(admin->create_vdisk("vd1"), -1);
  EXPECT_EQ(fake::logTexts(kCreateTag),
            std::vector<std::string>{"Failed to get session ID to create vdisk vd1"});
  EXPECT_EQ(fake::sleepMilliseconds(), kAllPauses);
  EXPECT_THAT(requestTypes(), ElementsAre("Login", "Login", "Login", "Login", "Login"));
  EXPECT_TRUE(fake::logTexts("tarnel_vdisk::tarnel_vdisk()").empty());
}

TEST_F(Commands, ExportWithoutASessionGivesUpAfterTheLoginPauses) {
  makeAdmin(-1);
  queueNoAnswer(5);
  EXPECT_EQ(admin->export_vdisk("vd2"), -1);
  EXPECT_EQ(fake::logTexts(kExportTag),
            std::vector<std::string>{"Failed to get session ID to export vdisk vd2"});
  EXPECT_EQ(totalPause(), 75000);
  EXPECT_THAT(requestTypes(), ElementsAre("Login", "Login", "Login", "Login", "Login"));
}

TEST_F(Commands, WorstCaseCommandPausesFiftyThenSeventyFiveSeconds) {
  makeAdmin();
  queueNoAnswer(4);
  queueLogin("S5");
  queueNoAnswer(5);
  EXPECT_EQ(admin->export_vdisk("vd1"), -1);
  EXPECT_EQ(fake::sleepMilliseconds(),
            (std::vector<int>{5000, 10000, 15000, 20000, 5000, 10000, 15000, 20000, 25000}));
  EXPECT_EQ(totalPause(), 125000);
}

TEST_F(Commands, CompletionLinesAreLevelZero) {
  makeAdmin(0);
  queueLogin("S1");
  queueExported("node1");
  EXPECT_EQ(admin->export_vdisk("vd1"), 0);
  EXPECT_EQ(fake::logTexts(kExportTag), std::vector<std::string>{"Vdisk exported vd1"});

  makeAdmin(-1);
  queueLogin("S1");
  queueCapacity();
  queueCreated("vd1");
  EXPECT_EQ(admin->create_vdisk("vd1"), 0);
  EXPECT_TRUE(fake::logTexts(kCreateTag).empty());
}

TEST_F(Commands, ExceptionsFromTheSessionPassThrough) {
  makeAdmin();
  fake::queueReply(R"({"result":"not an object"})");
  EXPECT_THROW(admin->create_vdisk("vd1"), std::runtime_error);
  EXPECT_TRUE(fake::sleeps().empty());
  EXPECT_TRUE(fake::logTexts(kCreateTag).empty());
}
