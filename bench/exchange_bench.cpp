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
//   exchange_layers/*  the exchange built up a layer at a time, to show where
//                      its time over bare libcurl goes (context, no target):
//                      "client" is a fresh host client sending the request as
//                      the session does (its key store read included);
//                      "client_parse" adds RkJson::Unserialize of the reply;
//                      "client_parse_log" adds the reply's log line. The
//                      session adds its read of the trace switch to the last.
//   cancel/exchange_in_flight  the time from RkCancelToken::cancel() on
//                      another thread to the return of an RKLibCurl send
//                      whose request a loopback peer has read and will never
//                      answer (target: well under 100 ms)
//   cancel/sleep       the same for ZUSLEEP_Cancellable during a 60 s pause
//
// The library's fixed "<host>:8080" is routed to the server with
// TARNEL_CONNECT_TO. Every exchange opens a fresh connection, which then
// waits in TIME_WAIT, so each benchmark runs a fixed, small number of
// iterations.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "RKLibCurl.h"
#include "RkCancel.h"
#include "RkJson.h"
#include "bench_support.h"
#include "exchange_loopback.h"
#include "rkmx_utils.h"
#include "tarnel_debug.h"
#include "unique_fd.h"

namespace {

// 200 short repetitions of 10 exchanges, interleaved at random with the
// other benchmarks' (run_benchmarks.sh), so that both sides of a ratio see
// the same load on a shared machine: 2,000 connections per benchmark.
constexpr int kIterations = 10;
constexpr int kRepetitions = 200;

std::string g_bare_url;
// The request as the session hands it to the host client.
std::string g_client_url;

void exchange_ours(benchmark::State& state) {
  tarnel_session session;
  for (auto _ : state) {
    if (!bench::query_through(session)) {
      state.SkipWithError("exchange failed");
      break;
    }
  }
}

void session_exchange_ours(benchmark::State& state) {
  for (auto _ : state) {
    tarnel_session session;
    if (!bench::query_through(session)) {
      state.SkipWithError("exchange failed");
      break;
    }
  }
}

void exchange_libcurl(benchmark::State& state) {
  for (auto _ : state) {
    if (!bench::bare_exchange(g_bare_url)) {
      state.SkipWithError("libcurl request failed");
      break;
    }
  }
}

// ---- the exchange a layer at a time ----

// The layers of one exchange below the session, up to `layers`.
enum class Layers { client, parse, log };

// One request through a fresh host client, its reply parsed and logged as
// `layers` says; false when the request failed.
bool exchange_in_layers(Layers layers, tarnel_debug& debug) {
  RKLibCurl client;
  if (!client.RKLibCurlInit("Content-Type: application/x-www-form-urlencoded", false, false,
                            nullptr) ||
      client.RKLibCurlSendHttpReq(RK_HTTP_POST, g_client_url, nullptr, 0, true, nullptr) == 0) {
    return false;
  }
  if (layers == Layers::client) return true;
  unsigned long length = 0;
  const char* bytes = client.GetHttpResponse(length, false);
  const std::string answer(bytes != nullptr ? bytes : "", length);
  json_spirit::mObject reply;
  if (!RkJson::Unserialize(answer, reply)) return false;
  if (layers == Layers::log) {
    debug.logMessage("tarnel_session::exchange", -1, "Curl response for session: [%s]",
                     answer.c_str());
  }
  return true;
}

void exchange_layers(benchmark::State& state, Layers layers) {
  tarnel_debug debug;
  for (auto _ : state) {
    if (!exchange_in_layers(layers, debug)) {
      state.SkipWithError("exchange failed");
      break;
    }
  }
}

// ---- cancellation latency ----

using Clock = std::chrono::steady_clock;
using tarnel_host::UniqueFd;

// Takes the connection, reads the request's head (at most 5 s), then cancels
// `token` and keeps the connection open in `peer`. Returns the cancel's time.
Clock::time_point take_request_then_cancel(int listener, RkCancelToken& token, UniqueFd& peer) {
  struct pollfd wait = {listener, POLLIN, 0};
  if (::poll(&wait, 1, 5000) == 1) peer.reset(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
  std::string head;
  char buffer[4096];
  wait = {peer.get(), POLLIN, 0};
  while (peer.get() >= 0 && head.find("\r\n\r\n") == std::string::npos &&
         ::poll(&wait, 1, 5000) == 1) {
    const ssize_t got = ::read(peer.get(), buffer, sizeof buffer);
    if (got <= 0) break;
    head.append(buffer, static_cast<size_t>(got));
  }
  const Clock::time_point cancelled_at = Clock::now();
  token.cancel();
  return cancelled_at;
}

void cancel_exchange_in_flight(benchmark::State& state) {
  UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener.get(), 4) != 0 ||
      ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    state.SkipWithError("no loopback listener");
    return;
  }
  const std::string url =
      "127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/rest?" + bench::kClusterRequest;
  RKLibCurl client;
  if (!client.RKLibCurlInit("Content-Type: application/x-www-form-urlencoded", false, false,
                            nullptr)) {
    state.SkipWithError("client not ready");
    return;
  }
  for (auto _ : state) {
    RkCancelToken token;
    client.setCancelToken(&token);
    UniqueFd peer;
    Clock::time_point cancelled_at;
    std::thread canceller(
        [&] { cancelled_at = take_request_then_cancel(listener.get(), token, peer); });
    client.RKLibCurlSendHttpReq(RK_HTTP_POST, url, nullptr, 0, true, nullptr);
    const Clock::time_point returned_at = Clock::now();
    canceller.join();
    client.setCancelToken(nullptr);
    if (client.GetTransportResult() != RK_TRANSPORT_CANCELLED) {
      state.SkipWithError("the exchange was not cancelled");
      break;
    }
    state.SetIterationTime(std::chrono::duration<double>(returned_at - cancelled_at).count());
  }
}

