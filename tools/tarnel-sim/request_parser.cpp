// Recursive-descent parser of request texts; see request_parser.h.
#include "request_parser.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <utility>

namespace tarnel_sim {

namespace {

constexpr std::string_view kPrefix = "request=";
constexpr std::string_view kRedacted = "\"***\"";

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool is_structural(char c) {
  return c == '"' || c == ',' || c == ':' || c == '{' || c == '}' || c == '[' || c == ']';
}

// What JSON requires to be escaped inside a string: bytes below 0x20 (DEL,
// 0x7f, may stand raw, and the library sends it so).
bool is_string_control(unsigned char c) { return c < 0x20; }

// Bytes refused inside a word: those, and DEL.
bool is_word_control(unsigned char c) { return is_string_control(c) || c == 0x7f; }

// The length of the UTF-8 sequence at `pos` in `text` (shortest form, no
// surrogates, at most U+10FFFF), or 0 when the bytes there are not one.
std::size_t utf8_length(std::string_view text, std::size_t pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[pos + i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  uint32_t code = 0;
  uint32_t minimum = 0;
  if (lead < 0x80) {
    return 1;
  } else if ((lead & 0xe0) == 0xc0) {
    length = 2;
    code = lead & 0x1f;
    minimum = 0x80;
  } else if ((lead & 0xf0) == 0xe0) {
    length = 3;
    code = lead & 0x0f;
    minimum = 0x800;
  } else if ((lead & 0xf8) == 0xf0) {
    length = 4;
    code = lead & 0x07;
    minimum = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - pos < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xc0) != 0x80) return 0;
    code = (code << 6) | (byte(i) & 0x3f);
  }
  if (code < minimum || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return 0;
  return length;
}

void append_utf8(uint32_t code, std::string& out) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xc0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3f));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xe0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (code & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (code & 0x3f));
  }
}

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  ParseResult run() {
    ParseResult result;
    if (text_.substr(0, kPrefix.size()) != kPrefix) {
      fail(0, "expected \"request=\"");
      result.error = error_;
      return result;
    }
    pos_ = kPrefix.size();
    skip_space();
    if (!at('{')) {
      fail(pos_, "expected '{' after \"request=\"");
    } else if (parse_object(result.value, 1)) {
      skip_space();
      if (pos_ == text_.size()) {
        result.ok = true;
        return result;
      }
      fail(pos_, "unexpected text after the request object");
    }
    result.value = RequestValue();
    result.error = error_;
    return result;
  }

 private:
  bool at(char c) const { return pos_ < text_.size() && text_[pos_] == c; }

  void skip_space() {
    while (pos_ < text_.size() && is_space(text_[pos_])) ++pos_;
  }

  bool fail(std::size_t offset, std::string message) {
    error_.offset = offset;
    error_.message = std::move(message);
    return false;
  }

  bool expect(char c, const char* what) {
    skip_space();
    if (!at(c)) return fail(pos_, std::string("expected ") + what);
    ++pos_;
    return true;
  }

  bool parse_value(RequestValue& out, std::size_t depth) {
    skip_space();
    if (pos_ >= text_.size()) return fail(pos_, "expected a value, found the end of the text");
    switch (text_[pos_]) {
      case '{':
        return parse_object(out, depth + 1);
      case '[':
        return parse_list(out, depth + 1);
      case '"':
        return parse_string(out);
      default:
        return parse_word(out, "a value");
    }
  }

  // At '{'. `depth` counts this object.
  bool parse_object(RequestValue& out, std::size_t depth) {
    if (depth > kMaxDepth) return fail(pos_, "nesting deeper than " + std::to_string(kMaxDepth));
    out.kind = RequestValue::Kind::Object;
    out.begin = pos_++;
    skip_space();
    if (at('}')) {
      out.end = ++pos_;
      return true;
    }
    for (;;) {
      skip_space();
      RequestValue key;
      if (at('"')) {
        if (!parse_string(key)) return false;
      } else if (!parse_word(key, "a key")) {
        return false;
      }
      const bool duplicate =
          std::any_of(out.members.begin(), out.members.end(),
                      [&key](const RequestMember& member) { return member.key == key.text; });
      if (duplicate) return fail(key.begin, "key \"" + key.text + "\" appears twice");
      if (!expect(':', "':' after a key")) return false;
      RequestMember member;
      member.key = std::move(key.text);
      if (!parse_value(member.value, depth)) return false;
      out.members.push_back(std::move(member));
      skip_space();
      if (at(',')) {
        ++pos_;
        continue;
      }
      if (at('}')) {
        out.end = ++pos_;
        return true;
      }
      return fail(pos_, "expected ',' or '}' in an object");
    }
  }

  // At '['. `depth` counts this list.
  bool parse_list(RequestValue& out, std::size_t depth) {
    if (depth > kMaxDepth) return fail(pos_, "nesting deeper than " + std::to_string(kMaxDepth));
    out.kind = RequestValue::Kind::List;
    out.begin = pos_++;
    skip_space();
    if (at(']')) {
      out.end = ++pos_;
      return true;
    }
    for (;;) {
      RequestValue item;
      if (!parse_value(item, depth)) return false;
      out.items.push_back(std::move(item));
      skip_space();
      if (at(',')) {
        ++pos_;
        continue;
      }
      if (at(']')) {
        out.end = ++pos_;
        return true;
      }
      return fail(pos_, "expected ',' or ']' in a list");
    }
  }

  bool parse_word(RequestValue& out, const char* what) {
    out.kind = RequestValue::Kind::Word;
    out.begin = pos_;
    while (pos_ < text_.size() && !is_space(text_[pos_]) && !is_structural(text_[pos_])) {
      if (is_word_control(static_cast<unsigned char>(text_[pos_]))) {
        return fail(pos_, "control character in a word");
      }
      std::size_t length = 0;
      if (!utf8_sequence(length)) return false;
      pos_ += length;
    }
    if (pos_ == out.begin) {
      if (pos_ >= text_.size())
        return fail(pos_, std::string("expected ") + what + ", found the end of the text");
      return fail(pos_, std::string("expected ") + what + ", found '" + text_[pos_] + "'");
    }
    out.end = pos_;
    out.text.assign(text_.substr(out.begin, out.end - out.begin));
    return true;
  }

  // At '"'.
  bool parse_string(RequestValue& out) {
    out.kind = RequestValue::Kind::String;
    out.begin = pos_++;
    for (;;) {
      if (pos_ >= text_.size()) return fail(out.begin, "unterminated string");
      const char c = text_[pos_];
      if (c == '"') {
        out.end = ++pos_;
        return true;
      }
      if (c == '\\') {
        if (!parse_escape(out.text)) return false;
        continue;
      }
      if (is_string_control(static_cast<unsigned char>(c))) {
        return fail(pos_, "control character in a string");
      }
      std::size_t length = 0;
      if (!utf8_sequence(length)) return false;
      out.text.append(text_.substr(pos_, length));
      pos_ += length;
    }
  }

  // At '\\' inside a string.
  bool parse_escape(std::string& out) {
    const std::size_t start = pos_++;
    if (pos_ >= text_.size()) return fail(start, "unterminated escape");
    const char c = text_[pos_++];
    switch (c) {
      case '"':
        out += '"';
        return true;
      case '\\':
        out += '\\';
        return true;
      case '/':
        out += '/';
        return true;
      case 'b':
        out += '\b';
        return true;
      case 'f':
        out += '\f';
        return true;
      case 'n':
        out += '\n';
        return true;
      case 'r':
        out += '\r';
        return true;
      case 't':
        out += '\t';
        return true;
      case 'u':
        break;
      default:
        return fail(start, "unknown escape");
    }
    uint32_t code = 0;
    if (!hex4(code)) return fail(start, "\\u needs four hex digits");
    if (code >= 0xdc00 && code <= 0xdfff) return fail(start, "lone low surrogate");
    if (code >= 0xd800 && code <= 0xdbff) {
      uint32_t low = 0;
      if (text_.substr(pos_, 2) != "\\u") return fail(start, "high surrogate without its low half");
      pos_ += 2;
      if (!hex4(low)) return fail(start, "\\u needs four hex digits");
      if (low < 0xdc00 || low > 0xdfff) return fail(start, "high surrogate without its low half");
      code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
    }
    append_utf8(code, out);
    return true;
  }

  bool hex4(uint32_t& code) {
    if (text_.size() - pos_ < 4) return false;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_ + i];
      uint32_t digit = 0;
      if (c >= '0' && c <= '9') {
        digit = static_cast<uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<uint32_t>(c - 'A' + 10);
      } else {
        return false;
      }
      code = code * 16 + digit;
    }
    pos_ += 4;
    return true;
  }

  // Checks the UTF-8 sequence at pos_ and puts its length into `length`.
  bool utf8_sequence(std::size_t& length) {
    length = utf8_length(text_, pos_);
    return length != 0 || fail(pos_, "invalid UTF-8");
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  ParseError error_;
};

