// The log writer against real files: line layout and escaping,
// configuration, the 64 KiB cut, rotation across threads and processes,
// planted FIFOs and links, failing writes, and the stderr fallback.
#include "NqDebug.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host_test_support.h"
#include "unique_fd.h"

using host_test::in_child;
using host_test::kNoExit;
using host_test::read_file;
using host_test::ScopedEnv;
using host_test::StderrCapture;
using host_test::TempDir;
using host_test::write_file;

namespace {

constexpr unsigned int kModule = 1147741381;

void log_line(NqDebug& writer, const char* function, unsigned int code, long long id,
              const char* format, ...) __attribute__((format(printf, 5, 6)));
void log_line(NqDebug& writer, const char* function, unsigned int code, long long id,
              const char* format, ...) {
  va_list args;
  va_start(args, format);
  writer.handleMsgEventDebug_NEW(-1, function, code, -1, id, nullptr, format, args);
  va_end(args);
}

// A writer bound to its own descriptor, as each object of the library holds one.
struct Log {
  NqDebug writer{nullptr};
  NqDebugFileInstance instance;
  int initResult;
  explicit Log(const std::string& name = std::string(), bool mirror = false) {
    initResult = writer.initialize(&instance, kModule, 1, mirror, name);
  }
};

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The message of a line written with the function tag "t".
std::string message_of(const std::string& line) {
  const size_t at = line.find(" t: ");
  return at == std::string::npos ? "(no message in: " + line + ")" : line.substr(at + 4);
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class LogWriter : public ::testing::Test {
 protected:
  TempDir dir;
  const std::string log_path = dir.file("RKTarnel.log");
  ScopedEnv logDir{"TARNEL_LOG_DIR", dir.path()};
  ScopedEnv keystore{"TARNEL_KEYSTORE", dir.file("keystore.conf")};
  ScopedEnv level{"TARNEL_DEBUG_LEVEL", std::nullopt};
  ScopedEnv mirror{"TARNEL_LOG_STDERR", std::nullopt};

  // Makes the log file `bytes` long, its last byte a line feed.
  void plant_log(size_t bytes) { write_file(log_path, std::string(bytes - 1, 'o') + "\n"); }

  // Bytes of a line before its message, for the function tag "t".
  size_t header_bytes() {
    Log probe("probe");
    log_line(probe.writer, "t", 0, 0, "probe");
    return read_file(dir.file("probe.log")).size() - std::strlen("probe\n");
  }

  // In a child process: writes "first"; then, under a file-size limit that
  // lets `allowed` bytes more into the log (SIGXFSZ ignored), a line of
  // 1000 'c'; then, the limit lifted, "after". The log starts with 16 KiB of
  // lines so that what the child writes to a captured stderr stays under the
  // limit. Returns the child's result: 0 when every step could be taken.
  int write_across_file_size_limit(size_t allowed) {
    plant_log(16 * 1024);
    return in_child([&] {
      ::signal(SIGXFSZ, SIG_IGN);
      Log log;
      log_line(log.writer, "t", 0, 0, "first");
      struct rlimit saved;
      if (log.initResult != 0 || ::getrlimit(RLIMIT_FSIZE, &saved) != 0) return 2;
      struct rlimit limited = saved;
      limited.rlim_cur = std::filesystem::file_size(log_path) + allowed;
      if (::setrlimit(RLIMIT_FSIZE, &limited) != 0) return 3;
      log_line(log.writer, "t", 0, 0, "%s", std::string(1000, 'c').c_str());
      if (::setrlimit(RLIMIT_FSIZE, &saved) != 0) return 4;
      log_line(log.writer, "t", 0, 0, "after");
      return 0;
    });
  }
};

TEST_F(LogWriter, WritesOneLineWithTimePidTidTagAndMessage) {
  Log log;
  EXPECT_EQ(log.initResult, 0);
  log_line(log.writer, "tarnel_admin::create_vdisk()", 0, 0, "Vdisk created %s (%d)", "d1", 42);
  log_line(log.writer, nullptr, 5, 7, "with code and id");
  log_line(log.writer, "tag()", 0, -3, "ends with its own line feed\n\n");
  log_line(log.writer, "tag()", 0, 0, nullptr);

  const std::vector<std::string> lines = lines_of(read_file(log_path));
  ASSERT_EQ(lines.size(), 4u);
  const std::string ids = std::to_string(::getpid()) + " " + std::to_string(::gettid()) + " ";
  const std::string time = R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{6}Z )";
  EXPECT_TRUE(std::regex_match(
      lines[0],
      std::regex(time + ids + R"(tarnel_admin::create_vdisk\(\): Vdisk created d1 \(42\))")))
      << lines[0];
  EXPECT_TRUE(
      std::regex_match(lines[1], std::regex(time + ids + R"(\[code 5, id 7\] with code and id)")))
      << lines[1];
  EXPECT_TRUE(std::regex_match(
      lines[2],
      std::regex(time + ids + R"(tag\(\): \[code 0, id -3\] ends with its own line feed)")))
      << lines[2];
  EXPECT_TRUE(std::regex_match(lines[3], std::regex(time + ids + R"(tag\(\): \(null\))")))
      << lines[3];
}

TEST_F(LogWriter, ControlCharactersAreEscapedSoThatOneCallWritesOneLine) {
  Log log;
  log_line(log.writer, "t", 0, 0, "disk %s created",
           "d1\n2025-01-31T00:00:00.000000Z 1 1 forged: x");
  log_line(log.writer, "t", 0, 0, "%s",
           "tab\tcr\r esc\x1b[0m del\x7f \x01 \\n \\x41 \\q \\\n é\n\n");
  const std::string controls(30000, '\x02');  // escaped 120,000 bytes: cut at 64 KiB
  log_line(log.writer, "t", 0, 0, "%s", controls.c_str());

  const std::vector<std::string> lines = lines_of(read_file(log_path));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(message_of(lines[0]), "disk d1\\n2025-01-31T00:00:00.000000Z 1 1 forged: x created");
  // Tab, backslashes and bytes above 0x7f stay as they are.
  EXPECT_EQ(message_of(lines[1]), "tab\tcr\\r esc\\x1b[0m del\\x7f \\x01 \\n \\x41 \\q \\\\n é");
  std::smatch marker;
  const std::string cut = message_of(lines[2]);
  ASSERT_TRUE(std::regex_search(cut, marker, std::regex(R"( \[\.\.\. (\d+) bytes dropped\]$)")));
  const std::string escaped = cut.substr(0, static_cast<size_t>(marker.position(0)));
  std::string expected;
  while (expected.size() < escaped.size()) expected += "\\x02";
  EXPECT_EQ(escaped, expected);
  EXPECT_EQ(escaped.size() / 4 + std::stoul(marker[1].str()), controls.size());
  EXPECT_LE(lines[2].size() + 1, 64u * 1024u);
  EXPECT_GT(lines[2].size() + 1, 64u * 1024u - 64u);  // cut at 64 KiB, not earlier
}

TEST_F(LogWriter, EachControlCharacterIsEscapedAndEveryOtherByteKept) {
  const struct {
    const char* message;
    const char* logged;
  } kCases[] = {
      {"tab\t back\\slash \\n", "tab\t back\\slash \\n"},
      {"lf\n cr\r esc\x1b del\x7f nul\x01", "lf\\n cr\\r esc\\x1b del\\x7f nul\\x01"},
      {"e\xc3\xa9 euro\xe2\x82\xac nbsp\xc2\xa0 smile\xf0\x9f\x98\x80",
       "e\xc3\xa9 euro\xe2\x82\xac nbsp\xc2\xa0 smile\xf0\x9f\x98\x80"},
      {"csi\xc2\x9b osc\xc2\x9d first\xc2\x80 last\xc2\x9f",
       "csi\\xc2\\x9b osc\\xc2\\x9d first\\xc2\\x80 last\\xc2\\x9f"},
      {"stray\x9b\x80 lead only\xc2 z", "stray\\x9b\\x80 lead only\xc2 z"},
      {"overlong\xc0\x9b\xe0\x80\x9b", "overlong\xc0\\x9b\xe0\\x80\\x9b"},
      {"surrogate\xed\xa0\x80 beyond\xf4\x90\x80\x80",
       "surrogate\xed\xa0\\x80 beyond\xf4\\x90\\x80\\x80"},
      {"cut short\xe2\x82", "cut short\xe2\\x82"},
  };
  Log log;
  for (const auto& row : kCases) log_line(log.writer, "t", 0, 0, "%s", row.message);
  const std::vector<std::string> lines = lines_of(read_file(log_path));
  ASSERT_EQ(lines.size(), std::size(kCases));
  for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(message_of(lines[i]), kCases[i].logged);
}

TEST_F(LogWriter, AnEscapedMessageThatExactlyFillsTheLineIsKeptWhole) {
  const size_t room = 64 * 1024 - 1 - header_bytes();  // message bytes a line holds
  const struct {
    const char* control;
    const char* escaped;
    size_t over;  // escaped bytes beyond the room
  } kCases[] = {{"\x02", "\\x02", 0},
                {"\x02", "\\x02", 1},
                {"\xc2\x9b", "\\xc2\\x9b", 0},
                {"\xc2\x9b", "\\xc2\\x9b", 1}};
  Log log;
  for (const auto& row : kCases) {
    std::string message, escaped;
    for (int i = 0; i < 1000; ++i) {
      message += row.control;
      escaped += row.escaped;
    }
    message += std::string(room + row.over - escaped.size(), 'a');
    escaped += std::string(room + row.over - escaped.size(), 'a');
    log_line(log.writer, "t", 0, 0, "%s", message.c_str());
    const std::string line = lines_of(read_file(log_path)).back();
    if (row.over == 0) {
      EXPECT_TRUE(message_of(line) == escaped) << row.escaped << ": " << line.size() << " bytes";
      EXPECT_EQ(line.size() + 1, 64u * 1024u);
    } else {
      EXPECT_TRUE(contains(line, " bytes dropped]")) << row.escaped;
      EXPECT_LE(line.size() + 1, 64u * 1024u);
    }
  }
}

TEST_F(LogWriter, WritersOfOneFileShareItAndANamedLogHasItsOwnFile) {
  auto first = std::make_unique<Log>();
  Log second;
  Log named("host-audit");
  log_line(first->writer, "a", 0, 0, "one");
  log_line(second.writer, "b", 0, 0, "two");
  log_line(named.writer, "c", 0, 0, "three");
  // A second initialize of the same writer and descriptor, as copy assignment does.
  EXPECT_EQ(first->writer.initialize(&first->instance, kModule, 1, false, ""), 0);
  log_line(first->writer, "a", 0, 0, "four");
  first.reset();  // the descriptor goes before its writer here, as in the library
  log_line(second.writer, "b", 0, 0, "five");

  const std::vector<std::string> lines = lines_of(read_file(log_path));
  ASSERT_EQ(lines.size(), 4u);
  const char* expected[] = {"a: one", "b: two", "a: four", "b: five"};
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_NE(lines[i].find(expected[i]), std::string::npos) << lines[i];
  }
  const std::vector<std::string> namedLines = lines_of(read_file(dir.file("host-audit.log")));
  ASSERT_EQ(namedLines.size(), 1u);
  EXPECT_NE(namedLines[0].find("c: three"), std::string::npos);
}

