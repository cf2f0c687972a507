#include "tarnel_vdisk.h"

#include <iomanip>
#include <locale>
#include <sstream>
#include <utility>

#include "RkJson.h"
#include "request_text.h"
#include "rkmx_utils.h"
#include "tarnel_call_context.h"
#include "tarnel_session.h"

namespace {

const char kConstructorTag[] = "tarnel_vdisk::tarnel_vdisk()";
const char kSpaceTag[] = "tarnel_vdisk::get_cluster_space";
const char kCreateTag[] = "tarnel_vdisk::create_vdisk()";
const char kExportTag[] = "tarnel_vdisk::export_vdisk()";
const char kFormContent[] = "application/x-www-form-urlencoded";

// A new disk gets the cluster's capacity in gigabytes times kUsableShare,
// divided by kErasureOverhead (multiplication first).
constexpr double kUsableShare = 0.95;
constexpr double kErasureOverhead = 1.62;

// `size` with two decimals and '.' as the decimal point, whatever locale the
// host process has made global.
std::string size_text(double size) {
  std::ostringstream text;
  text.imbue(std::locale::classic());
  text << std::fixed << std::setprecision(2) << size;
  return text.str();
}

// True when a size text names more than nothing: only digits and a point,
// and at least one digit other than 0 (so no sign, no "nan", no "inf").
bool names_positive_size(const std::string& text) {
  bool nonzero = false;
  for (char c : text) {
    if (c >= '1' && c <= '9') {
      nonzero = true;
    } else if (c != '0' && c != '.') {
      return false;
    }
  }
  return nonzero;
}

// True when `record`, written by the codec, occurs in the serialized `reply`.
bool holds_record(const json_spirit::mObject& reply, const json_spirit::mObject& record) {
  std::string reply_text;
  RkJson::Serialize(reply, reply_text);
  std::string record_text;
  RkJson::Serialize(record, record_text);
  return reply_text.find(record_text) != std::string::npos;
}

}  // namespace

tarnel_vdisk::tarnel_vdisk(std::string session, std::string disk, std::string host)
    : debug(),
      vdisk_name(std::move(disk)),
      host_name(std::move(host)),
      session_id(std::move(session)),
      aux_list(),
      aux_map() {
  if (vdisk_name.empty() || session_id.empty() || host_name.empty()) {
    debug.logMessage(kConstructorTag, -1, "Please provide the required arguments.");
  }
}

tarnel_vdisk::~tarnel_vdisk() = default;

std::pair<double, std::string> tarnel_vdisk::get_cluster_space() { return query_space(nullptr); }

int tarnel_vdisk::create_vdisk() { return create(nullptr); }

int tarnel_vdisk::export_vdisk() { return mount(nullptr); }

std::pair<double, std::string> tarnel_vdisk::get_cluster_space(const tarnel_call_options& options,
                                                               tarnel_outcome& outcome) {
  tarnel_call_context call(options, outcome, std::string());
  std::pair<double, std::string> space(0, std::string());
  call.run([&] {
    for (int attempt = 1; call.begin_attempt(tarnel_loop::command, attempt); ++attempt) {
      space = query_space(&call);
      if (outcome.reason == tarnel_reason::ok) return;
      if (!call.after_failure(tarnel_loop::command, attempt)) return;
    }
  });
  call.finish(outcome.reason == tarnel_reason::ok);
  if (!outcome.ok()) space = std::make_pair(0.0, std::string());
  return space;
}

std::pair<double, std::string> tarnel_vdisk::query_space(tarnel_call_context* call) {
  const std::pair<double, std::string> failed(0, std::string());
  tarnel_session session;
  const std::string request =
      "request={type:ClusterInformation,category:ClusterWatch,sessionId:\"" +
      tarnel_request::quoted_value(session_id) + "\"}";
  json_spirit::mObject reply;
  if (session.exchange(RK_HTTP_POST, request, &reply, kFormContent, call) != 0) return failed;

  const auto result = reply.find("result");
  if (result == reply.end()) {
    debug.logMessage(kSpaceTag, -1, "Unable to find result key in response");
    missing_member(call, "result");
    return failed;
  }
  const json_spirit::mObject* result_object = object_member(call, result->second, "result");
  if (result_object == nullptr) return failed;
  const auto capacity = result_object->find("capacity");
  if (capacity == result_object->end()) {
    debug.logMessage(kSpaceTag, -1, "Unable to find capacity key in response");
    missing_member(call, "result.capacity");
    return failed;
  }
  const json_spirit::mObject* capacity_object =
      object_member(call, capacity->second, "result.capacity");
  if (capacity_object == nullptr) return failed;
  const auto total = capacity_object->find("total");
  if (total == capacity_object->end()) {
    debug.logMessage(kSpaceTag, -1, "Unable to find total key in response");
    missing_member(call, "result.capacity.total");
    return failed;
  }
  const json_spirit::mObject* total_object =
      object_member(call, total->second, "result.capacity.total");
  if (total_object == nullptr) return failed;
  const auto units = total_object->find("units");
  const auto value = total_object->find("value");
  if (units == total_object->end() || value == total_object->end()) {
    debug.logMessage(kSpaceTag, -1, "Unable to find units/value key in response");
    missing_member(call, units == total_object->end() ? "result.capacity.total.units"
                                                      : "result.capacity.total.value");
    return failed;
  }
  const std::string* unit_text = string_member(call, units->second, "result.capacity.total.units");
  if (unit_text == nullptr) return failed;
  double amount = 0;
  if (!number_member(call, value->second, "result.capacity.total.value", amount)) return failed;
  return std::make_pair(amount, *unit_text);
}

