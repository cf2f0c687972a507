// One session with the cluster's REST endpoint on the local node.
//
// tarnel_req_rsp sends one request text (carried in the URL's query string)
// through a fresh host HTTP client and parses the reply into a JSON object;
// get_tarnel_session logs in with the credentials given at construction and
// keeps the session identifier. A session is used by one thread at a time.
// Results are status codes; json_spirit type errors from a malformed reply
// pass through as std::runtime_error.
//
// A reply the exchange logs (a failed send, a reply that does not parse, a
// parsed reply) may echo the request: every occurrence of the session's
// login password in it, clear, JSON-escaped (once or twice) or
// percent-encoded, is replaced by "***" in the log line; the reply object
// gets the text as received. A password shorter than 4 characters is not
// masked, as it would blank out ordinary text.
#pragma once

#include <memory>
#include <string>

#include "RKLibCurl.h"
#include "json_spirit/json_spirit_value.h"
#include "tarnel_debug.h"
#include "tarnel_export.h"

class tarnel_call_context;
enum class tarnel_exchange_kind : int;

class TARNEL_API tarnel_session {
 public:
  // Credentials in this order: user name, cluster name, password.
  tarnel_session(std::string user_name, std::string cluster_name, std::string password);
  // No credentials: can carry out exchanges, not a login.
  tarnel_session();
  ~tarnel_session();

  // One exchange. `type` 0 (login), 1 or 2; `request` becomes the query
  // string; `reply` receives the parsed reply (null: -1 at once, nothing sent);
  // `content_type` goes into the "Content-Type: " header line. Returns 0
  // when a reply arrived and parsed, -1 otherwise.
  int tarnel_req_rsp(_http_req_type_ type, std::string request, json_spirit::mObject* reply,
                     bool unused, std::string content_type);

  // One login attempt. Returns the session identifier, or "" on failure; a
  // failed attempt leaves the identifier of an earlier success stored.
  std::string get_tarnel_session();

 private:
  friend class tarnel_admin;
  friend class tarnel_vdisk;
  // The exchange and the login of every call, designed or steered
  // (tarnel_call_context.h); `kind` names the request the exchange carries.
  int exchange(tarnel_exchange_kind kind, _http_req_type_ type, const std::string& request,
               json_spirit::mObject* reply, const std::string& content_type,
               tarnel_call_context& call);
  std::string login(tarnel_call_context& call);

  tarnel_debug debug;
  std::unique_ptr<RKLibCurl> curl;
  std::string session_id;
  std::string host_name;
  std::string user_name;
  std::string password;
  std::string cluster_name;
  std::string reserved;
};
