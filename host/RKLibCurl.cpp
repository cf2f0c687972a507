// HTTP client over libcurl. The choices are documented in RKLibCurl.h.
#include "RKLibCurl.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "NqDebug.h"
#include "RkCancel.h"
#include "keystore.h"
#include "rkmx_utils.h"

namespace keystore = tarnel_host::keystore;

namespace {

constexpr unsigned long kReplyCap = 16UL * 1024 * 1024;
constexpr unsigned long kHeaderCap = 256UL * 1024;
constexpr unsigned int kDefaultConnectTimeoutSeconds = 10;
constexpr unsigned int kDefaultRequestTimeoutSeconds = 60;
constexpr const char* kConnectTimeoutKey = "dTarnelConnectTimeout";
constexpr const char* kRequestTimeoutKey = "dTarnelRequestTimeout";
constexpr const char* kConnectToVariable = "TARNEL_CONNECT_TO";
constexpr const char* kSendTag = "RKLibCurl::RKLibCurlSendHttpReq()";
constexpr const char* kTraceTag = "RKLibCurl::trace";

// ---- libcurl resources ----

struct EasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;

struct MultiDeleter {
  void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};
using MultiHandle = std::unique_ptr<CURLM, MultiDeleter>;

// An easy handle added to a multi handle for one transfer, removed at the
// end of the scope (which closes the connection of an unfinished transfer).
class AddedTransfer {
 public:
  AddedTransfer(CURLM* multi, CURL* easy)
      : multi_(multi), easy_(easy), added_(curl_multi_add_handle(multi, easy) == CURLM_OK) {}
  ~AddedTransfer() {
    if (added_) curl_multi_remove_handle(multi_, easy_);
  }
  AddedTransfer(const AddedTransfer&) = delete;
  AddedTransfer& operator=(const AddedTransfer&) = delete;
  bool added() const { return added_; }

 private:
  CURLM* multi_;
  CURL* easy_;
  bool added_;
};

struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;

// libcurl's global state is set up once per process and kept until it ends.
bool global_init() {
  static std::once_flag once;
  static CURLcode result = CURLE_FAILED_INIT;
  std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
  return result == CURLE_OK;
}

// ---- diagnostic log ----

// The client's own writer on the library's log, created on first use and
// shared by every client of the process under a lock.
class HttpLog {
 public:
  __attribute__((format(printf, 2, 3))) static void write(const char* function, const char* format,
                                                          ...) {
    HttpLog& log = instance();
    std::lock_guard<std::mutex> lock(log.mutex_);
    va_list args;
    va_start(args, format);
    log.writer_.handleMsgEventDebug_NEW(-1, function, 0, -1, 0, nullptr, format, args);
    va_end(args);
  }

 private:
  static constexpr unsigned int kModuleId = 0x52484331;  // "RHC1": the HTTP client
  static constexpr unsigned long long kFileSizeMiB = 10;
  static constexpr int kVersions = 10;

  HttpLog() : writer_(nullptr) {
    writer_.initialize(&descriptor_, kModuleId, 1, false, std::string());
    writer_.setLogFileSize(kFileSizeMiB);
    writer_.setMaxVersion(kVersions);
  }
  static HttpLog& instance() {
    static HttpLog log;
    return log;
  }

