// Data drive enumeration: the helper command, the output format, the records
// and the failure rules, through the fake process runner.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "RkException.h"
#include "fake_host.h"
#include "tarnel_admin.h"
#include "unit_test_support.h"

// Records compare and print field by field (in the record's own namespace, so
// that the vector's comparison and GoogleTest find them).
static bool operator==(const _tarnel_data_drive& a, const _tarnel_data_drive& b) {
  return a.spid == b.spid && a.slot == b.slot && a.healthy == b.healthy && a.blk == b.blk &&
         a.mnt == b.mnt;
}

static void PrintTo(const _tarnel_data_drive& d, std::ostream* os) {
  *os << "{spid=" << ::testing::PrintToString(d.spid) << " blk=" << ::testing::PrintToString(d.blk)
      << " mnt=" << ::testing::PrintToString(d.mnt) << " slot=" << ::testing::PrintToString(d.slot)
      << " healthy=" << d.healthy << "}";
}

using ::testing::EndsWith;
using namespace unit_test;

namespace {

const char kCommand[] = "/opt/kestrix/Bayhold/rkspmhelper.py list_data_drives";

_tarnel_data_drive drive(std::string spid, std::string blk, std::string mnt, std::string slot,
                         int healthy) {
  _tarnel_data_drive d;
  d.spid = std::move(spid);
  d.slot = std::move(slot);
  d.healthy = healthy;
  d.blk = std::move(blk);
  d.mnt = std::move(mnt);
  return d;
}

using Drives = std::vector<_tarnel_data_drive>;

class DataDrives : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    fake::log_script().debugLevel = -1;  // failures and entries only
    admin.emplace("user", "secret");
  }

  // Scripts the helper's output, clears what construction recorded and
  // enumerates into `drives`.
  int enumerate(const std::string& output, Drives& drives) {
    fake::process_script().push_back(fake::exited(0, output));
    fake::journal().clear();
    fake::log_lines().clear();
    return admin->enumerate_data_drives(drives);
  }

  std::string parse_failure(const std::string& output, const std::string& line, int size) {
    return std::string("Failed to parse Command [") + kCommand + "] output [" + output +
           "] entry[" + line + "] size[" + std::to_string(size) + "]";
  }

  std::optional<tarnel_admin> admin;
  const Drives earlier{drive("old1", "/dev/sda", "/mnt/old1", "1", 1),
                       drive("old2", "/dev/sdz", "/mnt/old2", "2", 0)};
};

}  // namespace

TEST_F(DataDrives, RunsTheHelperOnceWithBothOutputsCapturedAndNoTimeoutOrMerge) {
  Drives drives;
  EXPECT_EQ(enumerate("", drives), 0);
  ASSERT_EQ(fake::process_calls().size(), 1u);
  const fake::ProcessCall& call = fake::process_calls()[0];
  EXPECT_EQ(call.command, kCommand);
  EXPECT_FALSE(call.outputNull);
  EXPECT_FALSE(call.errorNull);
  EXPECT_EQ(call.timeout, 0);
  EXPECT_FALSE(call.merge);
}

TEST_F(DataDrives, AnnouncesTheCommandAtLevelZeroBeforeRunningIt) {
  fake::log_script().debugLevel = 0;
  tarnel_admin verbose("user", "secret");
  fake::process_script().push_back(fake::exited(0, ""));
  fake::journal().clear();
  Drives drives;
  verbose.enumerate_data_drives(drives);
  EXPECT_EQ(fake::log_texts(kAdminDrivesTag),
            std::vector<std::string>{std::string("Executing command [") + kCommand + "]"});
  EXPECT_EQ(fake::journal().back(), std::string("RkProcess::system(") + kCommand + ")");

  fake::log_lines().clear();
  fake::process_script().push_back(fake::exited(0, ""));
  admin->enumerate_data_drives(drives);  // built with debug level -1
  EXPECT_TRUE(fake::log_texts(kAdminDrivesTag).empty());
}

namespace {

// An output of the helper that lists drives, and the records it makes.
struct Listing {
  const char* name;
  std::string output;
  Drives records;
};

void PrintTo(const Listing& listing, std::ostream* os) { *os << listing.name; }

class WellFormedListing : public DataDrives, public ::testing::WithParamInterface<Listing> {};

}  // namespace

