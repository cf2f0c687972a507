#include "request_text.h"

#include <string.h>

#include <algorithm>
#include <vector>

namespace tarnel_request {

namespace {

constexpr size_t kShortestSecret = 4;
const char kMask[] = "***";

// `value` percent-encoded the way the HTTP client encodes a request text.
std::string percent_encoded(const std::string& value, const char* hex) {
  std::string out;
  for (unsigned char c : value) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 0xf];
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

// The forms of a secret, wiped when they go.
struct SecretForms {
  std::vector<std::string> texts;
  ~SecretForms() {
    for (std::string& text : texts) explicit_bzero(&text[0], text.size());
  }
};

}  // namespace

std::string quoted_value(const std::string& value) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(value.size());
  for (unsigned char c : value) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
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
  static const char kUpper[] = "0123456789ABCDEF";
  static const char kLower[] = "0123456789abcdef";
  SecretForms forms;
  forms.texts.reserve(7);
  forms.texts.push_back(secret);
  forms.texts.push_back(quoted_value(secret));
  forms.texts.push_back(quoted_value(forms.texts[1]));
  for (size_t i = 0; i < 2; ++i) {
    forms.texts.push_back(percent_encoded(forms.texts[i], kUpper));
    forms.texts.push_back(percent_encoded(forms.texts[i], kLower));
  }
  // Longest first: one form may hold another (a secret ending in '\\' is
  // inside its quoted form), and the longer match hides more.
  std::stable_sort(forms.texts.begin(), forms.texts.end(),
                   [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  for (const std::string& form : forms.texts) mask(text, form);
  return text;
}

std::string printable(const std::string& text, const std::string& secret, size_t limit) {
  static const char kHex[] = "0123456789abcdef";
  const std::string shown = without_secret(text, secret);
  std::string out;
  out.reserve(std::min(shown.size(), limit) + 4);
  for (const char byte : shown) {
    const unsigned char c = static_cast<unsigned char>(byte);
    std::string piece;
    if (c == '\n') {
      piece = "\\n";
    } else if (c == '\r') {
      piece = "\\r";
    } else if (c == '\t') {
      piece = "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      piece = {'\\', 'x', kHex[c >> 4], kHex[c & 0xf]};
    } else {
      piece = std::string(1, byte);
    }
    if (out.size() + piece.size() > limit) {
      out += "...";
      break;
    }
    out += piece;
  }
  return out;
}

}  // namespace tarnel_request
