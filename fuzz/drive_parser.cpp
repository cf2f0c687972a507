// Fuzz target: the drive helper's output parser,
// tarnel_admin::enumerate_data_drives, fed through the fake process runner
// whose captured output is the input. The log level drops every line, so
// the run measures the parser alone.
//
// The outcome is checked against a straightforward reading of the helper's
// format: lines up to the first empty one, six "|"-separated fields each;
// on success the records follow what the vector held before, on a malformed
// line the vector holds what it held before the call.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fake_host.h"
#include "tarnel_admin.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "drive_parser: %s\n", what);
  std::abort();
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(separator, start);
    if (end == std::string::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

// The health value: atoi's reading (blanks, sign, digits), saturated at the
// int range.
int health(const std::string& field) {
  const long value = std::strtol(field.c_str(), nullptr, 10);
  return value < INT_MIN ? INT_MIN : value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

// The records the output describes, or false for a malformed line.
bool reference_parse(const std::string& output, std::vector<_tarnel_data_drive>& records) {
  for (const std::string& line : split(output, '\n')) {
    if (line.empty()) break;
    const std::vector<std::string> fields = split(line, '|');
    if (fields.size() != 6) return false;
    _tarnel_data_drive drive;
    drive.spid = fields[0];
    drive.blk = "/dev/" + fields[1];
    drive.mnt = fields[2];
    drive.slot = fields[3];
    drive.healthy = health(fields[4]);
    records.push_back(drive);
  }
  return true;
}

bool same(const _tarnel_data_drive& a, const _tarnel_data_drive& b) {
  return a.spid == b.spid && a.slot == b.slot && a.healthy == b.healthy && a.blk == b.blk &&
         a.mnt == b.mnt;
}

tarnel_admin& admin() {
  static tarnel_admin* instance = [] {
    fake::reset();
    fake::log_script().debugLevel = -2;  // below every level the parser logs at
    return new tarnel_admin();
  }();
  return *instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tarnel_admin& facade = admin();
  fake::reset();
  fake::ProcessResult helper;
  helper.output.assign(reinterpret_cast<const char*>(data), size);
  fake::process_script().push_back(helper);

  _tarnel_data_drive held;
  held.spid = "held";
  held.blk = "/dev/held";
  std::vector<_tarnel_data_drive> drives{held};
  const int result = facade.enumerate_data_drives(drives);

  std::vector<_tarnel_data_drive> expected{held};
  const bool well_formed = reference_parse(helper.output, expected);
  if (result != (well_formed ? 0 : -1)) fail("unexpected result");
  if (!well_formed) expected.resize(1);
  if (drives.size() != expected.size()) fail("unexpected number of records");
  for (std::size_t i = 0; i < drives.size(); ++i) {
    if (!same(drives[i], expected[i])) fail("a record differs from the reference reading");
  }
  if (fake::process_calls().size() != 1) fail("the helper did not run exactly once");
  if (!fake::log_lines().empty()) fail("a line passed the log level filter");
  return 0;
}
