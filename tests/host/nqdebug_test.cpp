// The log writer against real files: line layout, configuration, the 64 KiB
// cut, rotation across threads and processes, and the stderr fallback.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "NqDebug.h"
#include "host_test_support.h"

using host_test::readFile;
using host_test::ScopedEnv;
using host_test::StderrCapture;
using host_test::TempDir;
using host_test::writeFile;

namespace {

constexpr unsigned int kModule = 1147741381;

void logLine(NqDebug& writer, const char* function, unsigned int code, long long id,
             const char* format, ...) __attribute__((format(printf, 5, 6)));
void logLine(NqDebug& writer, const char* function, unsigned int code, long long id,
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

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class LogWriter : public ::testing::Test {
 protected:
  TempDir dir;
  const std::string logPath = dir / "RKTarnel.log";
  ScopedEnv logDir{"TARNEL_LOG_DIR", dir.path()};
  ScopedEnv keystore{"TARNEL_KEYSTORE", dir / "keystore.conf"};
  ScopedEnv level{"TARNEL_DEBUG_LEVEL", std::nullopt};
  ScopedEnv mirror{"TARNEL_LOG_STDERR", std::nullopt};
};

TEST_F(LogWriter, WritesOneLineWithTimePidTidTagAndMessage) {
  Log log;
  EXPECT_EQ(log.initResult, 0);
  logLine(log.writer, "tarnel_admin::create_vdisk()", 0, 0, "Vdisk created %s (%d)", "d1", 42);
  logLine(log.writer, nullptr, 5, 7, "with code and id");
  logLine(log.writer, "tag()", 0, -3, "ends with its own line feed\n\n");
  logLine(log.writer, "tag()", 0, 0, nullptr);

  const std::vector<std::string> lines = linesOf(readFile(logPath));
  ASSERT_EQ(lines.size(), 4u);
  const std::string ids = std::to_string(::getpid()) + " " + std::to_string(::gettid()) + " ";
  const std::string time = R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{6}Z )";
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(time + ids +
                                                    R"(tarnel_admin::create_vdisk\(\): Vdisk created d1 \(42\))")))
      << lines[0];
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(time + ids + R"(\[code 5, id 7\] with code and id)")))
      << lines[1];
  EXPECT_TRUE(std::regex_match(lines[2], std::regex(time + ids +
                                                    R"(tag\(\): \[code 0, id -3\] ends with its own line feed)")))
      << lines[2];
  EXPECT_TRUE(std::regex_match(lines[3], std::regex(time + ids + R"(tag\(\): \(null\))"))) << lines[3];
}

TEST_F(LogWriter, WritersOfOneFileShareItAndANamedLogHasItsOwnFile) {
  auto first = std::make_unique<Log>();
  Log second;
  Log named("host-audit");
  logLine(first->writer, "a", 0, 0, "one");
  logLine(second.writer, "b", 0, 0, "two");
  logLine(named.writer, "c", 0, 0, "three");
  // A second initialize of the same writer and descriptor, as copy assignment does.
  EXPECT_EQ(first->writer.initialize(&first->instance, kModule, 1, false, ""), 0);
  logLine(first->writer, "a", 0, 0, "four");
  first.reset();  // the descriptor goes before its writer here, as in the library
  logLine(second.writer, "b", 0, 0, "five");

  const std::vector<std::string> lines = linesOf(readFile(logPath));
  ASSERT_EQ(lines.size(), 4u);
  const char* expected[] = {"a: one", "b: two", "a: four", "b: five"};
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_NE(lines[i].find(expected[i]), std::string::npos) << lines[i];
  }
  const std::vector<std::string> namedLines = linesOf(readFile(dir / "host-audit.log"));
  ASSERT_EQ(namedLines.size(), 1u);
  EXPECT_NE(namedLines[0].find("c: three"), std::string::npos);
}

TEST_F(LogWriter, DebugLevelComesFromTheEnvironmentOrTheKeyStore) {
  EXPECT_EQ(Log().instance.debugLevel, 0);
  writeFile(dir / "keystore.conf", "dTarnelDebugLevel=1\n");
  EXPECT_EQ(Log().instance.debugLevel, 1);
  writeFile(dir / "keystore.conf", "dTarnelDebugLevel=-1\n");
  EXPECT_EQ(Log().instance.debugLevel, -1);
  {
    ScopedEnv fromEnv("TARNEL_DEBUG_LEVEL", std::string("2"));
    EXPECT_EQ(Log().instance.debugLevel, 2);
  }
  writeFile(dir / "keystore.conf", "dTarnelDebugLevel=verbose\n");
  EXPECT_EQ(Log().instance.debugLevel, 0);
}

