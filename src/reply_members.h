// Readers of the members of a cluster's reply. A member of the wrong type is
// the call's to judge (tarnel_call_context::wrong_member): a designed
// operation reads it with json_spirit's accessor, which throws its type
// error; a steered call records bad_reply naming the member's `path`
// ("result.sessionId"), and the reader returns null (or false).
#pragma once

#include <string>

#include "json_spirit/json_spirit_value.h"

class tarnel_call_context;
class tarnel_debug;

const json_spirit::mObject* object_member(tarnel_call_context& call,
                                          const json_spirit::mValue& value, const char* path);
const std::string* string_member(tarnel_call_context& call, const json_spirit::mValue& value,
                                 const char* path);
// An integer is read as a double.
bool number_member(tarnel_call_context& call, const json_spirit::mValue& value, const char* path,
                   double& number);
// Records that the member at `path` is missing.
void missing_member(tarnel_call_context& call, const char* path);

// The members one operation reads: a missing one is logged with the
// operation's own line (`tag`, level -1) and recorded.
struct reply_members {
  tarnel_debug& debug;
  const char* tag;
  tarnel_call_context& call;

  // The member at `path` of `parent` ("result.capacity": the member
  // "capacity"), or null after `missing_line` was logged.
  const json_spirit::mValue* find(const json_spirit::mObject& parent, const char* path,
                                  const char* missing_line) const;
  // The same member read as an object (object_member).
  const json_spirit::mObject* object(const json_spirit::mObject& parent, const char* path,
                                     const char* missing_line) const;
};