  std::mutex mutex_;
  NqDebugFileInstance descriptor_;
  NqDebug writer_;
};

// Replaces every query string in `text` (from a '?' up to the next white
// space) by "?<redacted>": the request text carries the password.
std::string redact_queries(const char* data, size_t size) {
  std::string out;
  out.reserve(size);
  size_t i = 0;
  while (i < size) {
    if (data[i] != '?') {
      out += data[i++];
      continue;
    }
    out += "?<redacted>";
    while (i < size && data[i] != ' ' && data[i] != '\t' && data[i] != '\r' && data[i] != '\n') ++i;
  }
  return out;
}

bool starts_with_no_case(const char* text, size_t size, const char* prefix) {
  const size_t length = std::strlen(prefix);
  return size >= length && strncasecmp(text, prefix, length) == 0;
}

// The values of the reply's header lines that the trace shows. Any other
// text from the server may echo the request, and the client cannot tell.
constexpr const char* kShownHeaders[] = {
    "content-type:", "content-length:", "transfer-encoding:", "connection:",
    "date:",         "server:",         "location:"};

// An incoming header line as the trace shows it: the status line without
// its reason phrase, an allowed header with its value, any other with its
// name only.
std::string incoming_line(const char* line, size_t size) {
  if (starts_with_no_case(line, size, "HTTP/")) {
    const char* code = static_cast<const char*>(std::memchr(line, ' ', size));
    const char* reason =
        code != nullptr
            ? static_cast<const char*>(std::memchr(code + 1, ' ', line + size - code - 1))
            : nullptr;
    return std::string(line, reason != nullptr ? static_cast<size_t>(reason - line) : size);
  }
  for (const char* name : kShownHeaders) {
    if (starts_with_no_case(line, size, name)) return redact_queries(line, size);
  }
  const char* colon = static_cast<const char*>(std::memchr(line, ':', size));
  if (colon == nullptr) return "<withheld>";
  return std::string(line, static_cast<size_t>(colon - line)) + ": <withheld>";
}

// An outgoing header line as the trace shows it: queries and credentials
// redacted.
std::string outgoing_line(const char* line, size_t size) {
  for (const char* name : {"authorization:", "proxy-authorization:", "cookie:"}) {
    if (starts_with_no_case(line, size, name)) {
      return std::string(line, std::strlen(name)) + " <redacted>";
    }
  }
  return redact_queries(line, size);
}

// libcurl's debug callback: one log line per line of text or header, only a
// byte count for data. Outgoing lines have queries and credentials
// redacted; of the incoming ones only allowed values are shown.
int trace_callback(CURL*, curl_infotype type, char* data, size_t size, void*) {
  switch (type) {
    case CURLINFO_TEXT:
    case CURLINFO_HEADER_OUT:
    case CURLINFO_HEADER_IN:
      break;
    case CURLINFO_DATA_OUT:
      HttpLog::write(kTraceTag, "> %zu bytes of data", size);
      return 0;
    case CURLINFO_DATA_IN:
      HttpLog::write(kTraceTag, "< %zu bytes of data", size);
      return 0;
    default:
      return 0;
  }
  size_t start = 0;
  while (start < size) {
    size_t end = start;
    while (end < size && data[end] != '\n') ++end;
    size_t stop = end;
    if (stop > start && data[stop - 1] == '\r') --stop;
    if (stop > start) {
      const char* line = data + start;
      const size_t length = stop - start;
      if (type == CURLINFO_HEADER_IN) {
        HttpLog::write(kTraceTag, "< %s", incoming_line(line, length).c_str());
      } else if (type == CURLINFO_HEADER_OUT) {
        HttpLog::write(kTraceTag, "> %s", outgoing_line(line, length).c_str());
      } else {
        HttpLog::write(kTraceTag, "* %s", redact_queries(line, length).c_str());
      }
    }
    start = end + 1;
  }
  return 0;
}

// ---- URL ----

// The bytes that stand for themselves in an encoded query: RFC 3986's
// unreserved characters.
struct UnreservedTable {
  bool byte[256] = {};
  constexpr UnreservedTable() {
    for (int c = 0; c < 256; ++c) {
      byte[c] = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                c == '-' || c == '.' || c == '_' || c == '~';
    }
  }
};
constexpr UnreservedTable kUnreserved;

// Appends `text` to `out` with every byte but the unreserved ones written as
// %XX; each run of unreserved bytes is appended at once.
void percent_encode(const char* text, size_t size, std::string& out) {
  static const char kHex[] = "0123456789ABCDEF";
  const char* const stop = text + size;
  while (text < stop) {
    const char* run = text;
    while (run < stop && kUnreserved.byte[static_cast<unsigned char>(*run)]) ++run;
    out.append(text, static_cast<size_t>(run - text));
    if (run == stop) break;
    const unsigned char c = static_cast<unsigned char>(*run);
    const char triple[3] = {'%', kHex[c >> 4], kHex[c & 0xf]};
    out.append(triple, sizeof triple);
    text = run + 1;
  }
}

// "http://" + host, port and path as given + '?' + the query with the text
// after "request=" (or, without that prefix, the whole query) percent-encoded.
std::string build_url(const std::string& url) {
  static const char kScheme[] = "http://";
  static const char kRequest[] = "request=";
  std::string out;
  out.reserve(sizeof kScheme + url.size() * 3);
  out += kScheme;
  const size_t mark = url.find('?');
  if (mark == std::string::npos) {
    out += url;
    return out;
  }
  out.append(url, 0, mark + 1);
  size_t query = mark + 1;
  if (url.compare(query, sizeof kRequest - 1, kRequest) == 0) {
    out += kRequest;
    query += sizeof kRequest - 1;
  }
  percent_encode(url.data() + query, url.size() - query, out);
  return out;
}

// The URL without its query, for log lines.
std::string without_query(const std::string& url) { return url.substr(0, url.find('?')); }

// ---- TARNEL_CONNECT_TO ----

// Splits off one field of "host:port:addr:port"; an IPv6 address is written
// in brackets. Returns false when the text ends early.
bool take_field(const std::string& text, size_t& at, std::string& field, bool last) {
  size_t end;
  if (at < text.size() && text[at] == '[') {
    const size_t close = text.find(']', at);
    if (close == std::string::npos) return false;
    end = close + 1;
    if (!last && (end >= text.size() || text[end] != ':')) return false;
  } else {
    end = last ? text.size() : text.find(':', at);
    if (end == std::string::npos) return false;
  }
  field.assign(text, at, end - at);
  at = end + 1;
  return true;
}

bool decimal_port(const std::string& port) {
  if (port.empty() || port.size() > 5) return false;
  unsigned long value = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  return value >= 1 && value <= 65535;
}

bool loopback_address(const std::string& addr) {
  if (strcasecmp(addr.c_str(), "localhost") == 0) return true;
  in_addr v4;
  if (inet_pton(AF_INET, addr.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  if (addr.size() > 2 && addr.front() == '[' && addr.back() == ']') {
    in6_addr v6;
    const std::string inner = addr.substr(1, addr.size() - 2);
    return inet_pton(AF_INET6, inner.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
  }
  return false;
}

// What a TARNEL_CONNECT_TO value means.
struct ConnectToVerdict {
  std::string value;  // the value judged
  bool malformed = false;
  bool loopback = false;
  std::string addr;  // the target address, when well-formed
};

// The verdict on `value`, worked out again only when it differs from the
// value this thread judged last.
const ConnectToVerdict& judge_connect_to(const char* value) {
  thread_local ConnectToVerdict last;
  if (!last.value.empty() && last.value == value) return last;
  ConnectToVerdict verdict;
  verdict.value = value;
  std::string host, port, addrPort;
  size_t at = 0;
  const std::string& text = verdict.value;
  const bool parsed = take_field(text, at, host, false) && take_field(text, at, port, false) &&
                      take_field(text, at, verdict.addr, false) &&
                      take_field(text, at, addrPort, true);
  verdict.malformed = !parsed || !decimal_port(addrPort) || (!port.empty() && !decimal_port(port));
  verdict.loopback = !verdict.malformed && loopback_address(verdict.addr);
  last = std::move(verdict);
  return last;
}

// The CONNECT_TO entry from the environment, or null when it is unset or
// not honoured (with a warning in the log, on every request).
HeaderList connect_to_from_environment() {
  const char* value = std::getenv(kConnectToVariable);
  if (value == nullptr || *value == '\0') return nullptr;
  const ConnectToVerdict& verdict = judge_connect_to(value);
  if (verdict.malformed) {
    HttpLog::write(kSendTag, "%s [%s] ignored: not of the form host:port:addr:port",
                   kConnectToVariable, value);
    return nullptr;
  }
  if (!verdict.loopback) {
    HttpLog::write(kSendTag, "%s [%s] ignored: [%s] is not a loopback address", kConnectToVariable,
                   value, verdict.addr.c_str());
    return nullptr;
  }
  return HeaderList(curl_slist_append(nullptr, value));
}

// A timeout setting in milliseconds; the default when it is missing, not a
// decimal number or 0.
long timeout_ms(const keystore::Setting& setting, unsigned int fallbackSeconds) {
  const unsigned int seconds =
      setting.result == keystore::kFound ? rkmx_utils::string_to_uint(setting.value) : 0;
  return static_cast<long>(seconds == 0 ? fallbackSeconds : seconds) * 1000;
}

// Options a caller may set for the coming request, with the values allowed.
bool accepted_int_option(CURLoption option, int value) {
  switch (option) {
    case CURLOPT_NOSIGNAL:
      return value == 1;  // signals are never used
    case CURLOPT_NOBODY:
    case CURLOPT_TCP_KEEPALIVE:
      return value == 0 || value == 1;
    case CURLOPT_CONNECTTIMEOUT:
    case CURLOPT_TIMEOUT:
      return value > 0;  // never unbounded
    default:
      return false;
  }
}

bool http_token(const std::string& text) {
  if (text.empty()) return false;
  for (unsigned char c : text) {
    if (c <= 0x20 || c >= 0x7f || std::strchr("()<>@,;:\\\"/[]?={}", c) != nullptr) return false;
  }
  return true;
}

bool accepted_string_option(CURLoption option, const std::string& value) {
  switch (option) {
    case CURLOPT_CUSTOMREQUEST:
      return http_token(value);
    case CURLOPT_USERAGENT:
      return value.find_first_of("\r\n", 0) == std::string::npos;
    default:
      return false;
  }
}

// ---- how a request ended ----

// The result and text of a failed transfer; a null text means libcurl's own
// message (with any query redacted).
struct Cause {
  RkTransportResult result;
  const char* text;
};

Cause cause_of(CURLcode code, long osErrno, bool sent) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
      return {RK_TRANSPORT_UNREACHABLE, "name not resolved"};
    case CURLE_COULDNT_CONNECT:
      switch (osErrno) {
        case EMFILE:
          return {RK_TRANSPORT_FAILED, "too many open files (EMFILE)"};
        case ENFILE:
          return {RK_TRANSPORT_FAILED, "too many open files in the system (ENFILE)"};
        case ECONNREFUSED:
          return {RK_TRANSPORT_UNREACHABLE, "connection refused"};
        case EHOSTUNREACH:
        case ENETUNREACH:
          return {RK_TRANSPORT_UNREACHABLE, "no route to host"};
        case ETIMEDOUT:
          return {RK_TRANSPORT_TIMED_OUT, "timed out"};
        default:
          return {RK_TRANSPORT_UNREACHABLE, nullptr};
      }
    case CURLE_OPERATION_TIMEDOUT:
      return {RK_TRANSPORT_TIMED_OUT, "timed out"};
    case CURLE_GOT_NOTHING:
      return {RK_TRANSPORT_LOST, "connection closed without a reply"};
    case CURLE_PARTIAL_FILE:
      return {RK_TRANSPORT_LOST, "truncated reply"};
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
      if (osErrno == ECONNRESET || osErrno == EPIPE) return {RK_TRANSPORT_LOST, "connection reset"};
      return {RK_TRANSPORT_LOST, nullptr};
    default:
      return {sent ? RK_TRANSPORT_LOST : RK_TRANSPORT_FAILED, nullptr};
  }
}

}  // namespace

struct RKLibCurl::State {
  MultiHandle multi;  // drives the transfers with a cancel token
  EasyHandle handle;
  HeaderList headers;
  bool expectDropped = false;  // headers end with an empty "Expect:"
  bool used = false;           // a request has been carried out on `handle`
  bool trace = false;
  bool keepAlive = false;
  RKLibCurlWriteCallback userCallback = nullptr;
  RKLibCurl* owner = nullptr;
  long connectTimeoutMs = 0;
  long requestTimeoutMs = 0;
  // Options set for the coming request; it takes them (see takeOptions).
  std::vector<std::pair<CURLoption, long>> intOptions;
  std::vector<std::pair<CURLoption, std::string>> stringOptions;
  // The CONNECT_TO list of the current request; libcurl reads it in place.
  HeaderList connectTo;
  // The reply of the last request.
  std::string reply;
  bool keepReply = true;
  unsigned long received = 0;  // reply bytes of the current request, kept or not
  bool overCap = false;
  unsigned long headerBytes = 0;  // header bytes of the current reply
  bool headersOverCap = false;
  int socketErrno = 0;  // why the current request could not open a socket
  char error[CURL_ERROR_SIZE] = {};
  // Steering, and how the last request ended.
  const RkCancelToken* token = nullptr;
  long timeLimitMs = 0;
  RkTransportResult transport = RK_TRANSPORT_DONE;
  std::string transportText;
  bool requestSent = false;

