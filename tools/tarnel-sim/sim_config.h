// The simulated cluster's identity: its name, its total capacity and its
// users, read from a JSON configuration file (passwords never come from the
// command line, so they stay out of the process list):
//
//   {
//     "cluster": "demo-cluster",
//     "capacity": {"units": "TB", "value": 12.5},
//     "users": {"tarnel": "secret", "admin": "other secret"}
//   }
//
// "cluster" is a non-empty string; "capacity" holds a known unit text and a
// positive number; "users" maps each user name to its password and holds at
// least one user. Any other member is an error, so a misspelt key is caught.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tarnel_sim {

// A size: a number and its unit text, e.g. 12.5 "TB".
struct Capacity {
  double value = 0;
  std::string units;
};

struct SimConfig {
  std::string cluster;
  Capacity total;
  std::map<std::string, std::string> users;  // name -> password
};

// Raised for a configuration that cannot be read or is invalid. Its message
// names the file or the member at fault and never holds a password.
class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Bytes in one `units`: B, KB, MB, GB, TB, PB and KiB, MiB, GiB, TiB, PiB,
// in any letter case, all with binary factors (1 KB = 1 KiB = 1024 B), as
// the host converts them. Nothing for an unknown or empty unit text.
std::optional<double> bytes_per_unit(std::string_view units);

// The largest configuration or state file the simulator reads. Both are
// read with tarnel_host::read_regular_file (posix_io.h), so a FIFO, a device
// or a directory at the path is refused at once instead of blocking the
// start.
constexpr std::size_t kMaxFileBytes = 64u << 20;

// Parses the configuration text. Throws ConfigError.
SimConfig parse_config(const std::string& text);
// Reads and parses the configuration file at `path`. Throws ConfigError.
SimConfig load_config(const std::string& path);

}  // namespace tarnel_sim
