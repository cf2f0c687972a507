// The diagnostic log: a line dropped by the level filter and a line written
// to the log file, each beside spdlog doing the same in the same run.
//
//   log_dropped/ours      tarnel_debug::logMessage at level 1, debugLevel 0
//   log_dropped/spdlog    spdlog logger->debug() with the logger at info
//   log_written/ours      tarnel_debug + NqDebug, the library's reply line,
//                         one facade per thread on the shared log file
//   log_written/spdlog    the same text through spdlog's rotating file sink
//                         (_mt), flushed after every line, one logger shared
//                         by the threads
// Both files rotate at 10 MiB and keep 10 files in all.
#include <benchmark/benchmark.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <string>

#include "bench_support.h"
#include "tarnel_debug.h"

namespace {

constexpr std::size_t kFileSize = 10 * 1024 * 1024;
constexpr std::size_t kRotatedFiles = 9;  // plus the current file: 10 in all

const char kTag[] = "tarnel_session::tarnel_req_rsp()";
// A login reply as the library logs it after every exchange.
const char kReply[] =
    "{\"result\":{\"sessionId\":\"6f1c0e9ab2d34f5e8a7b9c0d1e2f3a4b\",\"user\":\"TarnelAdmin\","
    "\"cluster\":\"bench-cluster\",\"expires\":3600}}";
const char kSessionId[] = "6f1c0e9ab2d34f5e8a7b9c0d1e2f3a4b";

std::shared_ptr<spdlog::logger> g_spdlog;

void log_dropped_ours(benchmark::State& state) {
  tarnel_debug debug;
  for (auto _ : state) debug.logMessage(kTag, 1, "Session ID is %s", kSessionId);
}

void log_dropped_spdlog(benchmark::State& state) {
  for (auto _ : state) g_spdlog->debug("Session ID is {}", kSessionId);
}

void log_written_ours(benchmark::State& state) {
  tarnel_debug debug;  // each thread its own facade and writer, as each library object has
  for (auto _ : state) debug.logMessage(kTag, -1, "Curl response for session: [%s]", kReply);
  state.SetItemsProcessed(state.iterations());
}

void log_written_spdlog(benchmark::State& state) {
  for (auto _ : state) {
    g_spdlog->info("tarnel_session::tarnel_req_rsp(): Curl response for session: [{}]", kReply);
  }
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

int main(int argc, char** argv) {
  bench::TempDir dir;
  bench::use_node_dir(dir, 0);

  // The same line layout as the library's: UTC time with microseconds, pid,
  // thread id, then the text.
  g_spdlog =
      spdlog::rotating_logger_mt("bench", dir.file("spdlog/bench.log"), kFileSize, kRotatedFiles);
  g_spdlog->set_formatter(std::make_unique<spdlog::pattern_formatter>(
      "%Y-%m-%dT%H:%M:%S.%fZ %P %t %v", spdlog::pattern_time_type::utc));
  g_spdlog->set_level(spdlog::level::info);
  g_spdlog->flush_on(spdlog::level::trace);

  // Short repetitions, interleaved at random (run_benchmarks.sh), so that
  // both sides of a ratio see the same load on a shared machine.
  for (auto* b : {benchmark::RegisterBenchmark("log_dropped/ours", log_dropped_ours),
                  benchmark::RegisterBenchmark("log_dropped/spdlog", log_dropped_spdlog)}) {
    b->MinTime(0.02)->Repetitions(20);
  }
  for (int threads : {1, 8}) {
    for (auto* b : {benchmark::RegisterBenchmark("log_written/ours", log_written_ours),
                    benchmark::RegisterBenchmark("log_written/spdlog", log_written_spdlog)}) {
      b->Threads(threads)->UseRealTime()->MinTime(0.05)->Repetitions(20);
    }
  }

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  g_spdlog.reset();
  spdlog::shutdown();
  return 0;
}
