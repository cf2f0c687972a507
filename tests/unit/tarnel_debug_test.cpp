#include "tarnel_debug.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include "fake_host.h"
#include "tarnel_admin.h"
#include "tarnel_session.h"
#include "tarnel_vdisk.h"
#include "unit_test_support.h"

namespace {

class TarnelDebug : public ::testing::Test {
 protected:
  void SetUp() override { fake::reset(); }
};

const std::vector<std::string> kInitSequence = {
    "NqDebug::initialize(instance,1147741381,1,false,)",
    "NqDebug::setLogFileSize(10)",
    "NqDebug::setMaxVersion(10)",
};

}  // namespace

TEST_F(TarnelDebug, ConstructionBindsAnUnboundWriterAndInitialisesOnce) {
  tarnel_debug debug;
  EXPECT_EQ(fake::journal(), (std::vector<std::string>{
                                 "NqDebug::NqDebug(null)",
                                 kInitSequence[0],
                                 kInitSequence[1],
                                 kInitSequence[2],
                             }));
}

TEST_F(TarnelDebug, LogNameIsPublishedBeforeAnyFacadeExists) {
  EXPECT_TRUE(fake::journal().empty());
  EXPECT_EQ(tarnel_debug::sLogFileName, "RKTarnel");
}

TEST_F(TarnelDebug, CopyConstructionInitialisesTheCopyAfreshWithoutTouchingTheSource) {
  tarnel_debug source;
  fake::journal().clear();
  tarnel_debug copy(source);
  EXPECT_EQ(fake::journal_with("NqDebug::initialize").size(), 1u);
  EXPECT_EQ(fake::journal().size(), 4u);  // constructor and one init, all on the copy
  source.logMessage("f", -1, "source still writes");
  EXPECT_EQ(fake::all_log_texts(), std::vector<std::string>{"source still writes"});
}

TEST_F(TarnelDebug, CopyAssignmentRunsTheTargetsInitAgain) {
  tarnel_debug target;
  tarnel_debug source;
  fake::journal().clear();
  target = source;
  EXPECT_EQ(fake::journal(), kInitSequence);
}

TEST_F(TarnelDebug, LineAtTheDebugLevelIsWrittenAndOneHigherIsDropped) {
  fake::log_script().debugLevel = 0;
  tarnel_debug debug;
  fake::journal().clear();
  debug.logMessage("tag()", 0, "at %d", 0);
  debug.logMessage("tag()", 1, "above %d", 1);
  EXPECT_EQ(fake::all_log_texts(), std::vector<std::string>{"at 0"});
  EXPECT_EQ(fake::journal().size(), 1u);  // the dropped line made no writer call
}

TEST_F(TarnelDebug, DebugLevelMinusOneWritesOnlyFailures) {
  fake::log_script().debugLevel = -1;
  tarnel_debug debug;
  debug.logMessage("f", 0, "completion");
  debug.logMessage("f", -1, "failure");
  debug.logMessage(0, "bare completion");
  debug.logMessage(-1, "bare failure");
  EXPECT_EQ(fake::all_log_texts(), (std::vector<std::string>{"failure", "bare failure"}));
}

TEST_F(TarnelDebug, DebugLevelBelowMinusOneDropsEveryMessageButNoError) {
  fake::log_script().debugLevel = -2;
  tarnel_debug debug;
  debug.logMessage("f", -1, "failure");
  debug.logMessage(-1, 5ul, "with id");
  debug.logError("f", "error %s", "one");
  debug.logError("f", 9ul, "error two");
  debug.logError("f", 3, 9ul, "error three");
  EXPECT_EQ(fake::all_log_texts(),
            (std::vector<std::string>{"error one", "error two", "error three"}));
}

TEST_F(TarnelDebug, LevelsCompareAsSignedNumbers) {
  fake::log_script().debugLevel = -1;
  tarnel_debug debug;
  debug.logMessage("f", -5, "far below");
  debug.logMessage("f", 0x7fffffff, "far above");
  EXPECT_EQ(fake::all_log_texts(), std::vector<std::string>{"far below"});
}

TEST_F(TarnelDebug, WriterArgumentsFollowTheOverload) {
  fake::log_script().debugLevel = 0;
  tarnel_debug debug;
  debug.logMessage(0, "a");
  debug.logMessage(0, 11ul, "b");
  debug.logMessage(5, 0, 7ul, "c");
  debug.logMessage("fn", 0, "d");
  debug.logMessage("fn", 0, 12ul, "e");
  debug.logMessage("fn", 6, 0, 13ul, "f");
  debug.logError("fn", "g");
  debug.logError("fn", 14ul, "h");
  debug.logError("fn", 8, 15ul, "i");
  struct Expected {
    const char* function;
    unsigned int code;
    long long id;
    const char* text;
  };
  const Expected expected[] = {
      {nullptr, 0, 0, "a"}, {nullptr, 0, 11, "b"}, {nullptr, 5, 7, "c"},
      {"fn", 0, 0, "d"},    {"fn", 0, 12, "e"},    {"fn", 6, 13, "f"},
      {"fn", 0, 0, "g"},    {"fn", 0, 14, "h"},    {"fn", 8, 15, "i"},
  };
  ASSERT_EQ(fake::log_lines().size(), 9u);
  for (size_t i = 0; i < 9; ++i) {
    const fake::LogLine& line = fake::log_lines()[i];
    SCOPED_TRACE(expected[i].text);
    EXPECT_EQ(line.severity, -1);
    EXPECT_EQ(line.functionNull, expected[i].function == nullptr);
    if (expected[i].function) {
      EXPECT_EQ(line.function, expected[i].function);
    }
    EXPECT_EQ(line.code, expected[i].code);
    EXPECT_EQ(line.category, -1);
    EXPECT_EQ(line.id, expected[i].id);
    EXPECT_TRUE(line.fileNull);
    EXPECT_EQ(line.format, expected[i].text);
  }
}

