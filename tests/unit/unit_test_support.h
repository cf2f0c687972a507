// What the unit tests of the facade, the session and the disk handle share:
// the cluster's replies they script into the fake HTTP client, what they read
// back from the sent requests and the recorded pauses, and the request texts
// (tests/support/request_texts.h).
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "fake_host.h"
#include "log_tags.h"
#include "request_texts.h"

namespace unit_test {

// The function tags of the library's log lines.
constexpr const char* kAdminConstructorTag = tarnel_tags::kAdminConstructor;
constexpr const char* kAdminSessionTag = tarnel_tags::kAdminSession;
constexpr const char* kAdminCreateTag = tarnel_tags::kAdminCreate;
constexpr const char* kAdminExportTag = tarnel_tags::kAdminExport;
constexpr const char* kAdminDrivesTag = tarnel_tags::kAdminDrives;
constexpr const char* kExchangeTag = tarnel_tags::kExchange;
constexpr const char* kLoginTag = tarnel_tags::kLogin;
constexpr const char* kVdiskConstructorTag = tarnel_tags::kVdiskConstructor;
constexpr const char* kSpaceTag = tarnel_tags::kSpace;
constexpr const char* kVdiskCreateTag = tarnel_tags::kVdiskCreate;
constexpr const char* kVdiskExportTag = tarnel_tags::kVdiskExport;

using request_texts::add_virtual_disk_text;
using request_texts::cluster_information_text;
using request_texts::login_text;
using request_texts::mount_text;

// A ClusterInformation reply; `units` and `value` are JSON texts.
inline std::string capacity_reply(const std::string& units, const std::string& value) {
  return "{\"result\":{\"capacity\":{\"total\":{\"units\":" + units + ",\"value\":" + value +
         "}}}}";
}

// Queues the cluster's replies: a login that gives `sessionId`, a capacity of
// `gigabytes` GB, the record of a created disk, the record of an export.
inline void queue_login(const std::string& sessionId = "S1") {
  fake::queue_reply(R"({"result":{"sessionId":")" + sessionId + R"("}})");
}
inline void queue_capacity(const std::string& gigabytes = "100") {
  fake::queue_reply(capacity_reply("\"GB\"", gigabytes));
}
inline void queue_created(const std::string& name) {
  fake::queue_reply(R"({"result":[{"name":")" + name + R"(","status":"ok"}]})");
}
inline void queue_exported(const std::string& host) {
  fake::queue_reply(R"({"result":[{"status":"ok","target":")" + host + R"("}]})");
}

// The type word of every request sent, in order.
inline std::vector<std::string> request_types() {
  std::vector<std::string> types;
  for (const std::string& request : fake::sent_requests()) {
    const size_t start = request.find("type:") + 5;
    types.push_back(request.substr(start, request.find(',', start) - start));
  }
  return types;
}

// Sends ("send") and pauses ("ZUSLEEP_InTeRnAl(<ms>)") in the order they
// happened.
inline std::vector<std::string> sends_and_pauses() {
  std::vector<std::string> events;
  for (const std::string& line : fake::journal()) {
    if (line.rfind("RKLibCurl::RKLibCurlSendHttpReq", 0) == 0) events.push_back("send");
    if (line.rfind("ZUSLEEP_InTeRnAl", 0) == 0) events.push_back(line);
  }
  return events;
}

// The message of the std::runtime_error (the JSON type error) that `act`
// throws, or "no error".
inline std::string type_error_of(const std::function<void()>& act) {
  try {
    act();
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "no error";
}

}  // namespace unit_test
