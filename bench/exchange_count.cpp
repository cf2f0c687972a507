// Instructions and system calls of one exchange, counted on the client's
// thread alone (the loopback REST server of exchange_loopback.h runs on
// threads of its own):
//
//   valgrind --tool=callgrind --collect-atstart=no
//            --toggle-collect=tarnel_exchange_once bench_exchange_count ours N
//   strace -c bench_exchange_count ours N      (no -f: the main thread only)
//
// "ours" makes N ClusterInformation exchanges through tarnel_req_rsp on one
// session, as exchange/ours does; "libcurl" makes N bare requests, as
// exchange/libcurl does. Ten exchanges of each kind run first, outside the
// count, so that one-time set-up (libcurl's global state, the log file, the
// key store's first read) is not counted. The wrappers have C names so that
// the toggle patterns stay simple.
#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench_support.h"
#include "exchange_loopback.h"

extern "C" __attribute__((noinline)) bool tarnel_exchange_once(tarnel_session& session) {
  return bench::query_through(session);
}

extern "C" __attribute__((noinline)) bool libcurl_exchange_once(const std::string& url) {
  return bench::bare_exchange(url);
}

int main(int argc, char** argv) {
  if (argc != 3 || (std::strcmp(argv[1], "ours") != 0 && std::strcmp(argv[1], "libcurl") != 0)) {
    std::fprintf(stderr, "usage: %s ours|libcurl N\n", argv[0]);
    return 2;
  }
  const bool ours = std::strcmp(argv[1], "ours") == 0;
  const long exchanges = std::atol(argv[2]);
  bench::TempDir dir;
  bench::use_node_dir(dir, 0);
  curl_global_init(CURL_GLOBAL_DEFAULT);
  bench::LoopbackRest server;
  bench::settle_keystore();

  tarnel_session session;
  for (long i = 0; i < 10; ++i) {
    if (!bench::query_through(session) || !bench::bare_exchange(server.bare_url())) return 1;
  }
  for (long i = 0; i < exchanges; ++i) {
    const bool done =
        ours ? tarnel_exchange_once(session) : libcurl_exchange_once(server.bare_url());
    if (!done) {
      std::fprintf(stderr, "exchange %ld failed\n", i);
      return 1;
    }
  }
  std::printf("exchanges %ld\n", exchanges);
  curl_global_cleanup();
  return 0;
}
