#include "tarnel_vdisk.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <locale>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "RkJson.h"
#include "fake_host.h"
#include "unit_test_support.h"

using namespace unit_test;

namespace {

const char kFormHeader[] = "Content-Type: application/x-www-form-urlencoded";

using Space = std::pair<double, std::string>;

// A reply text that holds `object`, written by the codec.
std::string reply_with(const json_spirit::mObject& object) {
  std::string text;
  RkJson::Serialize(object, text);
  return text;
}

json_spirit::mObject record(const std::string& key, const std::string& value,
                            const std::string& status = "ok") {
  return json_spirit::mObject{{key, json_spirit::mValue(value)},
                              {"status", json_spirit::mValue(status)}};
}

// {"result":[{"id":1}, <record>]}: the record inside a list, one level down.
std::string list_reply(const json_spirit::mObject& entry) {
  json_spirit::mArray list{
      json_spirit::mValue(json_spirit::mObject{{"id", json_spirit::mValue(1)}}),
      json_spirit::mValue(entry)};
  return reply_with(json_spirit::mObject{{"result", json_spirit::mValue(list)}});
}

// Makes `locale` the process's global C++ locale for the guard's lifetime.
class GlobalLocale {
 public:
  explicit GlobalLocale(const std::locale& locale) : previous_(std::locale::global(locale)) {}
  ~GlobalLocale() { std::locale::global(previous_); }
  GlobalLocale(const GlobalLocale&) = delete;
  GlobalLocale& operator=(const GlobalLocale&) = delete;

 private:
  std::locale previous_;
};

// Decimal comma and grouped thousands, as many hosts' locales write numbers.
class CommaDecimals : public std::numpunct<char> {
 protected:
  char do_decimal_point() const override { return ','; }
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\3"; }
};

class VdiskTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::reset(); }
};

class Handle : public VdiskTest {};
class ClusterSpace : public VdiskTest {};
class Create : public VdiskTest {};
class Export : public VdiskTest {};
// What the caller's values cannot do to a request or to the reading of its
// reply: quoted values are escaped and a bare session identifier that would
// reshape a request is refused; a disk's record must be exactly its own; no
// disk of no size, or sized under the host's locale, is asked for.
class HostileValues : public VdiskTest {};

}  // namespace

// ---- the handle ----

TEST_F(Handle, ConstructionWithEveryArgumentLogsNothingAndSendsNothing) {
  tarnel_vdisk handle("sid", "vd1", "node7");
  EXPECT_TRUE(fake::log_lines().empty());
  EXPECT_TRUE(fake::http_clients().empty());
}

TEST_F(Handle, AnyEmptyArgumentLogsTheMessageOnce) {
  fake::log_script().debugLevel = -1;
  const std::vector<std::vector<std::string>> cases = {
      {"", "vd1", "node7"}, {"sid", "", "node7"}, {"sid", "vd1", ""}, {"", "", ""}};
  for (const std::vector<std::string>& args : cases) {
    fake::log_lines().clear();
    tarnel_vdisk handle(args[0], args[1], args[2]);
    EXPECT_EQ(fake::log_texts(kVdiskConstructorTag),
              std::vector<std::string>{"Please provide the required arguments."});
    EXPECT_EQ(fake::log_lines().size(), 1u);
  }
}

TEST_F(Handle, EmptyHostNameLeavesTheCapacityQueryWorking) {
  fake::queue_reply(capacity_reply("\"GB\"", "500"));
  tarnel_vdisk handle("sid", "vd1", "");
  EXPECT_EQ(handle.get_cluster_space(), Space(500.0, "GB"));
}

// ---- the capacity query ----

TEST_F(ClusterSpace, SendsClusterInformationWithTheQuotedSessionId) {
  fake::queue_reply(capacity_reply("\"TB\"", "1.5"));
  tarnel_vdisk handle("sid-42", "vd1", "node7");
  EXPECT_EQ(handle.get_cluster_space(), Space(1.5, "TB"));
  EXPECT_EQ(fake::sent_requests(), std::vector<std::string>{cluster_information_text("sid-42")});
  const fake::HttpClientRecord& client = fake::http_clients().at(0);
  EXPECT_EQ(client.sendType, 2);
  EXPECT_EQ(client.header, kFormHeader);
  EXPECT_TRUE(client.destroyed);  // the operation's own session is gone with its client
}