int tarnel_vdisk::create(tarnel_call_context* call) {
  // The session identifier stands bare in this request.
  if (!tarnel_request::fits_bare(session_id)) {
    debug.logMessage(kCreateTag, -1, "Failed to create vdisk : [%s]", vdisk_name.c_str());
    if (call != nullptr) call->bad_reply("the session identifier cannot stand in a request");
    return -1;
  }

  // The request's own session is made before the capacity query makes its
  // own: the construction order is the designed one.
  tarnel_session session;
  const std::pair<double, std::string> space = query_space(call);
  const bool queried = call != nullptr ? call->outcome().ok()
                                       : !(space.first == 0 && space.second.empty());
  if (!queried) {
    debug.logMessage(kCreateTag, -1, "Failed to create vdisk : [%s]", vdisk_name.c_str());
    return -1;
  }
  const double gigabytes = rkmx_utils::convert_size_to_gb(space.first, space.second);
  const std::string size = size_text(gigabytes * kUsableShare / kErasureOverhead);
  if (!names_positive_size(size)) {
    debug.logMessage(kCreateTag, -1, "Failed to create vdisk : [%s]", vdisk_name.c_str());
    if (call != nullptr) {
      call->bad_reply("the cluster's capacity gives no positive size (" + size + " GB)");
    }
    return -1;
  }
  if (call != nullptr) call->outcome().size_requested = size;

  const std::string request =
      "request={type:AddVirtualDisk,category:VirtualDiskManagement,params:{name:\"" +
      tarnel_request::quoted_value(vdisk_name) +
      "\",protectionPolicy:\"Erasure\",erasureConfig:\"RS_4_2\",backupType:\"FILER\",size:{unit:"
      "\"GB\"" +
      ",value:" + size + "},diskType:NFS,scsi3pr:false},sessionId:" + session_id + "}";
  json_spirit::mObject reply;
  if (call != nullptr) call->expect(tarnel_exchange_kind::add_disk);
  const int sent = session.exchange(RK_HTTP_POST, request, &reply, kFormContent, call);
  if (sent != 0) {
    debug.logMessage(kCreateTag, -1, "Failed to create vdisk : [%s]", vdisk_name.c_str());
    return sent;
  }

  json_spirit::mObject record;
  record["name"] = vdisk_name;
  record["status"] = "ok";
  if (holds_record(reply, record)) {
    debug.logMessage(kCreateTag, 0, "Successfully created vdisk : [%s]", vdisk_name.c_str());
    return 0;
  }
  debug.logMessage(kCreateTag, -1, "Failed to create vdisk : [%s]", vdisk_name.c_str());
  if (call != nullptr) call->fail(tarnel_reason::not_confirmed, "the reply holds no success record");
  return -1;
}

int tarnel_vdisk::mount(tarnel_call_context* call) {
  // The session identifier stands bare in this request.
  if (!tarnel_request::fits_bare(session_id)) {
    debug.logMessage(kExportTag, -1, "Failed to export vdisk : [%s]", vdisk_name.c_str());
    if (call != nullptr) call->bad_reply("the session identifier cannot stand in a request");
    return -1;
  }

  tarnel_session session;
  const std::string request =
      "request={type:Mount,category:VirtualDiskManagement,params:{virtualDisk:\"" +
      tarnel_request::quoted_value(vdisk_name) + "\",targets:[\"" +
      tarnel_request::quoted_value(host_name) + "\"]},sessionId:" + session_id + "}";
  json_spirit::mObject reply;
  if (call != nullptr) call->expect(tarnel_exchange_kind::mount);
  const int sent = session.exchange(RK_HTTP_PUT, request, &reply, kFormContent, call);
  if (sent != 0) {
    debug.logMessage(kExportTag, -1, "Failed to export vdisk : [%s]", vdisk_name.c_str());
    return sent;
  }

  json_spirit::mObject record;
  record["status"] = "ok";
  record["target"] = host_name;
  if (holds_record(reply, record)) {
    debug.logMessage(kExportTag, 0, "Successfully exported vdisk : [%s]", vdisk_name.c_str());
    return 0;
  }
  debug.logMessage(kExportTag, -1, "Failed to export vdisk : [%s]", vdisk_name.c_str());
  if (call != nullptr) call->fail(tarnel_reason::not_confirmed, "the reply holds no success record");
  return -1;
}
