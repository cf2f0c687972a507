// The simulator's HTTP front served in this process on a free loopback port:
// the four requests with their state, every fault, the control and state
// endpoints, the request log with passwords redacted, and a reply while
// hundreds of idle connections are open.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "RkJson.h"
#include "sim_test_support.h"

using json_spirit::mArray;
using json_spirit::mObject;
using sim_test::add_virtual_disk_text;
using sim_test::cluster_information_text;
using sim_test::InProcessSim;
using sim_test::login_text;
using sim_test::mount_text;
using sim_test::RawReply;

namespace {

std::string error_code(const RawReply& reply) {
  return sim_test::parse_json(reply.body).at("error").get_obj().at("code").get_str();
}

const mArray& requests(const mObject& state) { return state.at("requests").get_array(); }

const mObject& last_request(const mObject& state) { return requests(state).back().get_obj(); }

std::string member(const mObject& object, const std::string& key) {
  const auto found = object.find(key);
  if (found == object.end()) return "<absent>";
  return found->second.type() == json_spirit::str_type ? found->second.get_str()
                                                       : std::to_string(found->second.get_int());
}

}  // namespace

TEST(SimServer, ServesTheLibrarysRequestsAndLogsThemAsReceived) {
  InProcessSim sim;
  const std::string login = login_text("tarnel", sim_test::kPassword, "c1");
  const RawReply logged_in = sim.rest("GET", login);
  ASSERT_EQ(logged_in.status, 200) << logged_in.bytes;
  const std::string session =
      sim_test::parse_json(logged_in.body).at("result").get_obj().at("sessionId").get_str();

  const RawReply info = sim.rest("POST", cluster_information_text(session));
  EXPECT_EQ(info.status, 200);
  EXPECT_EQ(info.body, R"({"result":{"capacity":{"allocated":{"units":"TB","value":0.0},)"
                       R"("total":{"units":"TB","value":10.0}}}})");
  const RawReply created = sim.rest("POST", add_virtual_disk_text("vd1", "5688.89", session));
  EXPECT_EQ(created.status, 200);
  EXPECT_EQ(created.body, R"({"result":[{"name":"vd1","status":"ok"}]})");
  const RawReply mounted = sim.rest("PUT", mount_text("vd1", "node7", session));
  EXPECT_EQ(mounted.status, 200);
  EXPECT_EQ(mounted.body, R"({"result":[{"status":"ok","target":"node7"}]})");

  const mObject state = sim.state();
  ASSERT_EQ(state.at("disks").get_array().size(), 1u);
  EXPECT_EQ(state.at("disks").get_array()[0].get_obj().at("name").get_str(), "vd1");
  ASSERT_EQ(state.at("mounts").get_array().size(), 1u);
  EXPECT_EQ(state.at("mounts").get_array()[0].get_obj().at("target").get_str(), "node7");
  EXPECT_EQ(state.at("sessions").get_int(), 1);

  const mArray& log = requests(state);
  ASSERT_EQ(log.size(), 4u);
  const std::string methods[] = {"GET", "POST", "POST", "PUT"};
  const std::string names[] = {"Login", "ClusterInformation", "AddVirtualDisk", "Mount"};
  const std::string texts[] = {R"(request={type:Login,category:UserManagement,params:{)"
                               R"(userName:"tarnel",password:"***",cluster:"c1"}})",
                               cluster_information_text(session),
                               add_virtual_disk_text("vd1", "5688.89", session),
                               mount_text("vd1", "node7", session)};
  for (std::size_t i = 0; i < 4; ++i) {
    const mObject& entry = log[i].get_obj();
    EXPECT_EQ(entry.at("seq").get_int(), static_cast<int>(i + 1));
    EXPECT_EQ(entry.at("method").get_str(), methods[i]);
    EXPECT_EQ(entry.at("request").get_str(), names[i]);
    EXPECT_EQ(entry.at("text").get_str(), texts[i]);
    EXPECT_EQ(entry.at("status").get_int(), 200);
    EXPECT_EQ(entry.count("fault"), 0u);
  }
  const std::string whole = sim_test::raw_exchange(sim.port(), "GET", "/state").body;
  EXPECT_EQ(whole.find("S3cr"), std::string::npos);
}

