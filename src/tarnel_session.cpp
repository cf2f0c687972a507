#include "tarnel_session.h"

#include <utility>

#include "RkJson.h"
#include "request_text.h"
#include "rkmx_utils.h"

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
  using tarnel_request::without_secret;
  if (reply == nullptr) return -1;

  // A fresh client for every exchange; the one of the previous exchange is
  // released once the new one exists.
  curl.reset(new RKLibCurl());

  const std::string header = "Content-Type: " + content_type;
  if (!curl->RKLibCurlInit(header.c_str(), false, false, nullptr)) {
    debug.logMessage(kExchangeTag, -1, "Unable to init curl object.");
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

  const std::string url = host_name + kEndpoint + request;
  if (curl->RKLibCurlSendHttpReq(type, url, nullptr, 0, true, nullptr) == 0) {
    const long long status = curl->GetHttpErrorCode();
    unsigned long length = 0;
    const char* bytes = curl->GetHttpResponse(length, false);
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
  if (bytes == nullptr || length == 0) {
    debug.logMessage(kExchangeTag, -1, "No answer received");
    return -1;
  }

  // The reply object is parsed from the text as received; only what is
  // logged has the password masked.
  std::string answer(bytes, length);
  if (!RkJson::Unserialize(answer, *reply)) {
    answer = without_secret(std::move(answer), password);
    debug.logMessage(kExchangeTag, 1, "Failed to unserialize json string [%s]", answer.c_str());
    return -1;
  }
  answer = without_secret(std::move(answer), password);
  debug.logMessage(kExchangeTag, -1, "Curl response for session: [%s]", answer.c_str());
  return 0;
}

std::string tarnel_session::get_tarnel_session() {
  using tarnel_request::quoted_value;
  const std::string request = "request={type:Login,category:UserManagement,params:{userName:\"" +
                              quoted_value(user_name) + "\",password:\"" + quoted_value(password) +
                              "\",cluster:\"" + quoted_value(cluster_name) + "\"}}";

  json_spirit::mObject reply;
  if (tarnel_req_rsp(RK_HTTP_GET, request, &reply, false, "text/plain") != 0) return std::string();

  const auto result = reply.find("result");
  if (result == reply.end()) {
    debug.logMessage(kLoginTag, -1, "Unable to get a tarnel session");
    return std::string();
  }
  const json_spirit::mObject result_object = result->second.get_obj();
  const auto id = result_object.find("sessionId");
  if (id == result_object.end()) {
    debug.logMessage(kLoginTag, -1, "Unable to get a tarnel session");
    return std::string();
  }
  session_id = id->second.get_str();
  return session_id;
}
