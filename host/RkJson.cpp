// JSON codec on RapidJSON's SAX reader; the choices are documented in
// RkJson.h. The reader runs in its iterative mode, and the tree builder
// refuses the 513th level of nesting, so no input can exhaust the stack.
// It parses a copy of the text in place: strings are unescaped where they
// stand, and keys, strings and numbers are handed over as pointers into the
// copy, each copied once, into the tree. The reader checks the grammar of
// numbers and hands over their text, which is converted here with
// std::from_chars (exact and locale-independent): RapidJSON 1.1.0's own
// full-precision conversion misreads a zero with an exponent ("0e5" gives an
// arbitrary value) and turns some numbers just beyond the double range into
// infinity or NaN.
#include "RkJson.h"

#include <locale.h>

// RapidJSON is compiled into this file alone, in a namespace of its own, so
// that its settings here (SSE2 string scanning where the target has it, and
// no sanitizer reads along: the scan loads whole aligned blocks) can differ
// from any other user's in the same program.
#define RAPIDJSON_NAMESPACE tarnel_rapidjson
#define RAPIDJSON_NAMESPACE_BEGIN namespace tarnel_rapidjson {
#define RAPIDJSON_NAMESPACE_END }
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARNEL_JSON_NO_SIMD
#endif
#endif
#if defined(__SSE2__) && !defined(__SANITIZE_ADDRESS__) && !defined(TARNEL_JSON_NO_SIMD)
#define RAPIDJSON_SSE2
#endif
#include <rapidjson/reader.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <utility>
#include <vector>

namespace {

using json_spirit::mArray;
using json_spirit::mObject;
using json_spirit::mValue;

constexpr size_t kMaxDepth = 512;

// The "C" locale, for strtod_l.
locale_t c_locale() {
  static const locale_t locale = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return locale;
}

// Builds the value tree from SAX events, in place: each open container is a
// frame that points at the object or array being filled, and a new value is
// constructed where it will stay (a map node, or the end of its array).
class TreeBuilder {
 public:
  explicit TreeBuilder(mObject& root) : root_(root) { frames_.reserve(16); }

  bool Null() { return place() != nullptr; }
  bool Bool(bool b) { return place(b) != nullptr; }
  bool Int(int i) { return place(static_cast<int64_t>(i)) != nullptr; }
  bool Uint(unsigned u) { return place(static_cast<int64_t>(u)) != nullptr; }
  bool Int64(int64_t i) { return place(i) != nullptr; }
  bool Uint64(uint64_t u) {
    if (u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
      return place(static_cast<int64_t>(u)) != nullptr;
    }
    return place(u) != nullptr;
  }
  bool Double(double d) { return place(d) != nullptr; }
  // Every number arrives here as its text, already checked against JSON's
  // grammar (and not NUL-terminated). An integer is read in one pass: the
  // conversion stops at a '.' or an exponent, and the text is a real then.
  bool RawNumber(const char* text, tarnel_rapidjson::SizeType length, bool) {
    const char* end = text + length;
    int64_t i = 0;
    const std::from_chars_result integer = std::from_chars(text, end, i);
    if (integer.ptr == end) {
      if (integer.ec == std::errc()) return Int64(i);
      uint64_t u = 0;
      if (text[0] != '-' && std::from_chars(text, end, u).ec == std::errc()) return Uint64(u);
    }
    double d = 0;
    if (std::from_chars(text, end, d).ec == std::errc::result_out_of_range) {
      // Too large or too small: strtod tells the two apart (infinity, or
      // the nearest denormal or zero).
      const std::string terminated(text, length);
      d = ::strtod_l(terminated.c_str(), nullptr, c_locale());
      if (std::isinf(d)) return false;  // beyond the double range
    }
    return Double(d);
  }
  bool String(const char* s, tarnel_rapidjson::SizeType length, bool) {
    return place(std::string(s, length)) != nullptr;
  }
  // The key stays in the parsed copy until its value comes.
  bool Key(const char* s, tarnel_rapidjson::SizeType length, bool) {
    frames_.back().key = s;
    frames_.back().keyLength = length;
    return true;
  }
  bool StartObject() {
    if (frames_.size() >= kMaxDepth) return false;
    if (frames_.empty()) {
      frames_.push_back(Frame{&root_, nullptr, nullptr, 0});
      return true;
    }
    mValue* value = place(mObject());
    frames_.push_back(Frame{&value->get_obj(), nullptr, nullptr, 0});
    return true;
  }
  bool EndObject(tarnel_rapidjson::SizeType) {
    frames_.pop_back();
    return true;
  }
  bool StartArray() {
    if (frames_.empty() || frames_.size() >= kMaxDepth)
      return false;  // top level must be an object
    mValue* value = place(mArray());
    frames_.push_back(Frame{nullptr, &value->get_array(), nullptr, 0});
    return true;
  }
  bool EndArray(tarnel_rapidjson::SizeType) {
    frames_.pop_back();
    return true;
  }