TEST_F(LogWriter, LogDirectoryComesFromTheKeyStoreWhenTheEnvironmentHasNone) {
  ScopedEnv noDir("TARNEL_LOG_DIR", std::nullopt);
  const std::string fromStore = dir / "from-store";
  writeFile(dir / "keystore.conf", "sTarnelLogDir=" + fromStore + "\n");
  Log log;
  EXPECT_EQ(log.initResult, 0);
  logLine(log.writer, "t", 0, 0, "here");
  EXPECT_NE(readFile(fromStore + "/RKTarnel.log").find("t: here"), std::string::npos);
}

TEST_F(LogWriter, LineOver64KiBIsCutWithAMarkerOfTheDroppedBytes) {
  Log log;
  const std::string big(100000, 'x');
  const std::string medium(20000, 'y');  // longer than the stack buffer, shorter than the cut
  logLine(log.writer, "tarnel_session::tarnel_req_rsp()", 0, 0, "Reply [%s]", big.c_str());
  logLine(log.writer, "t", 0, 0, "%s", medium.c_str());

  const std::vector<std::string> lines = linesOf(readFile(logPath));
  ASSERT_EQ(lines.size(), 2u);
  const std::string& cut = lines[0];
  EXPECT_LE(cut.size() + 1, 64u * 1024u);
  std::smatch marker;
  ASSERT_TRUE(std::regex_search(cut, marker, std::regex(R"(x \[\.\.\. (\d+) bytes dropped\]$)")));
  const size_t kept = static_cast<size_t>(std::count(cut.begin(), cut.end(), 'x'));
  const size_t dropped = std::stoul(marker[1].str());
  EXPECT_EQ(kept + dropped, big.size() + 1);  // the closing "]" went with the rest
  EXPECT_GT(cut.size() + 1, 64u * 1024u - 64u);  // cut at 64 KiB, not earlier

  EXPECT_EQ(lines[1].substr(lines[1].size() - medium.size() - 3), "t: " + medium);
}

// Sizes of the kept files, current first.
std::vector<uintmax_t> keptSizes(const std::string& logPath, int upTo) {
  std::vector<uintmax_t> sizes;
  for (int i = 0; i <= upTo; ++i) {
    const std::string path = i == 0 ? logPath : logPath + "." + std::to_string(i);
    sizes.push_back(std::filesystem::exists(path) ? std::filesystem::file_size(path) : 0);
  }
  return sizes;
}

TEST_F(LogWriter, RotationKeepsTheConfiguredNumberOfFilesUnderTheLimit) {
  Log log;
  ASSERT_EQ(log.writer.setLogFileSize(1), 0);
  ASSERT_EQ(log.writer.setMaxVersion(3), 0);
  const std::string payload(60000, 'r');
  for (int i = 0; i < 60; ++i) logLine(log.writer, "t", 0, 0, "%03d %s", i, payload.c_str());

  const std::vector<uintmax_t> sizes = keptSizes(logPath, 3);
  EXPECT_GT(sizes[0], 0u);
  EXPECT_GT(sizes[1], 1024u * 1024u - 64u * 1024u);
  EXPECT_LE(sizes[1], 1024u * 1024u);
  EXPECT_GT(sizes[2], 1024u * 1024u - 64u * 1024u);
  EXPECT_LE(sizes[2], 1024u * 1024u);
  EXPECT_EQ(sizes[3], 0u) << "a fourth file is kept";
  // The newest line is last in the current file, and the files hold
  // consecutive lines from newest to oldest.
  const std::vector<std::string> current = linesOf(readFile(logPath));
  ASSERT_FALSE(current.empty());
  EXPECT_NE(current.back().find("t: 059 "), std::string::npos);
  const std::vector<std::string> previous = linesOf(readFile(logPath + ".1"));
  ASSERT_FALSE(previous.empty());
  const int lastOfPrevious = std::stoi(previous.back().substr(previous.back().find("t: ") + 3, 3));
  const int firstOfCurrent = std::stoi(current.front().substr(current.front().find("t: ") + 3, 3));
  EXPECT_EQ(lastOfPrevious + 1, firstOfCurrent);
}

TEST_F(LogWriter, ReopensTheFileAfterAnotherProcessRotatedIt) {
  Log log;
  ASSERT_EQ(log.writer.setLogFileSize(1), 0);
  logLine(log.writer, "t", 0, 0, "before");
  std::filesystem::rename(logPath, logPath + ".1");  // what a rotating process does
  const std::string payload(60000, 'p');
  for (int i = 0; i < 3; ++i) logLine(log.writer, "t", 0, 0, "%s", payload.c_str());
  logLine(log.writer, "t", 0, 0, "after");

  EXPECT_NE(readFile(logPath + ".1").find("t: before"), std::string::npos);
  const std::vector<std::string> current = linesOf(readFile(logPath));
  ASSERT_FALSE(current.empty());
  EXPECT_NE(current.back().find("t: after"), std::string::npos);
}