  // The options set for one request, taken from the client by it.
  struct TakenOptions {
    std::vector<std::pair<CURLoption, long>> ints;
    std::vector<std::pair<CURLoption, std::string>> strings;
  };

  // Ends a send: keeps the result and its text; returns the send's result.
  int end(RkTransportResult result, std::string text) {
    transport = result;
    transportText = std::move(text);
    return 0;
  }

  // Forgets how the last request ended and takes the options set for this
  // one: they are used by it alone.
  TakenOptions begin_request() {
    reply.clear();
    received = 0;
    overCap = false;
    headerBytes = 0;
    headersOverCap = false;
    socketErrno = 0;
    error[0] = '\0';
    requestSent = false;
    TakenOptions taken{std::move(intOptions), std::move(stringOptions)};
    intOptions.clear();
    stringOptions.clear();
    return taken;
  }

  // Every option of a request to `url`; false when libcurl refused one.
  bool set_options(_http_req_type_ type, const std::string& url, const void* body,
                   unsigned long bodyLength, const char* userPassword, const TakenOptions& taken) {
    CURL* easy = handle.get();
    if (used) curl_easy_reset(easy);  // drops every option; the connections stay
    used = true;
    if (bodyLength > 0 && !without_expect_header()) return false;
    return set_fixed_options(easy, url, userPassword) &&
           apply_request_type(easy, type, body, bodyLength) && set_timeouts(easy, taken.ints) &&
           set_string_options(easy, taken.strings);
  }