TEST_F(LogWriter, DebugLevelComesFromTheEnvironmentOrTheKeyStore) {
  EXPECT_EQ(Log().instance.debugLevel, 0);
  write_file(dir.file("keystore.conf"), "dTarnelDebugLevel=1\n");
  EXPECT_EQ(Log().instance.debugLevel, 1);
  write_file(dir.file("keystore.conf"), "dTarnelDebugLevel=-1\n");
  EXPECT_EQ(Log().instance.debugLevel, -1);
  {
    ScopedEnv fromEnv("TARNEL_DEBUG_LEVEL", std::string("2"));
    EXPECT_EQ(Log().instance.debugLevel, 2);
  }
  write_file(dir.file("keystore.conf"), "dTarnelDebugLevel=verbose\n");
  EXPECT_EQ(Log().instance.debugLevel, 0);
}

TEST_F(LogWriter, LogDirectoryComesFromTheKeyStoreWhenTheEnvironmentHasNone) {
  ScopedEnv noDir("TARNEL_LOG_DIR", std::nullopt);
  const std::string fromStore = dir.file("from-store");
  write_file(dir.file("keystore.conf"), "sTarnelLogDir=" + fromStore + "\n");
  Log log;
  EXPECT_EQ(log.initResult, 0);
  log_line(log.writer, "t", 0, 0, "here");
  EXPECT_NE(read_file(fromStore + "/RKTarnel.log").find("t: here"), std::string::npos);
}

