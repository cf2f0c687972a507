#include "sim_config.h"

#include <cctype>
#include <cmath>

#include "RkJson.h"
#include "posix_io.h"

namespace tarnel_sim {

namespace {

using json_spirit::mObject;
using json_spirit::mValue;

bool is_number(const mValue& value) {
  return value.type() == json_spirit::int_type || value.type() == json_spirit::real_type;
}

}  // namespace

std::optional<double> bytes_per_unit(std::string_view units) {
  std::string lower;
  for (char c : units) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  static const char* const kPrefixes[] = {"", "k", "m", "g", "t", "p"};
  double factor = 1;
  for (const char* prefix : kPrefixes) {
    const std::string name(prefix);
    if (lower == name + "b" || (!name.empty() && lower == name + "ib")) return factor;
    factor *= 1024;
  }
  return std::nullopt;
}

SimConfig parse_config(const std::string& text) {
  mObject root;
  if (!RkJson::Unserialize(text, root)) throw ConfigError("the configuration is not a JSON object");
  SimConfig config;
  for (const auto& member : root) {
    if (member.first != "cluster" && member.first != "capacity" && member.first != "users") {
      throw ConfigError("unknown member \"" + member.first + "\" in the configuration");
    }
  }

  const auto cluster = root.find("cluster");
  if (cluster == root.end() || cluster->second.type() != json_spirit::str_type ||
      cluster->second.get_str().empty()) {
    throw ConfigError("\"cluster\" must be a non-empty string");
  }
  config.cluster = cluster->second.get_str();

  const auto capacity = root.find("capacity");
  if (capacity == root.end() || capacity->second.type() != json_spirit::obj_type) {
    throw ConfigError("\"capacity\" must be an object {\"units\": ..., \"value\": ...}");
  }
  const mObject& total = capacity->second.get_obj();
  const auto units = total.find("units");
  const auto value = total.find("value");
  if (units == total.end() || units->second.type() != json_spirit::str_type ||
      !bytes_per_unit(units->second.get_str())) {
    throw ConfigError(
        "\"capacity\".\"units\" must be one of B, KB, MB, GB, TB, PB, KiB, MiB, GiB, TiB, PiB");
  }
  if (value == total.end() || !is_number(value->second) ||
      !std::isfinite(value->second.get_real()) || value->second.get_real() <= 0) {
    throw ConfigError("\"capacity\".\"value\" must be a positive number");
  }
  config.total.units = units->second.get_str();
  config.total.value = value->second.get_real();

  const auto users = root.find("users");
  if (users == root.end() || users->second.type() != json_spirit::obj_type ||
      users->second.get_obj().empty()) {
    throw ConfigError("\"users\" must be an object mapping at least one user name to its password");
  }
  for (const auto& user : users->second.get_obj()) {
    if (user.second.type() != json_spirit::str_type) {
      throw ConfigError("the password of user \"" + user.first + "\" must be a string");
    }
    config.users[user.first] = user.second.get_str();
  }
  return config;
}

SimConfig load_config(const std::string& path) {
  std::string text;
  const int failure = tarnel_host::read_regular_file(path, kMaxFileBytes, text);
  if (failure != 0) {
    throw ConfigError("cannot read the configuration file " + path + ": " +
                      tarnel_host::error_text(failure));
  }
  try {
    return parse_config(text);
  } catch (const ConfigError& error) {
    throw ConfigError(path + ": " + error.what());
  }
}

}  // namespace tarnel_sim