  // A body is sent at once, without waiting for "100 Continue": an empty
  // "Expect:" line drops libcurl's own. It joins the header lines once, at
  // the first request with a body; a request without one has no such line.
  bool without_expect_header() {
    if (expectDropped) return true;
    curl_slist* list = curl_slist_append(headers.get(), "Expect:");
    if (list == nullptr) return false;
    static_cast<void>(headers.release());
    headers.reset(list);
    expectDropped = true;
    return true;
  }

  // The settings every request has (RKLibCurl.h), the trace, the
  // credentials and the CONNECT_TO route.
  bool set_fixed_options(CURL* easy, const std::string& url, const char* userPassword) {
    bool ok = curl_easy_setopt(easy, CURLOPT_URL, url.c_str()) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_PROXY, "") == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_NOPROXY, "*") == CURLE_OK;
#if LIBCURL_VERSION_NUM >= 0x075500
    ok = ok && curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http") == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http") == CURLE_OK;
#else
    const long http = static_cast<long>(CURLPROTO_HTTP);
    ok = ok && curl_easy_setopt(easy, CURLOPT_PROTOCOLS, http) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS, http) == CURLE_OK;
#endif
    ok = ok && curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE,
                                static_cast<curl_off_t>(kReplyCap)) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &State::write) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_WRITEDATA, this) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &State::header) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_HEADERDATA, this) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &State::open_socket) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, this) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, error) == CURLE_OK;
    if (keepAlive) ok = ok && curl_easy_setopt(easy, CURLOPT_TCP_KEEPALIVE, 1L) == CURLE_OK;
    if (trace) {
      ok = ok && curl_easy_setopt(easy, CURLOPT_DEBUGFUNCTION, &trace_callback) == CURLE_OK;
      ok = ok && curl_easy_setopt(easy, CURLOPT_VERBOSE, 1L) == CURLE_OK;
    }
    if (userPassword != nullptr) {
      ok = ok && curl_easy_setopt(easy, CURLOPT_USERPWD, userPassword) == CURLE_OK;
    }
    connectTo = connect_to_from_environment();
    if (connectTo) {
      ok = ok && curl_easy_setopt(easy, CURLOPT_CONNECT_TO, connectTo.get()) == CURLE_OK;
    }
    return ok;
  }

  // The method of the request type, and its body.
  static bool apply_request_type(CURL* easy, _http_req_type_ type, const void* body,
                                 unsigned long bodyLength) {
    if (type == RK_HTTP_GET) return curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L) == CURLE_OK;
    // PUT and POST carry the body (possibly empty) the same way; PUT only
    // renames the method.
    static const char kEmpty[] = "";
    bool ok = curl_easy_setopt(easy, CURLOPT_POST, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                                static_cast<curl_off_t>(bodyLength)) == CURLE_OK;
    ok = ok &&
         curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body != nullptr ? body : kEmpty) == CURLE_OK;
    if (type == RK_HTTP_PUT) {
      ok = ok && curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, "PUT") == CURLE_OK;
    }
    return ok;
  }

  // The caller's integer options, and the time-outs: the configured ones,
  // or the caller's for this request, each bounded by the time limit.
  bool set_timeouts(CURL* easy, const std::vector<std::pair<CURLoption, long>>& options) const {
    bool ok = true;
    long connectMs = connectTimeoutMs;
    long requestMs = requestTimeoutMs;
    for (const auto& option : options) {
      if (option.first == CURLOPT_CONNECTTIMEOUT) connectMs = option.second * 1000;
      if (option.first == CURLOPT_TIMEOUT) requestMs = option.second * 1000;
      if (option.first != CURLOPT_CONNECTTIMEOUT && option.first != CURLOPT_TIMEOUT) {
        ok = ok && curl_easy_setopt(easy, option.first, option.second) == CURLE_OK;
      }
    }
    if (timeLimitMs > 0) {
      connectMs = std::min(connectMs, timeLimitMs);
      requestMs = std::min(requestMs, timeLimitMs);
    }
    ok = ok && curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, connectMs) == CURLE_OK;
    return ok && curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, requestMs) == CURLE_OK;
  }

  static bool set_string_options(CURL* easy,
                                 const std::vector<std::pair<CURLoption, std::string>>& options) {
    bool ok = true;
    for (const auto& option : options) {
      ok = ok && curl_easy_setopt(easy, option.first, option.second.c_str()) == CURLE_OK;
    }
    return ok;
  }

  // How the transfer to `url` ended, logged and kept (end); the send's
  // result.
  int conclude(CURLcode result, bool cancelled, long status, const std::string& url) {
    long requestBytes = 0;
    curl_easy_getinfo(handle.get(), CURLINFO_REQUEST_SIZE, &requestBytes);
    requestSent = requestBytes > 0;
    if (cancelled) {
      reply.clear();
      HttpLog::write(kSendTag, "request to [%s] cancelled", without_query(url).c_str());
      return end(RK_TRANSPORT_CANCELLED, "cancelled");
    }
    if (overCap || result == CURLE_FILESIZE_EXCEEDED) {
      reply.clear();
      reply.shrink_to_fit();
      HttpLog::write(kSendTag, "reply from [%s] dropped: larger than %lu bytes",
                     without_query(url).c_str(), kReplyCap);
      return end(RK_TRANSPORT_TOO_LARGE, "reply over 16 MiB");
    }
    // libcurl runs out of room for one overlong header line before it hands
    // the line over.
    if (headersOverCap || (result == CURLE_OUT_OF_MEMORY && status != 0 && received == 0)) {
      reply.clear();
      HttpLog::write(kSendTag, "reply from [%s] dropped: reply headers too large",
                     without_query(url).c_str());
      return end(RK_TRANSPORT_TOO_LARGE, "reply headers too large");
    }
    if (result != CURLE_OK) return failed(result, url);
    end(RK_TRANSPORT_DONE, std::string());
    // Redirects are never followed: only a 2xx final reply is the answer.
    return status >= 200 && status < 300 ? 1 : 0;
  }

  // A transfer that libcurl ended with `result`: logged with libcurl's
  // reason (any query redacted), kept with the cause it stands for.
  int failed(CURLcode result, const std::string& url) {
    const char* reason = error[0] != '\0' ? error : curl_easy_strerror(result);
    std::string detail = redact_queries(reason, std::strlen(reason));
    HttpLog::write(kSendTag, "request to [%s] failed: %s (libcurl code %d)",
                   without_query(url).c_str(), detail.c_str(), static_cast<int>(result));
    long osErrno = socketErrno;
    if (osErrno == 0) curl_easy_getinfo(handle.get(), CURLINFO_OS_ERRNO, &osErrno);
    const Cause cause = cause_of(result, osErrno, requestSent);
    return end(cause.result, cause.text != nullptr ? std::string(cause.text) : std::move(detail));
  }

  // Runs the transfer of `handle`. Without a cancel token nothing needs to
  // wait beside its sockets: libcurl's easy interface runs it, on the
  // smallest multi handle libcurl makes. With one, it runs on `multi` (made
  // at the client's first such send), waiting on its sockets and on the
  // token's descriptor; `cancelled` is set when the token ended it.
  CURLcode transfer(bool& cancelled) {
    cancelled = false;
    if (token == nullptr) return curl_easy_perform(handle.get());
    if (!multi) multi.reset(curl_multi_init());
    if (!multi) return CURLE_OUT_OF_MEMORY;
    AddedTransfer added(multi.get(), handle.get());
    if (!added.added()) return CURLE_FAILED_INIT;
    const int wakeFd = token->descriptor();
    curl_waitfd wake = {wakeFd, CURL_WAIT_POLLIN, 0};
    // libcurl shortens the wait to its own next timer; without a
    // descriptor the token's flag is looked at every 100 ms.
    const int waitMs = wakeFd < 0 ? 100 : 1000;
    for (;;) {
      int running = 0;
      if (curl_multi_perform(multi.get(), &running) != CURLM_OK) return CURLE_FAILED_INIT;
      if (running == 0) break;
      if (curl_multi_poll(multi.get(), wakeFd >= 0 ? &wake : nullptr, wakeFd >= 0 ? 1 : 0, waitMs,
                          nullptr) != CURLM_OK) {
        return CURLE_FAILED_INIT;
      }
      if (token->cancelled()) {
        cancelled = true;
        return CURLE_ABORTED_BY_CALLBACK;
      }
    }
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
      if (message->msg == CURLMSG_DONE && message->easy_handle == handle.get()) {
        return message->data.result;
      }
    }
    return CURLE_FAILED_INIT;
  }

  // Counts the reply's header bytes; over the cap, ends the transfer.
  static size_t header(char*, size_t size, size_t count, void* user) {
    State& state = *static_cast<State*>(user);
    state.headerBytes += size * count;
    if (state.headerBytes <= kHeaderCap) return size * count;
    state.headersOverCap = true;
    return 0;
  }

  // Opens the transfer's socket (close-on-exec), keeping errno on failure.
  static curl_socket_t open_socket(void* user, curlsocktype, curl_sockaddr* address) {
    const int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (fd < 0) static_cast<State*>(user)->socketErrno = errno;
    return fd < 0 ? CURL_SOCKET_BAD : fd;
  }

  static size_t write(char* data, size_t size, size_t count, void* user) {
    State& state = *static_cast<State*>(user);
    const size_t bytes = size * count;
    if (bytes > kReplyCap - state.received) {
      state.overCap = true;
      return 0;  // aborts the transfer
    }
    state.received += bytes;
    if (state.userCallback != nullptr) {
      return state.userCallback(data, size, count, state.owner);
    }
    if (state.keepReply) state.reply.append(data, bytes);
    return bytes;
  }
};

