#include "tarnel_session.h"

#include <utility>

#include "RkJson.h"
#include "log_tags.h"
#include "reply_members.h"
#include "request_text.h"
#include "rkmx_utils.h"
#include "tarnel_call_context.h"

namespace {
const char kNoSession[] = "Unable to get a tarnel session";
// The cluster's REST endpoint on the local node; the request text follows.
const char kEndpoint[] = ":8080/rest?";
const char kTraceKey[] = "dEnableCurlTraceLogging";

// Sets the options of the request type; false for a type the exchange does
// not send.
bool set_request_type_options(RKLibCurl& client, _http_req_type_ type) {
  switch (type) {
    case RK_HTTP_GET:
      client.RKLibCurlSetAdditionalOptionsIntValue(CURLOPT_NOSIGNAL, 1);
      client.RKLibCurlSetAdditionalOptionsIntValue(CURLOPT_NOBODY, 0);
      client.RKLibCurlSetAdditionalOptionsStringValue(CURLOPT_CUSTOMREQUEST, "GET");
      return true;
    case RK_HTTP_PUT:
    case RK_HTTP_POST:
      return true;
    default:
      return false;
  }
}

// Makes `curl` a fresh client for a request of `type`: the header line
// (which the client may keep: it must outlive the exchange), the trace as
// the key store sets it, the type's options. The client of the previous
// exchange is released once the new one exists. False when the client could
// not start (logged) or the type is refused.
bool start_client(std::unique_ptr<RKLibCurl>& curl, tarnel_debug& debug, _http_req_type_ type,
                  const std::string& header, tarnel_call_context& call) {
  curl.reset(new RKLibCurl());
  if (!curl->RKLibCurlInit(header.c_str(), false, false, nullptr)) {
    debug.logMessage(tarnel_tags::kExchange, -1, "Unable to init curl object.");
    call.fail(tarnel_reason::unreachable, "the HTTP client could not start");
    return false;
  }
  curl->toggleTrace(false);
  std::string trace;
  if (rkmx_utils::get_reg_key(kTraceKey, trace) == 0 && rkmx_utils::string_to_uint(trace) != 0) {
    curl->toggleTrace(true);
  }
  return set_request_type_options(*curl, type);
}

// What the steps after the send share: the client, the session's log, the
// password every logged reply is masked of, the call and the request's kind.
struct sent_exchange {
  RKLibCurl& client;
  tarnel_debug& debug;
  const std::string& password;
  tarnel_call_context& call;
  tarnel_exchange_kind kind;
};

// After a send that was not carried out: recorded with the call, and a body
// that came back is logged; true then, and the exchange fails. Without a
// body, false: the exchange goes on to read the reply, which is how it comes
// to log "No answer received" for it.
bool failed_send_logged(const sent_exchange& sent) {
  const long long status = sent.client.GetHttpErrorCode();
  unsigned long length = 0;
  const char* bytes = sent.client.GetHttpResponse(length, false);
  sent.call.record_exchange(sent.client, sent.kind, false, bytes, length);
  if (bytes == nullptr || length == 0) return false;
  // A server may echo the request, and the login password with it.
  const std::string answer =
      tarnel_request::without_secret(std::string(bytes, length), sent.password);
  sent.debug.logMessage(tarnel_tags::kExchange, -1,
                        "Failed to send curl request. HTTP code [%d], HTTP resp [%s]",
                        static_cast<int>(status), answer.c_str());
  return true;
}

// Parses the reply into `reply`. 0, or -1 after logging an empty reply or
// one that does not parse. The reply object is parsed from the text as
// received; only what is logged has the password masked.
int read_reply(const sent_exchange& sent, bool carried_out, json_spirit::mObject& reply) {
  using tarnel_request::without_secret;
  unsigned long length = 0;
  const char* bytes = sent.client.GetHttpResponse(length, false);
  if (carried_out) sent.call.record_exchange(sent.client, sent.kind, true, bytes, length);
  if (bytes == nullptr || length == 0) {
    sent.debug.logMessage(tarnel_tags::kExchange, -1, "No answer received");
    if (carried_out) sent.call.bad_reply("the reply was empty");
    return -1;
  }
  std::string answer(bytes, length);
  if (!RkJson::Unserialize(answer, reply)) {
    answer = without_secret(std::move(answer), sent.password);
    sent.debug.logMessage(tarnel_tags::kExchange, 1, "Failed to unserialize json string [%s]",
                          answer.c_str());
    sent.call.bad_reply("the reply is not a JSON object");
    return -1;
  }
  answer = without_secret(std::move(answer), sent.password);
  sent.debug.logMessage(tarnel_tags::kExchange, -1, "Curl response for session: [%s]",
                        answer.c_str());
  return 0;
}

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
  tarnel_call_context call(password);
  return exchange(tarnel_exchange_kind::query, type, request, reply, content_type, call);
}

std::string tarnel_session::get_tarnel_session() {
  tarnel_call_context call(password);
  return login(call);
}

int tarnel_session::exchange(tarnel_exchange_kind kind, _http_req_type_ type,
                             const std::string& request, json_spirit::mObject* reply,
                             const std::string& content_type, tarnel_call_context& call) {
  if (reply == nullptr || !call.may_send()) return -1;
  const std::string header = "Content-Type: " + content_type;
  if (!start_client(curl, debug, type, header, call)) return -1;
  call.steer(*curl);

  const std::string url = host_name + kEndpoint + request;
  const bool carried_out = curl->RKLibCurlSendHttpReq(type, url, nullptr, 0, true, nullptr) != 0;
  const sent_exchange sent{*curl, debug, password, call, kind};
  if (!carried_out && failed_send_logged(sent)) return -1;
  return read_reply(sent, carried_out, *reply);
}

std::string tarnel_session::login(tarnel_call_context& call) {
  using tarnel_request::quoted_value;
  const std::string request = "request={type:Login,category:UserManagement,params:{userName:\"" +
                              quoted_value(user_name) + "\",password:\"" + quoted_value(password) +
                              "\",cluster:\"" + quoted_value(cluster_name) + "\"}}";

  json_spirit::mObject reply;
  if (exchange(tarnel_exchange_kind::login, RK_HTTP_GET, request, &reply, "text/plain", call) !=
      0) {
    return std::string();
  }
  const reply_members members{debug, tarnel_tags::kLogin, call};
  const json_spirit::mObject* result = members.object(reply, "result", kNoSession);
  if (result == nullptr) return std::string();
  const json_spirit::mValue* id = members.find(*result, "result.sessionId", kNoSession);
  if (id == nullptr) return std::string();
  const std::string* identifier = string_member(call, *id, "result.sessionId");
  if (identifier == nullptr) return std::string();
  session_id = *identifier;
  if (session_id.empty()) call.bad_reply("member result.sessionId is empty");
  return session_id;
}
