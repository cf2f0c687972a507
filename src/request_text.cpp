#include "request_text.h"

#include <string.h>

#include <algorithm>
#include <vector>

namespace tarnel_request {

namespace {

constexpr size_t kShortestSecret = 4;
const char kMask[] = "***";
const char kHex[] = "0123456789abcdef";

bool unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

// `value` percent-encoded the way the HTTP client encodes a request text,
// with the hex digits of `hex`.
std::string percent_encoded(const std::string& value, const char* hex) {
  std::string out;
  for (unsigned char c : value) {
    if (unreserved(c)) {
      out += static_cast<char>(c);
    } else {
      out += {'%', hex[c >> 4], hex[c & 0xf]};
    }
  }
  return out;
}

// Replaces each occurrence of `form` in `text` by kMask, in one pass.
void mask(std::string& text, const std::string& form) {
  size_t at = text.find(form);
  if (at == std::string::npos) return;
  std::string out;
  out.reserve(text.size());
  size_t from = 0;
  for (; at != std::string::npos; at = text.find(form, from)) {
    out.append(text, from, at - from);
    out += kMask;
    from = at + form.size();
  }
  out.append(text, from, std::string::npos);
  text.swap(out);
}

// The distinct forms of a secret, wiped when they go.
struct SecretForms {
  std::vector<std::string> texts;
  void add(std::string form) {
    if (std::find(texts.begin(), texts.end(), form) == texts.end()) {
      texts.push_back(std::move(form));
    } else {
      explicit_bzero(&form[0], form.size());
    }
  }
  ~SecretForms() {
    for (std::string& text : texts) explicit_bzero(&text[0], text.size());
  }
};

// The length of the well-formed UTF-8 sequence (shortest form, no
// surrogates, at most U+10FFFF) that starts with a byte of 0x80 or more at
// `at`, or 0.
size_t utf8_length(const std::string& text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  const size_t length = lead >= 0xF0 && lead <= 0xF4   ? 4
                        : lead >= 0xE0 && lead <= 0xEF ? 3
                        : lead >= 0xC2 && lead <= 0xDF ? 2
                                                       : 0;
  if (length == 0 || text.size() - at < length) return 0;
  unsigned code = lead & (0x7Fu >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0u) != 0x80u) return 0;
    code = (code << 6) | (byte(at + i) & 0x3Fu);
  }
  const unsigned least = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
  return code >= least && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF) ? length : 0;
}

void append_escaped(std::string& out, unsigned char c) {
  out += {'\\', 'x', kHex[c >> 4], kHex[c & 0xf]};
}

}  // namespace

std::string quoted_value(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (unsigned char c : value) {
    if (c == '"' || c == '\\') {
      out += {'\\', static_cast<char>(c)};
    } else if (c < 0x20) {
      out += {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xf]};
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool fits_bare(const std::string& value) {
  for (unsigned char c : value) {
    if (c <= 0x20 || c == 0x7f) return false;  // control characters and the space
    switch (c) {
      case '"':
      case '\\':
      case ',':
      case ':':
      case '{':
      case '}':
      case '[':
      case ']':
        return false;
      default:
        break;
    }
  }
  return true;
}

std::string without_secret(std::string text, const std::string& secret) {
  if (secret.size() < kShortestSecret) return text;
  SecretForms forms;
  forms.texts.reserve(7);  // the references below stay valid
  forms.add(secret);
  forms.add(quoted_value(secret));
  forms.add(quoted_value(forms.texts.back()));
  const bool encoded = std::any_of(secret.begin(), secret.end(), [](char c) {
    return !unreserved(static_cast<unsigned char>(c));
  });
  // The percent-encoded forms of the clear and the quoted secret.
  const size_t carried = std::min<size_t>(2, forms.texts.size());
  for (size_t i = 0; encoded && i < carried; ++i) {
    const std::string& form = forms.texts[i];
    forms.add(percent_encoded(form, "0123456789ABCDEF"));
    forms.add(percent_encoded(form, kHex));
  }
  // Longest first: one form may hold another (a secret ending in '\\' is
  // inside its quoted form), and the longer match hides more.
  std::stable_sort(forms.texts.begin(), forms.texts.end(),
                   [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  for (const std::string& form : forms.texts) mask(text, form);
  return text;
}

std::string printable(const std::string& text, const std::string& secret, size_t limit) {
  const std::string shown = without_secret(text, secret);
  std::string out;
  out.reserve(std::min(shown.size(), limit) + 4);
  for (size_t at = 0; at < shown.size();) {
    const unsigned char c = static_cast<unsigned char>(shown[at]);
    size_t length = c < 0x80 ? 1 : utf8_length(shown, at);
    std::string piece;
    if (c == '\n' || c == '\r' || c == '\t') {
      piece = {'\\', c == '\n' ? 'n' : c == '\r' ? 'r' : 't'};
    } else if (c < 0x20 || c == 0x7f || (length == 0 && c <= 0x9f)) {
      append_escaped(piece, c);  // C0, DEL, and a C1 byte outside UTF-8
    } else if (length == 2 && c == 0xC2 && static_cast<unsigned char>(shown[at + 1]) <= 0x9f) {
      append_escaped(piece, c);  // a C1 control in UTF-8
      append_escaped(piece, static_cast<unsigned char>(shown[at + 1]));
    } else {
      piece.assign(shown, at, std::max<size_t>(length, 1));
    }
    if (out.size() + piece.size() > limit) {
      out += "...";
      break;
    }
    out += piece;
    at += std::max<size_t>(length, 1);
  }
  return out;
}

}  // namespace tarnel_request