TEST(SimServer, NamesWithQuotesBracesSpacesDelAndNonAsciiArriveIntact) {
  InProcessSim sim;
  const std::string session = sim.login();
  // DEL (0x7f) needs no escape in a JSON string, so the library sends it raw.
  const std::string name = "my \"disk\" {1} [a,b]: x&y#z+w\\ caf\xc3\xa9 %41 x\x7fy";
  const std::string host =
      "n\xc3\xb6"
      "de 7&#";
  const RawReply created = sim.rest("POST", add_virtual_disk_text(name, "1.00", session));
  ASSERT_EQ(created.status, 200) << created.bytes;
  EXPECT_EQ(created.body,
            "{\"result\":[{\"name\":\"" + sim_test::escaped(name) + "\",\"status\":\"ok\"}]}");
  const RawReply mounted = sim.rest("PUT", mount_text(name, host, session));
  ASSERT_EQ(mounted.status, 200) << mounted.bytes;
  EXPECT_EQ(mounted.body,
            "{\"result\":[{\"status\":\"ok\",\"target\":\"" + sim_test::escaped(host) + "\"}]}");

  const mObject state = sim.state();
  EXPECT_EQ(state.at("disks").get_array()[0].get_obj().at("name").get_str(), name);
  EXPECT_EQ(state.at("mounts").get_array()[0].get_obj().at("virtualDisk").get_str(), name);
  EXPECT_EQ(state.at("mounts").get_array()[0].get_obj().at("target").get_str(), host);
  EXPECT_EQ(last_request(state).at("text").get_str(), mount_text(name, host, session));
}

TEST(SimServer, DecodesOnlyPercentEscapesSoAPlusStaysAPlus) {
  InProcessSim sim;
  const std::string session = sim.login();
  const std::string target =
      "/rest?request=%7Btype:AddVirtualDisk,category:VirtualDiskManagement,params:%7Bname:"
      "%22a+b%22,protectionPolicy:%22Erasure%22,erasureConfig:%22RS_4_2%22,backupType:"
      "%22FILER%22,size:%7Bunit:%22GB%22,value:1%7D,diskType:NFS,scsi3pr:false%7D,sessionId:" +
      session + "%7D";
  const RawReply reply = sim_test::raw_exchange(sim.port(), "POST", target);
  EXPECT_EQ(reply.body, R"({"result":[{"name":"a+b","status":"ok"}]})");
}

TEST(SimServer, RefusesBadQueriesAndTextsAndLogsThemRedacted) {
  InProcessSim sim;
  struct Case {
    std::string target;
    std::string code;
    std::string logged_text;
  };
  const Case cases[] = {
      {"/rest", "BadRequest", ""},
      {"/rest?other=1", "BadRequest", ""},
      {"/rest?request=%7Ba:%ZZ%7D", "BadRequest", ""},
      {"/rest?request=%7Ba:b%7", "BadRequest", ""},
      {"/rest?request=" + sim_test::percent_encode(
                              "{type:Login,category:UserManagement,params:{password:\"x\"y\"}}"),
       "MalformedRequest", "request={type:Login,category:UserManagement,params:{password***"},
      {sim_test::rest_target("request={type:Logout,category:UserManagement}"), "UnknownRequest",
       "request={type:Logout,category:UserManagement}"},
      {sim_test::rest_target("request={type:Login,category:ClusterWatch}"), "UnknownRequest",
       "request={type:Login,category:ClusterWatch}"},
      {sim_test::rest_target("request={category:ClusterWatch}"), "UnknownRequest",
       "request={category:ClusterWatch}"},
      {"/rest?request=%7Ba:%FF%7D", "MalformedRequest", "request={a:\xef\xbf\xbd}"},
  };
  for (const Case& c : cases) {
    const RawReply reply = sim_test::raw_exchange(sim.port(), "GET", c.target);
    EXPECT_EQ(reply.status, 400) << c.target;
    EXPECT_EQ(error_code(reply), c.code) << c.target;
    const mObject state = sim.state();
    const mObject& entry = last_request(state);
    EXPECT_EQ(entry.at("status").get_int(), 400) << c.target;
    EXPECT_EQ(entry.at("error").get_str(), c.code) << c.target;
    EXPECT_EQ(entry.at("text").get_str(), c.logged_text) << c.target;
  }
  const RawReply malformed = sim.rest("GET", "request={type:Login,");
  EXPECT_NE(sim_test::parse_json(malformed.body)
                .at("error")
                .get_obj()
                .at("message")
                .get_str()
                .find("at offset 20"),
            std::string::npos);
}

TEST(SimServer, AnswersUnknownEndpointsWithJson) {
  InProcessSim sim;
  const RawReply reply = sim_test::raw_exchange(sim.port(), "GET", "/nowhere");
  EXPECT_EQ(reply.status, 404);
  EXPECT_EQ(error_code(reply), "NotFound");
  EXPECT_EQ(sim_test::raw_exchange(sim.port(), "DELETE", "/rest?request=x").status, 404);
}