TEST_F(TarnelDebug, CodeLevelIdFormFiltersOnTheLevel) {
  fake::log_script().debugLevel = 0;
  tarnel_debug debug;
  debug.logMessage(5, 0, 7ul, "written");
  debug.logMessage(0, 5, 7ul, "dropped");
  debug.logMessage("fn", 5, 0, 7ul, "written too");
  debug.logMessage("fn", 0, 5, 7ul, "dropped too");
  ASSERT_EQ(fake::log_lines().size(), 2u);
  EXPECT_EQ(fake::log_lines()[0].code, 5u);
  EXPECT_EQ(fake::log_lines()[0].id, 7);
  EXPECT_EQ(fake::log_lines()[1].text, "written too");
}

TEST_F(TarnelDebug, ArgumentsReachTheWriterAsAFormatAndItsList) {
  tarnel_debug debug;
  debug.logMessage("fn", -1, "%s=%d (%.2f) [%s]", "k", 42, 1.5, "");
  EXPECT_EQ(fake::all_log_texts(), std::vector<std::string>{"k=42 (1.50) []"});
  EXPECT_EQ(fake::log_lines()[0].format, "%s=%d (%.2f) [%s]");
}

TEST_F(TarnelDebug, ChangedDebugLevelTakesEffectWithTheNextMessage) {
  fake::log_script().debugLevel = -1;
  tarnel_debug debug;
  debug.logMessage("f", 1, "dropped");
  fake::log_script().debugLevel = 1;
  debug.init();  // the writer sets the descriptor's level anew
  debug.logMessage("f", 1, "written");
  EXPECT_EQ(fake::all_log_texts(), std::vector<std::string>{"written"});
}

TEST_F(TarnelDebug, ExceptionFromInitializeLeavesTheConstructor) {
  fake::log_script().throwOnInitialize = true;
  EXPECT_THROW(tarnel_debug debug, std::runtime_error);
  // the writer that was constructed has been destroyed on the way out
  EXPECT_EQ(fake::journal().back(), "NqDebug::~NqDebug()");
}

TEST_F(TarnelDebug, ExceptionFromTheWriterPassesThroughAMessage) {
  tarnel_debug debug;
  fake::log_script().throwOnMessage = true;
  EXPECT_THROW(debug.logMessage("f", -1, "boom"), std::runtime_error);
  EXPECT_THROW(debug.logError("f", "boom"), std::runtime_error);
  fake::log_script().throwOnMessage = false;
  debug.logMessage("f", -1, "still usable");
  EXPECT_EQ(fake::all_log_texts(), std::vector<std::string>{"still usable"});
}

// Operators and host tools search the log by the tags of the library's lines:
// each operation writes its lines under its own fixed text.
TEST_F(TarnelDebug, EachOperationLogsUnderItsFixedTag) {
  using unit_test::queue_login;
  const std::pair<const char*, std::function<void()>> rows[] = {
      {"tarnel_admin::tarnel_admin()", [] { tarnel_admin("", ""); }},
      {"tarnel_admin::get_tarnel_session()",
       [] {
         queue_login();
         std::string id;
         tarnel_admin("u", "p").get_tarnel_session(id);
       }},
      {"tarnel_admin::create_vdisk()",
       [] {
         queue_login();
         unit_test::queue_capacity();
         unit_test::queue_created("d");
         tarnel_admin("u", "p").create_vdisk("d");
       }},
      {"tarnel_admin::export_vdisk()",
       [] {
         queue_login();
         unit_test::queue_exported("node1");
         tarnel_admin("u", "p").export_vdisk("d");
       }},
      {"tarnel_admin::enumerate_data_drives()",
       [] {
         std::vector<_tarnel_data_drive> drives;
         tarnel_admin("u", "p").enumerate_data_drives(drives);
       }},
      {"tarnel_session::tarnel_req_rsp()", [] { tarnel_session().get_tarnel_session(); }},
      {"tarnel_session::get_tarnel_session()",
       [] {
         fake::queue_reply("{}");
         tarnel_session().get_tarnel_session();
       }},
      {"tarnel_vdisk::tarnel_vdisk()", [] { tarnel_vdisk("", "", ""); }},
      {"tarnel_vdisk::get_cluster_space",
       [] {
         fake::queue_reply("{}");
         tarnel_vdisk("S", "d", "h").get_cluster_space();
       }},
      {"tarnel_vdisk::create_vdisk()", [] { tarnel_vdisk("S", "d", "h").create_vdisk(); }},
      {"tarnel_vdisk::export_vdisk()", [] { tarnel_vdisk("S", "d", "h").export_vdisk(); }},
  };
  for (const auto& [tag, act] : rows) {
    SCOPED_TRACE(tag);
    fake::reset();
    act();
    EXPECT_FALSE(fake::log_texts(tag).empty());
  }
}