TEST_F(LogWriter, LineOver64KiBIsCutWithAMarkerOfTheDroppedBytes) {
  Log log;
  const std::string big(100000, 'x');
  const std::string medium(20000, 'y');  // longer than the stack buffer, shorter than the cut
  log_line(log.writer, "tarnel_session::tarnel_req_rsp()", 0, 0, "Reply [%s]", big.c_str());
  log_line(log.writer, "t", 0, 0, "%s", medium.c_str());

  const std::vector<std::string> lines = lines_of(read_file(log_path));
  ASSERT_EQ(lines.size(), 2u);
  const std::string& cut = lines[0];
  EXPECT_LE(cut.size() + 1, 64u * 1024u);
  std::smatch marker;
  ASSERT_TRUE(std::regex_search(cut, marker, std::regex(R"(x \[\.\.\. (\d+) bytes dropped\]$)")));
  const size_t kept = static_cast<size_t>(std::count(cut.begin(), cut.end(), 'x'));
  const size_t dropped = std::stoul(marker[1].str());
  EXPECT_EQ(kept + dropped, big.size() + 1);     // the closing "]" went with the rest
  EXPECT_GT(cut.size() + 1, 64u * 1024u - 64u);  // cut at 64 KiB, not earlier

  EXPECT_EQ(lines[1].substr(lines[1].size() - medium.size() - 3), "t: " + medium);
}

