// What the exchange benchmarks share: a ClusterInformation request and a
// reply of the simulator's shape with some more members, a REST server in
// this process on a free port of 127.0.0.1 that answers it (the library's
// fixed "<host>:8080" routed to it with TARNEL_CONNECT_TO), and the same
// request sent with bare libcurl on a fresh handle.
#pragma once

#include <httplib.h>

#include <string>
#include <thread>

#include "tarnel_session.h"

namespace bench {

extern const char kClusterRequest[];
extern const char kClusterReply[];

// Serves GET, PUT and POST on /rest with kClusterReply (400 without a
// "request" parameter) from construction to destruction; routes the
// library's endpoint to it.
class LoopbackRest {
 public:
  LoopbackRest();
  ~LoopbackRest();
  LoopbackRest(const LoopbackRest&) = delete;
  LoopbackRest& operator=(const LoopbackRest&) = delete;

  // The bare request's URL: kClusterRequest percent-encoded the way the
  // host client sends it.
  const std::string& bare_url() const { return bare_url_; }

 private:
  httplib::Server server_;
  std::thread serving_;
  std::string bare_url_;
};

// One ClusterInformation exchange through `session`; false when it failed.
bool query_through(tarnel_session& session);

// The bare request: curl_easy_init, URL, POST with an empty body, the reply
// appended to a string, curl_easy_cleanup; false when it failed.
bool bare_exchange(const std::string& url);

}  // namespace bench