TEST(SimServer, InjectsAnHttpErrorStatus) {
  InProcessSim sim;
  const RawReply set = sim.control(
      R"({"action":"fault","request":"Login","fault":"status","status":503,"times":1})");
  ASSERT_EQ(set.status, 200);
  const RawReply reply = sim.rest("GET", login_text("tarnel", sim_test::kPassword, "c1"));
  EXPECT_EQ(reply.status, 503);
  EXPECT_EQ(reply.body,
            R"({"error":{"code":"InjectedFault","message":"injected HTTP status 503"}})");
  const mObject state = sim.state();
  EXPECT_EQ(state.at("sessions").get_int(), 0);
  EXPECT_EQ(member(last_request(state), "fault"), "status");
  EXPECT_EQ(member(last_request(state), "status"), "503");
  EXPECT_EQ(member(last_request(state), "error"), "InjectedFault");
  EXPECT_FALSE(sim.login().empty());
}

TEST(SimServer, InjectsMalformedJsonAndWrongMemberTypes) {
  InProcessSim sim;
  const std::string session = sim.login();
  sim.control(R"({"action":"fault","rule":"ClusterInformation:malformed,times=1"})");
  sim.control(R"({"action":"fault","rule":"ClusterInformation:wrong-types,times=1"})");
  const RawReply malformed = sim.rest("POST", cluster_information_text(session));
  EXPECT_EQ(malformed.status, 200);
  mObject ignored;
  EXPECT_FALSE(RkJson::Unserialize(malformed.body, ignored)) << malformed.body;
  const RawReply wrong = sim.rest("POST", cluster_information_text(session));
  EXPECT_EQ(wrong.status, 200);
  EXPECT_EQ(wrong.body, R"({"result":{"capacity":{"total":{"units":1024,"value":"12.5"}}}})");
  EXPECT_EQ(member(last_request(sim.state()), "fault"), "wrong-types");
  EXPECT_EQ(sim.rest("POST", cluster_information_text(session)).status, 200);
}

TEST(SimServer, InjectsATruncatedReply) {
  InProcessSim sim;
  sim.control(R"({"action":"fault","rule":"Login:truncated,times=1"})");
  const RawReply reply = sim.rest("GET", login_text("tarnel", sim_test::kPassword, "c1"));
  EXPECT_EQ(reply.status, 200);
  const std::string whole = R"({"result":{"sessionId":"00000000000000000000000000000000"}})";
  EXPECT_EQ(reply.content_length, static_cast<long long>(whole.size()));
  EXPECT_EQ(reply.body, whole.substr(0, whole.size() / 2));
  EXPECT_EQ(sim.state().at("sessions").get_int(), 0);
}

TEST(SimServer, InjectsADroppedConnection) {
  InProcessSim sim;
  const std::string session = sim.login();
  sim.control(R"({"action":"fault","request":"Mount","fault":"drop","times":1})");
  ASSERT_EQ(sim.rest("POST", add_virtual_disk_text("vd1", "1.00", session)).status, 200);
  const RawReply reply = sim.rest("PUT", mount_text("vd1", "node7", session));
  EXPECT_EQ(reply.bytes, "");
  const mObject state = sim.state();
  EXPECT_TRUE(state.at("mounts").get_array().empty());
  EXPECT_EQ(member(last_request(state), "fault"), "drop");
  EXPECT_EQ(member(last_request(state), "status"), "0");
  EXPECT_EQ(sim.rest("PUT", mount_text("vd1", "node7", session)).status, 200);
}

TEST(SimServer, DelaysAReplyThenServesIt) {
  std::mutex mutex;
  std::vector<long long> pauses;
  InProcessSim sim(
      tarnel_sim::StateOptions(), [] { return std::chrono::steady_clock::now(); },
      [&](std::chrono::milliseconds delay) {
        std::lock_guard<std::mutex> lock(mutex);
        pauses.push_back(delay.count());
      });
  sim.control(R"({"action":"fault","request":"*","fault":"delay","delayMs":1500,"times":1})");
  EXPECT_FALSE(sim.login().empty());
  {
    std::lock_guard<std::mutex> lock(mutex);  // ThreadSanitizer does not see the reply's ordering
    EXPECT_EQ(pauses, std::vector<long long>{1500});
  }
  EXPECT_EQ(member(last_request(sim.state()), "fault"), "delay");
  EXPECT_EQ(member(last_request(sim.state()), "status"), "200");
}

