// The HTTP client against servers on 127.0.0.1 inside this process: an HTTP
// server, a socket that accepts and never answers, one whose accept queue is
// full, one that reads a request and ends the connection its own way, and a
// port nobody listens on. Settings come from a temporary key store and the
// log goes to a temporary directory.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "RKLibCurl.h"
#include "RkCancel.h"
#include "host_test_support.h"
#include "raw_http_server.h"

using host_test::http_reply;
using host_test::RawServer;
using host_test::read_file;
using host_test::ScopedEnv;
using host_test::TempDir;

namespace {

// ---- sockets ----

class Socket {
 public:
  Socket() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

  // Binds to 127.0.0.1 on a port the kernel picks and returns it.
  int bind_loopback() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
    socklen_t size = sizeof address;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) return -1;
    return ntohs(address.sin_port);
  }
  bool connect_loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }

 private:
  int fd_;
};

// A port on 127.0.0.1 that nobody listens on.
int closed_port() {
  Socket probe;
  return probe.bind_loopback();
}

// Completes TCP handshakes (the kernel does) but never reads or answers.
class SilentServer {
 public:
  SilentServer() : port_(socket_.bind_loopback()) { ::listen(socket_.fd(), 16); }
  int port() const { return port_; }
  // Takes every connection waiting to be accepted; how many there were.
  int take_connections() {
    int count = 0;
    for (struct pollfd wait = {socket_.fd(), POLLIN, 0}; ::poll(&wait, 1, 0) == 1; ++count) {
      ::close(::accept4(socket_.fd(), nullptr, nullptr, SOCK_CLOEXEC));
    }
    return count;
  }

 private:
  Socket socket_;
  int port_;
};

// Its accept queue holds one connection, which a filler takes, so the
// kernel drops every further connection attempt.
class FullServer {
 public:
  FullServer() : port_(socket_.bind_loopback()) {
    ::listen(socket_.fd(), 0);
    filled_ = filler_.connect_loopback(port_);
  }
  int port() const { return port_; }
  bool filled() const { return filled_; }

 private:
  Socket socket_;
  int port_;
  Socket filler_;
  bool filled_ = false;
};

// Takes one connection, reads the request's head, then, `delayMs` later,
// writes `answer` and closes (with `reset`, abortively). Every wait is bounded.
class OneShotServer {
 public:
  OneShotServer(std::string answer, bool reset, int delayMs = 0) : port_(socket_.bind_loopback()) {
    ::listen(socket_.fd(), 4);
    thread_ = std::thread(
        [this, answer = std::move(answer), reset, delayMs] { serve(answer, reset, delayMs); });
  }
  ~OneShotServer() { thread_.join(); }
  OneShotServer(const OneShotServer&) = delete;
  OneShotServer& operator=(const OneShotServer&) = delete;
  int port() const { return port_; }