 private:
  struct Frame {
    mObject* object;  // the object being filled, or
    mArray* array;    // the array being filled
    const char* key;  // an object's key of the value to come
    tarnel_rapidjson::SizeType keyLength;
  };

  // Constructs a value from `args` in the innermost open container: under
  // the pending key (a repeated key keeps its last value), or at the end of
  // the array. Null for a value outside any container.
  template <class... Args>
  mValue* place(Args&&... args) {
    if (frames_.empty()) return nullptr;  // a scalar at the top level
    Frame& top = frames_.back();
    if (top.object != nullptr) {
      auto [slot, inserted] =
          top.object->try_emplace(std::string(top.key, top.keyLength), std::forward<Args>(args)...);
      if (!inserted) slot->second = mValue(std::forward<Args>(args)...);
      return &slot->second;
    }
    mArray& array = *top.array;
    if (array.size() == array.capacity()) grow(array);
    array.emplace_back(std::forward<Args>(args)...);
    return &array.back();
  }

  // std::vector copies its elements when it grows, since moving a value may
  // throw (boost::recursive_wrapper allocates): a deep copy of every nested
  // container. Moving them by hand costs at most one allocation each, and
  // growing fourfold moves each element a third of a time on average. Only
  // the array's last element can be open, and it is complete whenever a new
  // element comes, so no frame points into the array while it moves.
  static void grow(mArray& array) {
    mArray bigger;
    bigger.reserve(array.empty() ? 4 : array.size() * 4);
    for (mValue& value : array) bigger.push_back(std::move(value));
    array.swap(bigger);
  }

  mObject& root_;
  std::vector<Frame> frames_;
};

void write_string(const std::string& text, std::string& out) {
  static const char kHex[] = "0123456789abcdef";
  out += '"';
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xf];
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

// Numbers are written with std::to_chars, which ignores the process's locale
// (a host that sets a locale with a decimal comma must still get JSON).
template <class Number>
void write_number(Number n, std::string& out) {
  char buffer[32];
  const std::to_chars_result result = std::to_chars(buffer, buffer + sizeof buffer, n);
  out.append(buffer, result.ptr);
}

// The shortest text that reads back as the same double, always with a '.' or
// an exponent so that it reads back as a real.
void write_real(double d, std::string& out) {
  if (!std::isfinite(d)) {  // JSON has no spelling for these
    out += "null";
    return;
  }
  const size_t start = out.size();
  write_number(d, out);
  if (out.find_first_of(".e", start) == std::string::npos) out += ".0";
}

void write_value(const mValue& value, std::string& out);

void write_object(const mObject& object, std::string& out) {
  out += '{';
  bool first = true;
  for (const auto& member : object) {
    if (!first) out += ',';
    first = false;
    write_string(member.first, out);
    out += ':';
    write_value(member.second, out);
  }
  out += '}';
}

void write_value(const mValue& value, std::string& out) {
  switch (value.type()) {
    case json_spirit::obj_type:
      write_object(value.get_obj(), out);
      break;
    case json_spirit::array_type: {
      out += '[';
      bool first = true;
      for (const mValue& element : value.get_array()) {
        if (!first) out += ',';
        first = false;
        write_value(element, out);
      }
      out += ']';
      break;
    }
    case json_spirit::str_type:
      write_string(value.get_str(), out);
      break;
    case json_spirit::bool_type:
      out += value.get_bool() ? "true" : "false";
      break;
    case json_spirit::int_type:
      if (value.is_uint64()) {
        write_number(value.get_uint64(), out);
      } else {
        write_number(value.get_int64(), out);
      }
      break;
    case json_spirit::real_type:
      write_real(value.get_real(), out);
      break;
    case json_spirit::null_type:
      out += "null";
      break;
  }
}

}  // namespace

bool RkJson::Unserialize(const std::string& text, json_spirit::mObject& out) {
  out.clear();
  TreeBuilder builder(out);
  tarnel_rapidjson::Reader reader;
  std::string copy(text);
  tarnel_rapidjson::InsituStringStream stream(&copy[0]);
  tarnel_rapidjson::ParseResult result =
      reader
          .Parse<tarnel_rapidjson::kParseIterativeFlag |
                 tarnel_rapidjson::kParseNumbersAsStringsFlag | tarnel_rapidjson::kParseInsituFlag>(
              stream, builder);
  // The reader stops at a NUL byte; the text must end there too.
  if (!result || stream.Tell() != text.size()) {
    out.clear();
    return false;
  }
  return true;
}

void RkJson::Serialize(const json_spirit::mObject& object, std::string& out) {
  out.clear();
  write_object(object, out);
}
