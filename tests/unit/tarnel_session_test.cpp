#include "tarnel_session.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "fake_host.h"
#include "unit_test_support.h"

using namespace unit_test;

namespace {

const char kForm[] = "application/x-www-form-urlencoded";

// The session keeps its identifier without an accessor. An explicit
// instantiation may name a private member, so this pair of declarations
// hands the test a pointer to it.
struct StoredIdTag {
  using type = std::string tarnel_session::*;
};
StoredIdTag::type stored_id_member(StoredIdTag);
template <typename Tag, typename Tag::type Member>
struct StoredIdAccess {
  friend typename Tag::type stored_id_member(Tag) { return Member; }
};
template struct StoredIdAccess<StoredIdTag, &tarnel_session::session_id>;

const std::string& stored_id(const tarnel_session& session) {
  return session.*stored_id_member(StoredIdTag());
}

std::vector<std::string> client_calls() { return fake::journal_with("RKLibCurl::"); }

class Exchange : public ::testing::Test {
 protected:
  void SetUp() override { fake::reset(); }
};

class Login : public ::testing::Test {
 protected:
  void SetUp() override { fake::reset(); }
};

}  // namespace

// ---- the exchange: what reaches the client ----

TEST_F(Exchange, TypeZeroSetsItsThreeOptionsInOrderAndSendsToTheLocalEndpoint) {
  fake::utils_script().hostname = "nodeA";
  fake::queue_reply("{\"k\":\"v\"}");
  tarnel_session session;
  fake::journal().clear();
  json_spirit::mObject reply;
  ASSERT_EQ(session.tarnel_req_rsp(RK_HTTP_GET, "request={type:X}", &reply, false, "text/plain"),
            0);
  EXPECT_EQ(client_calls(), (std::vector<std::string>{
                                "RKLibCurl::RKLibCurl()",
                                "RKLibCurl::RKLibCurlInit(Content-Type: text/plain)",
                                "RKLibCurl::toggleTrace(false)",
                                "RKLibCurl::RKLibCurlSetAdditionalOptionsIntValue(99,1)",
                                "RKLibCurl::RKLibCurlSetAdditionalOptionsIntValue(44,0)",
                                "RKLibCurl::RKLibCurlSetAdditionalOptionsStringValue(10036,GET)",
                                "RKLibCurl::RKLibCurlSendHttpReq(0)",
                                "RKLibCurl::GetHttpResponse()",
                            }));
  ASSERT_EQ(fake::http_clients().size(), 1u);
  const fake::HttpClientRecord& client = fake::http_clients()[0];
  EXPECT_FALSE(client.initVerbose);
  EXPECT_FALSE(client.initKeepAlive);
  EXPECT_TRUE(client.initCallbackNull);
  EXPECT_EQ(client.url, "nodeA:8080/rest?request={type:X}");
  EXPECT_EQ(client.sendType, 0);
  EXPECT_TRUE(client.bodyNull);
  EXPECT_EQ(client.bodyLength, 0u);
  EXPECT_TRUE(client.sendFlag);
  EXPECT_TRUE(client.userPasswordNull);
  EXPECT_EQ(reply, (json_spirit::mObject{{"k", json_spirit::mValue("v")}}));
}

TEST_F(Exchange, TypesOneAndTwoSetNoOptionAndPassTheirTypeOn) {
  for (_http_req_type_ type : {RK_HTTP_PUT, RK_HTTP_POST}) {
    SCOPED_TRACE(static_cast<int>(type));
    fake::reset();
    fake::queue_reply("{}");
    tarnel_session session;
    json_spirit::mObject reply;
    ASSERT_EQ(session.tarnel_req_rsp(type, "r", &reply, false, kForm), 0);
    const fake::HttpClientRecord& client = fake::http_clients().at(0);
    EXPECT_TRUE(client.intOptions.empty());
    EXPECT_TRUE(client.stringOptions.empty());
    EXPECT_EQ(client.sendType, static_cast<int>(type));
    EXPECT_EQ(client.header, std::string("Content-Type: ") + kForm);
    // The client may keep the line's pointer: it is still the line at the send.
    EXPECT_EQ(client.sentHeader, client.header);
  }
}

