// The library and the host services used from many threads at once, as a
// host uses them: eight threads, each with its own facade and its own
// sessions and disk handles, against tarnel-sim (a child process on a free
// loopback port, with faults that make logins and creations retry), beside
// threads writing the same log through their own facades, threads writing a
// second log that rotates, and a thread rewriting the key store the others
// read. Built with -DTARNEL_TSAN=ON this is the ThreadSanitizer check
// (tsan.supp lists what it leaves out, and why); in the other builds it runs
// under their sanitizers.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "NqDebug.h"
#include "RKPassword.h"
#include "RkException.h"
#include "e2e_cluster.h"
#include "rkmx_utils.h"
#include "tarnel_admin.h"
#include "tarnel_debug.h"
#include "tarnel_session.h"
#include "tarnel_vdisk.h"

namespace {

constexpr int kFacadeThreads = 8;
constexpr int kCyclesPerThread = 3;
constexpr int kLogWriterThreads = 2;
constexpr int kLinesPerWriter = 400;
constexpr int kRotatingWriterThreads = 2;
constexpr int kRotatingLines = 700;
constexpr std::size_t kRotatingLineBytes = 2000;
constexpr int kKeystoreWrites = 25;

// Sets the environment the host services read, for the test's duration.
class NodeEnvironment {
 public:
  NodeEnvironment(const e2e::TempDir& dir, int sim_port) {
    set("TARNEL_KEYSTORE", dir.file("keystore.conf"));
    set("TARNEL_LOG_DIR", dir.file("log"));
    set("TARNEL_DEBUG_LEVEL", "1");  // every line the library has
    set("TARNEL_SLEEP_SCALE", "0.001");
    set("TARNEL_CONNECT_TO", e2e::host_name() + ":8080:127.0.0.1:" + std::to_string(sim_port));
    ::unsetenv("TARNEL_LOG_STDERR");
  }
  ~NodeEnvironment() {
    for (const std::string& name : names_) ::unsetenv(name.c_str());
  }
  NodeEnvironment(const NodeEnvironment&) = delete;
  NodeEnvironment& operator=(const NodeEnvironment&) = delete;

