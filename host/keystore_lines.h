// The line format of the key store (platform/rkmx_utils.h), read the one way
// the host services and tarnelctl's `keystore show` both use: `key=value`
// lines, the key without surrounding spaces and tabs, the value as written
// less a trailing CR; comments ('#' first), blank lines and lines without '='
// or a key are not settings. Header-only and internal (not installed).
#pragma once

#include <cstddef>
#include <string_view>

namespace tarnel_host {
namespace keystore {

// One line of the key store, without its line feed.
struct ParsedLine {
  bool is_setting = false;  // false: blank, comment or malformed
  std::string_view key;
  std::string_view value;
};

inline std::string_view trim_blanks(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

inline ParsedLine parse_line(std::string_view line) {
  ParsedLine parsed;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const std::string_view head = trim_blanks(line);
  if (head.empty() || head.front() == '#') return parsed;
  const size_t equals = line.find('=');
  if (equals == std::string_view::npos) return parsed;
  parsed.key = trim_blanks(line.substr(0, equals));
  if (parsed.key.empty()) return parsed;
  parsed.value = line.substr(equals + 1);
  parsed.is_setting = true;
  return parsed;
}

// Calls `visit(line, parsed)` for every line of `content` (the text after the
// last line feed counts as a line when it is not empty).
template <typename Visit>
void for_each_line(std::string_view content, Visit&& visit) {
  while (!content.empty()) {
    const size_t end = content.find('\n');
    const std::string_view line = content.substr(0, end);
    visit(line, parse_line(line));
    if (end == std::string_view::npos) break;
    content.remove_prefix(end + 1);
  }
}

}  // namespace keystore
}  // namespace tarnel_host