TEST_F(Exchange, UnknownTypeSendsNothingAndLogsNothing) {
  for (int raw : {3, -1}) {
    SCOPED_TRACE(raw);
    fake::reset();
    fake::queue_reply("{}");
    tarnel_session session;
    json_spirit::mObject reply;
    EXPECT_EQ(session.tarnel_req_rsp(static_cast<_http_req_type_>(raw), "r", &reply, false, kForm),
              -1);
    EXPECT_TRUE(fake::sent_requests().empty());
    EXPECT_TRUE(fake::journal_with("RKLibCurl::RKLibCurlSet").empty());
    EXPECT_TRUE(fake::log_lines().empty());
  }
}

TEST_F(Exchange, RequestTextIsTheQueryStringUnchanged) {
  fake::queue_reply("{}");
  fake::queue_reply("{}");
  tarnel_session session;
  json_spirit::mObject first, second;
  ASSERT_EQ(session.tarnel_req_rsp(RK_HTTP_POST, "", &first, false, kForm), 0);
  ASSERT_EQ(session.tarnel_req_rsp(RK_HTTP_POST, "a \"b\" {c}", &second, false, kForm), 0);
  EXPECT_EQ(fake::http_clients()[0].url, "node1:8080/rest?");
  EXPECT_EQ(fake::http_clients()[1].url, "node1:8080/rest?a \"b\" {c}");
}

TEST_F(Exchange, FlagArgumentChangesNothing) {
  fake::queue_reply("{\"a\":1}");
  fake::queue_reply("{\"a\":1}");
  tarnel_session session;
  json_spirit::mObject withFalse, withTrue;
  fake::journal().clear();
  ASSERT_EQ(session.tarnel_req_rsp(RK_HTTP_GET, "r", &withFalse, false, "text/plain"), 0);
  const std::vector<std::string> firstCalls = fake::journal();
  fake::journal().clear();
  ASSERT_EQ(session.tarnel_req_rsp(RK_HTTP_GET, "r", &withTrue, true, "text/plain"), 0);
  std::vector<std::string> secondCalls = fake::journal();
  // the second exchange also releases the first client
  ASSERT_FALSE(secondCalls.empty());
  EXPECT_EQ(secondCalls[1], "RKLibCurl::~RKLibCurl()");
  secondCalls.erase(secondCalls.begin() + 1);
  EXPECT_EQ(firstCalls, secondCalls);
  EXPECT_EQ(withFalse, withTrue);
}

// ---- the exchange: judging what came back ----

TEST_F(Exchange, HttpErrorStatusWithAValidBodyCountsWhenTheSendWasCarriedOut) {
  fake::http_script().push_back(fake::reply("{\"error\":\"busy\"}", 500));
  tarnel_session session;
  json_spirit::mObject reply;
  EXPECT_EQ(session.tarnel_req_rsp(RK_HTTP_POST, "r", &reply, false, kForm), 0);
  EXPECT_EQ(reply.at("error").get_str(), "busy");
}

TEST_F(Exchange, FailedSendWithAReplyLogsStatusAndReply) {
  fake::log_script().debugLevel = -1;
  fake::http_script().push_back(fake::failed_send(503, "{\"error\":\"down\"}"));
  tarnel_session session;
  json_spirit::mObject reply;
  EXPECT_EQ(session.tarnel_req_rsp(RK_HTTP_POST, "r", &reply, false, kForm), -1);
  EXPECT_EQ(fake::log_texts(kExchangeTag),
            std::vector<std::string>{
                "Failed to send curl request. HTTP code [503], HTTP resp [{\"error\":\"down\"}]"});
  EXPECT_EQ(fake::log_lines()[0].format,
            "Failed to send curl request. HTTP code [%d], HTTP resp [%s]");
}

TEST_F(Exchange, FailedSendWithoutAReplyLogsNoAnswer) {
  fake::log_script().debugLevel = -1;
  fake::HttpExchange empty = fake::failed_send(0);
  fake::HttpExchange null = empty;
  null.replyNull = true;
  for (const fake::HttpExchange& scripted : {empty, null}) {
    fake::log_lines().clear();
    fake::http_script().push_back(scripted);
    tarnel_session session;
    json_spirit::mObject reply;
    EXPECT_EQ(session.tarnel_req_rsp(RK_HTTP_POST, "r", &reply, false, kForm), -1);
    EXPECT_EQ(fake::log_texts(kExchangeTag), std::vector<std::string>{"No answer received"});
  }
}

