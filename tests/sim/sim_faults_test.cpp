// Fault rules: their flag and JSON forms, how requests are counted against
// them, and the bodies of injected replies as the library would read them.
#include <gtest/gtest.h>

#include <string>

#include "RkJson.h"
#include "fault_injector.h"
#include "sim_test_support.h"

using json_spirit::mObject;
using tarnel_sim::FaultInjector;
using tarnel_sim::FaultKind;
using tarnel_sim::FaultRule;
using tarnel_sim::RequestType;

namespace {

FaultRule rule_of(const std::string& text) {
  std::string error;
  const std::optional<FaultRule> rule = tarnel_sim::parse_fault_rule(text, error);
  EXPECT_TRUE(rule.has_value()) << text << ": " << error;
  return rule.value_or(FaultRule());
}

std::string rule_error(const std::string& text) {
  std::string error;
  EXPECT_FALSE(tarnel_sim::parse_fault_rule(text, error).has_value()) << text;
  return error;
}

std::string json_of(const FaultRule& rule) {
  return tarnel_sim::body_text(tarnel_sim::fault_rule_to_json(rule));
}

std::optional<FaultRule> from_json(const std::string& text, std::string& error) {
  return tarnel_sim::fault_rule_from_json(sim_test::parse_json(text), error);
}

// Which fault each of `count` requests of `type` meets ("-" for none).
std::string outcomes(FaultInjector& faults, RequestType type, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) {
    const std::optional<FaultRule> rule = faults.take(type);
    out += rule ? (rule->kind == FaultKind::Status ? std::to_string(rule->status)
                                                   : tarnel_sim::fault_name(rule->kind))
                : "-";
    out += ' ';
  }
  return out;
}

tarnel_sim::RequestValue request(const std::string& text) {
  tarnel_sim::ParseResult parsed = tarnel_sim::parse_request_text(text);
  EXPECT_TRUE(parsed.ok) << text;
  return std::move(parsed.value);
}

}  // namespace

TEST(SimFaults, ReadsTheFlagForm) {
  EXPECT_EQ(json_of(rule_of("AddVirtualDisk:status=503,times=4")),
            R"({"fault":"status","request":"AddVirtualDisk","skip":0,"status":503,"times":4})");
  EXPECT_EQ(json_of(rule_of("Login:status")),
            R"({"fault":"status","request":"Login","skip":0,"status":500})");
  EXPECT_EQ(json_of(rule_of("*:delay=2000,skip=1")),
            R"({"delayMs":2000,"fault":"delay","request":"*","skip":1})");
  EXPECT_EQ(json_of(rule_of("Mount:commit-drop,skip=2,times=1")),
            R"({"fault":"commit-drop","request":"Mount","skip":2,"times":1})");
  for (const char* kind : {"malformed", "truncated", "wrong-types", "drop", "expire-session"}) {
    EXPECT_EQ(tarnel_sim::fault_name(rule_of(std::string("ClusterInformation:") + kind).kind),
              std::string(kind));
  }
}

TEST(SimFaults, RefusesBadFlagFormsWithAReason) {
  EXPECT_NE(rule_error("Login").find("REQUEST:FAULT"), std::string::npos);
  EXPECT_NE(rule_error("Logout:drop").find("unknown request type"), std::string::npos);
  EXPECT_NE(rule_error("Login:explode").find("unknown fault"), std::string::npos);
  EXPECT_NE(rule_error("Login:").find("unknown fault"), std::string::npos);
  EXPECT_NE(rule_error("Login:status=200").find("between 400 and 599"), std::string::npos);
  EXPECT_NE(rule_error("Login:status=abc").find("whole number"), std::string::npos);
  EXPECT_NE(rule_error("Login:delay").find("delay=MILLISECONDS"), std::string::npos);
  EXPECT_NE(rule_error("Login:delay=0").find("between 1 and"), std::string::npos);
  EXPECT_NE(rule_error("Login:drop=5").find("takes no value"), std::string::npos);
  EXPECT_NE(rule_error("Login:drop,times=0").find("at least 1"), std::string::npos);
  EXPECT_NE(rule_error("Login:drop,often=2").find("unknown option"), std::string::npos);
  EXPECT_NE(rule_error("Login:drop,").find("unknown option"), std::string::npos);
  EXPECT_NE(rule_error("Login:drop,times=-1").find("whole number"), std::string::npos);
}