TEST_P(WellFormedListing, AddsItsRecordsAfterTheCallersAndLogsEach) {
  Drives drives = earlier;
  EXPECT_EQ(enumerate(GetParam().output, drives), 0);
  Drives expected = earlier;
  std::vector<std::string> entries;
  for (const _tarnel_data_drive& d : GetParam().records) {
    expected.push_back(d);
    entries.push_back("entry spid[" + d.spid + "],blk[" + d.blk + "],mnt[" + d.mnt + "],slot[" +
                      d.slot + "],healthy[" + std::to_string(d.healthy) + "]");
  }
  EXPECT_EQ(drives, expected);
  EXPECT_EQ(fake::log_texts(kAdminDrivesTag), entries);
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, WellFormedListing,
    ::testing::Values(Listing{"EmptyOutputYieldsNoRecords", "", {}},
                      Listing{"LineEndingInABarIsOneRecord",
                              "d1|sdb|/mnt/d1|3|1|\n",
                              {drive("d1", "/dev/sdb", "/mnt/d1", "3", 1)}},
                      Listing{"RecordsFollowInLineOrder",
                              "d1|sdb|/mnt/d1|3|1|\nd2|sdc|/mnt/d2|4|0|\n",
                              {drive("d1", "/dev/sdb", "/mnt/d1", "3", 1),
                               drive("d2", "/dev/sdc", "/mnt/d2", "4", 0)}},
                      Listing{"TextAfterTheLastLineFeedIsALine",
                              "d1|sdb|/mnt/d1|3|1|",
                              {drive("d1", "/dev/sdb", "/mnt/d1", "3", 1)}},
                      Listing{"LeadingEmptyLineEndsTheListWhateverFollows",
                              "\nd1|sdb|/mnt/d1|3|1|\nnot a drive line\n",
                              {}},
                      Listing{"LinesAfterTheFirstEmptyLineAreNotRead",
                              "d1|sdb|/mnt/d1|3|1|\n\nnot a drive line\nd2|sdc|/mnt/d2|4|1|\n",
                              {drive("d1", "/dev/sdb", "/mnt/d1", "3", 1)}},
                      Listing{"FieldsKeepTheirSpaces",
                              " d1 | sdb|/mnt/d1 | 3 | 1 | \n",
                              {drive(" d1 ", "/dev/ sdb", "/mnt/d1 ", " 3 ", 1)}},
                      Listing{"EmptyFieldsAreKept", "|||||\n", {drive("", "/dev/", "", "", 0)}},
                      Listing{"IdenticalLinesGiveIdenticalRecords",
                              "d1|sdb|/mnt/d1|3|1|\nd1|sdb|/mnt/d1|3|1|\n",
                              {drive("d1", "/dev/sdb", "/mnt/d1", "3", 1),
                               drive("d1", "/dev/sdb", "/mnt/d1", "3", 1)}},
                      Listing{"CarriageReturnLandsInTheUnreadSixthField",
                              "d1|sdb|/mnt/d1|3|1|\r\nd2|sdc|/mnt/d2|4|0|\r\n",
                              {drive("d1", "/dev/sdb", "/mnt/d1", "3", 1),
                               drive("d2", "/dev/sdc", "/mnt/d2", "4", 0)}}),
    [](const ::testing::TestParamInfo<Listing>& listing) { return listing.param.name; });

namespace {

// An output with a malformed line: the first such line and its field count.
struct Malformed {
  const char* name;
  std::string output;
  std::string line;
  int fields;
};

void PrintTo(const Malformed& malformed, std::ostream* os) { *os << malformed.name; }

class MalformedListing : public DataDrives, public ::testing::WithParamInterface<Malformed> {};

}  // namespace

TEST_P(MalformedListing, FailsNamingTheFirstBadLineAndLeavesTheRecordsAsTheyWere) {
  for (const Drives& before : {Drives(), earlier}) {
    Drives drives = before;
    EXPECT_EQ(enumerate(GetParam().output, drives), -1);
    EXPECT_EQ(drives, before);
    EXPECT_EQ(fake::log_texts(kAdminDrivesTag),
              std::vector<std::string>{
                  parse_failure(GetParam().output, GetParam().line, GetParam().fields)});
  }
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, MalformedListing,
    ::testing::Values(Malformed{"FiveFields", "d1|sdb|/mnt/d1|3|1\n", "d1|sdb|/mnt/d1|3|1", 5},
                      Malformed{"SevenFields", "d1|sdb|/mnt/d1|3|1||\n", "d1|sdb|/mnt/d1|3|1||", 7},
                      Malformed{"OnlyTheFirstMalformedLineIsReported", "a|b\nc|d|e\n", "a|b", 2}),
    [](const ::testing::TestParamInfo<Malformed>& malformed) { return malformed.param.name; });

TEST_F(DataDrives, BadThirdLineRemovesThisCallsRecordsAndKeepsTheCallersRecords) {
  const std::string output = "d1|sdb|/mnt/d1|3|1|\nd2|sdc|/mnt/d2|4|1|\nno separators\n";
  Drives drives = earlier;
  EXPECT_EQ(enumerate(output, drives), -1);
  EXPECT_EQ(drives, earlier);
  EXPECT_EQ(fake::log_texts(kAdminDrivesTag),
            (std::vector<std::string>{
                "entry spid[d1],blk[/dev/sdb],mnt[/mnt/d1],slot[3],healthy[1]",
                "entry spid[d2],blk[/dev/sdc],mnt[/mnt/d2],slot[4],healthy[1]",
                parse_failure(output, "no separators", 1),
            }));
}

