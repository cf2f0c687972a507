#include "protocol.h"

#include "RkJson.h"

namespace tarnel_sim {

namespace {

// The words of each request type.
struct RequestWords {
  RequestType type;
  const char* name;
  const char* category;
};

constexpr RequestWords kRequestWords[] = {
    {RequestType::Login, "Login", "UserManagement"},
    {RequestType::ClusterInformation, "ClusterInformation", "ClusterWatch"},
    {RequestType::AddVirtualDisk, "AddVirtualDisk", "VirtualDiskManagement"},
    {RequestType::Mount, "Mount", "VirtualDiskManagement"},
};

const RequestWords* words_of(RequestType type) {
  for (const RequestWords& words : kRequestWords) {
    if (words.type == type) return &words;
  }
  return nullptr;
}

}  // namespace

const char* request_name(RequestType type) {
  const RequestWords* words = words_of(type);
  return words != nullptr ? words->name : "";
}

const char* request_category(RequestType type) {
  const RequestWords* words = words_of(type);
  return words != nullptr ? words->category : "";
}

std::optional<RequestType> request_type_named(std::string_view name) {
  for (const RequestWords& words : kRequestWords) {
    if (name == words.name) return words.type;
  }
  return std::nullopt;
}

Reply error_reply(int status, const std::string& code, const std::string& message) {
  json_spirit::mObject error;
  error["code"] = code;
  error["message"] = message;
  Reply reply;
  reply.status = status;
  reply.body["error"] = std::move(error);
  return reply;
}

std::optional<RequestType> classify(const RequestValue& request, Reply& failure) {
  const RequestValue* type = request.find("type");
  if (type == nullptr || !type->is_scalar()) {
    failure = error_reply(400, "UnknownRequest", "the request has no type");
    return std::nullopt;
  }
  const std::optional<RequestType> known = request_type_named(type->text);
  if (!known) {
    failure = error_reply(400, "UnknownRequest", "unknown request type \"" + type->text + "\"");
    return std::nullopt;
  }
  const RequestValue* category = request.find("category");
  if (category == nullptr || !category->is_scalar() || category->text != request_category(*known)) {
    failure = error_reply(
        400, "UnknownRequest",
        std::string(request_name(*known)) + " belongs to the category " + request_category(*known));
    return std::nullopt;
  }
  return known;
}

std::string body_text(const json_spirit::mObject& body) {
  std::string text;
  RkJson::Serialize(body, text);
  return text;
}

}  // namespace tarnel_sim