TEST(SimFaults, ReadsTheJsonForm) {
  std::string error;
  const auto status =
      from_json(R"({"request":"Login","fault":"status","status":503,"times":2,"skip":1})", error);
  ASSERT_TRUE(status) << error;
  EXPECT_EQ(json_of(*status),
            R"({"fault":"status","request":"Login","skip":1,"status":503,"times":2})");
  const auto delay = from_json(R"({"request":"*","fault":"delay","delayMs":1500})", error);
  ASSERT_TRUE(delay) << error;
  EXPECT_EQ(delay->delay.count(), 1500);
  EXPECT_FALSE(delay->request.has_value());
  const auto flag_form = from_json(R"({"rule":"Mount:drop,times=1"})", error);
  ASSERT_TRUE(flag_form) << error;
  EXPECT_EQ(json_of(*flag_form), R"({"fault":"drop","request":"Mount","skip":0,"times":1})");

  const char* const invalid[] = {
      R"({"fault":"drop"})",
      R"({"request":"Login"})",
      R"({"request":"Login","fault":"drop","extra":1})",
      R"({"request":"Login","fault":"drop","status":500})",
      R"({"request":"Login","fault":"status","delayMs":5})",
      R"({"request":"Login","fault":"delay"})",
      R"({"request":"Login","fault":"status","status":"503"})",
      R"({"request":"Login","fault":"status","times":0})",
      R"({"request":"Login","fault":"status","skip":-1})",
      R"({"request":"Nope","fault":"drop"})",
      R"({"rule":"Mount:drop","times":1})",
  };
  for (const char* text : invalid) {
    error.clear();
    EXPECT_FALSE(from_json(text, error).has_value()) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

TEST(SimFaults, FailsTheNextNMatchingRequestsThenLetsThemThrough) {
  FaultInjector faults;
  faults.add(rule_of("AddVirtualDisk:status=503,times=4"));
  EXPECT_EQ(outcomes(faults, RequestType::Login, 1), "- ");
  EXPECT_EQ(outcomes(faults, RequestType::AddVirtualDisk, 6), "503 503 503 503 - - ");
  EXPECT_TRUE(faults.rules().empty());
}

TEST(SimFaults, SkipsThenAppliesAndTheFirstMatchingRuleDecides) {
  FaultInjector faults;
  faults.add(rule_of("Login:drop,skip=2,times=1"));
  faults.add(rule_of("*:status=502,times=2"));
  faults.add(rule_of("Login:malformed"));
  // Login 1 and 2: the first rule skips them and the second applies.
  // Login 3: the first rule. Then the third rule, for good.
  EXPECT_EQ(outcomes(faults, RequestType::Login, 5), "502 502 drop malformed malformed ");
  EXPECT_EQ(outcomes(faults, RequestType::Mount, 1), "- ");
  ASSERT_EQ(faults.rules().size(), 1u);
  faults.clear();
  EXPECT_EQ(outcomes(faults, RequestType::Login, 1), "- ");
}

TEST(SimFaults, WrongTypesBreakTheMembersTheLibraryReads) {
  const FaultRule rule = rule_of("*:wrong-types");
  const std::string login = tarnel_sim::injected_body(rule, RequestType::Login,
                                                      request(sim_test::login_text("u", "p", "c")));
  const mObject login_reply = sim_test::parse_json(login);
  EXPECT_THROW(login_reply.at("result").get_obj().at("sessionId").get_str(), std::runtime_error);

  const mObject info = sim_test::parse_json(tarnel_sim::injected_body(
      rule, RequestType::ClusterInformation, request(sim_test::cluster_information_text("S"))));
  const mObject& total = info.at("result").get_obj().at("capacity").get_obj().at("total").get_obj();
  EXPECT_THROW(total.at("units").get_str(), std::runtime_error);
  EXPECT_THROW(total.at("value").get_real(), std::runtime_error);

  const std::string add =
      tarnel_sim::injected_body(rule, RequestType::AddVirtualDisk,
                                request(sim_test::add_virtual_disk_text("vd1", "1.00", "S")));
  EXPECT_EQ(add, R"({"result":[{"name":["vd1"],"status":true}]})");
  const std::string mount = tarnel_sim::injected_body(
      rule, RequestType::Mount, request(sim_test::mount_text("vd1", "node7", "S")));
  EXPECT_EQ(mount, R"({"result":[{"status":true,"target":["node7"]}]})");
}

TEST(SimFaults, InjectedBodiesForTheOtherFaults) {
  const tarnel_sim::RequestValue add = request(sim_test::add_virtual_disk_text("vd1", "1.00", "S"));
  mObject ignored;
  EXPECT_FALSE(RkJson::Unserialize(
      tarnel_sim::injected_body(rule_of("*:malformed"), RequestType::AddVirtualDisk, add),
      ignored));
  EXPECT_EQ(tarnel_sim::injected_body(rule_of("*:truncated"), RequestType::AddVirtualDisk, add),
            R"({"result":[{"name":"vd1","status":"ok"}]})");
  EXPECT_EQ(tarnel_sim::injected_body(rule_of("*:status=503"), RequestType::AddVirtualDisk, add),
            R"({"error":{"code":"InjectedFault","message":"injected HTTP status 503"}})");
  EXPECT_EQ(
      tarnel_sim::injected_body(rule_of("*:expire-session"), RequestType::AddVirtualDisk, add),
      R"({"error":{"code":"SessionExpired","message":"the session has expired"}})");
}
