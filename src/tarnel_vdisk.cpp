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

// What tells the two disk requests apart in the steps they share.
struct disk_lines {
  const char* tag;
  const char* done;    // level 0, with the disk name
  const char* failed;  // level -1, with the disk name
};
const disk_lines kCreateLines = {kCreateTag, "Successfully created vdisk : [%s]",
                                 "Failed to create vdisk : [%s]"};
const disk_lines kExportLines = {kExportTag, "Successfully exported vdisk : [%s]",
                                 "Failed to export vdisk : [%s]"};

// The steps create and mount share, logged with their lines.
struct disk_steps {
  const disk_lines& lines;
  tarnel_debug& debug;
  const std::string& vdisk_name;
  tarnel_call_context* call;

  void log_failed() const { debug.logMessage(lines.tag, -1, lines.failed, vdisk_name.c_str()); }

  // The session identifier stands bare in these requests; false (logged and
  // recorded) when it cannot.
  bool session_fits(const std::string& session_id) const {
    if (tarnel_request::fits_bare(session_id)) return true;
    log_failed();
    if (call != nullptr) call->bad_reply("the session identifier cannot stand in a request");
    return false;
  }

  // The result of the request after its exchange ended with `sent`: a
  // failed exchange's status; 0 when the reply holds the success `record`;
  // -1 otherwise.
  int result(int sent, const json_spirit::mObject& reply,
             const json_spirit::mObject& record) const {
    if (sent != 0) {
      log_failed();
      return sent;
    }
    if (holds_record(reply, record)) {
      debug.logMessage(lines.tag, 0, lines.done, vdisk_name.c_str());
      return 0;
    }
    log_failed();
    if (call != nullptr) {
      call->fail(tarnel_reason::not_confirmed, "the reply holds no success record");
    }
    return -1;
  }
};

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

  const reply_members members{debug, kSpaceTag, call};
  const json_spirit::mObject* result =
      members.object(reply, "result", "Unable to find result key in response");
  if (result == nullptr) return failed;
  const json_spirit::mObject* capacity =
      members.object(*result, "result.capacity", "Unable to find capacity key in response");
  if (capacity == nullptr) return failed;
  const json_spirit::mObject* total_object =
      members.object(*capacity, "result.capacity.total", "Unable to find total key in response");
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
  const disk_steps steps{kCreateLines, debug, vdisk_name, call};
  if (!steps.session_fits(session_id)) return -1;

  // This request's session is made before the capacity query makes its
  // own: each construction asks the host for the host name, and the host
  // sees those calls in the designed order.
  tarnel_session session;
  const std::pair<double, std::string> space = query_space(call);
  const bool queried =
      call != nullptr ? call->outcome().ok() : !(space.first == 0 && space.second.empty());
  if (!queried) {
    steps.log_failed();
    return -1;
  }
  const double gigabytes = rkmx_utils::convert_size_to_gb(space.first, space.second);
  const std::string size = size_text(gigabytes * kUsableShare / kErasureOverhead);
  if (!names_positive_size(size)) {
    steps.log_failed();
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
  json_spirit::mObject record;
  record["name"] = vdisk_name;
  record["status"] = "ok";
  return steps.result(sent, reply, record);
}

int tarnel_vdisk::mount(tarnel_call_context* call) {
  const disk_steps steps{kExportLines, debug, vdisk_name, call};
  if (!steps.session_fits(session_id)) return -1;

  tarnel_session session;
  const std::string request =
      "request={type:Mount,category:VirtualDiskManagement,params:{virtualDisk:\"" +
      tarnel_request::quoted_value(vdisk_name) + "\",targets:[\"" +
      tarnel_request::quoted_value(host_name) + "\"]},sessionId:" + session_id + "}";
  json_spirit::mObject reply;
  if (call != nullptr) call->expect(tarnel_exchange_kind::mount);
  const int sent = session.exchange(RK_HTTP_PUT, request, &reply, kFormContent, call);
  json_spirit::mObject record;
  record["status"] = "ok";
  record["target"] = host_name;
  return steps.result(sent, reply, record);
}