TEST_F(Exchange, CarriedOutSendWithoutAReplyLogsNoAnswer) {
  fake::log_script().debugLevel = -1;
  fake::HttpExchange null = fake::no_answer();
  null.replyNull = true;
  fake::http_script().push_back(null);
  fake::http_script().push_back(fake::no_answer());
  tarnel_session session;
  json_spirit::mObject reply;
  EXPECT_EQ(session.tarnel_req_rsp(RK_HTTP_POST, "r", &reply, false, kForm), -1);
  EXPECT_EQ(session.tarnel_req_rsp(RK_HTTP_POST, "r", &reply, false, kForm), -1);
  EXPECT_EQ(fake::log_texts(kExchangeTag),
            (std::vector<std::string>{"No answer received", "No answer received"}));
}

TEST_F(Exchange, ReplyIsTakenByTheReportedLengthNotUpToANulByte) {
  // Cut at the NUL byte the text would be a valid object; whole, it is not.
  fake::http_script().push_back(fake::reply(std::string("{\"a\":1}\0{\"b\":2}", 15)));
  tarnel_session session;
  json_spirit::mObject reply;
  EXPECT_EQ(session.tarnel_req_rsp(RK_HTTP_POST, "r", &reply, false, kForm), -1);
  EXPECT_EQ(fake::log_lines().at(0).format, "Failed to unserialize json string [%s]");
}

TEST_F(Exchange, ReplyTheCodecRejectsIsLoggedAtLevelOne) {
  fake::log_script().debugLevel = 1;
  fake::queue_reply("not json");
  {
    tarnel_session session;
    json_spirit::mObject reply;
    EXPECT_EQ(session.tarnel_req_rsp(RK_HTTP_POST, "r", &reply, false, kForm), -1);
  }
  EXPECT_EQ(fake::log_texts(kExchangeTag),
            std::vector<std::string>{"Failed to unserialize json string [not json]"});

  fake::reset();
  fake::log_script().debugLevel = 0;
  fake::queue_reply("[1,2]");
  tarnel_session session;
  json_spirit::mObject reply;
  EXPECT_EQ(session.tarnel_req_rsp(RK_HTTP_POST, "r", &reply, false, kForm), -1);
  EXPECT_TRUE(fake::log_lines().empty());
}

TEST_F(Exchange, ParsedReplyIsLoggedInFullAtLevelMinusOne) {
  fake::log_script().debugLevel = -1;
  fake::queue_reply("{\"result\":{\"sessionId\":\"s-1\"}}");
  tarnel_session session;
  json_spirit::mObject reply;
  EXPECT_EQ(session.tarnel_req_rsp(RK_HTTP_GET, "secret request", &reply, false, "text/plain"), 0);
  EXPECT_EQ(fake::log_texts(kExchangeTag),
            std::vector<std::string>{
                "Curl response for session: [{\"result\":{\"sessionId\":\"s-1\"}}]"});
  // neither the request text nor the URL is logged
  EXPECT_EQ(fake::log_lines()[0].text.find("secret"), std::string::npos);
}