// Sizes of the kept files, current first.
std::vector<uintmax_t> kept_sizes(const std::string& log_path, int upTo) {
  std::vector<uintmax_t> sizes;
  for (int i = 0; i <= upTo; ++i) {
    const std::string path = i == 0 ? log_path : log_path + "." + std::to_string(i);
    sizes.push_back(std::filesystem::exists(path) ? std::filesystem::file_size(path) : 0);
  }
  return sizes;
}

TEST_F(LogWriter, RotationKeepsTheConfiguredNumberOfFilesUnderTheLimit) {
  Log log;
  ASSERT_EQ(log.writer.setLogFileSize(1), 0);
  ASSERT_EQ(log.writer.setMaxVersion(3), 0);
  const std::string payload(60000, 'r');
  for (int i = 0; i < 60; ++i) log_line(log.writer, "t", 0, 0, "%03d %s", i, payload.c_str());

  const std::vector<uintmax_t> sizes = kept_sizes(log_path, 3);
  EXPECT_GT(sizes[0], 0u);
  EXPECT_GT(sizes[1], 1024u * 1024u - 64u * 1024u);
  EXPECT_LE(sizes[1], 1024u * 1024u);
  EXPECT_GT(sizes[2], 1024u * 1024u - 64u * 1024u);
  EXPECT_LE(sizes[2], 1024u * 1024u);
  EXPECT_EQ(sizes[3], 0u) << "a fourth file is kept";
  // The newest line is last in the current file, and the files hold
  // consecutive lines from newest to oldest.
  const std::vector<std::string> current = lines_of(read_file(log_path));
  ASSERT_FALSE(current.empty());
  EXPECT_NE(current.back().find("t: 059 "), std::string::npos);
  const std::vector<std::string> previous = lines_of(read_file(log_path + ".1"));
  ASSERT_FALSE(previous.empty());
  const int lastOfPrevious = std::stoi(previous.back().substr(previous.back().find("t: ") + 3, 3));
  const int firstOfCurrent = std::stoi(current.front().substr(current.front().find("t: ") + 3, 3));
  EXPECT_EQ(lastOfPrevious + 1, firstOfCurrent);
}

TEST_F(LogWriter, ALineThatExactlyFillsTheLimitDoesNotRotate) {
  const size_t header = header_bytes();
  for (const size_t over : {0, 1}) {  // bytes beyond the limit
    const std::string name = "fill" + std::to_string(over);
    const std::string path = dir.file(name + ".log");
    const std::string message(100, 'f');
    write_file(path, std::string(1024 * 1024 - header - message.size() - 2 + over, 'o') + "\n");
    Log log(name);
    ASSERT_EQ(log.writer.setLogFileSize(1), 0);
    log_line(log.writer, "t", 0, 0, "%s", message.c_str());
    EXPECT_EQ(std::filesystem::exists(path + ".1"), over > 0) << over;
    EXPECT_EQ(std::filesystem::file_size(path),
              over > 0 ? header + message.size() + 1 : 1024u * 1024u);
  }
}

TEST_F(LogWriter, ReopensTheFileAfterAnotherProcessRotatedIt) {
  Log log;
  ASSERT_EQ(log.writer.setLogFileSize(1), 0);
  log_line(log.writer, "t", 0, 0, "before");
  std::filesystem::rename(log_path, log_path + ".1");  // what a rotating process does
  const std::string payload(60000, 'p');
  for (int i = 0; i < 3; ++i) log_line(log.writer, "t", 0, 0, "%s", payload.c_str());
  log_line(log.writer, "t", 0, 0, "after");

  EXPECT_NE(read_file(log_path + ".1").find("t: before"), std::string::npos);
  const std::vector<std::string> current = lines_of(read_file(log_path));
  ASSERT_FALSE(current.empty());
  EXPECT_NE(current.back().find("t: after"), std::string::npos);
}

// Writes kLines numbered lines from kThreads threads, each with its own
// writer object, with a size limit of 1 MiB and 10 files in all.
constexpr int kThreads = 8;
constexpr int kLines = 4000;

std::string payload_for(int process, int thread, int number) {
  return std::string(40, static_cast<char>('a' + (process * 7 + thread * 3 + number) % 26));
}

