// Fuzz target: tarnel-sim's request-text parser and its password redaction.
//
// Any input must give a value or an error without a crash. For a request
// that parses, the value is an object whose offsets lie within the text, and
// the redacted text must parse again with every "password" member, at any
// depth, holding "***". For one that does not, the redacted text must be a
// prefix of the input that holds no backslash and no "password" before its
// end, cut right after the first "password" or before the first backslash,
// followed by "***"; or the input itself when it has neither.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "request_parser.h"

namespace {

using tarnel_sim::RequestValue;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "sim_request_text: %s\n", what);
  std::abort();
}

void check_offsets(const RequestValue& value, std::size_t text_size) {
  if (value.begin > value.end || value.end > text_size) fail("value offsets outside the text");
  for (const auto& member : value.members) check_offsets(member.value, text_size);
  for (const auto& item : value.items) check_offsets(item, text_size);
}

void check_redacted(const RequestValue& value) {
  for (const auto& member : value.members) {
    if (member.key == "password") {
      if (member.value.kind != RequestValue::Kind::String || member.value.text != "***") {
        fail("a password member survived the redaction");
      }
    } else {
      check_redacted(member.value);
    }
  }
  for (const auto& item : value.items) check_redacted(item);
}

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

// True when `redacted` is "***" after a prefix of `text` that ends right
// after its first "password" (any letter case) or right before its first
// backslash, and holds neither beyond that.
bool redacted_prefix(std::string_view text, const std::string& redacted) {
  constexpr std::string_view kStars = "***";
  const std::string_view out(redacted);
  if (out.size() < kStars.size() || out.substr(out.size() - kStars.size()) != kStars) return false;
  const std::string_view kept = out.substr(0, out.size() - kStars.size());
  if (text.substr(0, kept.size()) != kept) return false;
  if (kept.find('\\') != std::string_view::npos) return false;
  const std::string kept_lower = lower(kept);
  const std::size_t word = kept_lower.find("password");
  if (word != std::string::npos) return word + 8 == kept.size();
  return kept.size() < text.size() && text[kept.size()] == '\\';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const tarnel_sim::ParseResult parsed = tarnel_sim::parse_request_text(text);
  const std::string redacted = tarnel_sim::redact_passwords(text, parsed);

  if (parsed.ok) {
    if (!parsed.value.is_object()) fail("a parsed request is not an object");
    check_offsets(parsed.value, text.size());
    const tarnel_sim::ParseResult again = tarnel_sim::parse_request_text(redacted);
    if (!again.ok) fail("the redacted request does not parse");
    check_redacted(again.value);
    return 0;
  }

  if (parsed.error.offset > text.size()) fail("error offset outside the text");
  if (!redacted_prefix(text, redacted)) {
    if (redacted != text) fail("the redacted unparsed text is neither a cut prefix nor the input");
    if (lower(text).find("password") != std::string::npos ||
        text.find('\\') != std::string_view::npos) {
      fail("an unparsed text with a password or a backslash was kept whole");
    }
  }
  return 0;
}