TEST(SimServer, StoppingEndsAHeldBackReplyEarly) {
  RawReply reply;
  std::thread client;
  struct Joiner {
    std::thread& thread;
    ~Joiner() {
      if (thread.joinable()) thread.join();
    }
  } joiner{client};
  {
    InProcessSim sim;
    sim.control(
        R"({"action":"fault","request":"Login","fault":"delay","delayMs":3600000,"times":1})");
    const int port = sim.port();
    client = std::thread([&reply, port] {
      reply = sim_test::raw_exchange(
          port, "GET", sim_test::rest_target(login_text("tarnel", sim_test::kPassword, "c1")));
    });
    // The rule is used up once the request is being held back.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!sim.state().at("faults").get_array().empty() &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(sim.state().at("faults").get_array().empty());
  }  // stops the server while the reply is held back
  client.join();
  EXPECT_EQ(reply.status, 200);
}

TEST(SimServer, InjectsAnExpiredSession) {
  InProcessSim sim;
  const std::string session = sim.login();
  sim.control(R"({"action":"fault","rule":"ClusterInformation:expire-session,times=1"})");
  const RawReply reply = sim.rest("POST", cluster_information_text(session));
  EXPECT_EQ(reply.status, 401);
  EXPECT_EQ(error_code(reply), "SessionExpired");
  EXPECT_EQ(error_code(sim.rest("POST", cluster_information_text(session))), "InvalidSession");
  EXPECT_EQ(sim.rest("POST", cluster_information_text(sim.login())).status, 200);
}

TEST(SimServer, CommitsThenDropsTheReplySoARetryMeetsItsOwnDisk) {
  InProcessSim sim;
  const std::string session = sim.login();
  sim.control(R"({"action":"fault","rule":"AddVirtualDisk:commit-drop,times=1"})");
  EXPECT_EQ(sim.rest("POST", add_virtual_disk_text("vd1", "1.00", session)).bytes, "");
  const mObject state = sim.state();
  ASSERT_EQ(state.at("disks").get_array().size(), 1u);
  EXPECT_EQ(member(last_request(state), "fault"), "commit-drop");
  EXPECT_EQ(member(last_request(state), "status"), "0");
  const RawReply retry = sim.rest("POST", add_virtual_disk_text("vd1", "1.00", session));
  EXPECT_EQ(retry.status, 409);
  EXPECT_EQ(error_code(retry), "DuplicateVirtualDisk");
}

TEST(SimServer, EveryFaultButCommitDropLeavesTheStateAlone) {
  for (const char* fault :
       {"status", "malformed", "truncated", "wrong-types", "drop", "expire-session"}) {
    InProcessSim sim;
    const std::string session = sim.login();
    sim.control(std::string(R"({"action":"fault","request":"AddVirtualDisk","times":1,"fault":")") +
                fault + "\"}");
    sim.rest("POST", add_virtual_disk_text("vd1", "1.00", session));
    EXPECT_TRUE(sim.state().at("disks").get_array().empty()) << fault;
    EXPECT_EQ(member(last_request(sim.state()), "fault"), fault);
    const std::string next = std::string(fault) == "expire-session" ? sim.login() : session;
    EXPECT_EQ(sim.rest("POST", add_virtual_disk_text("vd1", "1.00", next)).status, 200) << fault;
  }
}

TEST(SimServer, FailsTheNextNThenSucceeds) {
  InProcessSim sim;
  sim.control(R"({"action":"fault","rule":"Login:status=500,times=2"})");
  const std::string login = login_text("tarnel", sim_test::kPassword, "c1");
  EXPECT_EQ(sim.rest("GET", login).status, 500);
  EXPECT_EQ(sim.state().at("faults").get_array()[0].get_obj().at("times").get_int(), 1);
  EXPECT_EQ(sim.rest("GET", login).status, 500);
  EXPECT_TRUE(sim.state().at("faults").get_array().empty());
  EXPECT_EQ(sim.rest("GET", login).status, 200);
}

TEST(SimServer, FaultsAddedByTheProgramApplyToo) {
  InProcessSim sim;
  std::string error;
  sim.faults().add(*tarnel_sim::parse_fault_rule("Login:status=418", error));
  EXPECT_EQ(sim.rest("GET", login_text("tarnel", sim_test::kPassword, "c1")).status, 418);
  EXPECT_EQ(sim.state().at("faults").get_array().size(), 1u);  // no times: stays
}