 private:
  void serve(const std::string& answer, bool reset, int delayMs) {
    struct pollfd wait = {socket_.fd(), POLLIN, 0};
    if (::poll(&wait, 1, 5000) != 1) return;
    const int fd = ::accept4(socket_.fd(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    std::string head;
    char buffer[4096];
    wait = {fd, POLLIN, 0};
    while (head.find("\r\n\r\n") == std::string::npos && ::poll(&wait, 1, 5000) == 1) {
      const ssize_t got = ::read(fd, buffer, sizeof buffer);
      if (got <= 0) break;
      head.append(buffer, static_cast<size_t>(got));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    static_cast<void>(::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL));
    if (reset) {
      const struct linger abort = {1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    ::close(fd);
  }

  Socket socket_;
  int port_;
  std::thread thread_;
};

// ---- HTTP server ----

struct Seen {
  std::string method;
  std::string target;  // path and query exactly as sent
  std::string path;
  std::string request;  // the "request" parameter as the server decodes it
  std::string body;
  std::string contentType;
  std::string authorization;
  std::string host;
};

class TestServer {
 public:
  TestServer() {
    const auto record = [this](const httplib::Request& req, httplib::Response& res) {
      Seen seen{req.method,
                req.target,
                req.path,
                req.get_param_value("request"),
                req.body,
                req.get_header_value("Content-Type"),
                req.get_header_value("Authorization"),
                req.get_header_value("Host")};
      std::lock_guard<std::mutex> lock(mutex_);
      seen_.push_back(seen);
      res.set_content("{\"result\":{\"sessionId\":\"abc\"}}", "application/json");
    };
    server_.Get("/redirect", [this](const httplib::Request& req, httplib::Response& res) {
      note(req);
      res.set_redirect("/rest");
    });
    server_.Get(R"(/big/(\d+))", [this](const httplib::Request& req, httplib::Response& res) {
      note(req);
      res.set_content(std::string(std::stoul(req.matches[1]), 'x'), "text/plain");
    });
    server_.Get(R"(/chunked/(\d+))", [this](const httplib::Request& req, httplib::Response& res) {
      note(req);
      const size_t total = std::stoul(req.matches[1]);
      res.set_chunked_content_provider(
          "text/plain", [total](size_t offset, httplib::DataSink& sink) {
            if (offset >= total) {
              sink.done();
              return true;
            }
            const std::string block(std::min<size_t>(65536, total - offset), 'y');
            return sink.write(block.data(), block.size());
          });
    });
    // Handlers are matched in the order they are registered.
    server_.Get(".*", record);
    server_.Put(".*", record);
    server_.Post(".*", record);
    server_.Delete(".*", record);
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // stop() only reaches a server whose accept loop has started.
    while (!server_.is_running()) std::this_thread::yield();
  }
  ~TestServer() {
    server_.stop();
    thread_.join();
  }
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  int port() const { return port_; }
  std::string base() const { return "127.0.0.1:" + std::to_string(port_); }
  std::vector<Seen> seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }

 private:
  void note(const httplib::Request& req) {
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.push_back(Seen{req.method, req.target, req.path, "", "", "", "", ""});
  }

  httplib::Server server_;
  int port_ = -1;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<Seen> seen_;
};

// ---- the client ----

struct Result {
  int sent = -1;
  long long status = -1;
  bool replyNull = true;
  std::string reply;
  RkTransportResult transport = RK_TRANSPORT_FAILED;
  std::string text;
  bool requestSent = false;
};

Result exchange(RKLibCurl& client, int type, const std::string& url, const std::string& body = "",
                const char* userPassword = nullptr) {
  Result result;
  result.sent = client.RKLibCurlSendHttpReq(static_cast<_http_req_type_>(type), url,
                                            body.empty() ? nullptr : body.data(), body.size(), true,
                                            userPassword);
  result.status = client.GetHttpErrorCode();
  unsigned long length = 12345;
  const char* reply = client.GetHttpResponse(length, false);
  result.replyNull = reply == nullptr;
  if (reply != nullptr) result.reply.assign(reply, length);
  EXPECT_TRUE(reply != nullptr || length == 0);
  result.transport = client.GetTransportResult();
  result.text = client.GetTransportText();
  result.requestSent = client.GetRequestSent();
  return result;
}

Result exchange_once(int type, const std::string& url,
                     const char* header = "Content-Type: text/plain") {
  RKLibCurl client;
  EXPECT_TRUE(client.RKLibCurlInit(header, false, false, nullptr));
  return exchange(client, type, url);
}

// Checks a send that failed without an HTTP status or a reply: how it ended,
// and whether the request had gone out.
void expect_failed_send(const Result& result, RkTransportResult transport, bool requestSent) {
  EXPECT_EQ(result.sent, 0);
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(result.replyNull);
  EXPECT_EQ(result.transport, transport);
  EXPECT_EQ(result.requestSent, requestSent);
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Decodes %XX triples; fails on anything but unreserved characters and triples.
bool percent_decode(const std::string& text, std::string& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size() || hex_value(text[i + 1]) < 0 || hex_value(text[i + 2]) < 0) {
        return false;
      }
      out += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
      i += 2;
    } else if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_' ||
               c == '~') {
      out += c;
    } else {
      return false;
    }
  }
  return true;
}

// ---- fixture ----

class HttpClient : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<TempDir>();
    setenv("TARNEL_KEYSTORE", dir_->file("keystore.conf").c_str(), 1);
    setenv("TARNEL_LOG_DIR", dir_->path().c_str(), 1);
    unsetenv("TARNEL_CONNECT_TO");
  }
  static void TearDownTestSuite() { dir_.reset(); }

  void SetUp() override {
    write_keystore(5, 30);
    logStart_ = read_file(log_path()).size();
  }

  static void write_keystore(int connectSeconds, int requestSeconds) {
    std::ofstream out(dir_->file("keystore.conf"), std::ios::trunc);
    out << "# timeouts of the HTTP client\n"
        << "dTarnelConnectTimeout=" << connectSeconds << "\n"
        << "dTarnelRequestTimeout=" << requestSeconds << "\n";
  }
  static std::string log_path() { return dir_->file("RKTarnel.log"); }
  // What this test wrote to the log so far.
  std::string newLog() const {
    const std::string all = read_file(log_path());
    return all.size() > logStart_ ? all.substr(logStart_) : std::string();
  }

  static std::unique_ptr<TempDir> dir_;  // the suite's, from its set-up to its tear-down
  size_t logStart_ = 0;
};