TEST_F(Exchange, EchoedLoginPasswordIsMaskedInEveryLoggedReplyButNotInTheReplyObject) {
  fake::log_script().debugLevel = 1;
  // The password as given, as the request carries it, escaped once more, and
  // percent-encoded (of the clear and the carried form) with either hex case.
  const std::string password = "Pa ss\\n%";
  const std::string forms[] = {"Pa ss\\n%",         "Pa ss\\\\n%",       "Pa ss\\\\\\\\n%",
                               "Pa%20ss%5C%5Cn%25", "Pa%20ss%5c%5cn%25", "Pa%20ss%5Cn%25",
                               "Pa%20ss%5cn%25"};
  tarnel_session session("u", "c", password);
  for (const std::string& form : forms) {
    SCOPED_TRACE(form);
    fake::log_lines().clear();
    const std::string echo = "{\"message\":\"cannot handle " + form + "\"}";
    fake::http_script().push_back(fake::failed_send(500, echo));
    fake::queue_reply(echo);
    fake::queue_reply("<html>" + form);
    json_spirit::mObject failed, parsed, rejected;
    EXPECT_EQ(session.tarnel_req_rsp(RK_HTTP_GET, "r", &failed, false, kForm), -1);
    EXPECT_EQ(session.tarnel_req_rsp(RK_HTTP_GET, "r", &parsed, false, kForm), 0);
    EXPECT_EQ(session.tarnel_req_rsp(RK_HTTP_GET, "r", &rejected, false, kForm), -1);
    EXPECT_EQ(fake::log_texts(kExchangeTag),
              (std::vector<std::string>{
                  "Failed to send curl request. HTTP code [500], HTTP resp "
                  "[{\"message\":\"cannot handle ***\"}]",
                  "Curl response for session: [{\"message\":\"cannot handle ***\"}]",
                  "Failed to unserialize json string [<html>***]"}));
    EXPECT_EQ(parsed.at("message").get_str().find("***"), std::string::npos);
  }

  // A short password would blank out ordinary text: it is left as it is.
  fake::log_lines().clear();
  fake::queue_reply("{\"echo\":\"pw1\"}");
  tarnel_session shortPassword("u", "c", "pw1");
  json_spirit::mObject reply;
  ASSERT_EQ(shortPassword.tarnel_req_rsp(RK_HTTP_GET, "r", &reply, false, kForm), 0);
  EXPECT_EQ(fake::log_texts(kExchangeTag),
            std::vector<std::string>{"Curl response for session: [{\"echo\":\"pw1\"}]"});
}

TEST_F(Exchange, ClientThatFailsToInitialiseEndsTheExchange) {
  fake::log_script().debugLevel = -1;
  fake::HttpExchange broken;
  broken.initResult = false;
  fake::http_script().push_back(broken);
  tarnel_session session;
  json_spirit::mObject reply;
  EXPECT_EQ(session.tarnel_req_rsp(RK_HTTP_GET, "r", &reply, false, "text/plain"), -1);
  EXPECT_EQ(fake::log_texts(kExchangeTag), std::vector<std::string>{"Unable to init curl object."});
  EXPECT_TRUE(fake::sent_requests().empty());
  EXPECT_TRUE(fake::http_clients()[0].traces.empty());
}

TEST_F(Exchange, NullReplyObjectEndsTheExchangeBeforeAnythingHappens) {
  fake::queue_reply("{}");
  tarnel_session session;
  fake::journal().clear();
  EXPECT_EQ(session.tarnel_req_rsp(RK_HTTP_GET, "r", nullptr, false, "text/plain"), -1);
  EXPECT_TRUE(fake::journal().empty());
  EXPECT_TRUE(fake::http_clients().empty());
  EXPECT_TRUE(fake::log_lines().empty());
}

TEST_F(Exchange, ClientConstructionFailurePassesThrough) {
  fake::HttpExchange throwing;
  throwing.throwOnConstruct = true;
  fake::http_script().push_back(throwing);
  tarnel_session session;
  json_spirit::mObject reply;
  EXPECT_THROW(session.tarnel_req_rsp(RK_HTTP_GET, "r", &reply, false, "text/plain"),
               std::runtime_error);
}

// ---- the exchange: trace switch and client lifetime ----

TEST_F(Exchange, TraceKeyIsReadAnewOnEveryExchange) {
  tarnel_session session;
  json_spirit::mObject reply;
  auto exchange_once = [&]() {
    fake::queue_reply("{}");
    ASSERT_EQ(session.tarnel_req_rsp(RK_HTTP_POST, "r", &reply, false, kForm), 0);
  };
  exchange_once();  // key absent
  fake::utils_script().keys["dEnableCurlTraceLogging"] = fake::status(0, "0");
  exchange_once();
  fake::utils_script().keys["dEnableCurlTraceLogging"] = fake::status(0, "1");
  exchange_once();
  fake::utils_script().keys["dEnableCurlTraceLogging"] = fake::status(1, "1");  // unreadable
  exchange_once();
  ASSERT_EQ(fake::http_clients().size(), 4u);
  EXPECT_EQ(fake::http_clients()[0].traces, std::vector<bool>{false});
  EXPECT_EQ(fake::http_clients()[1].traces, std::vector<bool>{false});
  EXPECT_EQ(fake::http_clients()[2].traces, (std::vector<bool>{false, true}));
  EXPECT_EQ(fake::http_clients()[3].traces, std::vector<bool>{false});
  EXPECT_EQ(fake::journal_with("rkmx_utils::get_reg_key(dEnableCurlTraceLogging)").size(), 4u);
}

