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
using namespace unit_test;

namespace {

const char kNoSession[] = "Failed to get a tarnel session";

const std::vector<int> kAllPauses = {5000, 10000, 15000, 20000, 25000};

// Exchanges that bring no answer: the login or operation attempts fail.
void queue_no_answer(int count = 1) {
  for (int i = 0; i < count; ++i) fake::http_script().push_back(fake::no_answer());
}

int total_pause() {
  const std::vector<int> pauses = fake::sleep_milliseconds();
  return std::accumulate(pauses.begin(), pauses.end(), 0);
}

class Commands : public ::testing::Test {
 protected:
  void SetUp() override { fake::reset(); }

  // A ready facade with the caller's credentials on host node1, with the
  // records of its construction cleared.
  void make_admin(int debug_level = 1) {
    fake::log_script().debugLevel = debug_level;
    admin.emplace("operator", "pw");
    fake::journal().clear();
    fake::log_lines().clear();
  }

  std::optional<tarnel_admin> admin;
};

}  // namespace

// ---- session acquisition ----

TEST_F(Commands, FirstLoginSucceedingReturnsItsIdentifierWithoutPause) {
  make_admin();
  queue_login("S1");
  std::string session_id = "stale";
  EXPECT_EQ(admin->get_tarnel_session(session_id), 0);
  EXPECT_EQ(session_id, "S1");
  EXPECT_EQ(fake::log_texts(kAdminSessionTag), std::vector<std::string>{"Session ID is S1"});
  EXPECT_TRUE(fake::sleeps().empty());
  EXPECT_EQ(fake::sent_requests(),
            std::vector<std::string>{login_text("operator", "pw", "cluster1")});
}

TEST_F(Commands, ThirdLoginSucceedingFollowsPausesOfFiveAndTenSeconds) {
  make_admin();
  queue_no_answer(2);
  queue_login("S3");
  std::string session_id;
  EXPECT_EQ(admin->get_tarnel_session(session_id), 0);
  EXPECT_EQ(session_id, "S3");
  EXPECT_EQ(fake::log_texts(kAdminSessionTag),
            (std::vector<std::string>{kNoSession, kNoSession, "Session ID is S3"}));
  EXPECT_EQ(sends_and_pauses(), (std::vector<std::string>{"send", "ZUSLEEP_InTeRnAl(5000)", "send",
                                                          "ZUSLEEP_InTeRnAl(10000)", "send"}));
}

TEST_F(Commands, ARefusedLoginIsRetriedLikeAnyFailure) {
  make_admin();
  fake::http_script().assign(2, fake::failed_send(500, R"({"error":{"code":"E"}})"));
  queue_login("S3");
  std::string session_id;
  EXPECT_EQ(admin->get_tarnel_session(session_id), 0);
  EXPECT_EQ(session_id, "S3");
  EXPECT_EQ(fake::sleep_milliseconds(), (std::vector<int>{5000, 10000}));
}

TEST_F(Commands, NoLoginSucceedingPausesSeventyFiveSecondsAndEmptiesTheIdentifier) {
  make_admin();
  queue_no_answer(5);
  std::string session_id = "stale";
  EXPECT_EQ(admin->get_tarnel_session(session_id), -1);
  EXPECT_EQ(session_id, "");
  EXPECT_EQ(fake::log_texts(kAdminSessionTag), std::vector<std::string>(5, kNoSession));
  EXPECT_EQ(fake::sleep_milliseconds(), kAllPauses);
  EXPECT_EQ(total_pause(), 75000);
  // The pause after the fifth failure is taken before returning.
  EXPECT_EQ(sends_and_pauses().back(), "ZUSLEEP_InTeRnAl(25000)");
  EXPECT_EQ(fake::sent_requests().size(), 5u);
}

TEST_F(Commands, AllLoginAttemptsUseOneSessionObject) {
  make_admin();
  queue_no_answer(4);
  queue_login("S5");
  std::string session_id;
  EXPECT_EQ(admin->get_tarnel_session(session_id), 0);
  // A session reads the host name once, when it is constructed.
  EXPECT_EQ(fake::journal_with("rkmx_utils::get_hostname()").size(), 1u);
  EXPECT_EQ(fake::sent_requests().size(), 5u);
}

TEST_F(Commands, PausesNameTheFacadesSourceFileAndALineOfIt) {
  make_admin();
  std::string session_id;
  admin->get_tarnel_session(session_id);  // nothing scripted: five failures
  ASSERT_EQ(fake::sleeps().size(), 5u);
  for (const fake::SleepCall& pause : fake::sleeps()) {
    EXPECT_THAT(pause.file, EndsWith("src/tarnel_admin.cpp"));
    EXPECT_EQ(pause.line, fake::sleeps()[0].line);
    EXPECT_GT(pause.line, 0);
  }

  queue_login("S1");
  queue_no_answer(1);
  queue_exported("node1");
  fake::sleeps().clear();
  EXPECT_EQ(admin->export_vdisk("vd1"), 0);
  ASSERT_EQ(fake::sleeps().size(), 1u);
  EXPECT_THAT(fake::sleeps()[0].file, EndsWith("src/tarnel_admin.cpp"));
  EXPECT_GT(fake::sleeps()[0].line, 0);
}