void write_numbered_lines(int process) {
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([process, t] {
      Log log;
      log.writer.setLogFileSize(1);
      log.writer.setMaxVersion(10);
      for (int n = 0; n < kLines; ++n) {
        log_line(log.writer, "stress()", 0, 0, "p%d t%d n%05d %s|end", process, t, n,
                 payload_for(process, t, n).c_str());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
}

TEST_F(LogWriter, TwoProcessesOfEightThreadsKeepEveryLineOnceAndWhole) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    write_numbered_lines(1);
    ::_exit(0);
  }
  write_numbered_lines(0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  std::vector<int> seen(2 * kThreads * kLines, 0);
  size_t torn = 0;
  int files = 0;
  for (int i = 0; i < 10; ++i) {
    const std::string path = i == 0 ? log_path : log_path + "." + std::to_string(i);
    if (!std::filesystem::exists(path)) continue;
    ++files;
    const std::string text = read_file(path);
    EXPECT_TRUE(text.empty() || text.back() == '\n') << path;
    // A file is rotated only when the next line would not fit: no process
    // rotates a file that another has just started.
    if (i > 0) {
      EXPECT_GT(text.size(), 1024u * 1024u - 64u * 1024u) << path;
    }
    for (const std::string& line : lines_of(text)) {
      // "<time> <pid> <tid> stress(): p<P> t<T> n<NNNNN> <payload>|end"
      static const std::string kTag = " stress(): p";
      const size_t at = line.find(kTag);
      int p = -1, t = -1, n = -1, consumed = 0;
      char payload[41] = {};
      if (at == std::string::npos || std::count(line.begin(), line.begin() + at, ' ') != 2 ||
          std::sscanf(line.c_str() + at + kTag.size(), "%d t%d n%5d %40[a-z]%n", &p, &t, &n,
                      payload, &consumed) != 4 ||
          std::strcmp(line.c_str() + at + kTag.size() + consumed, "|end") != 0 || p < 0 || p > 1 ||
          t < 0 || t >= kThreads || n < 0 || n >= kLines || payload != payload_for(p, t, n)) {
        ++torn;
        continue;
      }
      ++seen[(p * kThreads + t) * kLines + n];
    }
  }
  EXPECT_EQ(torn, 0u);
  EXPECT_GE(files, 6) << "the log did not rotate";
  EXPECT_FALSE(std::filesystem::exists(log_path + ".10"));
  size_t missing = 0, repeated = 0;
  for (int count : seen) {
    missing += count == 0;
    repeated += count > 1;
  }
  EXPECT_EQ(missing, 0u);
  EXPECT_EQ(repeated, 0u);
}

TEST_F(LogWriter, UnusableDirectoryGivesOneWarningAndLinesOnStderr) {
  write_file(dir.file("plain-file"), "");
  ScopedEnv unusable("TARNEL_LOG_DIR", dir.file("plain-file/logs"));
  StderrCapture capture(dir.file("stderr.txt"));
  Log first;
  Log second;
  log_line(first.writer, "t", 0, 0, "first line");
  log_line(second.writer, "t", 0, 0, "second line");
  const std::string text = capture.finish();

  EXPECT_EQ(first.initResult, 1);
  const std::vector<std::string> lines = lines_of(text);
  ASSERT_EQ(lines.size(), 3u) << text;
  EXPECT_EQ(lines[0], "tarnel log: cannot open " + dir.path() +
                          "/plain-file/logs/RKTarnel.log: Not a directory; log lines go to stderr");
  EXPECT_NE(text.find("t: first line"), std::string::npos);
  EXPECT_NE(text.find("t: second line"), std::string::npos);
}

TEST_F(LogWriter, LinesAreMirroredToStderrOnRequest) {
  StderrCapture capture(dir.file("stderr.txt"));
  {
    Log quiet;
    log_line(quiet.writer, "t", 0, 0, "file only");
    Log mirrored("", true);
    log_line(mirrored.writer, "t", 0, 0, "mirrored by flag");
    ScopedEnv byEnv("TARNEL_LOG_STDERR", std::string("1"));
    Log fromEnv;
    log_line(fromEnv.writer, "t", 0, 0, "mirrored by environment");
  }
  const std::string errors = capture.finish();
  const std::string file = read_file(log_path);
  for (const char* text : {"t: file only", "t: mirrored by flag", "t: mirrored by environment"}) {
    EXPECT_NE(file.find(text), std::string::npos) << text;
  }
  EXPECT_EQ(errors.find("file only"), std::string::npos);
  EXPECT_NE(errors.find("t: mirrored by flag\n"), std::string::npos);
  EXPECT_NE(errors.find("t: mirrored by environment\n"), std::string::npos);
}

TEST_F(LogWriter, AnUnboundWriterWritesToStderrAndRefusesSettings) {
  NqDebug unbound(nullptr);
  EXPECT_NE(unbound.setLogFileSize(1), 0);
  EXPECT_NE(unbound.setMaxVersion(3), 0);
  EXPECT_NE(unbound.initialize(nullptr, kModule, 1, false, ""), 0);
  StderrCapture capture(dir.file("stderr.txt"));
  log_line(unbound, "t", 0, 0, "nowhere to go %d", 1);
  EXPECT_NE(capture.finish().find("t: nowhere to go 1\n"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(log_path));
}

TEST_F(LogWriter, ALineAfterAPartialWriteStartsOnItsOwnLine) {
  StderrCapture capture(dir.file("stderr.txt"));
  ASSERT_EQ(write_across_file_size_limit(100), 0);
  capture.finish();
  const std::vector<std::string> lines = lines_of(read_file(log_path));
  ASSERT_GE(lines.size(), 3u);
  const std::string& fragment = lines[lines.size() - 2];
  EXPECT_EQ(message_of(lines[lines.size() - 3]), "first");
  EXPECT_EQ(fragment.size(), 100u);
  EXPECT_TRUE(contains(fragment, " t: ccc")) << fragment;
  EXPECT_EQ(lines.back().find(lines[lines.size() - 3].substr(0, 4)), 0u) << lines.back();
  EXPECT_EQ(message_of(lines.back()), "after");
}

TEST_F(LogWriter, AFailedWriteWarnsAndSendsTheLineToStderr) {
  StderrCapture capture(dir.file("stderr.txt"));
  ASSERT_EQ(write_across_file_size_limit(0), 0);
  const std::vector<std::string> errors = lines_of(capture.finish());
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0], "tarnel log: cannot write " + log_path + ": File too large");
  EXPECT_EQ(message_of(errors[1]), std::string(1000, 'c'));
  const std::vector<std::string> lines = lines_of(read_file(log_path));
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(message_of(lines[lines.size() - 2]), "first");
  EXPECT_EQ(message_of(lines.back()), "after");
}

// Sets the file-size limit of this process to the size of `path`.
bool limit_file_size_to(const std::string& path) {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_FSIZE, &limit) != 0) return false;
  limit.rlim_cur = std::filesystem::file_size(path);
  return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