 private:
  void set(const std::string& name, const std::string& value) {
    ::setenv(name.c_str(), value.c_str(), 1);
    names_.push_back(name);
  }
  std::vector<std::string> names_;
};

// The node's own credentials, provisioned as tarnelctl keystore does.
void provision_node() {
  std::string serial_key = e2e::kSerial;
  for (char& c : serial_key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string encrypted;
  ASSERT_EQ(RKPassword().encrypt(e2e::kNodePassword, serial_key, encrypted), 0);
  ASSERT_EQ(rkmx_utils::set_reg_key("sTarnelCluster", e2e::kCluster), 0);
  ASSERT_EQ(rkmx_utils::set_reg_key("sTarnelSerial", e2e::kSerial), 0);
  ASSERT_EQ(rkmx_utils::set_reg_key("sTarnelCID", encrypted), 0);
}

std::vector<std::string> lines_of(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// True when `line` starts as the writer starts every line:
// "2025-01-31T12:34:56.123456Z <pid> <tid> ".
bool whole_line_head(const std::string& line) {
  static const char kStamp[] = "dddd-dd-ddTdd:dd:dd.ddddddZ ";
  const std::size_t stamp = sizeof kStamp - 1;
  if (line.size() < stamp) return false;
  for (std::size_t i = 0; i < stamp; ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(line[i])) != 0;
    if (kStamp[i] == 'd' ? !digit : line[i] != kStamp[i]) return false;
  }
  std::size_t at = stamp;
  for (int number = 0; number < 2; ++number) {  // pid, then thread id
    const std::size_t start = at;
    while (at < line.size() && std::isdigit(static_cast<unsigned char>(line[at])) != 0) ++at;
    if (at == start || at == line.size() || line[at] != ' ') return false;
    ++at;
  }
  return true;
}

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string disk_name(int thread, int cycle) {
  return "t" + std::to_string(thread) + "-disk" + std::to_string(cycle);
}

// What one facade thread saw; checked on the test's thread.
struct FacadeOutcome {
  std::vector<int> creates;
  std::vector<int> exports;
  int session_result = -1;
  std::string session_id;
  std::pair<double, std::string> capacity;
  bool drives_returned_or_threw_rk = false;
};

void run_facade(int index, FacadeOutcome& outcome) {
  tarnel_admin admin;  // the node's own credentials from the key store
  for (int cycle = 0; cycle < kCyclesPerThread; ++cycle) {
    const std::string name = disk_name(index, cycle);
    outcome.creates.push_back(admin.create_vdisk(name));
    outcome.exports.push_back(admin.export_vdisk(name));
  }
  outcome.session_result = admin.get_tarnel_session(outcome.session_id);
  tarnel_vdisk disk(outcome.session_id, disk_name(index, 0), e2e::host_name());
  outcome.capacity = disk.get_cluster_space();
  // The helper runs on a real node only; here the runner fails or the
  // helper answers, on every thread at once.
  try {
    std::vector<_tarnel_data_drive> drives;
    admin.enumerate_data_drives(drives);
    outcome.drives_returned_or_threw_rk = true;
  } catch (const RkException&) {
    outcome.drives_returned_or_threw_rk = true;
  }
}

void run_log_writer(int index) {
  tarnel_debug debug;
  for (int line = 0; line < kLinesPerWriter; ++line) {
    debug.logMessage("concurrency::writer", -1, "writer %d line %d message", index, line);
    debug.logError("concurrency::writer", 7UL, "writer %d line %d error", index, line);
  }
}

__attribute__((format(printf, 2, 3))) void write_line(NqDebug& writer, const char* format, ...) {
  va_list args;
  va_start(args, format);
  writer.handleMsgEventDebug_NEW(-1, "concurrency::rotation", 0, -1, 0, nullptr, format, args);
  va_end(args);
}

// A writer of a log of its own (concurrency-rotation.log), 1 MiB per file and
// 3 files in all, so that the threads rotate it under each other.
void run_rotating_writer(int index) {
  NqDebugFileInstance descriptor;
  NqDebug writer(nullptr);
  writer.initialize(&descriptor, 0x54534e31, index, false, "concurrency-rotation");
  writer.setLogFileSize(1);
  writer.setMaxVersion(3);
  const std::string filler(kRotatingLineBytes, static_cast<char>('a' + index));
  for (int line = 0; line < kRotatingLines; ++line) {
    write_line(writer, "rotating %d line %d %s end", index, line, filler.c_str());
  }
}

// Rewrites the key store (another key) while the facades read it.
void run_keystore_writer() {
  for (int i = 1; i <= kKeystoreWrites; ++i) {
    EXPECT_EQ(rkmx_utils::set_reg_key("sConcurrencyMark", std::to_string(i)), 0);
  }
}

// Every call of every facade thread succeeded, and the simulator holds each
// disk and mount once.
void expect_facades_done(const std::vector<FacadeOutcome>& outcomes, const e2e::Simulator& sim) {
  std::set<std::string> expected_disks;
  std::set<std::string> expected_mounts;
  for (int i = 0; i < kFacadeThreads; ++i) {
    const FacadeOutcome& outcome = outcomes[i];
    EXPECT_EQ(outcome.creates, std::vector<int>(kCyclesPerThread, 0)) << "thread " << i;
    EXPECT_EQ(outcome.exports, std::vector<int>(kCyclesPerThread, 0)) << "thread " << i;
    EXPECT_EQ(outcome.session_result, 0) << "thread " << i;
    EXPECT_FALSE(outcome.session_id.empty()) << "thread " << i;
    EXPECT_EQ(outcome.capacity, std::make_pair(100.0, std::string("GB"))) << "thread " << i;
    EXPECT_TRUE(outcome.drives_returned_or_threw_rk) << "thread " << i;
    for (int cycle = 0; cycle < kCyclesPerThread; ++cycle) {
      expected_disks.insert(disk_name(i, cycle));
      expected_mounts.insert(disk_name(i, cycle) + " -> " + e2e::host_name());
    }
  }
  const std::vector<std::string> disks = sim.disks();
  const std::vector<std::string> mounts = sim.mounts();
  EXPECT_EQ(std::set<std::string>(disks.begin(), disks.end()), expected_disks);
  EXPECT_EQ(disks.size(), expected_disks.size());
  EXPECT_EQ(std::set<std::string>(mounts.begin(), mounts.end()), expected_mounts);
}

// The entries of the log at `path`: a message may hold line feeds, as the
// helper's error output does, so a line that does not start as an entry
// belongs to the one before.
void read_entries(const std::string& path, std::vector<std::string>& entries) {
  for (const std::string& line : lines_of(path)) {
    if (whole_line_head(line)) {
      entries.push_back(line);
    } else {
      ASSERT_FALSE(entries.empty()) << "the log starts with a torn line: " << line;
      entries.back() += "\n" + line;
    }
  }
}

// The shared log: every entry whole, every line of every writer there once.
void expect_shared_log_whole(const std::string& path) {
  std::vector<std::string> entries;
  ASSERT_NO_FATAL_FAILURE(read_entries(path, entries));
  const char* const kFacadeLines[] = {
      "tarnel_admin::create_vdisk(): Vdisk created ",
      "tarnel_admin::export_vdisk(): Vdisk exported ",
      "tarnel_admin::create_vdisk(): Failed to create vdisk ",
      "tarnel_admin::get_tarnel_session(): Failed to get a tarnel session"};
  std::map<std::string, int> counts;
  for (const std::string& entry : entries) {
    for (const char* fragment : kFacadeLines) {
      if (entry.find(fragment) != std::string::npos) ++counts[fragment];
    }
    const std::size_t writer = entry.find("concurrency::writer: ");
    if (writer == std::string::npos) continue;
    const std::string text = entry.substr(writer);
    if (text.rfind("concurrency::writer: writer ", 0) == 0 && ends_with(text, " message")) {
      ++counts["message"];
    } else if (text.rfind("concurrency::writer: [code 0, id 7] writer ", 0) == 0 &&
               ends_with(text, " error")) {
      ++counts["error"];
    } else {
      ADD_FAILURE() << "a writer's line is not whole: " << entry;
    }
  }
  EXPECT_EQ(counts[kFacadeLines[0]], kFacadeThreads * kCyclesPerThread);
  EXPECT_EQ(counts[kFacadeLines[1]], kFacadeThreads * kCyclesPerThread);
  EXPECT_EQ(counts[kFacadeLines[2]], 4);
  EXPECT_EQ(counts[kFacadeLines[3]], 3);
  EXPECT_EQ(counts["message"], kLogWriterThreads * kLinesPerWriter);
  EXPECT_EQ(counts["error"], kLogWriterThreads * kLinesPerWriter);
}

// The rotated log at `path`: three files in all, every line whole.
void expect_rotated_log_whole(const std::string& path) {
  EXPECT_TRUE(std::filesystem::exists(path + ".2"));
  EXPECT_FALSE(std::filesystem::exists(path + ".3"));
  const std::string tag = "concurrency::rotation: rotating ";
  for (const std::string& file : {path, path + ".1", path + ".2"}) {
    for (const std::string& line : lines_of(file)) {
      EXPECT_TRUE(whole_line_head(line)) << file << ": torn line";
      const std::size_t at = line.find(tag);
      ASSERT_NE(at, std::string::npos) << file;
      const char filler = static_cast<char>('a' + (line[at + tag.size()] - '0'));
      EXPECT_TRUE(ends_with(line, " " + std::string(kRotatingLineBytes, filler) + " end"))
          << file << ": cut line";
    }
  }
}

}  // namespace

TEST(ConcurrentFacades, EightThreadsWithTheirOwnFacadesAndSessionsBesideLogWriters) {
  e2e::TempDir dir;
  e2e::SimOptions options;
  // Logins and creations fail now and then, so that the retry loops and their
  // pauses run on several threads at once; no thread can meet five in a row.
  options.args = {"--fault", "Login:status=500,times=3", "--fault",
                  "AddVirtualDisk:status=503,times=4"};
  e2e::Simulator sim(dir, options);
  NodeEnvironment environment(dir, sim.port());
  ASSERT_NO_FATAL_FAILURE(provision_node());

  std::vector<FacadeOutcome> outcomes(kFacadeThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kFacadeThreads; ++i) {
    threads.emplace_back(run_facade, i, std::ref(outcomes[i]));
  }
  for (int i = 0; i < kLogWriterThreads; ++i) threads.emplace_back(run_log_writer, i);
  for (int i = 0; i < kRotatingWriterThreads; ++i) threads.emplace_back(run_rotating_writer, i);
  threads.emplace_back(run_keystore_writer);
  for (std::thread& thread : threads) thread.join();

  expect_facades_done(outcomes, sim);
  ASSERT_NO_FATAL_FAILURE(expect_shared_log_whole(dir.file("log/RKTarnel.log")));
  ASSERT_NO_FATAL_FAILURE(expect_rotated_log_whole(dir.file("log/concurrency-rotation.log")));
  std::string mark;
  EXPECT_EQ(rkmx_utils::get_reg_key("sConcurrencyMark", mark), 0);
  EXPECT_EQ(mark, std::to_string(kKeystoreWrites));
  EXPECT_EQ(sim.stop(), 0) << sim.err();
}