TEST(SimServer, ControlEndpointRefusesBadCommands) {
  InProcessSim sim;
  const std::string bad[] = {
      "",
      "not json",
      R"({"request":"Login","fault":"drop"})",
      R"({"action":"explode"})",
      R"({"action":7})",
      R"({"action":"fault","request":"Login","fault":"boom"})",
      R"({"action":"fault","rule":"Login"})",
      R"({"action":"clear-faults","now":true})",
  };
  for (const std::string& body : bad) {
    const RawReply reply = sim.control(body);
    EXPECT_EQ(reply.status, 400) << body;
    EXPECT_EQ(error_code(reply), "BadControl") << body;
  }
  EXPECT_TRUE(sim.state().at("faults").get_array().empty());
}

TEST(SimServer, ControlEndpointListsClearsExpiresAndResets) {
  InProcessSim sim;
  const std::string session = sim.login();
  ASSERT_EQ(sim.rest("POST", add_virtual_disk_text("vd1", "1.00", session)).status, 200);
  const RawReply added = sim.control(R"({"action":"fault","rule":"Mount:drop,skip=1"})");
  EXPECT_EQ(added.body, R"({"faults":[{"fault":"drop","request":"Mount","skip":1}],"ok":true})");
  EXPECT_EQ(sim.control(R"({"action":"clear-faults"})").body, R"({"faults":[],"ok":true})");

  EXPECT_EQ(sim.control(R"({"action":"expire-sessions"})").status, 200);
  EXPECT_EQ(error_code(sim.rest("POST", cluster_information_text(session))), "InvalidSession");

  sim.control(R"({"action":"fault","rule":"*:drop"})");
  EXPECT_EQ(sim.control(R"({"action":"reset"})").body, R"({"faults":[],"ok":true})");
  const mObject state = sim.state();
  EXPECT_TRUE(state.at("disks").get_array().empty());
  EXPECT_TRUE(state.at("requests").get_array().empty());
  EXPECT_EQ(state.at("sessions").get_int(), 0);
  EXPECT_FALSE(sim.login().empty());
}

TEST(SimServer, AnswersStateWhileHundredsOfIdleConnectionsAreOpen) {
  constexpr rlim_t kIdle = 500;
  // Both ends of every connection live in this process: raise the descriptor
  // limit for the test, and put it back afterwards.
  struct Limit {
    rlimit saved{};
    bool raised = false;
    ~Limit() {
      if (raised) ::setrlimit(RLIMIT_NOFILE, &saved);
    }
  } limit;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit.saved), 0);
  const rlim_t needed = 2 * kIdle + 256;
  if (limit.saved.rlim_cur < needed) {
    if (limit.saved.rlim_max < needed) GTEST_SKIP() << "RLIMIT_NOFILE cannot reach " << needed;
    rlimit raised = limit.saved;
    raised.rlim_cur = needed;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &raised), 0);
    limit.raised = true;
  }

  InProcessSim sim;
  const sim_test::HeldConnections idle(sim.port(), kIdle);

  const auto start = std::chrono::steady_clock::now();
  const RawReply reply = sim_test::raw_exchange(sim.port(), "GET", "/state");
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(reply.status, 200) << reply.bytes;
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 2000);
}

TEST(SimServer, RefusesABodyOverTheBoundHoweverSentAndEndsTheConnection) {
  // A connection the server kept open would outlast the client's read limit.
  tarnel_sim::ConnectionLimits limits;
  limits.idle_timeout = std::chrono::seconds(120);
  InProcessSim sim(
      tarnel_sim::StateOptions(), [] { return std::chrono::steady_clock::now(); },
      tarnel_sim::Pause(), limits);
  // The body as one chunk, after the request line and headers of `head`.
  const auto chunked = [](const std::string& head, const std::string& body) {
    char size[32];
    std::snprintf(size, sizeof size, "%zx", body.size());
    return head + "\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n" + size + "\r\n" + body +
           "\r\n0\r\n\r\n";
  };
  const std::string big(tarnel_sim::kMaxBodyBytes + 1, 'x');
  const struct {
    const char* request_line;
    int status;
  } cases[] = {{"POST /rest?request=x HTTP/1.1", 413},
               {"PATCH /nowhere HTTP/1.1", 413},
               {"PRI / HTTP/1.1", 405}};
  for (const auto& row : cases) {
    const auto start = std::chrono::steady_clock::now();
    const RawReply reply = sim_test::raw_send(sim.port(), chunked(row.request_line, big));
    EXPECT_EQ(reply.status, row.status) << row.request_line;
    EXPECT_LT(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count(),
        20);
  }
  const RawReply reply = sim_test::raw_send(
      sim.port(), chunked("POST /control HTTP/1.1\r\nConnection: close", R"({"action":"reset"})"));
  EXPECT_EQ(reply.body, R"({"faults":[],"ok":true})");
}
