// Data drive enumeration parsing 10,000 helper lines fed from memory, with
// the log level at -2 (every line of the enumeration dropped):
//
//   drives_parse/ours      tarnel_admin::enumerate_data_drives, its process
//                          runner replaced by one that hands back the text
//                          (memory_helper_process.cpp), so only the parse and
//                          the records are measured
//   drives_parse/boost_split  the bare loop of drive_lines.h on the same text,
//                          given a fresh copy of it as the library is
//
// A real helper run costs a process start and the transfer of the text
// through a pipe on top of this; process_bench measures the whole call with
// the real runner, where a helper script is available.
#include <benchmark/benchmark.h>

#include <vector>

#include "bench_support.h"
#include "drive_lines.h"
#include "memory_helper_process.h"
#include "tarnel_admin.h"

namespace {

std::string g_output;

void drives_parse_boost_split(benchmark::State& state) {
  for (auto _ : state) {
    const std::string output = g_output;  // handed over as the seam hands it to the library
    std::vector<_tarnel_data_drive> drives;
    if (bench::split_drives(output, drives) != 0 || drives.size() != bench::kDriveLines) {
      state.SkipWithError("split failed");
      break;
    }
    benchmark::DoNotOptimize(drives.data());
  }
  state.SetItemsProcessed(state.iterations() * bench::kDriveLines);
}

}  // namespace

int main(int argc, char** argv) {
  bench::TempDir dir;
  bench::use_node_dir(dir, -2);
  g_output = bench::helper_output();
  bench::set_helper_output(g_output);

  // Short repetitions, interleaved at random (run_benchmarks.sh).
  for (auto* b :
       {benchmark::RegisterBenchmark("drives_parse/ours", bench::enumerate_drives),
        benchmark::RegisterBenchmark("drives_parse/boost_split", drives_parse_boost_split)}) {
    b->Iterations(3)->Repetitions(40)->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
