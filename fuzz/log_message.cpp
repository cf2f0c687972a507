// Fuzz target: the log writer's message escaping. The input is the message
// (up to its first NUL, as printf's "%s" takes it); an input "\xff" B R...
// stands for R repeated to (B + 1) * 512 bytes, so that messages reach past
// the 64 KiB cut. An NqDebug writer writes it to a temporary log, which is
// read back and checked against the line contract of platform/NqDebug.h: one
// line, its one line feed at the end, no control byte but tab, and the
// message without its final line feeds written with the contract's escapes;
// or, for a line cut at 64 KiB (and only then), the beginning of the message
// so written, followed by " [... N bytes dropped]", N being the bytes left
// out.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "NqDebug.h"
#include "scratch_dir.h"
#include "unique_fd.h"

namespace {

constexpr size_t kMaxLineBytes = 64 * 1024;

[[noreturn]] void fail(const char* what, const std::string& line) {
  std::fprintf(stderr, "log_message: %s; line (%zu bytes): %.300s\n", what, line.size(),
               line.c_str());
  std::abort();
}

void write_message(NqDebug& writer, const char* format, ...) {
  va_list args;
  va_start(args, format);
  writer.handleMsgEventDebug_NEW(-1, nullptr, 0, -1, 0, nullptr, format, args);
  va_end(args);
}

// `text` written as the contract says, one byte at a time: "\n", "\r",
// "\xhh" for the other control bytes but tab, every other byte as itself.
std::string escape(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char byte : text) {
    const unsigned char c = static_cast<unsigned char>(byte);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if ((c < 0x20 && c != '\t') || c == 0x7f) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    } else {
      out += byte;
    }
  }
  return out;
}

// A writer on a log in a directory of its own, removed at exit.
class TempLog {
 public:
  TempLog() : dir_("tarnel-fuzz-log") {
    if (!dir_.made()) fail("cannot create a temporary directory", dir_.path());
    path_ = dir_.file("RKTarnel.log");
    dir_.file("RKTarnel.log.lock");
    ::setenv("TARNEL_LOG_DIR", dir_.path().c_str(), 1);
    ::setenv("TARNEL_KEYSTORE", (dir_.path() + "/no-keystore").c_str(), 1);
    ::unsetenv("TARNEL_LOG_STDERR");
    if (writer_.initialize(&instance_, 1, 1, false, "") != 0) fail("cannot open the log", path_);
    writer_.setLogFileSize(0);  // never rotated: the file is emptied for every input
    fd_.reset(::open(path_.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd_.valid()) fail("cannot open the log for reading", path_);
  }

  // The file after writing `message`.
  std::string write(const std::string& message) {
    if (::ftruncate(fd_.get(), 0) != 0) fail("cannot empty the log", path_);
    write_message(writer_, "%s", message.c_str());
    struct stat status;
    if (::fstat(fd_.get(), &status) != 0) fail("cannot look at the log", path_);
    std::string text(static_cast<size_t>(status.st_size), '\0');
    if (::pread(fd_.get(), &text[0], text.size(), 0) != static_cast<ssize_t>(text.size())) {
      fail("cannot read the log", path_);
    }
    return text;
  }

 private:
  fuzz::ScratchDir dir_;
  std::string path_;
  NqDebugFileInstance instance_;
  NqDebug writer_{nullptr};
  tarnel_host::UniqueFd fd_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TempLog log;
  std::string message(reinterpret_cast<const char*>(data), size);
  if (size > 2 && data[0] == 0xff) {
    const std::string unit = message.substr(2);
    const size_t wanted = (data[1] + 1u) * 512;
    message.clear();
    while (message.size() < wanted) message += unit;
  }
  message = message.substr(0, message.find('\0'));

  const std::string line = log.write(message);
  if (line.empty() || line.back() != '\n') fail("the file does not end with a line feed", line);
  for (size_t i = 0; i + 1 < line.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(line[i]);
    if ((c < 0x20 && c != '\t') || c == 0x7f) fail("a control byte other than tab", line);
  }
  if (line.size() > kMaxLineBytes) fail("the line is longer than 64 KiB", line);
  // "<time> <pid> <tid> <message>\n": no function tag, code or id.
  size_t start = 0;
  for (int spaces = 0; spaces < 3; ++spaces) {
    start = line.find(' ', start);
    if (start == std::string::npos) fail("no header", line);
    ++start;
  }
  const std::string written = line.substr(start, line.size() - 1 - start);

  std::string whole = message;
  while (!whole.empty() && whole.back() == '\n') whole.pop_back();
  if (written == escape(whole)) return 0;

  // Otherwise the line must have been cut at 64 KiB.
  static const char kEnd[] = " bytes dropped]";
  const size_t marker = written.rfind(" [... ");
  const size_t endLength = sizeof kEnd - 1;
  if (marker == std::string::npos || written.size() < endLength ||
      written.compare(written.size() - endLength, endLength, kEnd) != 0) {
    fail("the message does not read back and the line is not cut", line);
  }
  const std::string count = written.substr(marker + 6, written.size() - endLength - marker - 6);
  if (count.empty() || count.find_first_not_of("0123456789") != std::string::npos) {
    fail("the cut marker holds no number", line);
  }
  const unsigned long long dropped = std::stoull(count);
  if (dropped == 0 || dropped > message.size()) fail("the cut marker's count is wrong", line);
  const std::string kept = message.substr(0, message.size() - dropped);
  if (written.compare(0, marker, escape(kept)) != 0) {
    fail("the cut line is not the beginning of the message, escaped", line);
  }
  if (line.size() + 64 < kMaxLineBytes) fail("the line was cut before 64 KiB", line);
  return 0;
}