std::unique_ptr<TempDir> HttpClient::dir_;

const std::string kSecretRequest =
    "request={type:Login,category:UserManagement,params:{username:\"admin\","
    "password:\"hunter2\",clusterName:\"c1\"}}";

}  // namespace

TEST_F(HttpClient, SendsEachRequestTypeWithItsMethodHeaderAndBody) {
  TestServer server;
  RKLibCurl client;
  ASSERT_TRUE(client.RKLibCurlInit("Content-Type: application/x-www-form-urlencoded", false, false,
                                   nullptr));
  EXPECT_EQ(exchange(client, 0, server.base() + "/rest?request=a").sent, 1);
  EXPECT_EQ(exchange(client, 1, server.base() + "/rest?request=b", "put body").sent, 1);
  EXPECT_EQ(exchange(client, 2, server.base() + "/rest?request=c", "post body").sent, 1);
  EXPECT_EQ(exchange(client, 2, server.base() + "/rest?request=d").sent, 1);

  const std::vector<Seen> seen = server.seen();
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0].method, "GET");
  EXPECT_EQ(seen[1].method, "PUT");
  EXPECT_EQ(seen[1].body, "put body");
  EXPECT_EQ(seen[2].method, "POST");
  EXPECT_EQ(seen[2].body, "post body");
  EXPECT_EQ(seen[3].method, "POST");
  EXPECT_EQ(seen[3].body, "");
  for (const Seen& one : seen) {
    EXPECT_EQ(one.path, "/rest");
    EXPECT_EQ(one.contentType, "application/x-www-form-urlencoded");
  }
  EXPECT_EQ(seen[0].request, "a");
  EXPECT_EQ(seen[3].request, "d");
}

TEST_F(HttpClient, TakesTheRepliesOfCarriedOutRequestsWithTheirStatus) {
  TestServer server;
  const Result result = exchange_once(0, server.base() + "/rest?request=x");
  EXPECT_EQ(result.sent, 1);
  EXPECT_EQ(result.status, 200);
  EXPECT_EQ(result.reply, "{\"result\":{\"sessionId\":\"abc\"}}");
  EXPECT_EQ(result.transport, RK_TRANSPORT_DONE);
  EXPECT_EQ(result.text, "");
  EXPECT_TRUE(result.requestSent);
}

TEST_F(HttpClient, SendsTheLibrarysGetWithItsThreeOptions) {
  TestServer server;
  RKLibCurl client;
  ASSERT_TRUE(client.RKLibCurlInit("Content-Type: text/plain", false, false, nullptr));
  EXPECT_EQ(client.RKLibCurlSetAdditionalOptionsIntValue(CURLOPT_NOSIGNAL, 1), 0);
  EXPECT_EQ(client.RKLibCurlSetAdditionalOptionsIntValue(CURLOPT_NOBODY, 0), 0);
  EXPECT_EQ(client.RKLibCurlSetAdditionalOptionsStringValue(CURLOPT_CUSTOMREQUEST, "GET"), 0);
  const Result result = exchange(client, 0, server.base() + "/rest?request=x");
  EXPECT_EQ(result.sent, 1);
  EXPECT_FALSE(result.reply.empty());
  ASSERT_EQ(server.seen().size(), 1u);
  EXPECT_EQ(server.seen()[0].method, "GET");
  EXPECT_EQ(server.seen()[0].contentType, "text/plain");
}

TEST_F(HttpClient, AppliesAdditionalOptionsToTheComingRequestOnly) {
  TestServer server;
  RKLibCurl client;
  ASSERT_TRUE(client.RKLibCurlInit("Content-Type: text/plain", false, false, nullptr));
  EXPECT_EQ(client.RKLibCurlSetAdditionalOptionsStringValue(CURLOPT_CUSTOMREQUEST, "DELETE"), 0);
  EXPECT_EQ(exchange(client, 2, server.base() + "/rest?request=1").sent, 1);
  EXPECT_EQ(exchange(client, 2, server.base() + "/rest?request=2").sent, 1);
  ASSERT_EQ(server.seen().size(), 2u);
  EXPECT_EQ(server.seen()[0].method, "DELETE");
  EXPECT_EQ(server.seen()[1].method, "POST");
}

