// Scriptable fakes of the I/O host services, linked in place of the host
// library (link seam). Each fake records every call with its arguments and
// plays back what the test scripted. Every call also appends one line to a
// shared journal, so a test can assert the order of calls across services.
// Call fake::reset() in every fixture's SetUp.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "RKLibCurl.h"

class RkCancelToken;

namespace fake {

// Cancels a token that a fake was handed, as the caller's other thread
// would (the services take it as const; its owner made it to be cancelled).
void cancel(const RkCancelToken* token);

// Every call of every fake, in order, as "Service::operation(args)".
std::vector<std::string>& journal();
// Journal lines that start with `prefix`.
std::vector<std::string> journal_with(const std::string& prefix);

// ---- NqDebug (log writer) ----
struct LogLine {
  int severity = 0;          // writer position 1
  bool functionNull = true;  // position 2 was null
  std::string function;      // position 2
  unsigned int code = 0;     // position 3
  int category = 0;          // position 4
  long long id = 0;          // position 5
  bool fileNull = true;      // position 6 was null
  bool formatNull = true;    // position 7 was null
  std::string format;        // position 7
  std::string text;          // the message formatted with vsnprintf
};
struct LogScript {
  int debugLevel = 1;              // what initialize puts into the descriptor
  bool throwOnInitialize = false;  // initialize throws std::runtime_error
  bool throwOnMessage = false;     // handleMsgEventDebug_NEW throws std::runtime_error
};
LogScript& log_script();
std::vector<LogLine>& log_lines();
// Texts of the lines written with `function` as tag.
std::vector<std::string> log_texts(const std::string& function);
// All line texts, in order.
std::vector<std::string> all_log_texts();

// ---- RKLibCurl (HTTP client) ----
struct HttpExchange {  // what one client object plays back
  bool initResult = true;
  int sendResult = 1;
  long long httpCode = 200;
  bool replyNull = false;  // GetHttpResponse returns null
  std::string reply;       // may hold NUL bytes; empty means length 0
  bool throwOnConstruct = false;
  // How the send ended on the wire (GetTransportResult, GetTransportText,
  // GetRequestSent).
  RkTransportResult transport = RK_TRANSPORT_DONE;
  std::string transportText{};
  bool requestSent = true;
  // The send cancels the token the client was given and ends the way a
  // cancelled send does: 0, status 0, no reply, RK_TRANSPORT_CANCELLED,
  // "cancelled" (requestSent as scripted). A send whose token is already
  // cancelled ends so too, with requestSent false.
  bool cancelDuringSend = false;
};
struct HttpClientRecord {  // what one client object saw
  bool destroyed = false;
  std::string header;      // the header line as RKLibCurlInit read it
  std::string sentHeader;  // the same line read again through its pointer at the send
  bool initCalled = false;
  bool initVerbose = false, initKeepAlive = false, initCallbackNull = true;
  std::vector<bool> traces;
  std::vector<std::pair<int, int>> intOptions;
  std::vector<std::pair<int, std::string>> stringOptions;
  bool sent = false;
  int sendType = -100;
  std::string url;
  bool bodyNull = false;
  unsigned long bodyLength = 0;
  bool sendFlag = false;
  bool userPasswordNull = false;
  int responseReads = 0;
  const RkCancelToken* token = nullptr;  // the last setCancelToken
  long timeLimit = 0;                    // the last setTimeLimit
  bool cancelled = false;                // the send ended as cancelled
};
// Exchanges played back by the clients in the order they are constructed;
// when the queue is empty a client plays back no_answer().
std::deque<HttpExchange>& http_script();
// The exchanges a script is made of:
// a carried-out send whose reply is `json`, with the HTTP status `httpCode`;
HttpExchange reply(const std::string& json, long long httpCode = 200);
// a send the client reports failed, with the HTTP status and the body that
// came back;
HttpExchange failed_send(long long httpCode, const std::string& body = std::string());
// a carried-out send that brought nothing back;
HttpExchange no_answer();
// a send that ended on the wire without a whole reply: how it ended, and
// whether the request had gone out;
HttpExchange transport_failure(RkTransportResult result, const std::string& text, bool requestSent);
// a send during which the client's token is cancelled.
HttpExchange cancelled_in_flight();
// Queues reply(json).
void queue_reply(const std::string& json);
std::vector<HttpClientRecord>& http_clients();
// The query strings (text after "?") of all sent URLs, in order.
std::vector<std::string> sent_requests();

// ---- rkmx_utils and the sleep call ----
struct Status {  // a status result with its text and an optional RkException
  int status = 0;
  std::string value;
  bool throwRk = false;
};
// The query returns `code` with `value`.
Status status(int code, const std::string& value);
struct UtilsScript {
  std::string hostname = "node1";
  bool hostnameThrowsRk = false;
  std::map<std::string, Status> keys;  // missing key: status 1
  Status serial = status(0, "SERIAL1");
  Status cluster = status(0, "cluster1");
  // convert_size_to_gb; default: GB as is, TB times 1024, anything else 0.
  std::function<double(double, const std::string&)> toGb;
  // The pause with this number in sleeps() (1-based; 0: none), when it is a
  // cancellable one with a token, cancels the token and returns 1.
  size_t cancelAtPause = 0;
  // What get_sleep_scale tells (the pauses themselves are only recorded).
  double sleepScale = 1.0;
};
UtilsScript& utils_script();
struct SleepCall {
  int milliseconds;
  std::string file;
  int line;
  bool cancellable = false;  // ZUSLEEP_Cancellable, with `token`
  const RkCancelToken* token = nullptr;
};
// Every pause of both sleep calls, in order. ZUSLEEP_Cancellable returns 1
// at once when its token is already cancelled.
std::vector<SleepCall>& sleeps();
std::vector<int> sleep_milliseconds();

// ---- RkProcess ----
struct ProcessResult {
  int status = 0;
  std::string output;
  std::string errorOutput;
  bool throwRuntime = false;  // system throws std::runtime_error
  // The cancellable run cancels its token and ends as cancelled.
  bool cancelDuringRun = false;
};
// A cancellable run whose token is (or becomes) cancelled returns -3 with
// "RkProcess: cancelled\n" as error output; one cancelled before the call
// uses no scripted result.
struct ProcessCall {
  std::string command;
  bool outputNull, errorNull;
  int timeout;
  bool merge;
  bool cancellable = false;  // the overload with a token
  const RkCancelToken* token = nullptr;
};
std::deque<ProcessResult>& process_script();
// The results a script is made of: the command exited with `status`,
// having written `output` and `errorOutput`; or the runner threw.
ProcessResult exited(int status, const std::string& output,
                     const std::string& errorOutput = std::string());
ProcessResult runner_throws();
std::vector<ProcessCall>& process_calls();

// ---- RKPassword ----
struct DecryptResult {
  int result = 0;
  std::string bytes = std::string("secret\0", 7);  // copied into the output buffer as is
  bool throwRk = false;
};
struct DecryptCall {
  std::string input;
  unsigned long lengthOnEntry;
  bool outputZeroedOnEntry;  // every byte of the buffer was 0 when decrypt began
  std::string key;
};
DecryptResult& decrypt_script();
std::vector<DecryptCall>& decrypt_calls();

// ---- RKPlatformInfo ----
struct PlatformScript {
  bool throwRkOnConstruct = false;
  bool throwRuntimeOnConstruct = false;
};
PlatformScript& platform_script();

// Clears every record and restores every script to its default.
void reset();

}  // namespace fake