TEST_F(Exchange, EachExchangeHasANewClientAndReleasesTheOldOne) {
  fake::queue_reply("{}");
  fake::queue_reply("{}");
  {
    tarnel_session session;
    EXPECT_TRUE(fake::http_clients().empty());
    json_spirit::mObject reply;
    ASSERT_EQ(session.tarnel_req_rsp(RK_HTTP_POST, "r", &reply, false, kForm), 0);
    EXPECT_FALSE(fake::http_clients()[0].destroyed);
    ASSERT_EQ(session.tarnel_req_rsp(RK_HTTP_POST, "r", &reply, false, kForm), 0);
    ASSERT_EQ(fake::http_clients().size(), 2u);
    EXPECT_TRUE(fake::http_clients()[0].destroyed);
    EXPECT_FALSE(fake::http_clients()[1].destroyed);
    EXPECT_TRUE(fake::http_clients()[1].initCalled);
  }
  EXPECT_TRUE(fake::http_clients()[1].destroyed);  // the session released its last client
}

TEST_F(Exchange, FailedExchangeKeepsItsClientUntilTheNext) {
  fake::http_script().push_back(fake::failed_send(0));
  fake::queue_reply("{}");
  tarnel_session session;
  json_spirit::mObject reply;
  ASSERT_EQ(session.tarnel_req_rsp(RK_HTTP_POST, "r", &reply, false, kForm), -1);
  EXPECT_FALSE(fake::http_clients()[0].destroyed);
  ASSERT_EQ(session.tarnel_req_rsp(RK_HTTP_POST, "r", &reply, false, kForm), 0);
  EXPECT_TRUE(fake::http_clients()[0].destroyed);
}

TEST_F(Exchange, ConstructorsTakeTheLocalHostNameAndLogNothing) {
  fake::utils_script().hostname = "host-9";
  tarnel_session plain;
  tarnel_session with_credentials("u", "c", "p");
  EXPECT_EQ(fake::journal_with("rkmx_utils::get_hostname()").size(), 2u);
  EXPECT_TRUE(fake::log_lines().empty());
  EXPECT_TRUE(fake::http_clients().empty());
  fake::queue_reply("{}");
  json_spirit::mObject reply;
  ASSERT_EQ(with_credentials.tarnel_req_rsp(RK_HTTP_POST, "q", &reply, false, kForm), 0);
  EXPECT_EQ(fake::http_clients()[0].url, "host-9:8080/rest?q");
}

// ---- login ----

TEST_F(Login, SendsTheLoginRequestAsATypeZeroExchange) {
  fake::queue_reply("{\"result\":{\"sessionId\":\"abc-123\"}}");
  tarnel_session session("admin", "clusterA", "pw");
  EXPECT_EQ(session.get_tarnel_session(), "abc-123");
  EXPECT_EQ(fake::sent_requests(),
            std::vector<std::string>{"request={type:Login,category:UserManagement,params:{"
                                     "userName:\"admin\",password:\"pw\",cluster:\"clusterA\"}}"});
  const fake::HttpClientRecord& client = fake::http_clients().at(0);
  EXPECT_EQ(client.sendType, 0);
  EXPECT_EQ(client.header, "Content-Type: text/plain");
  EXPECT_EQ(client.intOptions.size(), 2u);
  EXPECT_TRUE(fake::log_texts(kLoginTag).empty());  // success adds no line of its own
  EXPECT_EQ(stored_id(session), "abc-123");
}

TEST_F(Login, DefaultConstructedSessionSendsEmptyValuesInTheirQuotes) {
  fake::queue_reply("{}");
  tarnel_session session;
  EXPECT_EQ(session.get_tarnel_session(), "");
  EXPECT_EQ(fake::sent_requests(),
            std::vector<std::string>{"request={type:Login,category:UserManagement,params:{"
                                     "userName:\"\",password:\"\",cluster:\"\"}}"});
}