TEST_F(HttpClient, RefusesOptionsThatWouldBreakItsGuarantees) {
  RKLibCurl client;
  ASSERT_TRUE(client.RKLibCurlInit("Content-Type: text/plain", false, false, nullptr));
  EXPECT_NE(client.RKLibCurlSetAdditionalOptionsIntValue(CURLOPT_NOSIGNAL, 0), 0);
  EXPECT_NE(client.RKLibCurlSetAdditionalOptionsIntValue(CURLOPT_FOLLOWLOCATION, 1), 0);
  EXPECT_NE(client.RKLibCurlSetAdditionalOptionsIntValue(CURLOPT_TIMEOUT, 0), 0);
  EXPECT_NE(client.RKLibCurlSetAdditionalOptionsIntValue(CURLOPT_VERBOSE, 1), 0);
  EXPECT_NE(client.RKLibCurlSetAdditionalOptionsStringValue(CURLOPT_PROXY, "http://127.0.0.1:1"),
            0);
  EXPECT_NE(client.RKLibCurlSetAdditionalOptionsStringValue(CURLOPT_URL, "http://127.0.0.1:1/"), 0);
  EXPECT_NE(client.RKLibCurlSetAdditionalOptionsStringValue(CURLOPT_CUSTOMREQUEST, "GET /x"), 0);
  EXPECT_NE(client.RKLibCurlSetAdditionalOptionsStringValue(CURLOPT_CUSTOMREQUEST, ""), 0);
}

TEST_F(HttpClient, RefusesOtherRequestTypesWithoutSending) {
  TestServer server;
  for (int type : {3, -1, 100}) {
    SCOPED_TRACE(type);
    expect_failed_send(exchange_once(type, server.base() + "/rest?request=x"), RK_TRANSPORT_FAILED,
                       false);
  }
  EXPECT_TRUE(server.seen().empty());
}

TEST_F(HttpClient, RefusesAHeaderOfMoreThanOneLineAndSendsNothingUninitialised) {
  EXPECT_FALSE(RKLibCurl().RKLibCurlInit("Content-Type: text/plain\r\nX-Injected: 1", false, false,
                                         nullptr));
  TestServer server;
  RKLibCurl client;
  EXPECT_EQ(exchange(client, 0, server.base() + "/rest?request=x").sent, 0);
  EXPECT_TRUE(server.seen().empty());
}

TEST_F(HttpClient, EncodesTheRequestTextSoThatTheServerDecodesItExactly) {
  TestServer server;
  const std::string text =
      "{type:Login,params:{username:\"a b\",password:\"p&q#r%s+t=u?v/w'x\\\"y\\\\z\","
      "name:\"caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac\",tilde:\"-._~\",empty:\"\"}}";
  EXPECT_EQ(exchange_once(2, server.base() + "/rest?request=" + text).sent, 1);
  EXPECT_EQ(exchange_once(2, server.base() + "/rest?request=").sent, 1);
  EXPECT_EQ(exchange_once(2, server.base() + "/rest?").sent, 1);
  const std::vector<Seen> seen = server.seen();
  ASSERT_EQ(seen.size(), 3u);

  EXPECT_EQ(seen[0].path, "/rest");
  EXPECT_EQ(seen[0].request, text);  // decoded by the server
  const std::string prefix = "/rest?request=";
  ASSERT_EQ(seen[0].target.compare(0, prefix.size(), prefix), 0) << seen[0].target;
  std::string decoded;
  EXPECT_TRUE(percent_decode(seen[0].target.substr(prefix.size()), decoded)) << seen[0].target;
  EXPECT_EQ(decoded, text);
  EXPECT_NE(seen[0].target.find("-._~"), std::string::npos) << "unreserved characters kept";

  EXPECT_EQ(seen[1].target, "/rest?request=");
  EXPECT_EQ(seen[1].request, "");
  EXPECT_EQ(seen[2].path, "/rest");
}

TEST_F(HttpClient, CarriesOutOnlyARequestWhoseFinalStatusIs2xxKeepingStatusAndBody) {
  // Redirects are never followed, so a 3xx is no answer either; nor is a
  // switch of protocols that was never asked for.
  struct Case {
    int status;
    int sent;
    const char* reply;  // what is kept of the body
  };
  for (const Case& c : {Case{101, 0, "{\"a\":1}"}, Case{200, 1, "{\"a\":1}"}, Case{204, 1, ""},
                        Case{301, 0, "{\"a\":1}"}, Case{302, 0, "{\"a\":1}"}, Case{304, 0, ""},
                        Case{400, 0, "{\"a\":1}"}, Case{404, 0, "{\"a\":1}"},
                        Case{500, 0, "{\"a\":1}"}, Case{503, 0, "{\"a\":1}"}}) {
    SCOPED_TRACE(c.status);
    const bool bodyless = c.status == 204 || c.status == 304;
    RawServer server([&c, bodyless](const std::string&) {
      return http_reply(bodyless ? "" : "{\"a\":1}", "", c.status);
    });
    const Result result = exchange_once(0, "127.0.0.1:" + std::to_string(server.port()) + "/rest");
    EXPECT_EQ(result.sent, c.sent);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.reply, c.reply);
    EXPECT_EQ(result.transport, RK_TRANSPORT_DONE);  // a complete reply
    EXPECT_EQ(result.text, "");
    EXPECT_EQ(server.requests().size(), 1u);
  }
}

