#include "request_text.h"

namespace tarnel_request {

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

}  // namespace tarnel_request