TEST_F(Login, QuotedValuesAreWrittenWithJsonStringEscaping) {
  fake::queue_reply("{}");
  tarnel_session session("ad\"min", std::string("c\x01l\nu"), "p\\w\"}, x");
  session.get_tarnel_session();
  EXPECT_EQ(
      fake::sent_requests(),
      std::vector<std::string>{
          "request={type:Login,category:UserManagement,params:{"
          "userName:\"ad\\\"min\",password:\"p\\\\w\\\"}, x\",cluster:\"c\\u0001l\\u000au\"}}"});
}

TEST_F(Login, ExtraKeysChangeNothing) {
  fake::queue_reply(
      "{\"a\":1,\"result\":{\"x\":[1],\"sessionId\":\"id-7\",\"z\":null},\"zz\":\"q\"}");
  tarnel_session session("u", "c", "p");
  EXPECT_EQ(session.get_tarnel_session(), "id-7");
}

TEST_F(Login, MissingKeysLogOneLineAndReturnTheEmptyText) {
  fake::log_script().debugLevel = -1;
  for (const char* reply :
       {"{\"Result\":{\"sessionId\":\"s\"}}", "{\"result\":{\"sessionid\":\"s\"}}"}) {
    SCOPED_TRACE(reply);
    fake::log_lines().clear();
    fake::queue_reply(reply);
    tarnel_session session("u", "c", "p");
    EXPECT_EQ(session.get_tarnel_session(), "");
    EXPECT_EQ(fake::log_texts(kLoginTag),
              std::vector<std::string>{"Unable to get a tarnel session"});
  }
}

TEST_F(Login, FailedExchangeAddsNoLineOfItsOwn) {
  fake::http_script().push_back(fake::failed_send(401, "{\"error\":\"denied\"}"));
  tarnel_session session("u", "c", "p");
  EXPECT_EQ(session.get_tarnel_session(), "");
  EXPECT_TRUE(fake::log_texts(kLoginTag).empty());
  EXPECT_EQ(fake::log_texts(kExchangeTag).size(), 1u);
}

TEST_F(Login, WrongTypesThrowTheJsonTypeError) {
  struct Case {
    const char* reply;
    const char* message;
  };
  const Case cases[] = {
      {"{\"result\":\"s\"}", "value type is 2 not 0"},
      {"{\"result\":[]}", "value type is 1 not 0"},
      {"{\"result\":{\"sessionId\":42}}", "value type is 4 not 2"},
      {"{\"result\":{\"sessionId\":null}}", "value type is 6 not 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    fake::queue_reply(c.reply);
    tarnel_session session("u", "c", "p");
    EXPECT_EQ(type_error_of([&] { session.get_tarnel_session(); }), c.message);
    EXPECT_TRUE(fake::log_texts(kLoginTag).empty());
  }
}

TEST_F(Login, EmptySessionIdIsStoredAndReturned) {
  fake::queue_reply("{\"result\":{\"sessionId\":\"first\"}}");
  fake::queue_reply("{\"result\":{\"sessionId\":\"\"}}");
  tarnel_session session("u", "c", "p");
  ASSERT_EQ(session.get_tarnel_session(), "first");
  EXPECT_EQ(session.get_tarnel_session(), "");
  EXPECT_EQ(stored_id(session), "");
  EXPECT_TRUE(fake::log_texts(kLoginTag).empty());
}

TEST_F(Login, FailedLoginKeepsTheIdentifierOfAnEarlierSuccess) {
  fake::queue_reply("{\"result\":{\"sessionId\":\"first\"}}");
  fake::queue_reply("{\"result\":{}}");
  fake::http_script().push_back(fake::failed_send(500));
  fake::queue_reply("{\"result\":{\"sessionId\":7}}");
  fake::queue_reply("{\"result\":{\"sessionId\":\"second\"}}");
  tarnel_session session("u", "c", "p");
  ASSERT_EQ(session.get_tarnel_session(), "first");
  EXPECT_EQ(session.get_tarnel_session(), "");
  EXPECT_EQ(stored_id(session), "first");
  EXPECT_EQ(session.get_tarnel_session(), "");
  EXPECT_EQ(stored_id(session), "first");
  EXPECT_THROW(session.get_tarnel_session(), std::runtime_error);
  EXPECT_EQ(stored_id(session), "first");
  EXPECT_EQ(session.get_tarnel_session(), "second");
  EXPECT_EQ(stored_id(session), "second");
  EXPECT_EQ(fake::http_clients().size(), 5u);  // one client per login
}