TEST_F(HttpClient, NeverFollowsARedirect) {
  TestServer server;
  const Result result = exchange_once(0, server.base() + "/redirect");
  EXPECT_EQ(result.sent, 0);
  EXPECT_EQ(result.status, 302);
  ASSERT_EQ(server.seen().size(), 1u);
  EXPECT_EQ(server.seen()[0].path, "/redirect");
}

TEST_F(HttpClient, FailsOnARefusedConnectionAndLogsItWithoutTheQuery) {
  const int port = closed_port();
  ASSERT_GT(port, 0);
  const Result result =
      exchange_once(0, "127.0.0.1:" + std::to_string(port) + "/rest?" + kSecretRequest);
  expect_failed_send(result, RK_TRANSPORT_UNREACHABLE, false);
  EXPECT_EQ(result.text, "connection refused");
  const std::string log = newLog();
  EXPECT_NE(log.find("request to [http://127.0.0.1:" + std::to_string(port) + "/rest] failed"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("hunter2"), std::string::npos) << log;
  EXPECT_EQ(log.find("request="), std::string::npos) << log;
}

TEST_F(HttpClient, GivesUpOnAServerThatNeverAnswersAfterTheRequestTimeout) {
  write_keystore(5, 1);
  SilentServer silent;
  const Result result =
      exchange_once(0, "127.0.0.1:" + std::to_string(silent.port()) + "/rest?" + kSecretRequest);
  expect_failed_send(result, RK_TRANSPORT_TIMED_OUT, true);
  EXPECT_EQ(result.text, "timed out");
  const std::string log = newLog();
  EXPECT_NE(log.find("Operation timed out"), std::string::npos) << log;
  EXPECT_EQ(log.find("hunter2"), std::string::npos) << log;
}

TEST_F(HttpClient, GivesUpOnAConnectionThatIsNeverAcceptedAfterTheConnectTimeout) {
  write_keystore(1, 600);
  FullServer full;
  ASSERT_TRUE(full.filled());
  expect_failed_send(exchange_once(0, "127.0.0.1:" + std::to_string(full.port()) + "/rest?x"),
                     RK_TRANSPORT_TIMED_OUT, false);
  const std::string log = newLog();
  EXPECT_NE(log.find("libcurl code 28"), std::string::npos) << log;      // timed out
  EXPECT_EQ(log.find("Operation timed out"), std::string::npos) << log;  // not the total timeout
}

TEST_F(HttpClient, CapsTheReplyAt16MiB) {
  TestServer server;
  const size_t cap = 16u * 1024 * 1024;
  const Result atCap = exchange_once(0, server.base() + "/big/" + std::to_string(cap));
  EXPECT_EQ(atCap.sent, 1);
  EXPECT_EQ(atCap.reply.size(), cap);

  const Result over = exchange_once(0, server.base() + "/big/" + std::to_string(cap + 1));
  EXPECT_EQ(over.sent, 0);
  EXPECT_TRUE(over.replyNull);
  EXPECT_EQ(over.status, 200);
  EXPECT_EQ(over.transport, RK_TRANSPORT_TOO_LARGE);
  EXPECT_EQ(over.text, "reply over 16 MiB");

  // Without a length announced up front the count stops the transfer; the
  // same client then sends again.
  RKLibCurl client;
  ASSERT_TRUE(client.RKLibCurlInit("Content-Type: text/plain", false, false, nullptr));
  const Result chunked =
      exchange(client, 0, server.base() + "/chunked/" + std::to_string(cap + 4096));
  EXPECT_EQ(chunked.sent, 0);
  EXPECT_TRUE(chunked.replyNull);
  EXPECT_EQ(chunked.transport, RK_TRANSPORT_TOO_LARGE);
  EXPECT_NE(newLog().find("larger than 16777216 bytes"), std::string::npos);
  EXPECT_EQ(exchange(client, 0, server.base() + "/rest?request=x").reply,
            "{\"result\":{\"sessionId\":\"abc\"}}");
}

TEST_F(HttpClient, RoutesTheNodeEndpointToALoopbackServerWithConnectTo) {
  TestServer server;
  for (const char* target : {"127.0.0.1", "localhost"}) {
    const std::string route =
        std::string("node-under-test.invalid:8080:") + target + ":" + std::to_string(server.port());
    ScopedEnv connectTo("TARNEL_CONNECT_TO", route.c_str());
    const Result result = exchange_once(0, "node-under-test.invalid:8080/rest?request=x");
    EXPECT_EQ(result.sent, 1) << route;
  }
  const std::vector<Seen> seen = server.seen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].host, "node-under-test.invalid:8080");
  EXPECT_EQ(seen[1].host, "node-under-test.invalid:8080");
}

