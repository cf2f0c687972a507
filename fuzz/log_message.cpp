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
#include <vector>

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

// The code point of the well-formed UTF-8 character of two or more bytes at
// text[at], and its length in `*length`; -1 when none starts there.
long decoded(const std::string& text, size_t at, size_t* length) {
  const unsigned char lead = static_cast<unsigned char>(text[at]);
  const size_t bytes = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 0;
  if (bytes == 0 || lead >= 0xf8 || at + bytes > text.size()) return -1;
  long code = lead & (0x7f >> bytes);
  for (size_t i = 1; i < bytes; ++i) {
    const unsigned char next = static_cast<unsigned char>(text[at + i]);
    if ((next & 0xc0) != 0x80) return -1;
    code = (code << 6) | (next & 0x3f);
  }
  static const long kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kShortest[bytes] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return -1;
  *length = bytes;
  return code;
}

// Each byte of `text` as the contract writes it: "\n", "\r", "\xhh" for the
// bytes of a control character other than tab (C0, DEL, U+0080 to U+009F,
// and a byte 0x80-0x9f outside a well-formed UTF-8 character), every other
// byte as itself.
std::vector<std::string> shown_bytes(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::vector<std::string> shown;
  for (size_t at = 0; at < text.size();) {
    size_t length = 1;
    long code = decoded(text, at, &length);
    if (code < 0) code = static_cast<unsigned char>(text[at]);
    const bool control = (code < 0x20 && code != '\t') || (code >= 0x7f && code <= 0x9f);
    for (size_t i = at; i < at + length; ++i) {
      const unsigned char c = static_cast<unsigned char>(text[i]);
      if (!control) {
        shown.push_back(std::string(1, text[i]));
      } else if (c == '\n' || c == '\r') {
        shown.push_back(c == '\n' ? "\\n" : "\\r");
      } else {
        shown.push_back(std::string("\\x") + kHex[c >> 4] + kHex[c & 0xf]);
      }
    }
    at += length;
  }
  return shown;
}

// The first `count` bytes of `shown` joined.
std::string joined(const std::vector<std::string>& shown, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += shown[i];
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
  if (written == joined(shown_bytes(whole), whole.size())) return 0;

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
  // The control characters are those of the whole message: a cut may fall
  // inside a character.
  const std::string kept = joined(shown_bytes(message), message.size() - dropped);
  if (written.compare(0, marker, kept) != 0) {
    fail("the cut line is not the beginning of the message, escaped", line);
  }
  if (line.size() + 64 < kMaxLineBytes) fail("the line was cut before 64 KiB", line);
  return 0;
}
