// Fuzz target: the key store reader, rkmx_utils::get_reg_key, over a
// temporary key store file that holds the input.
//
// The store is a text of lines cut at "\n", a CR before the line feed not
// belonging to the line; a line whose first character other than space and
// tab is "#" is a comment; any other line with a "=" sets the key before the
// first "=" (without surrounding spaces and tabs, not empty) to the text
// after it, as is; the last setting of a key wins. Every key the input
// names, as written and trimmed, is looked up and compared with that reading.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>

#include "posix_io.h"
#include "rkmx_utils.h"
#include "scratch_dir.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& key) {
  std::fprintf(stderr, "keystore_reader: %s (key \"%s\")\n", what, key.c_str());
  std::abort();
}

std::string trim_blanks(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The settings of a key store text, and the texts before a "=" of each line
// as written (the keys to look up).
void reference_read(const std::string& text, std::map<std::string, std::string>& settings,
                    std::set<std::string>& names) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    names.insert(line.substr(0, equals));
    const std::string head = trim_blanks(line);
    if (head.empty() || head[0] == '#') continue;
    const std::string key = trim_blanks(line.substr(0, equals));
    if (key.empty()) continue;
    names.insert(key);
    settings[key] = line.substr(equals + 1);
  }
}

// A key store file in a directory of its own, removed at exit.
class TempStore {
 public:
  TempStore() : dir_("tarnel-fuzz-keystore") {
    if (!dir_.made()) fail("cannot create a temporary directory", dir_.path());
    path_ = dir_.file("keystore.conf");
    fd_.reset(::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd_.valid()) fail("cannot create the key store file", path_);
    ::setenv("TARNEL_KEYSTORE", path_.c_str(), 1);
    // Settings that the environment overrides are read from the file here.
    ::unsetenv("TARNEL_LOG_DIR");
    ::unsetenv("TARNEL_DEBUG_LEVEL");
  }

  void hold(const uint8_t* data, size_t size) {
    if (::ftruncate(fd_.get(), 0) != 0 || ::lseek(fd_.get(), 0, SEEK_SET) != 0) {
      fail("cannot truncate the key store file", path_);
    }
    if (!tarnel_host::write_all(fd_.get(), data, size)) {
      fail("cannot write the key store file", path_);
    }
  }

 private:
  fuzz::ScratchDir dir_;
  std::string path_;
  tarnel_host::UniqueFd fd_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TempStore store;
  store.hold(data, size);
  const std::string text(reinterpret_cast<const char*>(data), size);

  std::map<std::string, std::string> settings;
  std::set<std::string> names{"sTarnelCID", ""};
  reference_read(text, settings, names);

  constexpr std::size_t kMaxLookups = 16;
  std::size_t lookups = 0;
  for (const std::string& key : names) {
    if (++lookups > kMaxLookups) break;
    std::string value;
    const int status = rkmx_utils::get_reg_key(key, value);
    const auto setting = settings.find(key);
    if (setting == settings.end()) {
      if (status == 0) fail("a key the store does not set was found", key);
    } else {
      if (status != 0) fail("a key the store sets was not found", key);
      if (value != setting->second) fail("the value differs from the store's setting", key);
    }
  }
  return 0;
}