TEST_F(HttpClient, IgnoresConnectToWithATargetThatIsNotLoopbackAndSaysSo) {
  TestServer server;
  const int unused = closed_port();
  const std::string endpoint = "127.0.0.1:" + std::to_string(unused);
  // 0.0.0.0 would reach this host's own server if it were honoured.
  const std::string route = endpoint + ":0.0.0.0:" + std::to_string(server.port());
  {
    ScopedEnv connectTo("TARNEL_CONNECT_TO", route.c_str());
    EXPECT_EQ(exchange_once(0, endpoint + "/rest?request=x").sent, 0);
  }
  {
    ScopedEnv connectTo("TARNEL_CONNECT_TO", "not a route");
    EXPECT_EQ(exchange_once(0, endpoint + "/rest?request=x").sent, 0);
    EXPECT_EQ(exchange_once(0, endpoint + "/rest?request=x").sent, 0);
  }
  EXPECT_TRUE(server.seen().empty());
  const std::string log = newLog();
  EXPECT_NE(
      log.find("TARNEL_CONNECT_TO [" + route + "] ignored: [0.0.0.0] is not a loopback address"),
      std::string::npos)
      << log;
  const std::string warning = "TARNEL_CONNECT_TO [not a route] ignored";
  const size_t first = log.find(warning);
  EXPECT_NE(first, std::string::npos) << log;
  EXPECT_NE(log.find(warning, first + 1), std::string::npos) << "warned on every request\n" << log;
}

TEST_F(HttpClient, NeverSendsThroughAProxyFromTheEnvironment) {
  TestServer server;
  TestServer proxy;
  const std::string proxyUrl = "http://" + proxy.base();
  ScopedEnv lower("http_proxy", proxyUrl.c_str());
  ScopedEnv upper("HTTP_PROXY", proxyUrl.c_str());
  ScopedEnv all("all_proxy", proxyUrl.c_str());
  ScopedEnv allUpper("ALL_PROXY", proxyUrl.c_str());
  ScopedEnv noProxy("no_proxy", std::nullopt);
  ScopedEnv noProxyUpper("NO_PROXY", std::nullopt);
  EXPECT_EQ(exchange_once(0, server.base() + "/rest?" + kSecretRequest).sent, 1);
  EXPECT_EQ(server.seen().size(), 1u);
  EXPECT_TRUE(proxy.seen().empty());
}