TEST_F(Commands, SessionLineIsLevelOneAndFailureLinesLevelMinusOne) {
  make_admin(0);
  queue_no_answer(1);
  queue_login("S2");
  std::string session_id;
  EXPECT_EQ(admin->get_tarnel_session(session_id), 0);
  EXPECT_EQ(fake::log_texts(kAdminSessionTag), std::vector<std::string>{kNoSession});

  make_admin(-1);
  queue_no_answer(1);
  EXPECT_EQ(admin->get_tarnel_session(session_id), -1);
  EXPECT_EQ(fake::log_texts(kAdminSessionTag), std::vector<std::string>(5, kNoSession));
}

TEST_F(Commands, SessionAcquisitionOnAFacadeThatIsNotReadyStillTries) {
  fake::utils_script().cluster = fake::status(1, "");
  make_admin();
  std::string session_id;
  EXPECT_EQ(admin->get_tarnel_session(session_id), -1);
  EXPECT_EQ(fake::sent_requests(), std::vector<std::string>(5, login_text("operator", "pw", "")));
  EXPECT_EQ(total_pause(), 75000);

  tarnel_admin empty("", "");
  fake::http_clients().clear();
  queue_login("S1");
  EXPECT_EQ(empty.get_tarnel_session(session_id), 0);
  EXPECT_EQ(session_id, "S1");
  EXPECT_EQ(fake::sent_requests(), std::vector<std::string>{login_text("", "", "")});
}

// ---- disk commands ----

TEST_F(Commands, CommandsOnAFacadeThatIsNotReadyDoNothing) {
  fake::utils_script().cluster = fake::status(1, "");
  make_admin();
  queue_login("S1");
  EXPECT_EQ(admin->create_vdisk("vd1"), -1);
  EXPECT_EQ(admin->export_vdisk("vd1"), -1);
  EXPECT_TRUE(fake::journal().empty());
  EXPECT_TRUE(fake::log_lines().empty());
  EXPECT_TRUE(fake::sleeps().empty());
}

TEST_F(Commands, CreateSucceedingAtOnceLogsInOnceAndReportsTheDisk) {
  make_admin();
  queue_login("S1");
  queue_capacity();
  queue_created("vd1");
  EXPECT_EQ(admin->create_vdisk("vd1"), 0);
  EXPECT_EQ(fake::log_texts(kAdminCreateTag), std::vector<std::string>{"Vdisk created vd1"});
  EXPECT_TRUE(fake::sleeps().empty());
  EXPECT_THAT(request_types(), ElementsAre("Login", "ClusterInformation", "AddVirtualDisk"));
  EXPECT_THAT(fake::sent_requests()[2],
              AllOf(HasSubstr("params:{name:\"vd1\""), EndsWith(",sessionId:S1}")));
}

TEST_F(Commands, CreateSucceedingOnTheSecondAttemptPausesFiveSeconds) {
  make_admin();
  queue_login("S1");
  queue_capacity();
  queue_no_answer(1);
  queue_capacity();
  queue_created("vd1");
  EXPECT_EQ(admin->create_vdisk("vd1"), 0);
  EXPECT_EQ(fake::log_texts(kAdminCreateTag),
            (std::vector<std::string>{"Failed to create vdisk vd1", "Vdisk created vd1"}));
  EXPECT_EQ(fake::sleep_milliseconds(), std::vector<int>{5000});
  EXPECT_THAT(request_types(), ElementsAre("Login", "ClusterInformation", "AddVirtualDisk",
                                           "ClusterInformation", "AddVirtualDisk"));
}

TEST_F(Commands, ExportSucceedingOnTheSecondAttemptPausesFiveSeconds) {
  make_admin();
  queue_login("S1");
  queue_no_answer(1);
  queue_exported("node1");
  EXPECT_EQ(admin->export_vdisk("vd1"), 0);
  EXPECT_EQ(fake::log_texts(kAdminExportTag),
            (std::vector<std::string>{"Failed to export vdisk vd1", "Vdisk exported vd1"}));
  EXPECT_EQ(fake::sleep_milliseconds(), std::vector<int>{5000});
  EXPECT_THAT(request_types(), ElementsAre("Login", "Mount", "Mount"));
  EXPECT_THAT(fake::sent_requests()[1],
              AllOf(HasSubstr("virtualDisk:\"vd1\""), HasSubstr("targets:[\"node1\"]"),
                    EndsWith(",sessionId:S1}")));
}

TEST_F(Commands, CreateFailingFiveTimesReturnsTheFifthStatusAfterSeventyFiveSeconds) {
  make_admin();
  queue_login("S1");
  for (int i = 0; i < 5; ++i) {
    queue_capacity();
    fake::queue_reply(R"({"result":[{"name":"vd1","status":"failed"}]})");
  }
  EXPECT_EQ(admin->create_vdisk("vd1"), -1);
  EXPECT_EQ(fake::log_texts(kAdminCreateTag),
            std::vector<std::string>(5, "Failed to create vdisk vd1"));
  EXPECT_EQ(fake::sleep_milliseconds(), kAllPauses);
  EXPECT_EQ(sends_and_pauses().back(), "ZUSLEEP_InTeRnAl(25000)");
  EXPECT_EQ(fake::journal_with("RKLibCurl::RKLibCurlSendHttpReq").size(), 11u);  // one login
}

