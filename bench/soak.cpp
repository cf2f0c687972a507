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

// The lowest and the highest value of one field over the samples.
struct Range {
  long low;
  long high;
  double spread_percent() const {
    return 100.0 * static_cast<double>(high - low) / static_cast<double>(low);
  }
};

template <typename T>
Range range_of(const std::vector<Sample>& samples, T Sample::*field) {
  Range range{samples.front().*field, samples.front().*field};
  for (const Sample& s : samples) {
    range.low = std::min<long>(range.low, s.*field);
    range.high = std::max<long>(range.high, s.*field);
  }
  return range;
}

struct Settings {
  long cycles = 10000;
  int threads = 4;
  int samples = 50;
  std::string json_path;
  long per_batch() const { return cycles / (threads * samples); }  // per thread
};

// False when the cycles do not divide into the threads' batches.
bool read_settings(int argc, char** argv, Settings& settings) {
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--cycles") == 0)
      settings.cycles = std::atol(argv[i + 1]);
    else if (std::strcmp(argv[i], "--threads") == 0)
      settings.threads = std::atoi(argv[i + 1]);
    else if (std::strcmp(argv[i], "--samples") == 0)
      settings.samples = std::atoi(argv[i + 1]);
    else if (std::strcmp(argv[i], "--json") == 0)
      settings.json_path = argv[i + 1];
  }
  return settings.cycles > 0 && settings.threads > 0 && settings.samples > 1 &&
         settings.cycles % (settings.threads * settings.samples) == 0;
}

// Runs the cycles, one facade per thread, and takes a sample after each
// batch (printed as it is taken). Adds the failed calls to `failed`.
std::vector<Sample> run_cycles(const Settings& settings, long& failed) {
  const long per_batch = settings.per_batch();
  Batches batches(settings.threads);
  std::vector<long> failures(static_cast<std::size_t>(settings.threads), 0);
  std::vector<std::thread> workers;
  for (int t = 0; t < settings.threads; ++t) {
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
  for (int batch = 1; batch <= settings.samples; ++batch) {
    batches.run_one();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    samples.push_back({batch * per_batch * settings.threads, bench::resident_kib(),
                       bench::open_descriptors(), seconds, own_cpu_seconds()});
    const Sample& s = samples.back();
    std::printf("%8ld %10ld %6d %8.1f %8.1f\n", s.cycles, s.rss_kib, s.descriptors, s.seconds,
                s.cpu_seconds);
    std::fflush(stdout);
  }
  batches.stop();
  for (std::thread& worker : workers) worker.join();
  for (long f : failures) failed += f;
  return samples;
}

void write_json(const Settings& settings, const std::vector<Sample>& samples, long failed,
                double rss_spread, double fd_spread, bool flat) {
  std::ofstream out(settings.json_path);
  out << "{\"cycles\":" << settings.cycles << ",\"threads\":" << settings.threads
      << ",\"failed\":" << failed << ",\"seconds\":" << samples.back().seconds
      << ",\"rss_spread_percent\":" << rss_spread << ",\"fd_spread_percent\":" << fd_spread
      << ",\"flat\":" << (flat ? "true" : "false") << ",\"samples\":[";
  for (std::size_t i = 0; i < samples.size(); ++i) {
    out << (i ? "," : "") << "{\"cycles\":" << samples[i].cycles
        << ",\"rss_kib\":" << samples[i].rss_kib << ",\"fds\":" << samples[i].descriptors
        << ",\"seconds\":" << samples[i].seconds << ",\"cpu_seconds\":" << samples[i].cpu_seconds
        << "}";
  }
  out << "]}\n";
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (!read_settings(argc, argv, settings)) {
    std::fprintf(stderr, "tarnel_soak: cycles must be a multiple of threads x samples\n");
    return 2;
  }

  bench::TempDir dir;
  bench::use_node_dir(dir, 0);
  bench::provision_node(kCluster, kSerial, kPassword);
  bench::Simulator sim(dir, kCluster, kPassword);
  bench::route_cluster_to(sim.port());
  ::setenv("TARNEL_SLEEP_SCALE", "0.001", 1);  // a retry, should one come, pauses 5 ms
  bench::settle_keystore();

  long failed = 0;
  const std::vector<Sample> samples = run_cycles(settings, failed);
  const std::size_t warm = static_cast<std::size_t>(settings.samples / 10);
  const std::vector<Sample> steady(samples.begin() + static_cast<std::ptrdiff_t>(warm),
                                   samples.end());
  const Range rss = range_of(steady, &Sample::rss_kib);
  const Range fds = range_of(steady, &Sample::descriptors);
  const bool flat = rss.spread_percent() <= 1.0 && fds.spread_percent() <= 1.0;
  std::printf(
      "\n%ld cycles (%ld create_vdisk + %ld export_vdisk) on %d threads in %.1f s, %ld failed\n"
      "after the first %ld cycles: RSS %ld..%ld KiB (spread %.2f%%), descriptors %ld..%ld "
      "(spread %.2f%%): %s\n",
      settings.cycles, settings.cycles, settings.cycles, settings.threads, samples.back().seconds,
      failed, steady.front().cycles - settings.per_batch() * settings.threads, rss.low, rss.high,
      rss.spread_percent(), fds.low, fds.high, fds.spread_percent(),
      flat ? "flat within 1%" : "NOT flat within 1%");
  if (!settings.json_path.empty()) {
    write_json(settings, samples, failed, rss.spread_percent(), fds.spread_percent(), flat);
  }
  return failed == 0 && flat ? 0 : 1;
}
