// Host HTTP client over libcurl: one client object per request.
//
// RKLibCurlInit prepares the client with one extra header line; the
// additional-option calls set libcurl options for the coming request;
// RKLibCurlSendHttpReq carries the request out and keeps the status and the
// reply for GetHttpErrorCode and GetHttpResponse. A client is used by one
// thread at a time; any number of clients may work in parallel. No operation
// throws on a transport failure.
//
// Fixed behaviour of every request:
// - Scheme http only ("http://" is put in front of the URL), no redirect is
//   followed (a 3xx reply is kept with its status, and the send fails), no
//   proxy is ever used
//   (the query carries the cluster password; http_proxy, ALL_PROXY and the
//   like in the environment are ignored), libcurl never uses signals.
// - Timeouts: connecting at most "dTarnelConnectTimeout" seconds (default
//   10), the whole request at most "dTarnelRequestTimeout" seconds (default
//   60); both key store settings are read once per client, together (one
//   read of the store), by RKLibCurlInit.
//   A missing, non-decimal or zero value means the default: a request is
//   never unbounded.
// - The reply is capped at 16 MiB and its header block at 256 KiB; a larger
//   one makes the send fail and is dropped.
// - TARNEL_CONNECT_TO (environment, libcurl's CONNECT_TO form
//   "host:port:addr:port", e.g. "node1:8080:127.0.0.1:18080") sends requests
//   for host:port to addr:port instead. It is honoured only when addr is a
//   loopback address (127.0.0.0/8, "localhost" or "[::1]"); any other value
//   is ignored with a warning in the diagnostic log. Meant for tests.
// - Diagnostic log (RKTarnel.log, through the host log writer): one line per
//   transport failure, dropped reply and ignored TARNEL_CONNECT_TO, whatever
//   the trace switch; with the trace on, libcurl's transfer trace as well
//   (text and headers line by line, data as byte counts). The URL's query is
//   never written (a '?' and what follows up to white space is replaced by
//   "?<redacted>"), nor are the values of the Authorization,
//   Proxy-Authorization and Cookie headers. Whatever the server sends may
//   echo the request, so of the reply the trace shows the status line
//   without its reason phrase, the values of Content-Type, Content-Length,
//   Transfer-Encoding, Connection, Date, Server and Location, and only the
//   names of other headers ("Name: <withheld>").
// - The connection's socket is close-on-exec.
// - libcurl's global initialisation runs once per process, thread-safely, on
//   the first RKLibCurlInit; it is never undone.
// - A send without a cancel token runs on libcurl's easy interface; a send
//   with one (setCancelToken) runs on a multi handle of the client's own and
//   waits on its sockets and on the token's descriptor together. Either way
//   the client keeps its connection for its next send, and shares nothing
//   with other clients.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>

#include "host_export.h"

class RkCancelToken;

// Request types: 0 GET, 1 PUT, 2 POST. Any other value is refused by the client.
enum _http_req_type_ : int {
  RK_HTTP_GET = 0,
  RK_HTTP_PUT = 1,
  RK_HTTP_POST = 2,
};

// How the last request of a client ended on the wire, for callers that
// report causes (GetTransportResult).
enum RkTransportResult : int {
  RK_TRANSPORT_DONE = 0,     // a complete reply arrived, whatever its status
  RK_TRANSPORT_UNREACHABLE,  // no connection: refused, no route, name not resolved
  RK_TRANSPORT_TIMED_OUT,    // a time-out or the time limit passed
  RK_TRANSPORT_LOST,         // the connection closed or broke before the reply was whole
  RK_TRANSPORT_TOO_LARGE,    // the reply or its headers went over the cap and were dropped
  RK_TRANSPORT_CANCELLED,    // the cancel token was cancelled
  RK_TRANSPORT_FAILED,       // not sent: refused arguments or options, no handle or descriptor
};

// The shape of a libcurl write callback.
typedef unsigned long (*RKLibCurlWriteCallback)(void* data, unsigned long size, unsigned long count,
                                                void* user);

class RK_HOST_API RKLibCurl {
 public:
  RKLibCurl();
  ~RKLibCurl();
  RKLibCurl(const RKLibCurl&) = delete;
  RKLibCurl& operator=(const RKLibCurl&) = delete;