TEST_F(ClusterSpace, IntegerAndRealValuesBecomeDoubles) {
  const std::vector<std::pair<std::string, double>> values = {
      {"500", 500.0},
      {"-3", -3.0},
      {"2.25", 2.25},
      {"18446744073709551615", 18446744073709551615.0}};
  for (const auto& value : values) {
    SCOPED_TRACE(value.first);
    fake::queue_reply(capacity_reply("\"GB\"", value.first));
    tarnel_vdisk handle("sid", "vd1", "node7");
    EXPECT_EQ(handle.get_cluster_space(), Space(value.second, "GB"));
  }
}

TEST_F(ClusterSpace, OtherMembersAtEveryLevelAreIgnored) {
  fake::queue_reply(
      "{\"a\":[1],\"result\":{\"capacity\":{\"free\":{},\"total\":{\"units\":\"GB\",\"value\":7,"
      "\"x\":null}},\"name\":\"c\"},\"z\":true}");
  tarnel_vdisk handle("sid", "vd1", "node7");
  EXPECT_EQ(handle.get_cluster_space(), Space(7.0, "GB"));
}

TEST_F(ClusterSpace, EachMissingKeyLogsItsMessageAndYieldsTheFailurePair) {
  fake::log_script().debugLevel = -1;
  struct Case {
    const char* reply;
    const char* message;
  };
  const Case cases[] = {
      {"{\"results\":{}}", "Unable to find result key in response"},
      {"{\"result\":{\"Capacity\":{}}}", "Unable to find capacity key in response"},
      {"{\"result\":{\"capacity\":{\"used\":{}}}}", "Unable to find total key in response"},
      {"{\"result\":{\"capacity\":{\"total\":{\"value\":5}}}}",
       "Unable to find units/value key in response"},
      {"{\"result\":{\"capacity\":{\"total\":{\"units\":\"GB\"}}}}",
       "Unable to find units/value key in response"},
      {"{\"result\":{\"capacity\":{\"total\":{}}}}", "Unable to find units/value key in response"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    fake::log_lines().clear();
    fake::queue_reply(c.reply);
    tarnel_vdisk handle("sid", "vd1", "node7");
    EXPECT_EQ(handle.get_cluster_space(), Space(0, ""));
    EXPECT_EQ(fake::log_texts(kSpaceTag), std::vector<std::string>{c.message});
  }
}

TEST_F(ClusterSpace, EachWrongTypeThrowsTheJsonTypeError) {
  struct Case {
    const char* reply;
    const char* message;
  };
  const Case cases[] = {
      {"{\"result\":\"x\"}", "value type is 2 not 0"},
      {"{\"result\":{\"capacity\":[]}}", "value type is 1 not 0"},
      {"{\"result\":{\"capacity\":{\"total\":3}}}", "value type is 4 not 0"},
      {"{\"result\":{\"capacity\":{\"total\":{\"units\":1,\"value\":5}}}}",
       "value type is 4 not 2"},
      {"{\"result\":{\"capacity\":{\"total\":{\"units\":\"GB\",\"value\":\"5\"}}}}",
       "value type is 2 not 5"},
      {"{\"result\":{\"capacity\":{\"total\":{\"units\":\"GB\",\"value\":true}}}}",
       "value type is 3 not 5"},
      // both wrong: "units" is read first
      {"{\"result\":{\"capacity\":{\"total\":{\"units\":null,\"value\":\"5\"}}}}",
       "value type is 6 not 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    fake::queue_reply(c.reply);
    tarnel_vdisk handle("sid", "vd1", "node7");
    EXPECT_EQ(type_error_of([&] { handle.get_cluster_space(); }), c.message);
    EXPECT_TRUE(fake::log_texts(kSpaceTag).empty());
  }
}

TEST_F(ClusterSpace, FailedExchangeYieldsTheFailurePairWithoutALineOfItsOwn) {
  fake::http_script().push_back(fake::failed_send(500, "{}"));
  tarnel_vdisk handle("sid", "vd1", "node7");
  EXPECT_EQ(handle.get_cluster_space(), Space(0, ""));
  EXPECT_TRUE(fake::log_texts(kSpaceTag).empty());
  EXPECT_EQ(fake::log_texts("tarnel_session::tarnel_req_rsp()").size(), 1u);
}

// ---- creation ----

TEST_F(Create, SendsAddVirtualDiskSizedFromTheCapacity) {
  fake::queue_reply(capacity_reply("\"GB\"", "100"));
  fake::queue_reply(reply_with(record("name", "vd1")));
  tarnel_vdisk handle("5f2a-77", "vd1", "node7");
  EXPECT_EQ(handle.create_vdisk(), 0);
  EXPECT_EQ(fake::sent_requests(),
            (std::vector<std::string>{
                cluster_information_text("5f2a-77"),
                "request={type:AddVirtualDisk,category:VirtualDiskManagement,"
                "params:{name:\"vd1\",protectionPolicy:\"Erasure\","
                "erasureConfig:\"RS_4_2\",backupType:\"FILER\",size:{unit:"
                "\"GB\",value:58.64},diskType:NFS,scsi3pr:false},sessionId:"
                "5f2a-77}",
            }));
  EXPECT_EQ(fake::journal_with("rkmx_utils::convert_size_to_gb"),
            std::vector<std::string>{"rkmx_utils::convert_size_to_gb(100.000000,GB)"});
  const fake::HttpClientRecord& client = fake::http_clients().at(1);
  EXPECT_EQ(client.sendType, 2);
  EXPECT_EQ(client.header, kFormHeader);
}

TEST_F(Create, SizeIsScaledAndWrittenWithTwoDecimals) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"100", "58.64"}, {"1024", "600.49"}, {"1", "0.59"}, {"0.01", "0.01"}, {"2000", "1172.84"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    fake::reset();
    fake::queue_reply(capacity_reply("\"GB\"", c.first));
    fake::queue_reply("{}");
    tarnel_vdisk handle("sid", "vd1", "node7");
    handle.create_vdisk();
    ASSERT_EQ(fake::sent_requests().size(), 2u);
    EXPECT_EQ(fake::sent_requests()[1], add_virtual_disk_text("vd1", c.second, "sid"));
  }
}