void cancel_sleep(benchmark::State& state) {
  for (auto _ : state) {
    RkCancelToken token;
    Clock::time_point cancelled_at;
    std::thread canceller([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      cancelled_at = Clock::now();
      token.cancel();
    });
    const int result = ZUSLEEP_Cancellable(60000, &token, __FILE__, __LINE__);
    const Clock::time_point returned_at = Clock::now();
    canceller.join();
    if (result != 1) {
      state.SkipWithError("the pause was not cancelled");
      break;
    }
    state.SetIterationTime(std::chrono::duration<double>(returned_at - cancelled_at).count());
  }
}

}  // namespace

int main(int argc, char** argv) {
  bench::TempDir dir;
  bench::use_node_dir(dir, 0);
  curl_global_init(CURL_GLOBAL_DEFAULT);

  bench::LoopbackRest server;
  g_bare_url = server.bare_url();
  g_client_url = rkmx_utils::get_hostname() + ":8080/rest?" + bench::kClusterRequest;
  bench::settle_keystore();

  for (auto* exchange :
       {benchmark::RegisterBenchmark("exchange/ours", exchange_ours),
        benchmark::RegisterBenchmark("exchange/libcurl", exchange_libcurl),
        benchmark::RegisterBenchmark("session_exchange/ours", session_exchange_ours),
        benchmark::RegisterBenchmark("exchange_layers/client", exchange_layers, Layers::client),
        benchmark::RegisterBenchmark("exchange_layers/client_parse", exchange_layers,
                                     Layers::parse),
        benchmark::RegisterBenchmark("exchange_layers/client_parse_log", exchange_layers,
                                     Layers::log)}) {
    exchange->Iterations(kIterations)
        ->Repetitions(kRepetitions)
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime();
  }

  for (auto* cancel :
       {benchmark::RegisterBenchmark("cancel/exchange_in_flight", cancel_exchange_in_flight),
        benchmark::RegisterBenchmark("cancel/sleep", cancel_sleep)}) {
    cancel->Iterations(kIterations)
        ->Repetitions(10)
        ->Unit(benchmark::kMicrosecond)
        ->UseManualTime();
  }

  benchmark::Initialize(&argc, argv);
  const bool bad_arguments = benchmark::ReportUnrecognizedArguments(argc, argv);
  if (!bad_arguments) benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  curl_global_cleanup();
  return bad_arguments ? 1 : 0;
}
