// Host JSON codec between JSON text and the json_spirit object model.
#pragma once

#include <string>

#include "host_export.h"
#include "json_spirit/json_spirit_value.h"

class RK_HOST_API RkJson {
 public:
  // Parses `text`, which must be one JSON object and nothing after it, into
  // `out`. Returns false for anything else (including nesting deeper than
  // 512); `out` is then unspecified.
  static bool Unserialize(const std::string& text, json_spirit::mObject& out);
  // Writes `object` as compact JSON into `out` (replacing its contents):
  // no white space, members in map order, strings escaped as JSON requires.
  static void Serialize(const json_spirit::mObject& object, std::string& out);
};