// Writes kLines numbered lines from kThreads threads, each with its own
// writer object, with a size limit of 1 MiB and 10 files in all.
constexpr int kThreads = 8;
constexpr int kLines = 4000;

std::string payloadFor(int process, int thread, int number) {
  return std::string(40, static_cast<char>('a' + (process * 7 + thread * 3 + number) % 26));
}

void writeNumberedLines(int process) {
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([process, t] {
      Log log;
      log.writer.setLogFileSize(1);
      log.writer.setMaxVersion(10);
      for (int n = 0; n < kLines; ++n) {
        logLine(log.writer, "stress()", 0, 0, "p%d t%d n%05d %s|end", process, t, n,
                payloadFor(process, t, n).c_str());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
}

TEST_F(LogWriter, TwoProcessesOfEightThreadsKeepEveryLineOnceAndWhole) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    writeNumberedLines(1);
    ::_exit(0);
  }
  writeNumberedLines(0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  std::vector<int> seen(2 * kThreads * kLines, 0);
  size_t torn = 0;
  int files = 0;
  for (int i = 0; i < 10; ++i) {
    const std::string path = i == 0 ? logPath : logPath + "." + std::to_string(i);
    if (!std::filesystem::exists(path)) continue;
    ++files;
    const std::string text = readFile(path);
    EXPECT_TRUE(text.empty() || text.back() == '\n') << path;
    // A file is rotated only when the next line would not fit: no process
    // rotates a file that another has just started.
    if (i > 0) {
      EXPECT_GT(text.size(), 1024u * 1024u - 64u * 1024u) << path;
    }
    for (const std::string& line : linesOf(text)) {
      // "<time> <pid> <tid> stress(): p<P> t<T> n<NNNNN> <payload>|end"
      static const std::string kTag = " stress(): p";
      const size_t at = line.find(kTag);
      int p = -1, t = -1, n = -1, consumed = 0;
      char payload[41] = {};
      if (at == std::string::npos || std::count(line.begin(), line.begin() + at, ' ') != 2 ||
          std::sscanf(line.c_str() + at + kTag.size(), "%d t%d n%5d %40[a-z]%n", &p, &t, &n, payload,
                      &consumed) != 4 ||
          std::strcmp(line.c_str() + at + kTag.size() + consumed, "|end") != 0 || p < 0 || p > 1 ||
          t < 0 || t >= kThreads || n < 0 || n >= kLines || payload != payloadFor(p, t, n)) {
        ++torn;
        continue;
      }
      ++seen[(p * kThreads + t) * kLines + n];
    }
  }
  EXPECT_EQ(torn, 0u);
  EXPECT_GE(files, 6) << "the log did not rotate";
  EXPECT_FALSE(std::filesystem::exists(logPath + ".10"));
  size_t missing = 0, repeated = 0;
  for (int count : seen) {
    missing += count == 0;
    repeated += count > 1;
  }
  EXPECT_EQ(missing, 0u);
  EXPECT_EQ(repeated, 0u);
}

TEST_F(LogWriter, UnusableDirectoryGivesOneWarningAndLinesOnStderr) {
  writeFile(dir / "plain-file", "");
  ScopedEnv unusable("TARNEL_LOG_DIR", dir / "plain-file/logs");
  StderrCapture capture(dir / "stderr.txt");
  Log first;
  Log second;
  logLine(first.writer, "t", 0, 0, "first line");
  logLine(second.writer, "t", 0, 0, "second line");
  const std::string text = capture.finish();

  EXPECT_EQ(first.initResult, 1);
  size_t warnings = 0;
  for (const std::string& line : linesOf(text)) warnings += line.find("cannot open") != std::string::npos;
  EXPECT_EQ(warnings, 1u) << text;
  EXPECT_NE(text.find("t: first line"), std::string::npos);
  EXPECT_NE(text.find("t: second line"), std::string::npos);
}

TEST_F(LogWriter, LinesAreMirroredToStderrOnRequest) {
  StderrCapture capture(dir / "stderr.txt");
  {
    Log quiet;
    logLine(quiet.writer, "t", 0, 0, "file only");
    Log mirrored("", true);
    logLine(mirrored.writer, "t", 0, 0, "mirrored by flag");
    ScopedEnv byEnv("TARNEL_LOG_STDERR", std::string("1"));
    Log fromEnv;
    logLine(fromEnv.writer, "t", 0, 0, "mirrored by environment");
  }
  const std::string errors = capture.finish();
  const std::string file = readFile(logPath);
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
  StderrCapture capture(dir / "stderr.txt");
  logLine(unbound, "t", 0, 0, "nowhere to go %d", 1);
  EXPECT_NE(capture.finish().find("t: nowhere to go 1\n"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(logPath));
}

}  // namespace