RKLibCurl::RKLibCurl() : httpCode_(0), state_(new State) { state_->owner = this; }

RKLibCurl::~RKLibCurl() = default;

bool RKLibCurl::RKLibCurlInit(const char* header, bool verbose, bool keepAlive,
                              RKLibCurlWriteCallback writeCallback) {
  if (!global_init()) return false;
  HeaderList headers;
  if (header != nullptr) {
    if (std::strpbrk(header, "\r\n") != nullptr) return false;  // one line only
    headers.reset(curl_slist_append(nullptr, header));
    if (!headers) return false;
  }

  EasyHandle handle(curl_easy_init());
  if (!handle) return false;

  state_->handle = std::move(handle);
  state_->headers = std::move(headers);
  state_->expectDropped = false;
  state_->used = false;
  state_->trace = verbose;
  state_->keepAlive = keepAlive;
  state_->userCallback = writeCallback;
  keystore::Setting timeouts[] = {keystore::Setting(kConnectTimeoutKey),
                                  keystore::Setting(kRequestTimeoutKey)};
  keystore::read_settings(timeouts, 2);
  state_->connectTimeoutMs = timeout_ms(timeouts[0], kDefaultConnectTimeoutSeconds);
  state_->requestTimeoutMs = timeout_ms(timeouts[1], kDefaultRequestTimeoutSeconds);
  return true;
}