bool xfsz_pending() {
  sigset_t pending;
  return ::sigpending(&pending) == 0 && sigismember(&pending, SIGXFSZ);
}

TEST_F(LogWriter, TwoWritersAtTheFileSizeLimitSurviveAndSendTheirLinesToStderr) {
  plant_log(16 * 1024);
  const std::string planted = read_file(log_path);
  constexpr int kLinesEach = 20;
  const std::string payload(40, 'x');
  StderrCapture capture(dir.file("stderr.txt"));
  const int status = in_child([&] {
    ::signal(SIGXFSZ, SIG_DFL);
    Log log;
    if (!limit_file_size_to(log_path)) return 2;
    const pid_t other = ::fork();  // the second writer, under the same limit
    for (int n = 0; n < kLinesEach; ++n) {
      log_line(log.writer, "t", 0, 0, "p%d n%02d %s|end", other == 0, n, payload.c_str());
    }
    if (other == 0) ::_exit(0);
    int otherStatus = 0;
    if (other < 0 || ::waitpid(other, &otherStatus, 0) != other) return 3;
    return WIFEXITED(otherStatus) ? WEXITSTATUS(otherStatus) : 100 + WTERMSIG(otherStatus);
  });
  const std::vector<std::string> errors = lines_of(capture.finish());

  EXPECT_EQ(status, 0) << "100 + N: the second writer died of signal N; " << kNoExit
                       << ": the first did";
  EXPECT_EQ(read_file(log_path), planted);
  std::map<std::string, int> seen;
  for (const std::string& line : errors) {
    seen[contains(line, "tarnel log: ") ? line : message_of(line)]++;
  }
  EXPECT_EQ(seen["tarnel log: cannot write " + log_path + ": File too large"], 2);
  int whole = 0;
  for (int p = 0; p < 2; ++p) {
    for (int n = 0; n < kLinesEach; ++n) {
      char message[64];
      std::snprintf(message, sizeof message, "p%d n%02d %s|end", p, n, payload.c_str());
      whole += seen[message] == 1;
    }
  }
  EXPECT_EQ(whole, 2 * kLinesEach);
  EXPECT_EQ(errors.size(), 2u + 2u * kLinesEach) << "a torn or extra line";
}

TEST_F(LogWriter, TakesTheSigxfszOfItsWriteButNotOneAlreadyPending) {
  plant_log(1024);
  StderrCapture capture(dir.file("stderr.txt"));
  const int status = in_child([&] {
    sigset_t xfsz;
    sigemptyset(&xfsz);
    sigaddset(&xfsz, SIGXFSZ);
    ::pthread_sigmask(SIG_BLOCK, &xfsz, nullptr);  // the caller blocks it itself
    Log log;
    if (!limit_file_size_to(log_path)) return 2;
    for (const bool pendingBefore : {false, true}) {
      if (pendingBefore) ::pthread_kill(::pthread_self(), SIGXFSZ);
      log_line(log.writer, "t", 0, 0, "past the limit");
      if (xfsz_pending() != pendingBefore) return pendingBefore ? 4 : 3;
    }
    return 0;
  });
  EXPECT_EQ(status, 0) << "3: the write's own SIGXFSZ was left pending; 4: the caller's was taken";
}