TEST_F(DataDrives, CarriageReturnsAreKeptInReadFieldsAndMakeALine) {
  Drives drives;
  EXPECT_EQ(enumerate("d1\r|sdb|/mnt/d1|3|1|\n", drives), 0);
  EXPECT_EQ(drives, (Drives{drive("d1\r", "/dev/sdb", "/mnt/d1", "3", 1)}));

  const std::string output = "d1|sdb|/mnt/d1|3|1|\n\r\n";
  drives.clear();
  EXPECT_EQ(enumerate(output, drives), -1);  // "\r" is not an empty line
  EXPECT_TRUE(drives.empty());
  EXPECT_EQ(fake::log_texts(kAdminDrivesTag).back(), parse_failure(output, "\r", 1));
}

TEST_F(DataDrives, ANonZeroStatusThrowsAndLeavesTheVectorUntouched) {
  fake::process_script().push_back(fake::exited(1, "d1|sdb|/mnt/d1|3|1|\n", "helper broke"));
  fake::log_lines().clear();
  Drives drives = earlier;
  try {
    admin->enumerate_data_drives(drives);
    FAIL() << "no exception";
  } catch (const RkException& e) {
    EXPECT_EQ(std::string(e.what()), std::string(kCommand) + " failed");
    EXPECT_EQ(e.function(), kAdminDrivesTag);
    EXPECT_EQ(e.code(), -1);
    EXPECT_THAT(e.file(), EndsWith("src/tarnel_admin.cpp"));
    EXPECT_GT(e.line(), 0);
  }
  EXPECT_EQ(drives, earlier);
  EXPECT_EQ(fake::log_texts(kAdminDrivesTag),
            std::vector<std::string>{std::string("Command [") + kCommand +
                                     "] failed with error [helper broke]"});
  EXPECT_EQ(fake::process_calls().size(), 1u);  // no retry
}

TEST_F(DataDrives, AnyNonZeroStatusIsAFailure) {
  fake::process_script().push_back(fake::exited(-1, ""));
  Drives drives;
  EXPECT_THROW(admin->enumerate_data_drives(drives), RkException);
}

TEST_F(DataDrives, ARunnerExceptionPassesThrough) {
  fake::process_script().push_back(fake::runner_throws());
  Drives drives = earlier;
  try {
    admin->enumerate_data_drives(drives);
    FAIL() << "no exception";
  } catch (const RkException&) {
    FAIL() << "the runner's own exception was replaced";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "scripted runner failure");
  }
  EXPECT_EQ(drives, earlier);
}

TEST_F(DataDrives, WorksOnAFacadeThatIsNotReady) {
  tarnel_admin not_ready("", "");
  fake::process_script().push_back(fake::exited(0, "d1|sdb|/mnt/d1|3|1|\n"));
  Drives drives;
  EXPECT_EQ(not_ready.enumerate_data_drives(drives), 0);
  EXPECT_EQ(drives, (Drives{drive("d1", "/dev/sdb", "/mnt/d1", "3", 1)}));
}

namespace {

struct HealthCase {
  const char* field;
  int healthy;
};

class HealthField : public DataDrives, public ::testing::WithParamInterface<HealthCase> {};

}  // namespace

TEST_P(HealthField, ConvertsLikeAtoiAndSaturatesOutOfRange) {
  Drives drives;
  ASSERT_EQ(enumerate(std::string("d1|sdb|/mnt/d1|3|") + GetParam().field + "|\n", drives), 0);
  ASSERT_EQ(drives.size(), 1u);
  EXPECT_EQ(drives[0].healthy, GetParam().healthy);
  EXPECT_EQ(fake::log_texts(kAdminDrivesTag).back(),
            "entry spid[d1],blk[/dev/sdb],mnt[/mnt/d1],slot[3],healthy[" +
                std::to_string(GetParam().healthy) + "]");
}

INSTANTIATE_TEST_SUITE_P(
    Values, HealthField,
    ::testing::Values(HealthCase{"0", 0}, HealthCase{"1", 1}, HealthCase{"-1", -1},
                      HealthCase{"healthy", 0}, HealthCase{"", 0}, HealthCase{" \t 7", 7},
                      HealthCase{"+42", 42}, HealthCase{"12abc", 12}, HealthCase{"0x1A", 0},
                      HealthCase{"- 3", 0}, HealthCase{"2147483647", INT_MAX},
                      HealthCase{"-2147483648", INT_MIN}, HealthCase{"2147483648", INT_MAX},
                      HealthCase{"-2147483649", INT_MIN},
                      HealthCase{"99999999999999999999999999", INT_MAX},
                      HealthCase{"-99999999999999999999999999", INT_MIN}));
