// The soak test behind ./run soak: create/export cycles through the facade
// against tarnel-sim, one facade per thread, with this process's resident
// memory and open descriptors sampled while every thread waits between two
// batches (so no exchange is in flight when a sample is taken).
//
//   tarnel_soak [--cycles N] [--threads T] [--samples S] [--json FILE]
//
// Defaults: 10,000 cycles (each a create_vdisk and an export_vdisk of a new
// disk), 4 threads, 50 samples. The first 10% of the cycles warm up (caches,
// allocator arenas, the log's first rotation); over the samples after them,
// memory and descriptors must stay within 1% of their lowest value. Exit
// status 0 when every call succeeded and both stayed flat, 1 otherwise.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "tarnel_admin.h"

namespace {

const char kCluster[] = "soak-cluster";
const char kPassword[] = "soak-Pw-5e1b";
const char kSerial[] = "SOAK-SN-0001";

// Lets the workers run one batch at a time; the sampler runs in between.
class Batches {
 public:
  explicit Batches(int workers) : workers_(workers) {}

  // A worker: waits for batch `number` (1, 2, ...) to open; false when the
  // run is over.
  bool wait_for(int number) {
    std::unique_lock<std::mutex> lock(mutex_);
    opened_.wait(lock, [&] { return open_ >= number || stopped_; });
    return !stopped_;
  }
  void done() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (++finished_ == workers_) all_done_.notify_one();
  }
  // The sampler: opens the next batch and waits until every worker is done.
  void run_one() {
    std::unique_lock<std::mutex> lock(mutex_);
    finished_ = 0;
    ++open_;
    opened_.notify_all();
    all_done_.wait(lock, [&] { return finished_ == workers_; });
  }
  void stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    opened_.notify_all();
  }

 private:
  const int workers_;
  std::mutex mutex_;
  std::condition_variable opened_;
  std::condition_variable all_done_;
  int open_ = 0;
  int finished_ = 0;
  bool stopped_ = false;
};

struct Sample {
  long cycles;
  long rss_kib;
  int descriptors;
  double seconds;
  double cpu_seconds;  // this process's own (user + system), the simulator's not included
};

double own_cpu_seconds() {
  struct rusage usage;
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double spread_percent(const std::vector<Sample>& samples, long Sample::*field) {
  long low = samples.front().*field;
  long high = low;
  for (const Sample& s : samples) {
    low = std::min(low, s.*field);
    high = std::max(high, s.*field);
  }
  return 100.0 * static_cast<double>(high - low) / static_cast<double>(low);
}

}  // namespace

