// Fuzz target: the JSON codec's round trip. Any text the codec accepts must
// be written by Serialize as text that it accepts again, giving an equal
// object, and writing that object again must give the same text.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "RkJson.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& written) {
  std::fprintf(stderr, "json_roundtrip: %s\nwritten: %s\n", what, written.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  json_spirit::mObject first;
  if (!RkJson::Unserialize(text, first)) return 0;

  std::string written;
  RkJson::Serialize(first, written);
  json_spirit::mObject second;
  if (!RkJson::Unserialize(written, second)) fail("the written text does not parse", written);
  if (second != first) fail("the object read back differs", written);

  std::string rewritten;
  RkJson::Serialize(second, rewritten);
  if (rewritten != written) fail("writing the object read back gives another text", rewritten);
  return 0;
}