TEST_F(Commands, ExportFailingFiveTimesReturnsTheFifthStatusAfterSeventyFiveSeconds) {
  make_admin();
  queue_login("S1");
  queue_exported("another-node");
  queue_no_answer(4);
  EXPECT_EQ(admin->export_vdisk("vd1"), -1);
  EXPECT_EQ(fake::log_texts(kAdminExportTag),
            std::vector<std::string>(5, "Failed to export vdisk vd1"));
  EXPECT_EQ(fake::sleep_milliseconds(), kAllPauses);
  EXPECT_THAT(request_types(), ElementsAre("Login", "Mount", "Mount", "Mount", "Mount", "Mount"));
}

TEST_F(Commands, OneDiskObjectServesEveryAttemptAndTheNameIsPassedOnUnchecked) {
  make_admin();
  queue_login("S1");
  // A disk handle made with an empty name says so once, when it is constructed.
  EXPECT_EQ(admin->export_vdisk(""), -1);
  EXPECT_EQ(fake::log_texts("tarnel_vdisk::tarnel_vdisk()"),
            std::vector<std::string>{"Please provide the required arguments."});
  EXPECT_EQ(fake::log_texts(kAdminExportTag),
            std::vector<std::string>(5, "Failed to export vdisk "));
  EXPECT_THAT(fake::sent_requests()[1], HasSubstr("virtualDisk:\"\""));
}

TEST_F(Commands, EachCommandLogsInAgain) {
  make_admin();
  queue_login("S1");
  queue_exported("node1");
  queue_login("S2");
  queue_exported("node1");
  EXPECT_EQ(admin->export_vdisk("vd1"), 0);
  EXPECT_EQ(admin->export_vdisk("vd2"), 0);
  EXPECT_THAT(request_types(), ElementsAre("Login", "Mount", "Login", "Mount"));
  EXPECT_THAT(fake::sent_requests()[3],
              AllOf(HasSubstr("virtualDisk:\"vd2\""), EndsWith(",sessionId:S2}")));
}

TEST_F(Commands, CreateWithoutASessionGivesUpAfterTheLoginPauses) {
  make_admin(-1);
  queue_no_answer(5);
  EXPECT_EQ(admin->create_vdisk("vd1"), -1);
  EXPECT_EQ(fake::log_texts(kAdminCreateTag),
            std::vector<std::string>{"Failed to get session ID to create vdisk vd1"});
  EXPECT_EQ(fake::sleep_milliseconds(), kAllPauses);
  EXPECT_THAT(request_types(), ElementsAre("Login", "Login", "Login", "Login", "Login"));
  EXPECT_TRUE(fake::log_texts("tarnel_vdisk::tarnel_vdisk()").empty());
}

TEST_F(Commands, ExportWithoutASessionGivesUpAfterTheLoginPauses) {
  make_admin(-1);
  queue_no_answer(5);
  EXPECT_EQ(admin->export_vdisk("vd2"), -1);
  EXPECT_EQ(fake::log_texts(kAdminExportTag),
            std::vector<std::string>{"Failed to get session ID to export vdisk vd2"});
  EXPECT_EQ(total_pause(), 75000);
  EXPECT_THAT(request_types(), ElementsAre("Login", "Login", "Login", "Login", "Login"));
}

TEST_F(Commands, WorstCaseCommandPausesFiftyThenSeventyFiveSeconds) {
  make_admin();
  queue_no_answer(4);
  queue_login("S5");
  queue_no_answer(5);
  EXPECT_EQ(admin->export_vdisk("vd1"), -1);
  EXPECT_EQ(fake::sleep_milliseconds(),
            (std::vector<int>{5000, 10000, 15000, 20000, 5000, 10000, 15000, 20000, 25000}));
  EXPECT_EQ(total_pause(), 125000);
}

TEST_F(Commands, CompletionLinesAreLevelZero) {
  make_admin(0);
  queue_login("S1");
  queue_exported("node1");
  EXPECT_EQ(admin->export_vdisk("vd1"), 0);
  EXPECT_EQ(fake::log_texts(kAdminExportTag), std::vector<std::string>{"Vdisk exported vd1"});

  make_admin(-1);
  queue_login("S1");
  queue_capacity();
  queue_created("vd1");
  EXPECT_EQ(admin->create_vdisk("vd1"), 0);
  EXPECT_TRUE(fake::log_texts(kAdminCreateTag).empty());
}

TEST_F(Commands, ExceptionsFromTheSessionPassThrough) {
  make_admin();
  fake::queue_reply(R"({"result":"not an object"})");
  EXPECT_THROW(admin->create_vdisk("vd1"), std::runtime_error);
  EXPECT_TRUE(fake::sleeps().empty());
  EXPECT_TRUE(fake::log_texts(kAdminCreateTag).empty());
}
