#include "exchange_loopback.h"

#include <curl/curl.h>

#include <chrono>
#include <stdexcept>

#include "bench_support.h"

namespace bench {

const char kClusterReply[] =
    "{\"result\":{\"capacity\":{\"total\":{\"units\":\"TB\",\"value\":512.75},\"allocated\":"
    "{\"units\":\"TB\",\"value\":137.5}},\"nodes\":[{\"name\":\"node-01\",\"status\":\"ok\"},"
    "{\"name\":\"node-02\",\"status\":\"ok\"},{\"name\":\"node-03\",\"status\":\"ok\"}],"
    "\"cluster\":\"bench-cluster\",\"version\":\"4.2.1\"}}";
const char kClusterRequest[] =
    "request={type:ClusterInformation,category:ClusterWatch,sessionId:"
    "\"6f1c0e9ab2d34f5e8a7b9c0d1e2f3a4b\"}";

namespace {

size_t append_reply(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

}  // namespace

LoopbackRest::LoopbackRest() {
  auto answer = [](const httplib::Request& request, httplib::Response& response) {
    if (!request.has_param("request")) {
      response.status = 400;
      return;
    }
    response.set_content(kClusterReply, "application/json");
  };
  server_.Get("/rest", answer);
  server_.Post("/rest", answer);
  server_.Put("/rest", answer);
  const int port = server_.bind_to_any_port("127.0.0.1");
  if (port <= 0) throw std::runtime_error("no loopback port for the REST server");
  serving_ = std::thread([this] { server_.listen_after_bind(); });
  while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  route_cluster_to(port);

  bare_url_ = "http://127.0.0.1:" + std::to_string(port) + "/rest?request=";
  CURL* handle = curl_easy_init();
  const std::string text = std::string(kClusterRequest).substr(sizeof "request=" - 1);
  char* encoded = curl_easy_escape(handle, text.c_str(), static_cast<int>(text.size()));
  bare_url_ += encoded;
  curl_free(encoded);
  curl_easy_cleanup(handle);
}

LoopbackRest::~LoopbackRest() {
  server_.stop();
  serving_.join();
}

bool query_through(tarnel_session& session) {
  json_spirit::mObject reply;
  return session.tarnel_req_rsp(RK_HTTP_POST, kClusterRequest, &reply, false,
                                "application/x-www-form-urlencoded") == 0;
}

bool bare_exchange(const std::string& url) {
  std::string reply;
  CURL* handle = curl_easy_init();
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_POSTFIELDS, "");
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &append_reply);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &reply);
  const CURLcode result = curl_easy_perform(handle);
  curl_easy_cleanup(handle);
  return result == CURLE_OK && !reply.empty();
}

}  // namespace bench