// Collects the spans of every "password" member's value, in text order.
void password_spans(const RequestValue& value,
                    std::vector<std::pair<std::size_t, std::size_t>>& spans) {
  for (const RequestMember& member : value.members) {
    if (member.key == "password") {
      spans.emplace_back(member.value.begin, member.value.end);
    } else {
      password_spans(member.value, spans);
    }
  }
  for (const RequestValue& item : value.items) password_spans(item, spans);
}

}  // namespace

const RequestValue* RequestValue::find(std::string_view key) const {
  for (const RequestMember& member : members) {
    if (member.key == key) return &member.value;
  }
  return nullptr;
}

ParseResult parse_request_text(std::string_view text) { return Parser(text).run(); }

std::string to_valid_utf8(std::string_view text) {
  std::string out;
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t length = utf8_length(text, pos);
    if (length == 0) {
      out += "\xef\xbf\xbd";  // U+FFFD
      ++pos;
    } else {
      out.append(text.substr(pos, length));
      pos += length;
    }
  }
  return out;
}

std::string redact_passwords(std::string_view text, const ParseResult& parsed) {
  if (!parsed.ok) {
    // The password's place is unknown. A key can only turn into "password"
    // through an escape, so the text is cut at the first backslash too.
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const std::size_t word = lower.find("password");
    const std::size_t cut = std::min(word == std::string::npos ? word : word + 8, lower.find('\\'));
    if (cut == std::string::npos) return std::string(text);
    std::string out(text.substr(0, cut));
    out += "***";
    return out;
  }
  std::vector<std::pair<std::size_t, std::size_t>> spans;
  password_spans(parsed.value, spans);
  std::string out;
  std::size_t copied = 0;
  for (const auto& span : spans) {
    out.append(text.substr(copied, span.first - copied));
    out.append(kRedacted);
    copied = span.second;
  }
  out.append(text.substr(copied));
  return out;
}

}  // namespace tarnel_sim
