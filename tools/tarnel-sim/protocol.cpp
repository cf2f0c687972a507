#include "protocol.h"

#include "RkJson.h"

namespace tarnel_sim {

namespace {

constexpr RequestType kAllTypes[] = {RequestType::Login, RequestType::ClusterInformation,
                                     RequestType::AddVirtualDisk, RequestType::Mount};

}  // namespace

const char* request_name(RequestType type) {
  switch (type) {
    case RequestType::Login:
      return "Login";
    case RequestType::ClusterInformation:
      return "ClusterInformation";
    case RequestType::AddVirtualDisk:
      return "AddVirtualDisk";
    case RequestType::Mount:
      return "Mount";
  }
  return "";
}

const char* request_category(RequestType type) {
  switch (type) {
    case RequestType::Login:
      return "UserManagement";
    case RequestType::ClusterInformation:
      return "ClusterWatch";
    case RequestType::AddVirtualDisk:
    case RequestType::Mount:
      return "VirtualDiskManagement";
  }
  return "";
}

std::optional<RequestType> request_type_named(std::string_view name) {
  for (RequestType type : kAllTypes) {
    if (name == request_name(type)) return type;
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
