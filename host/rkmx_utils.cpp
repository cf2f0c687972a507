// Node identity, conversions and the sleep call of the host utility library
// (the key store is in keystore.cpp). The contracts and every setting are
// described in platform/rkmx_utils.h.
#include "rkmx_utils.h"

#include <poll.h>
#include <unistd.h>

#include <cctype>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string_view>

#include "RkCancel.h"
#include "keystore.h"
#include "posix_io.h"

using namespace tarnel_host::keystore;

namespace {

constexpr const char* kDefaultDmiSerialPath = "/sys/class/dmi/id/product_serial";
constexpr size_t kMaxSerialBytes = 4096;

}  // namespace

namespace rkmx_utils {

std::string get_hostname() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return std::string();
  return name;
}

unsigned int string_to_uint(std::string text) {
  if (text.empty()) return 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
  }
  unsigned int number = 0;
  auto [rest, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc() || rest != text.data() + text.size()) return 0;
  return number;
}

int get_serial_number(std::string& serial) {
  try {
    std::string stored;
    if (get_reg_key("sTarnelSerial", stored) == kFound && !stored.empty()) {
      serial = stored;
      return kFound;
    }
    const char* dmiPath = env_or_null("TARNEL_DMI_SERIAL_PATH");
    std::string content;
    const std::string path = dmiPath ? dmiPath : kDefaultDmiSerialPath;
    if (tarnel_host::read_regular_file(path, kMaxSerialBytes, content) != 0) {
      return kKeyMissing;
    }
    std::string_view trimmed = trim(content, kAllWhitespace);
    if (trimmed.empty()) return kKeyMissing;
    serial.assign(trimmed.data(), trimmed.size());
    return kFound;
  } catch (...) {
    return kInternalError;
  }
}

int get_tarnel_cluster(std::string& name) {
  try {
    std::string stored;
    int status = get_reg_key("sTarnelCluster", stored);
    if (status != kFound) return status;
    if (stored.empty()) return kKeyMissing;
    name = stored;
    return kFound;
  } catch (...) {
    return kInternalError;
  }
}

double convert_size_to_gb(double value, std::string unit) {
  struct UnitFactor {
    const char* decimalName;
    const char* binaryName;
    int shift;  // the factor is 2^shift bytes
  };
  static constexpr UnitFactor kUnits[] = {
      {"b", "b", 0},     {"kb", "kib", 10}, {"mb", "mib", 20},
      {"gb", "gib", 30}, {"tb", "tib", 40}, {"pb", "pib", 50},
  };
  std::string_view trimmed = trim(unit, kAllWhitespace);
  std::string lower(trimmed);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const UnitFactor& entry : kUnits) {
    if (lower == entry.decimalName || lower == entry.binaryName) {
      return std::ldexp(value, entry.shift - 30);
    }
  }
  return 0.0;
}

}  // namespace rkmx_utils

namespace {

// The end of a pause of `milliseconds` scaled by TARNEL_SLEEP_SCALE, on the
// monotonic clock; false when the scaled pause is nothing.
bool pause_deadline(int milliseconds, struct timespec& deadline) {
  if (milliseconds <= 0) return false;
  const double nanoseconds =
      static_cast<double>(milliseconds) * 1e6 * rkmx_utils::get_sleep_scale();
  if (nanoseconds < 1.0) return false;
  const int64_t end = tarnel_host::monotonic_ns() + static_cast<int64_t>(nanoseconds);
  deadline.tv_sec = static_cast<time_t>(end / 1000000000LL);
  deadline.tv_nsec = static_cast<long>(end % 1000000000LL);
  return true;
}

// Whole milliseconds (rounded up) from now to `deadline`, at most `cap`; 0
// once it has passed.
int milliseconds_until(const struct timespec& deadline, int cap) {
  const int64_t left = tarnel_host::nanoseconds(deadline) - tarnel_host::monotonic_ns();
  if (left <= 0) return 0;
  const int64_t ms = (left + 999999) / 1000000;
  return ms < cap ? static_cast<int>(ms) : cap;
}

}  // namespace

double rkmx_utils::get_sleep_scale() {
  const char* text = env_or_null("TARNEL_SLEEP_SCALE");
  if (!text) return 1.0;
  double scale = 1.0;
  const char* end = text + std::strlen(text);
  auto [rest, error] = std::from_chars(text, end, scale);
  if (error != std::errc() || rest != end || !std::isfinite(scale) || scale < 0.0 ||
      scale > 1000.0) {
    return 1.0;
  }
  return scale;
}

int ZUSLEEP_InTeRnAl(int milliseconds, const char* /*file*/, int /*line*/) {
  struct timespec deadline;
  if (!pause_deadline(milliseconds, deadline)) return 0;
  // An absolute deadline: a signal that interrupts the pause does not shorten it.
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
  return 0;
}

int ZUSLEEP_Cancellable(int milliseconds, const RkCancelToken* token, const char* file, int line) {
  if (token == nullptr) return ZUSLEEP_InTeRnAl(milliseconds, file, line);
  if (token->cancelled()) return 1;
  struct timespec deadline;
  if (!pause_deadline(milliseconds, deadline)) return 0;
  // The token's descriptor becomes readable at the cancel; without one the
  // flag is looked at every 100 ms. A signal only makes the loop go round.
  struct pollfd wake = {token->descriptor(), POLLIN, 0};
  const int cap = wake.fd >= 0 ? 3600 * 1000 : 100;
  for (;;) {
    if (token->cancelled()) return 1;
    const int wait = milliseconds_until(deadline, cap);
    if (wait == 0) return 0;
    ::poll(&wake, wake.fd >= 0 ? 1 : 0, wait);
  }
}