TEST_F(Create, UnitIsConvertedByTheUtilityLibrary) {
  fake::queue_reply(capacity_reply("\"TB\"", "1"));
  fake::queue_reply("{}");
  tarnel_vdisk handle("sid", "vd1", "node7");
  handle.create_vdisk();
  EXPECT_EQ(fake::sent_requests().at(1), add_virtual_disk_text("vd1", "600.49", "sid"));
}

TEST_F(Create, RecordFoundAnywhereMeansSuccessAtLevelZero) {
  const std::vector<std::string> replies = {
      reply_with(record("name", "vd1")),
      list_reply(record("name", "vd1")),
      reply_with(json_spirit::mObject{
          {"a", json_spirit::mValue(json_spirit::mObject{
                    {"b", json_spirit::mValue(json_spirit::mArray{
                              json_spirit::mValue(record("name", "other")),
                              json_spirit::mValue(record("name", "vd1"))})}})}}),
  };
  for (const std::string& reply : replies) {
    SCOPED_TRACE(reply);
    fake::reset();
    fake::log_script().debugLevel = 0;
    fake::queue_reply(capacity_reply("\"GB\"", "100"));
    fake::queue_reply(reply);
    tarnel_vdisk handle("sid", "vd1", "node7");
    EXPECT_EQ(handle.create_vdisk(), 0);
    EXPECT_EQ(fake::log_texts(kVdiskCreateTag),
              std::vector<std::string>{"Successfully created vdisk : [vd1]"});
  }
  // level 0: dropped when only failures are written
  fake::reset();
  fake::log_script().debugLevel = -1;
  fake::queue_reply(capacity_reply("\"GB\"", "100"));
  fake::queue_reply(reply_with(record("name", "vd1")));
  tarnel_vdisk handle("sid", "vd1", "node7");
  EXPECT_EQ(handle.create_vdisk(), 0);
  EXPECT_TRUE(fake::log_texts(kVdiskCreateTag).empty());
}

