// Host HTTP client over libcurl: one client object per request.
//
// RKLibCurlInit prepares the client with one extra header line; the
// additional-option calls set libcurl options for the coming request;
// RKLibCurlSendHttpReq carries the request out and keeps the status and the
// reply for GetHttpErrorCode and GetHttpResponse. A client is used by one
// thread at a time. No operation throws on a transport failure.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>

#include "host_export.h"

// Request types: 0 GET, 1 PUT, 2 POST. Any other value is refused by the client.
enum _http_req_type_ : int {
  RK_HTTP_GET = 0,
  RK_HTTP_PUT = 1,
  RK_HTTP_POST = 2,
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

  // Prepares the client. `header` is one header line ("Name: value") that
  // must stay valid until the request has been sent. Without a write
  // callback the client gathers the reply itself. Returns true when ready.
  bool RKLibCurlInit(const char* header, bool verbose, bool keepAlive,
                     RKLibCurlWriteCallback writeCallback);
  // Switches the client's transfer trace (written to the diagnostic log) on or off.
  void toggleTrace(bool on);
  // Set a libcurl option for the coming request. Return 0 when accepted.
  int RKLibCurlSetAdditionalOptionsIntValue(CURLoption option, const int& value);
  int RKLibCurlSetAdditionalOptionsStringValue(CURLoption option, const std::string& value);
  // Sends the request. `url` is host, port, path and query without a scheme.
  // Returns non-zero when the request was carried out with a status below
  // 400, zero otherwise; the status and any reply body are kept either way.
  int RKLibCurlSendHttpReq(_http_req_type_ type, const std::string& url, const void* body,
                           unsigned long bodyLength, bool expectReply, const char* userPassword);
  // The HTTP status of the last request (0 when none arrived).
  long long GetHttpErrorCode() const { return httpCode_; }
  // The reply bytes of the last request (not terminated) and their count in
  // `length`; null or a zero length when there is none. Valid until the next
  // call on the client.
  const char* GetHttpResponse(unsigned long& length, bool asText);

  struct State;

 private:
  long long httpCode_;
  std::unique_ptr<State> state_;
};
