// Host JSON codec between JSON text and the json_spirit object model, on
// RapidJSON's SAX reader. Stateless and thread-safe.
//
// Reading: the top level must be an object, and only white space may follow
// it; a NUL byte anywhere in the text, even inside a string, makes the text
// rejected. Nesting deeper than 512 containers (the top-level object counting
// as one) is rejected as soon as it is seen, so no input can exhaust the
// stack. Integers become int64; those above INT64_MAX and up to UINT64_MAX
// become uint64 (is_uint64); any other number, integers beyond those ranges
// included, becomes a double; a number too large for a double is rejected.
// Strings are decoded from their escapes into UTF-8; other bytes, non-ASCII
// ones included, are kept as they are (not validated). A repeated key keeps
// its last value.
//
// Writing: compact (no white space outside strings), members in map order
// (keys ascending by byte value). In strings '"', '\' and the control
// characters below 0x20 are escaped (\b \f \n \r \t, the others as \u00XX);
// every other byte, non-ASCII UTF-8 included, is written unchanged. Numbers
// are written independently of the process locale; a double is written as
// the shortest text that reads back as the same value and always carries a
// '.' or an exponent, so it reads back as a double; infinities and NaN, which
// JSON cannot spell, are written as null.
#pragma once

#include <string>

#include "host_export.h"
#include "json_spirit/json_spirit_value.h"

class RK_HOST_API RkJson {
 public:
  // Parses `text`, which must be one JSON object and nothing after it, into
  // `out`, replacing its members. Returns false for anything else (including
  // nesting deeper than 512); `out` is then empty.
  static bool Unserialize(const std::string& text, json_spirit::mObject& out);
  // Writes `object` as compact JSON into `out` (replacing its contents):
  // no white space, members in map order, strings escaped as JSON requires.
  static void Serialize(const json_spirit::mObject& object, std::string& out);
};