TEST_F(Create, RecordThatIsNotExactlyOursMeansFailure) {
  json_spirit::mObject third = record("name", "vd1");
  third["size"] = json_spirit::mValue(58.64);
  const std::vector<std::string> replies = {
      list_reply(third),
      list_reply(record("name", "vd1", "failed")),
      list_reply(record("name", "xvd1")),  // a name that merely ends with ours
      list_reply(record("name", "vd1x")),
      list_reply(record("target", "vd1")),
      "{}",
  };
  for (const std::string& reply : replies) {
    SCOPED_TRACE(reply);
    fake::reset();
    fake::log_script().debugLevel = -1;
    fake::queue_reply(capacity_reply("\"GB\"", "100"));
    fake::queue_reply(reply);
    tarnel_vdisk handle("sid", "vd1", "node7");
    EXPECT_EQ(handle.create_vdisk(), -1);
    EXPECT_EQ(fake::log_texts(kVdiskCreateTag),
              std::vector<std::string>{"Failed to create vdisk : [vd1]"});
  }
}

TEST_F(Create, FailedExchangeLogsAndReturnsItsResult) {
  fake::log_script().debugLevel = -1;
  fake::queue_reply(capacity_reply("\"GB\"", "100"));
  fake::http_script().push_back(fake::failed_send(0));
  tarnel_vdisk handle("sid", "vd1", "node7");
  EXPECT_EQ(handle.create_vdisk(), -1);
  EXPECT_EQ(fake::log_texts(kVdiskCreateTag),
            std::vector<std::string>{"Failed to create vdisk : [vd1]"});
  EXPECT_EQ(fake::sent_requests().size(), 2u);
}

TEST_F(Create, CapacityTypeErrorLeavesWithoutAnAddVirtualDisk) {
  fake::queue_reply("{\"result\":\"x\"}");
  tarnel_vdisk handle("sid", "vd1", "node7");
  EXPECT_EQ(type_error_of([&] { handle.create_vdisk(); }), "value type is 2 not 0");
  EXPECT_EQ(fake::sent_requests(), std::vector<std::string>{cluster_information_text("sid")});
}

TEST_F(Create, HandleCanCreateAgainAfterAFailure) {
  fake::queue_reply(capacity_reply("\"GB\"", "100"));
  fake::queue_reply("{}");
  fake::queue_reply(capacity_reply("\"GB\"", "100"));
  fake::queue_reply(list_reply(record("name", "vd1")));
  tarnel_vdisk handle("sid", "vd1", "node7");
  EXPECT_EQ(handle.create_vdisk(), -1);
  EXPECT_EQ(handle.create_vdisk(), 0);
  EXPECT_EQ(fake::sent_requests()[1], fake::sent_requests()[3]);
}

// ---- export ----

TEST_F(Export, SendsMountForTheDiskToTheHost) {
  fake::queue_reply(list_reply(record("target", "node7")));
  tarnel_vdisk handle("sid-9", "vd1", "node7");
  EXPECT_EQ(handle.export_vdisk(), 0);
  EXPECT_EQ(fake::sent_requests(),
            std::vector<std::string>{"request={type:Mount,category:VirtualDiskManagement,params:{"
                                     "virtualDisk:\"vd1\",targets:[\"node7\"]},sessionId:sid-9}"});
  const fake::HttpClientRecord& client = fake::http_clients().at(0);
  EXPECT_EQ(client.sendType, 1);
  EXPECT_EQ(client.header, kFormHeader);
  EXPECT_TRUE(fake::journal_with("rkmx_utils::convert_size_to_gb").empty());
}

