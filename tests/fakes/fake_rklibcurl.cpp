// Fake HTTP client: each constructed client plays back the next scripted
// exchange and records what the caller did with it.
#include <stdexcept>

#include "RKLibCurl.h"
#include "RkCancel.h"
#include "fake_host.h"
#include "fake_state.h"

struct RKLibCurl::State {
  size_t index;  // this client's record in fake::http_clients()
  fake::HttpExchange exchange;
  const RkCancelToken* token = nullptr;
  // The header line given to RKLibCurlInit: kept as a pointer, as the host's
  // client keeps it, and read again at the send.
  const char* header = nullptr;
  // How the last send ended: the scripted exchange, or a cancellation.
  bool sentOnce = false;
  bool cancelled = false;
  bool requestSent = false;
};

namespace fake {

std::deque<HttpExchange>& http_script() { return kept<std::deque<HttpExchange>>(); }

HttpExchange reply(const std::string& json, long long httpCode) {
  HttpExchange exchange;
  exchange.httpCode = httpCode;
  exchange.reply = json;
  return exchange;
}

HttpExchange failed_send(long long httpCode, const std::string& body) {
  HttpExchange exchange = reply(body, httpCode);
  exchange.sendResult = 0;
  return exchange;
}

HttpExchange no_answer() { return HttpExchange(); }

HttpExchange transport_failure(RkTransportResult result, const std::string& text,
                               bool requestSent) {
  HttpExchange exchange = failed_send(0);
  exchange.transport = result;
  exchange.transportText = text;
  exchange.requestSent = requestSent;
  return exchange;
}

HttpExchange cancelled_in_flight() {
  HttpExchange exchange;
  exchange.cancelDuringSend = true;
  return exchange;
}

void queue_reply(const std::string& json) { http_script().push_back(reply(json)); }

std::vector<HttpClientRecord>& http_clients() { return kept<std::vector<HttpClientRecord>>(); }

std::vector<std::string> sent_requests() {
  std::vector<std::string> requests;
  for (const HttpClientRecord& client : http_clients()) {
    if (!client.sent) continue;
    size_t mark = client.url.find('?');
    requests.push_back(mark == std::string::npos ? std::string() : client.url.substr(mark + 1));
  }
  return requests;
}

}  // namespace fake

namespace {
fake::HttpClientRecord& record(const RKLibCurl::State& state) {
  return fake::http_clients()[state.index];
}
}  // namespace

RKLibCurl::RKLibCurl() : httpCode_(0), state_(new State) {
  fake::journal().push_back("RKLibCurl::RKLibCurl()");
  if (!fake::http_script().empty()) {
    state_->exchange = fake::http_script().front();
    fake::http_script().pop_front();
  }
  if (state_->exchange.throwOnConstruct) throw std::runtime_error("client construction failed");
  state_->index = fake::http_clients().size();
  fake::http_clients().emplace_back();
}

RKLibCurl::~RKLibCurl() {
  fake::journal().push_back("RKLibCurl::~RKLibCurl()");
  record(*state_).destroyed = true;
}

bool RKLibCurl::RKLibCurlInit(const char* header, bool verbose, bool keepAlive,
                              RKLibCurlWriteCallback writeCallback) {
  fake::journal().push_back(std::string("RKLibCurl::RKLibCurlInit(") + (header ? header : "null") +
                            ")");
  fake::HttpClientRecord& r = record(*state_);
  r.initCalled = true;
  r.header = header ? header : "";
  state_->header = header;
  r.initVerbose = verbose;
  r.initKeepAlive = keepAlive;
  r.initCallbackNull = writeCallback == nullptr;
  return state_->exchange.initResult;
}

void RKLibCurl::toggleTrace(bool on) {
  fake::journal().push_back(std::string("RKLibCurl::toggleTrace(") + (on ? "true" : "false") + ")");
  record(*state_).traces.push_back(on);
}

int RKLibCurl::RKLibCurlSetAdditionalOptionsIntValue(CURLoption option, const int& value) {
  fake::journal().push_back("RKLibCurl::RKLibCurlSetAdditionalOptionsIntValue(" +
                            std::to_string(static_cast<int>(option)) + "," + std::to_string(value) +
                            ")");
  record(*state_).intOptions.emplace_back(static_cast<int>(option), value);
  return 0;
}

int RKLibCurl::RKLibCurlSetAdditionalOptionsStringValue(CURLoption option,
                                                        const std::string& value) {
  fake::journal().push_back("RKLibCurl::RKLibCurlSetAdditionalOptionsStringValue(" +
                            std::to_string(static_cast<int>(option)) + "," + value + ")");
  record(*state_).stringOptions.emplace_back(static_cast<int>(option), value);
  return 0;
}

int RKLibCurl::RKLibCurlSendHttpReq(_http_req_type_ type, const std::string& url, const void* body,
                                    unsigned long bodyLength, bool expectReply,
                                    const char* userPassword) {
  fake::journal().push_back("RKLibCurl::RKLibCurlSendHttpReq(" +
                            std::to_string(static_cast<int>(type)) + ")");
  fake::HttpClientRecord& r = record(*state_);
  r.sent = true;
  r.sendType = static_cast<int>(type);
  r.url = url;
  r.bodyNull = body == nullptr;
  r.bodyLength = bodyLength;
  r.sendFlag = expectReply;
  r.userPasswordNull = userPassword == nullptr;
  r.sentHeader = state_->header ? state_->header : "";
  State& s = *state_;
  s.sentOnce = true;
  s.cancelled = false;
  s.requestSent = s.exchange.requestSent;
  if (s.token != nullptr && s.token->cancelled()) {
    s.requestSent = false;
    s.cancelled = true;
  } else if (s.exchange.cancelDuringSend) {
    if (s.token != nullptr) fake::cancel(s.token);
    s.cancelled = true;
  }
  r.cancelled = s.cancelled;
  httpCode_ = s.cancelled ? 0 : s.exchange.httpCode;
  return s.cancelled ? 0 : s.exchange.sendResult;
}

const char* RKLibCurl::GetHttpResponse(unsigned long& length, bool /*asText*/) {
  fake::journal().push_back("RKLibCurl::GetHttpResponse()");
  ++record(*state_).responseReads;
  if (state_->exchange.replyNull || state_->cancelled) {
    length = 0;
    return nullptr;
  }
  length = state_->exchange.reply.size();
  return state_->exchange.reply.data();
}

void RKLibCurl::setCancelToken(const RkCancelToken* token) {
  fake::journal().push_back(std::string("RKLibCurl::setCancelToken(") + (token ? "token" : "null") +
                            ")");
  state_->token = token;
  record(*state_).token = token;
}

void RKLibCurl::setTimeLimit(long milliseconds) {
  fake::journal().push_back("RKLibCurl::setTimeLimit(" + std::to_string(milliseconds) + ")");
  record(*state_).timeLimit = milliseconds;
}

RkTransportResult RKLibCurl::GetTransportResult() const {
  if (!state_->sentOnce) return RK_TRANSPORT_DONE;
  return state_->cancelled ? RK_TRANSPORT_CANCELLED : state_->exchange.transport;
}

std::string RKLibCurl::GetTransportText() const {
  if (!state_->sentOnce) return std::string();
  return state_->cancelled ? "cancelled" : state_->exchange.transportText;
}

bool RKLibCurl::GetRequestSent() const { return state_->requestSent; }