int main(int argc, char** argv) {
  long cycles = 10000;
  int threads = 4;
  int samples_wanted = 50;
  std::string json_path;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--cycles") == 0) cycles = std::atol(argv[i + 1]);
    else if (std::strcmp(argv[i], "--threads") == 0) threads = std::atoi(argv[i + 1]);
    else if (std::strcmp(argv[i], "--samples") == 0) samples_wanted = std::atoi(argv[i + 1]);
    else if (std::strcmp(argv[i], "--json") == 0) json_path = argv[i + 1];
  }
  if (cycles <= 0 || threads <= 0 || samples_wanted <= 1 || cycles % (threads * samples_wanted) != 0) {
    std::fprintf(stderr, "tarnel_soak: cycles must be a multiple of threads x samples\n");
    return 2;
  }
  const long per_batch = cycles / (threads * samples_wanted);  // per thread

  bench::TempDir dir;
  bench::use_node_dir(dir, 0);
  bench::provision_node(kCluster, kSerial, kPassword);
  bench::Simulator sim(dir, kCluster, kPassword);
  bench::route_cluster_to(sim.port());
  ::setenv("TARNEL_SLEEP_SCALE", "0.001", 1);  // a retry, should one come, pauses 5 ms
  bench::settle_keystore();

  Batches batches(threads);
  std::vector<long> failures(static_cast<std::size_t>(threads), 0);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      tarnel_admin admin;  // one facade per thread, for the whole run
      long next = 0;
      for (int batch = 1; batches.wait_for(batch); ++batch) {
        for (long i = 0; i < per_batch; ++i, ++next) {
          const std::string name = "soak-t" + std::to_string(t) + "-" + std::to_string(next);
          if (admin.create_vdisk(name) != 0) ++failures[static_cast<std::size_t>(t)];
          if (admin.export_vdisk(name) != 0) ++failures[static_cast<std::size_t>(t)];
        }
        batches.done();
      }
    });
  }

  std::vector<Sample> samples;
  const auto start = std::chrono::steady_clock::now();
  std::printf("%8s %10s %6s %8s %8s\n", "cycles", "RSS KiB", "fds", "seconds", "CPU s");
  for (int batch = 1; batch <= samples_wanted; ++batch) {
    batches.run_one();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    samples.push_back({batch * per_batch * threads, bench::resident_kib(), bench::open_descriptors(),
                       seconds, own_cpu_seconds()});
    const Sample& s = samples.back();
    std::printf("%8ld %10ld %6d %8.1f %8.1f\n", s.cycles, s.rss_kib, s.descriptors, s.seconds,
                s.cpu_seconds);
    std::fflush(stdout);
  }
  batches.stop();
  for (std::thread& worker : workers) worker.join();

  long failed = 0;
  for (long f : failures) failed += f;
  const std::size_t warm = static_cast<std::size_t>(samples_wanted / 10);
  const std::vector<Sample> steady(samples.begin() + static_cast<std::ptrdiff_t>(warm), samples.end());
  const double rss_spread = spread_percent(steady, &Sample::rss_kib);
  long low_fds = steady.front().descriptors, high_fds = low_fds;
  for (const Sample& s : steady) {
    low_fds = std::min<long>(low_fds, s.descriptors);
    high_fds = std::max<long>(high_fds, s.descriptors);
  }
  const double fd_spread = 100.0 * static_cast<double>(high_fds - low_fds) / static_cast<double>(low_fds);
  const bool flat = rss_spread <= 1.0 && fd_spread <= 1.0;
  const double total = samples.back().seconds;
  std::printf(
      "\n%ld cycles (%ld create_vdisk + %ld export_vdisk) on %d threads in %.1f s, %ld failed\n"
      "after the first %ld cycles: RSS %ld..%ld KiB (spread %.2f%%), descriptors %ld..%ld "
      "(spread %.2f%%): %s\n",
      cycles, cycles, cycles, threads, total, failed, steady.front().cycles - per_batch * threads,
      std::min_element(steady.begin(), steady.end(),
                       [](const Sample& a, const Sample& b) { return a.rss_kib < b.rss_kib; })
          ->rss_kib,
      std::max_element(steady.begin(), steady.end(),
                       [](const Sample& a, const Sample& b) { return a.rss_kib < b.rss_kib; })
          ->rss_kib,
      rss_spread, low_fds, high_fds, fd_spread, flat ? "flat within 1%" : "NOT flat within 1%");

  if (!json_path.empty()) {
    std::ofstream out(json_path);
    out << "{\"cycles\":" << cycles << ",\"threads\":" << threads << ",\"failed\":" << failed
        << ",\"seconds\":" << total << ",\"rss_spread_percent\":" << rss_spread
        << ",\"fd_spread_percent\":" << fd_spread << ",\"flat\":" << (flat ? "true" : "false")
        << ",\"samples\":[";
    for (std::size_t i = 0; i < samples.size(); ++i) {
      out << (i ? "," : "") << "{\"cycles\":" << samples[i].cycles << ",\"rss_kib\":" << samples[i].rss_kib
          << ",\"fds\":" << samples[i].descriptors << ",\"seconds\":" << samples[i].seconds
          << ",\"cpu_seconds\":" << samples[i].cpu_seconds << "}";
    }
    out << "]}\n";
  }
  return failed == 0 && flat ? 0 : 1;
}