  // Prepares the client. `header` is one header line ("Name: value"), or
  // null for none; a line holding CR or LF is refused. The caller keeps it
  // valid until the client's last send has returned: a client may keep the
  // pointer and read the line at the send (the host's does; this one copies
  // it).
  // `verbose` is the initial state of the trace (toggleTrace changes it).
  // `keepAlive` turns TCP keep-alive probes on. Without a write callback the
  // client gathers the reply itself; with one, the reply bytes go to it (its
  // last argument is this client; returning less than size * count aborts the
  // request) and GetHttpResponse has nothing. Reads the two timeout settings.
  // Returns true when ready; false when libcurl cannot be set up, the header
  // is refused or no handle can be made.
  bool RKLibCurlInit(const char* header, bool verbose, bool keepAlive,
                     RKLibCurlWriteCallback writeCallback);
  // Switches the client's transfer trace (written to the diagnostic log) on
  // or off from the next request on.
  void toggleTrace(bool on);
  // Set a libcurl option for the coming request only; it is applied after the
  // request type's own settings, so it can refine them. Return 0 when
  // accepted, a non-zero libcurl code otherwise. Accepted: CURLOPT_NOSIGNAL
  // (1 only), CURLOPT_NOBODY and CURLOPT_TCP_KEEPALIVE (0 or 1),
  // CURLOPT_CONNECTTIMEOUT and CURLOPT_TIMEOUT (seconds, above 0),
  // CURLOPT_CUSTOMREQUEST (an HTTP method token) and CURLOPT_USERAGENT (one
  // line). Every other option is refused, so that none can undo the fixed
  // behaviour above.
  int RKLibCurlSetAdditionalOptionsIntValue(CURLoption option, const int& value);
  int RKLibCurlSetAdditionalOptionsStringValue(CURLoption option, const std::string& value);
  // Sends the request. `url` is host, port, path and query without a scheme:
  // the part up to the first '?' is used as it is; in the query, the text
  // after a leading "request=" (or, without that prefix, the whole query) is
  // percent-encoded, keeping only RFC 3986's unreserved characters, so no
  // value can break the URL. `type`: RK_HTTP_GET, RK_HTTP_PUT or
  // RK_HTTP_POST; any other value is refused without sending. PUT and POST
  // send `body` (`bodyLength` bytes, may be null and 0) as their content; GET
  // sends none. `expectReply` false: the reply is read and discarded.
  // `userPassword` ("user:password", or null) is sent as HTTP basic
  // authentication. A client may send again; each send starts from the fixed
  // settings.
  // Returns non-zero when the request was carried out with a final status of
  // 2xx, zero otherwise (refused, transport failure, time-out, reply over the
  // cap, any other status: 1xx, a 3xx that is not followed, 4xx, 5xx); the
  // status and any reply body are kept either way, except that a reply over
  // the cap is dropped.
  int RKLibCurlSendHttpReq(_http_req_type_ type, const std::string& url, const void* body,
                           unsigned long bodyLength, bool expectReply, const char* userPassword);
  // The HTTP status of the last request (0 when none arrived).
  long long GetHttpErrorCode() const { return httpCode_; }
  // The reply bytes of the last request and their count in `length`; null
  // and a zero length when there is none. The bytes are followed by a NUL
  // (not counted) whatever `asText` says. Valid until the next call on the
  // client.
  const char* GetHttpResponse(unsigned long& length, bool asText);

  // ---- For callers that steer a request and report why it failed ----
  // From the next request on, a cancelled `token` (null: none) ends the
  // request at once, or keeps it from starting: the send returns zero with
  // RK_TRANSPORT_CANCELLED. The transfer waits on the token's descriptor
  // beside its sockets, so a cancel takes effect within milliseconds.
  void setCancelToken(const RkCancelToken* token);
  // From the next request on, the whole request (connecting included) ends
  // after at most `milliseconds` (0: only the configured time-outs), on top
  // of the configured time-outs: the smaller bound wins.
  void setTimeLimit(long milliseconds);
  // How the last request ended (RK_TRANSPORT_DONE before any request). Set
  // by every send, the refused ones included (RK_TRANSPORT_FAILED).
  RkTransportResult GetTransportResult() const;
  // The cause of a transport failure in a few words: "connection refused",
  // "no route to host", "name not resolved" (UNREACHABLE); "timed out"
  // (TIMED_OUT); "connection closed without a reply", "connection reset",
  // "truncated reply" (LOST); "reply over 16 MiB", "reply headers too
  // large" (TOO_LARGE); "cancelled" (CANCELLED); "client not initialised",
  // "request type refused", "body missing", "option refused", "too many open
  // files (EMFILE)", "too many open files in the system (ENFILE)" (FAILED);
  // otherwise libcurl's own message.
  // Empty after RK_TRANSPORT_DONE. Never holds the URL's query.
  std::string GetTransportText() const;
  // True when the last request went out (libcurl wrote some of it to the
  // connection): after a failure, the server may have acted on it. False
  // when no connection was made or the send was refused or cancelled
  // before it started.
  bool GetRequestSent() const;

  struct State;

 private:
  long long httpCode_;
  std::unique_ptr<State> state_;
};
