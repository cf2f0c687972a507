#include "tarnel_vdisk.h"

#include <iomanip>
#include <locale>
#include <sstream>
#include <utility>

#include "RkJson.h"
#include "request_text.h"
#include "rkmx_utils.h"
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

std::pair<double, std::string> tarnel_vdisk::get_cluster_space() {
  const std::pair<double, std::string> failed(0, std::string());
  tarnel_session session;
  const std::string request =
      "request={type:ClusterInformation,category:ClusterWatch,sessionId:\"" +
      tarnel_request::quoted_value(session_id) + "\"}";
  json_spirit::mObject reply;
  if (session.tarnel_req_rsp(RK_HTTP_POST, request, &reply, false, kFormContent) != 0) {
    return failed;
  }

  const auto result = reply.find("result");
  if (result == reply.end()) {
    debug.logMessage(kSpaceTag, -1, "Unable to find result key in response");
    return failed;
  }
  const json_spirit::mObject& result_object = result->second.get_obj();
  const auto capacity = result_object.find("capacity");
  if (capacity == result_object.end()) {
    debug.logMessage(kSpaceTag, -1, "Unable to find capacity key in response");
    return failed;
  }
  const json_spirit::mObject& capacity_object = capacity->second.get_obj();
  const auto total = capacity_object.find("total");
  if (total == capacity_object.end()) {
    debug.logMessage(kSpaceTag, -1, "Unable to find total key in response");
    return failed;
  }
  const json_spirit::mObject& total_object = total->second.get_obj();
  const auto units = total_object.find("units");
  const auto value = total_object.find("value");
  if (units == total_object.end() || value == total_object.end()) {
    debug.logMessage(kSpaceTag, -1, "Unable to find units/value key in response");
    return failed;
  }
  std::string unit_text = units->second.get_str();
  const double amount = value->second.get_real();
  return std::make_pair(amount, std::move(unit_text));
}

int tarnel_vdisk::create_vdisk() {
  // The session identifier stands bare in this request.
  if (!tarnel_request::fits_bare(session_id)) {
    debug.logMessage(kCreateTag, -1, "Failed to create vdisk : [%s]", vdisk_name.c_str());
    return -1;
  }

  tarnel_session session;
  const std::pair<double, std::string> space = get_cluster_space();
  if (space.first == 0 && space.second.empty()) {  // the query failed
    debug.logMessage(kCreateTag, -1, "Failed to create vdisk : [%s]", vdisk_name.c_str());
    return -1;
  }
  const double gigabytes = rkmx_utils::convert_size_to_gb(space.first, space.second);
  const std::string size = size_text(gigabytes * kUsableShare / kErasureOverhead);
  if (!names_positive_size(size)) {
    debug.logMessage(kCreateTag, -1, "Failed to create vdisk : [%s]", vdisk_name.c_str());
    return -1;
  }

  const std::string request =
      "request={type:AddVirtualDisk,category:VirtualDiskManagement,params:{name:\"" +
      tarnel_request::quoted_value(vdisk_name) +
      "\",protectionPolicy:\"Erasure\",erasureConfig:\"RS_4_2\",backupType:\"FILER\",size:{unit:"
      "\"GB\"" +
      ",value:" + size + "},diskType:NFS,scsi3pr:false},sessionId:" + session_id + "}";
  json_spirit::mObject reply;
  const int sent = session.tarnel_req_rsp(RK_HTTP_POST, request, &reply, false, kFormContent);
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
  return -1;
}

int tarnel_vdisk::export_vdisk() {
  // The session identifier stands bare in this request.
  if (!tarnel_request::fits_bare(session_id)) {
    debug.logMessage(kExportTag, -1, "Failed to export vdisk : [%s]", vdisk_name.c_str());
    return -1;
  }

  tarnel_session session;
  const std::string request =
      "request={type:Mount,category:VirtualDiskManagement,params:{virtualDisk:\"" +
      tarnel_request::quoted_value(vdisk_name) + "\",targets:[\"" +
      tarnel_request::quoted_value(host_name) + "\"]},sessionId:" + session_id + "}";
  json_spirit::mObject reply;
  const int sent = session.tarnel_req_rsp(RK_HTTP_PUT, request, &reply, false, kFormContent);
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
  return -1;
}
