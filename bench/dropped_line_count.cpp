// Instruction count of a log line dropped by the level filter, for callgrind:
//
//   valgrind --tool=callgrind --collect-atstart=no
//            --toggle-collect=tarnel_dropped_line bench_dropped_line_count N
//
// counts what N calls of tarnel_dropped_line cost, from the wrapper's own
// argument set-up through the PLT into libtarnel.so and back; toggling on
// "tarnel_debug::logMessage*" instead counts the facade's function alone.
// spdlog_dropped_line is the same for spdlog's logger->debug() with the
// logger at info, for comparison. The wrappers have C names so that the
// toggle patterns stay simple.
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <cstdio>
#include <cstdlib>

#include "bench_support.h"
#include "tarnel_debug.h"

namespace {
const char kTag[] = "tarnel_admin::get_tarnel_session()";
const char kSessionId[] = "6f1c0e9ab2d34f5e8a7b9c0d1e2f3a4b";
}  // namespace

// One line at level 1 while debugLevel is 0: dropped.
extern "C" __attribute__((noinline)) void tarnel_dropped_line(tarnel_debug& debug) {
  debug.logMessage(kTag, 1, "Session ID is %s", kSessionId);
}

extern "C" __attribute__((noinline)) void spdlog_dropped_line(spdlog::logger& logger) {
  logger.debug("Session ID is {}", kSessionId);
}

int main(int argc, char** argv) {
  const long calls = argc > 1 ? std::atol(argv[1]) : 100000;
  bench::TempDir dir;
  bench::use_node_dir(dir, 0);
  tarnel_debug debug;
  spdlog::logger logger("bench", std::make_shared<spdlog::sinks::null_sink_mt>());
  logger.set_level(spdlog::level::info);
  for (long i = 0; i < calls; ++i) {
    tarnel_dropped_line(debug);
    spdlog_dropped_line(logger);
  }
  std::printf("calls %ld\n", calls);
  return 0;
}