TEST_F(Export, HostRecordInsideAListMeansSuccessAtLevelZero) {
  fake::log_script().debugLevel = 0;
  fake::queue_reply(list_reply(record("target", "node7")));
  tarnel_vdisk handle("sid", "vd1", "node7");
  EXPECT_EQ(handle.export_vdisk(), 0);
  EXPECT_EQ(fake::log_texts(kVdiskExportTag),
            std::vector<std::string>{"Successfully exported vdisk : [vd1]"});
  fake::log_script().debugLevel = -1;
  fake::queue_reply(list_reply(record("target", "node7")));
  tarnel_vdisk quiet("sid", "vd1", "node7");
  fake::log_lines().clear();
  EXPECT_EQ(quiet.export_vdisk(), 0);
  EXPECT_TRUE(fake::log_texts(kVdiskExportTag).empty());
}

TEST_F(Export, RecordThatIsNotExactlyTheHostsMeansFailure) {
  json_spirit::mObject third = record("target", "node7");
  third["disk"] = json_spirit::mValue("vd1");
  const std::vector<std::string> replies = {
      list_reply(third),
      list_reply(record("target", "node7", "error")),
      list_reply(record("target", "xnode7")),  // a host that merely ends with ours
      list_reply(record("target", "node")),
      list_reply(record("name", "vd1")),
  };
  for (const std::string& reply : replies) {
    SCOPED_TRACE(reply);
    fake::reset();
    fake::log_script().debugLevel = -1;
    fake::queue_reply(reply);
    tarnel_vdisk handle("sid", "vd1", "node7");
    EXPECT_EQ(handle.export_vdisk(), -1);
    EXPECT_EQ(fake::log_texts(kVdiskExportTag),
              std::vector<std::string>{"Failed to export vdisk : [vd1]"});
  }
}

TEST_F(Export, FailedExchangeLogsAndReturnsItsResult) {
  fake::log_script().debugLevel = -1;
  fake::http_script().push_back(fake::failed_send(404, "{\"e\":1}"));
  tarnel_vdisk handle("sid", "vd1", "node7");
  EXPECT_EQ(handle.export_vdisk(), -1);
  EXPECT_EQ(fake::log_texts(kVdiskExportTag),
            std::vector<std::string>{"Failed to export vdisk : [vd1]"});
}

TEST_F(Export, EmptyHostSendsOneEmptyTargetAndNeedsAnEmptyTargetRecord) {
  fake::queue_reply(list_reply(record("target", "node7")));
  fake::queue_reply(list_reply(record("target", "")));
  tarnel_vdisk handle("sid", "vd1", "");
  EXPECT_EQ(handle.export_vdisk(), -1);
  EXPECT_EQ(handle.export_vdisk(), 0);
  EXPECT_EQ(fake::sent_requests().at(0), mount_text("vd1", "", "sid"));
}

// ---- values that could reshape a request or its reading ----

TEST_F(HostileValues, QuotedValuesAreWrittenWithJsonStringEscaping) {
  const std::string name = std::string("a\"b\\c,d:{e}[f] g\x01\n");
  const std::string host = "h\"]},sessionId:x";
  // The request texts below write the values so.
  ASSERT_EQ(request_texts::escaped(name), "a\\\"b\\\\c,d:{e}[f] g\\u0001\\u000a");
  ASSERT_EQ(request_texts::escaped(host), "h\\\"]},sessionId:x");

  fake::queue_reply(capacity_reply("\"GB\"", "100"));
  fake::queue_reply("{}");
  fake::queue_reply("{}");
  tarnel_vdisk handle("sid", name, host);
  handle.create_vdisk();
  handle.export_vdisk();
  EXPECT_EQ(fake::sent_requests(), (std::vector<std::string>{
                                       cluster_information_text("sid"),
                                       add_virtual_disk_text(name, "58.64", "sid"),
                                       mount_text(name, host, "sid"),
                                   }));
}