TEST_F(HttpClient, TracesToTheLogWithQueriesAndCredentialsRedacted) {
  TestServer server;
  RKLibCurl client;
  ASSERT_TRUE(client.RKLibCurlInit("Content-Type: text/plain", false, false, nullptr));
  client.toggleTrace(true);
  const Result result =
      exchange(client, 0, server.base() + "/rest?" + kSecretRequest, "", "admin:s3cr3t-pw");
  EXPECT_EQ(result.sent, 1);
  EXPECT_EQ(server.seen().at(0).request, kSecretRequest.substr(8));
  const std::string log = newLog();
  EXPECT_NE(log.find("> GET /rest?<redacted> HTTP/1.1"), std::string::npos) << log;
  EXPECT_NE(log.find("> Authorization: <redacted>"), std::string::npos) << log;
  EXPECT_NE(log.find("< HTTP/1.1 200\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("hunter2"), std::string::npos) << log;
  EXPECT_EQ(log.find("s3cr3t"), std::string::npos) << log;
  EXPECT_EQ(log.find("YWRtaW46czNjcjN0LXB3"), std::string::npos) << log;  // base64 of the pair
  EXPECT_EQ(log.find("request="), std::string::npos) << log;
}

TEST_F(HttpClient, TracesOnlyAllowedValuesOfWhatTheServerSendsBack) {
  // The server echoes the request in the status line, in reply headers and
  // in the body, both as it came (percent-encoded) and decoded.
  RawServer server([](const std::string& request) {
    const std::string target = request.substr(4, request.find(" HTTP/") - 4);
    std::string decoded;
    percent_decode(target.substr(target.find('=') + 1), decoded);
    const std::string body = "{\"echo\":\"" + target + decoded + "\"}";
    return "HTTP/1.1 200 " + decoded +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nX-Echo: " + target + "\r\nX-Decoded: " + decoded + "\r\nLocation: " + target +
           "\r\nServer: raw\r\n\r\n" + body;
  });
  RKLibCurl client;
  ASSERT_TRUE(client.RKLibCurlInit("Content-Type: text/plain", false, false, nullptr));
  client.toggleTrace(true);
  const std::string secret = "s3cr&t pw";
  const Result result = exchange(client, 0,
                                 "127.0.0.1:" + std::to_string(server.port()) + "/rest?" +
                                     "request={password:\"" + secret + "\"}");
  ASSERT_NE(result.reply.find(secret), std::string::npos) << result.reply;
  const std::string log = newLog();
  for (const char* shown : {"< Content-Type: application/json", "< Content-Length: ",
                            "< Server: raw", "< Location: /rest?<redacted>", "< X-Echo: <withheld>",
                            "< X-Decoded: <withheld>", "< HTTP/1.1 200\n", " bytes of data"}) {
    EXPECT_NE(log.find(shown), std::string::npos) << shown << "\n" << log;
  }
  for (const char* hidden : {"s3cr", "%26t", "password"}) {
    EXPECT_EQ(log.find(hidden), std::string::npos) << hidden << "\n" << log;
  }
}

TEST_F(HttpClient, WritesNoTraceWhenTracingIsOff) {
  TestServer server;
  RKLibCurl client;
  ASSERT_TRUE(client.RKLibCurlInit("Content-Type: text/plain", true, false, nullptr));
  client.toggleTrace(false);
  EXPECT_EQ(exchange(client, 0, server.base() + "/rest?request=x").sent, 1);
  EXPECT_EQ(newLog().find("RKLibCurl::trace"), std::string::npos);
}

TEST_F(HttpClient, HandsTheReplyToTheCallersWriteCallback) {
  struct Gathered {
    static unsigned long write(void* data, unsigned long size, unsigned long count, void* user) {
      bytes().append(static_cast<const char*>(data), size * count);
      owner() = user;
      return size * count;
    }
    static std::string& bytes() {
      static std::string text;
      return text;
    }
    static void*& owner() {
      static void* pointer = nullptr;
      return pointer;
    }
  };
  TestServer server;
  RKLibCurl client;
  ASSERT_TRUE(client.RKLibCurlInit("Content-Type: text/plain", false, false, &Gathered::write));
  const Result result = exchange(client, 0, server.base() + "/rest?request=x");
  EXPECT_EQ(result.sent, 1);
  EXPECT_TRUE(result.replyNull);
  EXPECT_EQ(Gathered::bytes(), "{\"result\":{\"sessionId\":\"abc\"}}");
  EXPECT_EQ(Gathered::owner(), &client);
}

TEST_F(HttpClient, DiscardsTheReplyWhenNoneIsExpected) {
  TestServer server;
  RKLibCurl client;
  ASSERT_TRUE(client.RKLibCurlInit("Content-Type: text/plain", false, false, nullptr));
  EXPECT_EQ(client.RKLibCurlSendHttpReq(RK_HTTP_GET, server.base() + "/rest?request=x", nullptr, 0,
                                        false, nullptr),
            1);
  unsigned long length = 99;
  EXPECT_EQ(client.GetHttpResponse(length, false), nullptr);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(client.GetHttpErrorCode(), 200);
}

TEST_F(HttpClient, ServesManyThreadsWithTheirOwnClientsAtOnce) {
  TestServer server;
  std::atomic<int> carriedOut{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&server, &carriedOut, t] {
      for (int i = 0; i < 10; ++i) {
        RKLibCurl client;
        if (!client.RKLibCurlInit("Content-Type: text/plain", false, false, nullptr)) continue;
        const std::string url = server.base() + "/rest?request=" + std::to_string(t * 100 + i);
        if (client.RKLibCurlSendHttpReq(RK_HTTP_POST, url, nullptr, 0, true, nullptr) != 0) {
          ++carriedOut;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(carriedOut.load(), 80);
  EXPECT_EQ(server.seen().size(), 80u);
}

TEST_F(HttpClient, TellsHowAConnectionEndedBeforeTheReplyWasWhole) {
  struct Case {
    const char* answer;
    bool reset;
    const char* text;
  };
  for (const Case& c :
       {Case{"", false, "connection closed without a reply"},
        Case{"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"res", false, "truncated reply"},
        Case{"", true, "connection reset"}}) {
    OneShotServer server(c.answer, c.reset);
    SCOPED_TRACE(c.text);
    const Result result =
        exchange_once(2, "127.0.0.1:" + std::to_string(server.port()) + "/rest?x");
    EXPECT_EQ(result.sent, 0);  // a truncated reply keeps its status and what came
    EXPECT_EQ(result.transport, RK_TRANSPORT_LOST);
    EXPECT_EQ(result.text, c.text);
    EXPECT_TRUE(result.requestSent);  // the server may have acted on it
  }
}

TEST_F(HttpClient, ACancelEndsAnExchangeInFlightAtOnceAndKeepsTheNextFromStarting) {
  write_keystore(5, 60);
  SilentServer silent;
  const std::string url = "127.0.0.1:" + std::to_string(silent.port()) + "/rest?" + kSecretRequest;
  std::unique_ptr<RkCancelToken> withoutDescriptor = host_test::token_without_descriptor();
  RkCancelToken withDescriptor;
  for (RkCancelToken* token : {&withDescriptor, withoutDescriptor.get()}) {
    RKLibCurl client;
    ASSERT_TRUE(client.RKLibCurlInit("Content-Type: text/plain", false, false, nullptr));
    client.setCancelToken(token);
    const auto start = std::chrono::steady_clock::now();
    std::thread canceller([token] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      token->cancel();
    });
    const Result inFlight = exchange(client, 0, url);
    canceller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(inFlight.sent, 0);
    EXPECT_EQ(inFlight.transport, RK_TRANSPORT_CANCELLED);
    EXPECT_EQ(inFlight.text, "cancelled");
    EXPECT_TRUE(inFlight.requestSent);

    const Result next = exchange(client, 0, url);
    EXPECT_EQ(next.transport, RK_TRANSPORT_CANCELLED);
    EXPECT_FALSE(next.requestSent);
  }
  EXPECT_EQ(newLog().find("hunter2"), std::string::npos);
}

TEST_F(HttpClient, TheTimeLimitEndsTheWholeRequestConnectingIncluded) {
  write_keystore(30, 60);
  OneShotServer slow("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}", false, 1500);
  FullServer full;
  ASSERT_TRUE(full.filled());
  for (int port : {slow.port(), full.port()}) {
    RKLibCurl client;
    ASSERT_TRUE(client.RKLibCurlInit("Content-Type: text/plain", false, false, nullptr));
    client.setTimeLimit(300);
    SCOPED_TRACE(port);
    const Result result = exchange(client, 0, "127.0.0.1:" + std::to_string(port) + "/rest?x");
    expect_failed_send(result, RK_TRANSPORT_TIMED_OUT, port == slow.port());
    EXPECT_EQ(result.text, "timed out");
  }
}

TEST_F(HttpClient, SaysWhenTheRepliesHeadersAreTooLarge) {
  const std::string oneLine = "X-Big: " + std::string(2000000, 'a') + "\r\n";
  std::string manyLines;
  for (int i = 0; i < 4000; ++i)
    manyLines += "X-" + std::to_string(i) + ": " + std::string(100, 'b') + "\r\n";
  for (const std::string& headers : {oneLine, manyLines}) {
    RawServer server([&headers](const std::string&) { return http_reply("{}", headers); });
    const Result result = exchange_once(0, "127.0.0.1:" + std::to_string(server.port()) + "/rest");
    EXPECT_EQ(result.sent, 0);
    EXPECT_TRUE(result.replyNull);
    EXPECT_EQ(result.transport, RK_TRANSPORT_TOO_LARGE);
    EXPECT_EQ(result.text, "reply headers too large");
  }
  EXPECT_NE(newLog().find("reply headers too large"), std::string::npos);
}

TEST_F(HttpClient, NamesTheLackOfDescriptors) {
  RKLibCurl client;
  ASSERT_TRUE(client.RKLibCurlInit("Content-Type: text/plain", false, false, nullptr));
  const std::string url = "127.0.0.1:" + std::to_string(closed_port()) + "/rest";
  struct rlimit saved;
  ::getrlimit(RLIMIT_NOFILE, &saved);
  struct rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(::dup(STDIN_FILENO));  // the lowest free descriptor
  ::close(static_cast<int>(tight.rlim_cur));
  ::setrlimit(RLIMIT_NOFILE, &tight);
  const Result result = exchange(client, 0, url);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  expect_failed_send(result, RK_TRANSPORT_FAILED, false);
  EXPECT_EQ(result.text, "too many open files (EMFILE)");
}

TEST_F(HttpClient, ACancelledTokenKeepsTheNextRequestFromConnecting) {
  SilentServer silent;
  RKLibCurl client;
  ASSERT_TRUE(client.RKLibCurlInit("Content-Type: text/plain", false, false, nullptr));
  RkCancelToken token;
  token.cancel();
  client.setCancelToken(&token);
  const Result result = exchange(client, 0, "127.0.0.1:" + std::to_string(silent.port()) + "/rest");
  expect_failed_send(result, RK_TRANSPORT_CANCELLED, false);
  EXPECT_EQ(silent.take_connections(), 0);
}