void RKLibCurl::toggleTrace(bool on) { state_->trace = on; }

int RKLibCurl::RKLibCurlSetAdditionalOptionsIntValue(CURLoption option, const int& value) {
  if (!accepted_int_option(option, value)) return CURLE_BAD_FUNCTION_ARGUMENT;
  state_->intOptions.emplace_back(option, static_cast<long>(value));
  return CURLE_OK;
}

int RKLibCurl::RKLibCurlSetAdditionalOptionsStringValue(CURLoption option,
                                                        const std::string& value) {
  if (!accepted_string_option(option, value)) return CURLE_BAD_FUNCTION_ARGUMENT;
  state_->stringOptions.emplace_back(option, value);
  return CURLE_OK;
}

int RKLibCurl::RKLibCurlSendHttpReq(_http_req_type_ type, const std::string& url, const void* body,
                                    unsigned long bodyLength, bool expectReply,
                                    const char* userPassword) {
  State& state = *state_;
  httpCode_ = 0;
  const State::TakenOptions options = state.begin_request();
  if (!state.handle) {
    return state.end(RK_TRANSPORT_FAILED, "client not initialised");
  }
  if (type != RK_HTTP_GET && type != RK_HTTP_PUT && type != RK_HTTP_POST) {
    return state.end(RK_TRANSPORT_FAILED, "request type refused");
  }
  if (body == nullptr && bodyLength != 0) return state.end(RK_TRANSPORT_FAILED, "body missing");

  const std::string fullUrl = build_url(url);
  if (state.token != nullptr && state.token->cancelled()) {
    HttpLog::write(kSendTag, "request to [%s] cancelled before it started",
                   without_query(fullUrl).c_str());
    return state.end(RK_TRANSPORT_CANCELLED, "cancelled");
  }
  state.keepReply = expectReply;
  if (!state.set_options(type, fullUrl, body, bodyLength, userPassword, options)) {
    HttpLog::write(kSendTag, "request to [%s] not sent: libcurl refused an option",
                   without_query(fullUrl).c_str());
    return state.end(RK_TRANSPORT_FAILED, "option refused");
  }

  bool cancelled = false;
  const CURLcode result = state.transfer(cancelled);
  long status = 0;
  curl_easy_getinfo(state.handle.get(), CURLINFO_RESPONSE_CODE, &status);
  httpCode_ = status;
  return state.conclude(result, cancelled, status, fullUrl);
}

const char* RKLibCurl::GetHttpResponse(unsigned long& length, bool /*asText*/) {
  length = state_->reply.size();
  return length == 0 ? nullptr : state_->reply.c_str();
}

void RKLibCurl::setCancelToken(const RkCancelToken* token) { state_->token = token; }

void RKLibCurl::setTimeLimit(long milliseconds) {
  state_->timeLimitMs = milliseconds > 0 ? milliseconds : 0;
}

RkTransportResult RKLibCurl::GetTransportResult() const { return state_->transport; }

std::string RKLibCurl::GetTransportText() const { return state_->transportText; }

bool RKLibCurl::GetRequestSent() const { return state_->requestSent; }
