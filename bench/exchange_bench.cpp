// One REST exchange against a loopback HTTP server (cpp-httplib in this
// process, on a free port of 127.0.0.1), beside a bare libcurl request:
//
//   exchange/ours      tarnel_session::tarnel_req_rsp: a ClusterInformation
//                      request (type 2) on one session; every exchange makes
//                      a fresh host client, reads the key store, percent-
//                      encodes the request, parses the reply and writes the
//                      whole reply to the log file (debugLevel 0)
//   exchange/libcurl   curl_easy_init, URL, POST with an empty body, the
//                      reply appended to a string, curl_easy_cleanup
//   session_exchange/ours  a default tarnel_session constructed, one
//                      exchange, destroyed: what each disk-handle operation
//                      does (shown for context, no target)
//
// The library's fixed "<host>:8080" is routed to the server with
// TARNEL_CONNECT_TO. Every exchange opens a fresh connection, which then
// waits in TIME_WAIT, so each benchmark runs a fixed, small number of
// iterations.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <httplib.h>

#include <chrono>
#include <string>
#include <thread>

#include "bench_support.h"
#include "json_spirit/json_spirit_value.h"
#include "tarnel_session.h"

namespace {

// 200 short repetitions of 10 exchanges, interleaved at random with the
// other benchmarks' (run_benchmarks.sh), so that both sides of a ratio see
// the same load on a shared machine: 2,000 connections per benchmark.
constexpr int kIterations = 10;
constexpr int kRepetitions = 200;

// A ClusterInformation reply of the simulator's shape with some more members.
const char kReply[] =
    "{\"result\":{\"capacity\":{\"total\":{\"units\":\"TB\",\"value\":512.75},\"allocated\":"
    "{\"units\":\"TB\",\"value\":137.5}},\"nodes\":[{\"name\":\"node-01\",\"status\":\"ok\"},"
    "{\"name\":\"node-02\",\"status\":\"ok\"},{\"name\":\"node-03\",\"status\":\"ok\"}],"
    "\"cluster\":\"bench-cluster\",\"version\":\"4.2.1\"}}";
const char kRequest[] =
    "request={type:ClusterInformation,category:ClusterWatch,sessionId:"
    "\"6f1c0e9ab2d34f5e8a7b9c0d1e2f3a4b\"}";

int g_port = -1;
std::string g_bare_url;

size_t append_reply(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

void exchange_ours(benchmark::State& state) {
  tarnel_session session;
  for (auto _ : state) {
    json_spirit::mObject reply;
    if (session.tarnel_req_rsp(RK_HTTP_POST, kRequest, &reply, false,
                               "application/x-www-form-urlencoded") != 0) {
      state.SkipWithError("exchange failed");
      break;
    }
  }
}

void session_exchange_ours(benchmark::State& state) {
  for (auto _ : state) {
    tarnel_session session;
    json_spirit::mObject reply;
    if (session.tarnel_req_rsp(RK_HTTP_POST, kRequest, &reply, false,
                               "application/x-www-form-urlencoded") != 0) {
      state.SkipWithError("exchange failed");
      break;
    }
  }
}

void exchange_libcurl(benchmark::State& state) {
  for (auto _ : state) {
    std::string reply;
    CURL* handle = curl_easy_init();
    curl_easy_setopt(handle, CURLOPT_URL, g_bare_url.c_str());
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, "");
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &append_reply);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &reply);
    const CURLcode result = curl_easy_perform(handle);
    curl_easy_cleanup(handle);
    if (result != CURLE_OK || reply.empty()) {
      state.SkipWithError("libcurl request failed");
      break;
    }
  }
}

// The bare request's URL: the same query text, percent-encoded the way the
// host client sends it.
std::string bare_url(int port) {
  std::string url = "http://127.0.0.1:" + std::to_string(port) + "/rest?request=";
  CURL* handle = curl_easy_init();
  const std::string text = std::string(kRequest).substr(sizeof "request=" - 1);
  char* encoded = curl_easy_escape(handle, text.c_str(), static_cast<int>(text.size()));
  url += encoded;
  curl_free(encoded);
  curl_easy_cleanup(handle);
  return url;
}

}  // namespace

int main(int argc, char** argv) {
  bench::TempDir dir;
  bench::use_node_dir(dir, 0);
  curl_global_init(CURL_GLOBAL_DEFAULT);

  httplib::Server server;
  auto answer = [](const httplib::Request& request, httplib::Response& response) {
    if (!request.has_param("request")) {
      response.status = 400;
      return;
    }
    response.set_content(kReply, "application/json");
  };
  server.Get("/rest", answer);
  server.Post("/rest", answer);
  server.Put("/rest", answer);
  g_port = server.bind_to_any_port("127.0.0.1");
  if (g_port <= 0) return 1;
  std::thread serving([&] { server.listen_after_bind(); });
  while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  bench::route_cluster_to(g_port);
  g_bare_url = bare_url(g_port);
  bench::settle_keystore();

  benchmark::RegisterBenchmark("exchange/ours", exchange_ours)
      ->Iterations(kIterations)
      ->Repetitions(kRepetitions)
      ->Unit(benchmark::kMicrosecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark("exchange/libcurl", exchange_libcurl)
      ->Iterations(kIterations)
      ->Repetitions(kRepetitions)
      ->Unit(benchmark::kMicrosecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark("session_exchange/ours", session_exchange_ours)
      ->Iterations(kIterations)
      ->Repetitions(kRepetitions)
      ->Unit(benchmark::kMicrosecond)
      ->UseRealTime();

  benchmark::Initialize(&argc, argv);
  const bool bad_arguments = benchmark::ReportUnrecognizedArguments(argc, argv);
  if (!bad_arguments) benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  server.stop();
  serving.join();
  curl_global_cleanup();
  return bad_arguments ? 1 : 0;
}
