// The simulator's REST vocabulary: the four request types with their
// category words, and the shape of replies.
//
// A request is recognised by its top-level members "type" and "category"
// (both words or strings). Replies are JSON objects; a failure reply has the
// member "error" holding {"code": <word>, "message": <text>} and no "result".
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "json_spirit/json_spirit_value.h"
#include "request_parser.h"

namespace tarnel_sim {

enum class RequestType { Login, ClusterInformation, AddVirtualDisk, Mount };

// "Login", "ClusterInformation", "AddVirtualDisk", "Mount".
const char* request_name(RequestType type);
// "UserManagement", "ClusterWatch", "VirtualDiskManagement", "VirtualDiskManagement".
const char* request_category(RequestType type);
// The type whose name is `name` exactly, if any.
std::optional<RequestType> request_type_named(std::string_view name);

// One reply: the HTTP status and the JSON body.
struct Reply {
  int status = 200;
  json_spirit::mObject body;
};

// {"error":{"code":code,"message":message}} with `status`.
Reply error_reply(int status, const std::string& code, const std::string& message);

// The request type of a parsed request. On failure (no "type", an unknown
// type, or a "category" missing or not the type's) it returns nothing and
// sets `failure` to the error reply to send.
std::optional<RequestType> classify(const RequestValue& request, Reply& failure);

// The reply's body as compact JSON text.
std::string body_text(const json_spirit::mObject& body);

}  // namespace tarnel_sim
