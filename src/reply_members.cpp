#include "reply_members.h"

#include <cstring>

#include "tarnel_call_context.h"
#include "tarnel_debug.h"

namespace {

// Value_type's names, in its order.
const char* const kTypeNames[] = {"an object",  "an array", "a string", "a boolean",
                                  "an integer", "a number", "null"};

// True when `value` is to be read with the accessor: it has the type
// `wanted`, or the call leaves the type error to the accessor.
bool readable(tarnel_call_context& call, const json_spirit::mValue& value, bool matches,
              const char* path, const char* wanted) {
  return matches || call.wrong_member(std::string("member ") + path + " is " +
                                      kTypeNames[value.type()] + ", not " + wanted);
}

}  // namespace

const json_spirit::mObject* object_member(tarnel_call_context& call,
                                          const json_spirit::mValue& value, const char* path) {
  const bool matches = value.type() == json_spirit::obj_type;
  return readable(call, value, matches, path, "an object") ? &value.get_obj() : nullptr;
}

const std::string* string_member(tarnel_call_context& call, const json_spirit::mValue& value,
                                 const char* path) {
  const bool matches = value.type() == json_spirit::str_type;
  return readable(call, value, matches, path, "a string") ? &value.get_str() : nullptr;
}

bool number_member(tarnel_call_context& call, const json_spirit::mValue& value, const char* path,
                   double& number) {
  const bool matches =
      value.type() == json_spirit::real_type || value.type() == json_spirit::int_type;
  if (!readable(call, value, matches, path, "a number")) return false;
  number = value.get_real();
  return true;
}

void missing_member(tarnel_call_context& call, const char* path) {
  call.bad_reply(std::string("member ") + path + " is missing");
}

const json_spirit::mValue* reply_members::find(const json_spirit::mObject& parent, const char* path,
                                               const char* missing_line) const {
  const char* dot = std::strrchr(path, '.');
  const auto member = parent.find(dot != nullptr ? dot + 1 : path);
  if (member != parent.end()) return &member->second;
    // The line is the operation's fixed text, written as the writer's
    // format (it holds no '%').
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
  debug.logMessage(tag, -1, missing_line);
#pragma GCC diagnostic pop
  missing_member(call, path);
  return nullptr;
}

const json_spirit::mObject* reply_members::object(const json_spirit::mObject& parent,
                                                  const char* path,
                                                  const char* missing_line) const {
  const json_spirit::mValue* value = find(parent, path, missing_line);
  return value != nullptr ? object_member(call, *value, path) : nullptr;
}