TEST_F(LogWriter, APlantedFifoIsRefusedWithoutWaiting) {
  const std::string other = dir.file("other.log");
  ASSERT_EQ(::mkfifo(log_path.c_str(), 0600), 0);
  StderrCapture capture(dir.file("stderr.txt"));
  const int status = in_child([&] {
    Log log;
    log_line(log.writer, "t", 0, 0, "to stderr");
    // A FIFO where another process rotated the file away: noticed at the
    // writer's next look at the file (after 1/8 of the limit).
    Log rotated("other");
    rotated.writer.setLogFileSize(1);
    log_line(rotated.writer, "t", 0, 0, "before");
    if (::rename(other.c_str(), (other + ".1").c_str()) != 0) return 2;
    if (::mkfifo(other.c_str(), 0600) != 0) return 3;
    const std::string payload(60000, 'p');
    for (int i = 0; i < 3; ++i) log_line(rotated.writer, "t", 0, 0, "%s", payload.c_str());
    log_line(rotated.writer, "t", 0, 0, "after");
    return log.initResult;
  });
  const std::string errors = capture.finish();
  EXPECT_EQ(status, 1) << "1: lines go to stderr; kNoExit: the child was stuck or died";
  EXPECT_TRUE(contains(errors, "tarnel log: cannot open " + log_path +
                                   ": not a regular file; log lines go to stderr\n"))
      << errors;
  EXPECT_TRUE(contains(errors, " t: to stderr\n"));
  EXPECT_TRUE(contains(errors, "tarnel log: cannot reopen " + other + ": not a regular file\n"));
  const std::vector<std::string> kept = lines_of(read_file(other + ".1"));
  ASSERT_EQ(kept.size(), 5u);
  EXPECT_EQ(message_of(kept.back()), "after");
}

TEST_F(LogWriter, PlantedLinksAreRefusedAndTheirTargetsLeftAlone) {
  const std::string target = dir.file("target.txt");
  const std::string lockTarget = dir.file("lock-target");
  const std::string lockPath = dir.file("locked.log.lock");
  write_file(target, "precious\n");
  std::filesystem::create_symlink(target, log_path);
  std::filesystem::create_symlink(lockTarget, lockPath);
  StderrCapture capture(dir.file("stderr.txt"));
  Log linked;
  log_line(linked.writer, "t", 0, 0, "not for the target");
  // A refused lock: lines go to the file, which is not rotated.
  Log locked("locked");
  locked.writer.setLogFileSize(1);
  const std::string payload(60000, 'l');
  for (int i = 0; i < 20; ++i) log_line(locked.writer, "t", 0, 0, "%s", payload.c_str());
  const std::string errors = capture.finish();

  EXPECT_EQ(linked.initResult, 1);
  EXPECT_EQ(read_file(target), "precious\n");
  EXPECT_TRUE(contains(errors, "tarnel log: cannot open " + log_path +
                                   ": is a symbolic link; log lines go to stderr\n"))
      << errors;
  EXPECT_TRUE(contains(errors, " t: not for the target\n"));
  EXPECT_EQ(locked.initResult, 0);
  EXPECT_FALSE(std::filesystem::exists(lockTarget));
  EXPECT_TRUE(contains(errors, "tarnel log: cannot open " + lockPath + ": is a symbolic link\n"));
  EXPECT_FALSE(std::filesystem::exists(dir.file("locked.log.1")));
  EXPECT_EQ(lines_of(read_file(dir.file("locked.log"))).size(), 20u);
}