TEST_F(HostileValues, QuotedSessionIdOfTheCapacityQueryIsEscapedNotRefused) {
  fake::queue_reply(capacity_reply("\"GB\"", "1"));
  tarnel_vdisk handle("s\"}x\\", "vd1", "node7");
  EXPECT_EQ(handle.get_cluster_space(), Space(1.0, "GB"));
  EXPECT_EQ(fake::sent_requests(),
            std::vector<std::string>{cluster_information_text("s\\\"}x\\\\")});
}

TEST_F(HostileValues, BareSessionIdThatWouldReshapeTheRequestIsRefusedFirst) {
  const std::vector<std::string> refused = {"s\"1", "s\\1", "s,1",  "s:1",
                                            "s{1",  "s}1",  "s[1",  "s]1",
                                            "s 1",  "s\t1", "s\n1", std::string("s\x01", 2),
                                            "s\x7f"};
  for (const std::string& sid : refused) {
    SCOPED_TRACE(sid);
    fake::reset();
    fake::log_script().debugLevel = -1;
    fake::queue_reply(capacity_reply("\"GB\"", "100"));
    fake::queue_reply(list_reply(record("name", "vd1")));
    fake::queue_reply(list_reply(record("target", "node7")));
    tarnel_vdisk handle(sid, "vd1", "node7");
    fake::journal().clear();
    EXPECT_EQ(handle.create_vdisk(), -1);
    EXPECT_EQ(handle.export_vdisk(), -1);
    EXPECT_TRUE(fake::http_clients().empty());
    EXPECT_TRUE(fake::journal_with("rkmx_utils::").empty());  // no session was even made
    EXPECT_EQ(fake::log_texts(kVdiskCreateTag),
              std::vector<std::string>{"Failed to create vdisk : [vd1]"});
    EXPECT_EQ(fake::log_texts(kVdiskExportTag),
              std::vector<std::string>{"Failed to export vdisk : [vd1]"});
  }
}

TEST_F(HostileValues, BareSessionIdOfOrdinaryCharactersIsSent) {
  const std::string sid = "AbZ09-._~/+=@!";
  fake::queue_reply(capacity_reply("\"GB\"", "100"));
  fake::queue_reply(list_reply(record("name", "vd1")));
  fake::queue_reply(list_reply(record("target", "node7")));
  tarnel_vdisk handle(sid, "vd1", "node7");
  EXPECT_EQ(handle.create_vdisk(), 0);
  EXPECT_EQ(handle.export_vdisk(), 0);
  EXPECT_EQ(fake::sent_requests().at(1), add_virtual_disk_text("vd1", "58.64", sid));
  EXPECT_EQ(fake::sent_requests().at(2), mount_text("vd1", "node7", sid));
}

TEST_F(HostileValues, NameWithEscapedCharactersMatchesItsOwnRecordOnly) {
  for (const std::string& name : {std::string("a\"b"), std::string("a\\b"), std::string("a\tb"),
                                  std::string("a\x02"
                                              "b")}) {
    SCOPED_TRACE(name);
    fake::reset();
    fake::queue_reply(capacity_reply("\"GB\"", "100"));
    fake::queue_reply(list_reply(record("name", name)));
    fake::queue_reply(capacity_reply("\"GB\"", "100"));
    fake::queue_reply(list_reply(record("name", "ab")));
    fake::queue_reply(list_reply(record("target", name)));
    fake::queue_reply(list_reply(record("target", "ab")));
    tarnel_vdisk handle("sid", name, name);
    EXPECT_EQ(handle.create_vdisk(), 0);
    EXPECT_EQ(handle.create_vdisk(), -1);
    EXPECT_EQ(handle.export_vdisk(), 0);
    EXPECT_EQ(handle.export_vdisk(), -1);
  }
}

