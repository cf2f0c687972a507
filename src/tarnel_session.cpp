#include "tarnel_session.h"

#include <utility>

#include "RkJson.h"
#include "request_text.h"
#include "rkmx_utils.h"
#include "tarnel_call_context.h"

namespace {
const char kExchangeTag[] = "tarnel_session::tarnel_req_rsp()";
const char kLoginTag[] = "tarnel_session::get_tarnel_session()";
// The cluster's REST endpoint on the local node; the request text follows.
const char kEndpoint[] = ":8080/rest?";
const char kTraceKey[] = "dEnableCurlTraceLogging";
}  // namespace

tarnel_session::tarnel_session(std::string user, std::string cluster, std::string secret)
    : debug(),
      curl(),
      session_id(),
      host_name(),
      user_name(std::move(user)),
      password(std::move(secret)),
      cluster_name(std::move(cluster)),
      reserved() {
  host_name = rkmx_utils::get_hostname();
}

tarnel_session::tarnel_session() { host_name = rkmx_utils::get_hostname(); }

tarnel_session::~tarnel_session() {
  // The client goes first; the texts and the log facade follow as members.
  curl.reset();
}

int tarnel_session::tarnel_req_rsp(_http_req_type_ type, std::string request,
                                   json_spirit::mObject* reply, bool /*unused*/,
                                   std::string content_type) {
  return exchange(type, request, reply, content_type, nullptr);
}

std::string tarnel_session::get_tarnel_session() { return login(nullptr); }

int tarnel_session::exchange(_http_req_type_ type, const std::string& request,
                             json_spirit::mObject* reply, const std::string& content_type,
                             tarnel_call_context* call) {
  using tarnel_request::without_secret;
  if (reply == nullptr) return -1;
  if (call != nullptr && !call->may_send()) return -1;

  // A fresh client for every exchange; the one of the previous exchange is
  // released once the new one exists.
  curl.reset(new RKLibCurl());

  const std::string header = "Content-Type: " + content_type;
  if (!curl->RKLibCurlInit(header.c_str(), false, false, nullptr)) {
    debug.logMessage(kExchangeTag, -1, "Unable to init curl object.");
    if (call != nullptr) call->fail(tarnel_reason::unreachable, "the HTTP client could not start");
    return -1;
  }

  curl->toggleTrace(false);
  std::string trace;
  if (rkmx_utils::get_reg_key(kTraceKey, trace) == 0 && rkmx_utils::string_to_uint(trace) != 0) {
    curl->toggleTrace(true);
  }

  switch (type) {
    case RK_HTTP_GET:
      curl->RKLibCurlSetAdditionalOptionsIntValue(CURLOPT_NOSIGNAL, 1);
      curl->RKLibCurlSetAdditionalOptionsIntValue(CURLOPT_NOBODY, 0);
      curl->RKLibCurlSetAdditionalOptionsStringValue(CURLOPT_CUSTOMREQUEST, "GET");
      break;
    case RK_HTTP_PUT:
    case RK_HTTP_POST:
      break;
    default:
      return -1;
  }
  if (call != nullptr) call->steer(*curl);

  const std::string url = host_name + kEndpoint + request;
  const bool carried_out = curl->RKLibCurlSendHttpReq(type, url, nullptr, 0, true, nullptr) != 0;
  if (!carried_out) {
    const long long status = curl->GetHttpErrorCode();
    unsigned long length = 0;
    const char* bytes = curl->GetHttpResponse(length, false);
    if (call != nullptr) call->record_exchange(*curl, false, bytes, length);
    if (bytes != nullptr && length > 0) {
      // A server may echo the request, and the login password with it.
      const std::string answer = without_secret(std::string(bytes, length), password);
      debug.logMessage(kExchangeTag, -1,
                       "Failed to send curl request. HTTP code [%d], HTTP resp [%s]",
                       static_cast<int>(status), answer.c_str());
      return -1;
    }
  }

  unsigned long length = 0;
  const char* bytes = curl->GetHttpResponse(length, false);
  if (call != nullptr && carried_out) {
    call->record_exchange(*curl, true, bytes, length);
  }
  if (bytes == nullptr || length == 0) {
    debug.logMessage(kExchangeTag, -1, "No answer received");
    if (call != nullptr && carried_out) call->bad_reply("the reply was empty");
    return -1;
  }

  // The reply object is parsed from the text as received; only what is
  // logged has the password masked.
  std::string answer(bytes, length);
  if (!RkJson::Unserialize(answer, *reply)) {
    answer = without_secret(std::move(answer), password);
    debug.logMessage(kExchangeTag, 1, "Failed to unserialize json string [%s]", answer.c_str());
    if (call != nullptr) call->bad_reply("the reply is not a JSON object");
    return -1;
  }
  answer = without_secret(std::move(answer), password);
  debug.logMessage(kExchangeTag, -1, "Curl response for session: [%s]", answer.c_str());
  return 0;
}

std::string tarnel_session::login(tarnel_call_context* call) {
  using tarnel_request::quoted_value;
  const std::string request = "request={type:Login,category:UserManagement,params:{userName:\"" +
                              quoted_value(user_name) + "\",password:\"" + quoted_value(password) +
                              "\",cluster:\"" + quoted_value(cluster_name) + "\"}}";

  json_spirit::mObject reply;
  if (call != nullptr) call->expect(tarnel_exchange_kind::login);
  if (exchange(RK_HTTP_GET, request, &reply, "text/plain", call) != 0) return std::string();

  const auto result = reply.find("result");
  if (result == reply.end()) {
    debug.logMessage(kLoginTag, -1, "Unable to get a tarnel session");
    missing_member(call, "result");
    return std::string();
  }
  const json_spirit::mObject* result_member = object_member(call, result->second, "result");
  if (result_member == nullptr) return std::string();
  const json_spirit::mObject result_object = *result_member;
  const auto id = result_object.find("sessionId");
  if (id == result_object.end()) {
    debug.logMessage(kLoginTag, -1, "Unable to get a tarnel session");
    missing_member(call, "result.sessionId");
    return std::string();
  }
  const std::string* identifier = string_member(call, id->second, "result.sessionId");
  if (identifier == nullptr) return std::string();
  session_id = *identifier;
  if (call != nullptr && session_id.empty()) call->bad_reply("member result.sessionId is empty");
  return session_id;
}