TEST_F(LogWriter, ALogFileWiderThan0640IsNarrowed) {
  write_file(log_path, "");
  ASSERT_EQ(::chmod(log_path.c_str(), 0666), 0);
  Log log;
  EXPECT_EQ(log.initResult, 0);
  struct stat status;
  ASSERT_EQ(::stat(log_path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640u);
}

TEST_F(LogWriter, NoDescriptorOfTheWriterIsAStandardStream) {
  const int status = in_child([&] {
    ::close(STDOUT_FILENO);  // as in a program started with stdout closed
    Log log;
    log_line(log.writer, "t", 0, 0, "logged");
    if (::fcntl(STDOUT_FILENO, F_GETFD) != -1) return 2;  // the writer kept descriptor 1
    static const char kPrinted[] = "printed on stdout\n";
    if (::write(STDOUT_FILENO, kPrinted, sizeof kPrinted - 1) > 0) return 3;
    return log.initResult;
  });
  EXPECT_EQ(status, 0);
  const std::string text = read_file(log_path);
  EXPECT_TRUE(contains(text, " t: logged\n"));
  EXPECT_FALSE(contains(text, "printed on stdout"));
}

TEST_F(LogWriter, ABusyRotationLockLeavesLinesUnrotatedAndBacksOff) {
  plant_log(1024 * 1024 - 10);  // the next line is due for rotation
  Log log;
  ASSERT_EQ(log.writer.setLogFileSize(1), 0);
  tarnel_host::UniqueFd held(::open((log_path + ".lock").c_str(), O_RDWR | O_CLOEXEC));
  ASSERT_TRUE(held.valid());
  ASSERT_EQ(::flock(held.get(), LOCK_EX), 0);  // its own open file: the writer's flock waits
  StderrCapture capture(dir.file("stderr.txt"));
  log_line(log.writer, "t", 0, 0, "while locked");  // after the bounded wait, unrotated
  held.reset();
  log_line(log.writer, "t", 0, 0, "within the back-off");
  const bool rotatedEarly = std::filesystem::exists(log_path + ".1");
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  log_line(log.writer, "t", 0, 0, "after the back-off");
  const std::string errors = capture.finish();

  EXPECT_FALSE(rotatedEarly);
  EXPECT_EQ(errors, "tarnel log: cannot lock for rotation " + log_path + ": " +
                        std::strerror(ETIMEDOUT) + "\n");
  const std::vector<std::string> rotated = lines_of(read_file(log_path + ".1"));
  ASSERT_EQ(rotated.size(), 3u);
  EXPECT_EQ(message_of(rotated[1]), "while locked");
  EXPECT_EQ(message_of(rotated[2]), "within the back-off");
  const std::vector<std::string> current = lines_of(read_file(log_path));
  ASSERT_EQ(current.size(), 1u);
  EXPECT_EQ(message_of(current[0]), "after the back-off");
}

TEST_F(LogWriter, LoweringTheVersionsRemovesTheFilesBeyondThem) {
  for (int i = 1; i <= 9; ++i) {
    write_file(log_path + "." + std::to_string(i), "version " + std::to_string(i) + "\n");
  }
  plant_log(1024 * 1024 - 10);
  Log log;
  ASSERT_EQ(log.writer.setLogFileSize(1), 0);
  ASSERT_EQ(log.writer.setMaxVersion(10), 0);
  ASSERT_EQ(log.writer.setMaxVersion(9), 0);
  log_line(log.writer, "t", 0, 0, "rotated first");

  EXPECT_FALSE(std::filesystem::exists(log_path + ".9")) << "a tenth file is kept";
  for (int i = 2; i <= 8; ++i) {
    const std::string previous = "version " + std::to_string(i - 1) + "\n";
    EXPECT_EQ(read_file(log_path + "." + std::to_string(i)), previous);
  }
  EXPECT_EQ(std::filesystem::file_size(log_path + ".1"), 1024u * 1024u - 10u);
  const std::vector<std::string> current = lines_of(read_file(log_path));
  ASSERT_EQ(current.size(), 1u);
  EXPECT_EQ(message_of(current[0]), "rotated first");
}

TEST_F(LogWriter, ALogBeyondTheSixtyFourthOfAProcessGoesToStderr) {
  StderrCapture capture(dir.file("stderr.txt"));
  // In a child: this process keeps the logs of the other tests.
  const int opened = in_child([&] {
    std::vector<std::unique_ptr<Log>> logs;
    for (int i = 0; i <= 64; ++i) {
      logs.push_back(std::make_unique<Log>("log-" + std::to_string(i)));
      if (logs.back()->initResult != 0) break;
    }
    Log& refused = *logs.back();
    if (refused.initResult != -1 || logs.size() < 2) return 255;
    log_line(refused.writer, "t", 0, 0, "refused log");
    refused.writer.setLogFileSize(1);
    refused.writer.setMaxVersion(3);
    log_line(refused.writer, "t", 0, 0, "still refused");
    log_line(logs.front()->writer, "t", 0, 0, "first log");
    return static_cast<int>(logs.size()) - 1;
  });
  const std::string errors = capture.finish();
  ASSERT_GE(opened, 1);
  ASSERT_LE(opened, 64);
  EXPECT_TRUE(contains(errors, " t: refused log\n")) << errors;
  EXPECT_TRUE(contains(errors, " t: still refused\n"));
  EXPECT_FALSE(std::filesystem::exists(dir.file("log-" + std::to_string(opened) + ".log")));
  EXPECT_TRUE(contains(read_file(dir.file("log-0.log")), " t: first log\n"));
}

}  // namespace