TEST_F(HostileValues, NameCannotPassOffOtherRecordsAsItsOwn) {
  // Spelled unescaped, this name's record would be the records of the disks
  // "a" and "b" standing side by side in a list.
  const std::string name = "a\",\"status\":\"ok\"},{\"name\":\"b";
  const json_spirit::mArray both{json_spirit::mValue(record("name", "a")),
                                 json_spirit::mValue(record("name", "b"))};
  const std::string reply = reply_with(json_spirit::mObject{{"result", json_spirit::mValue(both)}});
  ASSERT_NE(reply.find("{\"name\":\"" + name + "\",\"status\":\"ok\"}"), std::string::npos);
  fake::queue_reply(capacity_reply("\"GB\"", "100"));
  fake::queue_reply(reply);
  tarnel_vdisk handle("sid", name, "node7");
  EXPECT_EQ(handle.create_vdisk(), -1);
}

TEST_F(HostileValues, FailedCapacityQuerySendsNoAddVirtualDisk) {
  const std::vector<fake::HttpExchange> failures = {
      fake::failed_send(500),           // exchange fails
      fake::reply("{\"results\":{}}"),  // key missing
  };
  for (const fake::HttpExchange& failure : failures) {
    fake::reset();
    fake::log_script().debugLevel = -1;
    // even where the conversion would make something of the empty unit
    fake::utils_script().toGb = [](double, const std::string&) { return 100.0; };
    fake::http_script().push_back(failure);
    fake::queue_reply(list_reply(record("name", "vd1")));
    tarnel_vdisk handle("sid", "vd1", "node7");
    EXPECT_EQ(handle.create_vdisk(), -1);
    EXPECT_EQ(fake::sent_requests(), std::vector<std::string>{cluster_information_text("sid")});
    EXPECT_EQ(fake::log_texts(kVdiskCreateTag),
              std::vector<std::string>{"Failed to create vdisk : [vd1]"});
  }
}

TEST_F(HostileValues, SizeOfNothingSendsNoAddVirtualDisk) {
  // 0.005 GB scale to 0.0029 and are written 0.00; an unknown unit converts to 0.
  const std::vector<std::pair<std::string, std::string>> capacities = {
      {"\"GB\"", "0.005"}, {"\"GB\"", "0"}, {"\"XB\"", "100"}, {"\"GB\"", "-100"}};
  for (const auto& capacity : capacities) {
    SCOPED_TRACE(capacity.first + capacity.second);
    fake::reset();
    fake::log_script().debugLevel = -1;
    fake::queue_reply(capacity_reply(capacity.first, capacity.second));
    fake::queue_reply(list_reply(record("name", "vd1")));
    tarnel_vdisk handle("sid", "vd1", "node7");
    EXPECT_EQ(handle.create_vdisk(), -1);
    EXPECT_EQ(fake::sent_requests().size(), 1u);
    EXPECT_EQ(fake::log_texts(kVdiskCreateTag),
              std::vector<std::string>{"Failed to create vdisk : [vd1]"});
  }
}

TEST_F(HostileValues, SizeThatIsNoNumberSendsNoAddVirtualDisk) {
  for (double gigabytes :
       {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
    fake::reset();
    fake::utils_script().toGb = [gigabytes](double, const std::string&) { return gigabytes; };
    fake::queue_reply(capacity_reply("\"GB\"", "100"));
    fake::queue_reply(list_reply(record("name", "vd1")));
    tarnel_vdisk handle("sid", "vd1", "node7");
    EXPECT_EQ(handle.create_vdisk(), -1);
    EXPECT_EQ(fake::sent_requests().size(), 1u);
  }
}

TEST_F(HostileValues, SizeIsWrittenTheSameUnderAHostLocaleWithADecimalComma) {
  GlobalLocale comma(std::locale(std::locale::classic(), new CommaDecimals));
  fake::queue_reply(capacity_reply("\"GB\"", "2000"));
  fake::queue_reply(list_reply(record("name", "vd1")));
  tarnel_vdisk handle("sid", "vd1", "node7");
  EXPECT_EQ(handle.create_vdisk(), 0);
  EXPECT_EQ(fake::sent_requests().at(1), add_virtual_disk_text("vd1", "1172.84", "sid"));
}
