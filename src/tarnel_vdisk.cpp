#include "tarnel_vdisk.h"

#include <cmath>
#include <iomanip>
#include <locale>
#include <sstream>
#include <utility>

#include "RkJson.h"
#include "log_tags.h"
#include "reply_members.h"
#include "request_text.h"
#include "rkmx_utils.h"
#include "tarnel_call_context.h"
#include "tarnel_session.h"

namespace {

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

// The steered query's judgement of a capacity it read: a finite total above
// zero, in a unit that converts to a finite number of gigabytes above zero.
// False after recording bad_reply naming the value or the unit.
bool sane_capacity(tarnel_call_context& call, const std::pair<double, std::string>& space) {
  const auto& [value, unit] = space;
  const double gigabytes = rkmx_utils::convert_size_to_gb(value, unit);
  if (!(value > 0) || !std::isfinite(value)) {
    call.bad_reply("the cluster's total capacity " + size_text(value) + " is not above zero");
  } else if (!(gigabytes > 0) || !std::isfinite(gigabytes)) {
    call.bad_reply("the cluster's capacity unit '" + call.quote(unit) + "' gives no gigabytes");
  }
  return call.outcome().ok();
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
const disk_lines kCreateLines = {tarnel_tags::kVdiskCreate, "Successfully created vdisk : [%s]",
                                 "Failed to create vdisk : [%s]"};
const disk_lines kExportLines = {tarnel_tags::kVdiskExport, "Successfully exported vdisk : [%s]",
                                 "Failed to export vdisk : [%s]"};

// The steps create and mount share, logged with their lines.
struct disk_steps {
  const disk_lines& lines;
  tarnel_debug& debug;
  const std::string& vdisk_name;
  tarnel_call_context& call;

  void log_failed() const { debug.logMessage(lines.tag, -1, lines.failed, vdisk_name.c_str()); }

  // The session identifier stands bare in these requests; false (logged and
  // recorded) when it cannot.
  bool session_fits(const std::string& session_id) const {
    if (tarnel_request::fits_bare(session_id)) return true;
    log_failed();
    call.bad_reply("the session identifier cannot stand in a request");
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
    call.fail(tarnel_reason::not_confirmed, "the reply holds no success record");
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
    debug.logMessage(tarnel_tags::kVdiskConstructor, -1, "Please provide the required arguments.");
  }
}

tarnel_vdisk::~tarnel_vdisk() = default;

std::pair<double, std::string> tarnel_vdisk::get_cluster_space() {
  tarnel_call_context call(no_password());
  std::pair<double, std::string> space(0, std::string());
  query_space(call, space);
  return space;
}

int tarnel_vdisk::create_vdisk() {
  tarnel_call_context call(no_password());
  return create(call);
}

int tarnel_vdisk::export_vdisk() {
  tarnel_call_context call(no_password());
  return mount(call);
}

std::pair<double, std::string> tarnel_vdisk::get_cluster_space(const tarnel_call_options& options,
                                                               tarnel_outcome& outcome) {
  tarnel_call_context call(options, outcome, no_password());
  std::pair<double, std::string> space(0, std::string());
  const int status = call.run([&] {
    return call.retry(tarnel_loop::command, TARNEL_CALL_SITE,
                      [&](int) { return query_space(call, space) && sane_capacity(call, space); })
               ? 0
               : -1;
  });
  return status == 0 ? space : std::make_pair(0.0, std::string());
}

bool tarnel_vdisk::query_space(tarnel_call_context& call, std::pair<double, std::string>& space) {
  tarnel_session session;
  const std::string request =
      "request={type:ClusterInformation,category:ClusterWatch,sessionId:\"" +
      tarnel_request::quoted_value(session_id) + "\"}";
  json_spirit::mObject reply;
  if (session.exchange(tarnel_exchange_kind::query, RK_HTTP_POST, request, &reply, kFormContent,
                       call) != 0) {
    return false;
  }
  const reply_members members{debug, tarnel_tags::kSpace, call};
  const json_spirit::mObject* result =
      members.object(reply, "result", "Unable to find result key in response");
  if (result == nullptr) return false;
  const json_spirit::mObject* capacity =
      members.object(*result, "result.capacity", "Unable to find capacity key in response");
  if (capacity == nullptr) return false;
  const json_spirit::mObject* total_object =
      members.object(*capacity, "result.capacity.total", "Unable to find total key in response");
  if (total_object == nullptr) return false;
  const auto units = total_object->find("units");
  const auto value = total_object->find("value");
  if (units == total_object->end() || value == total_object->end()) {
    debug.logMessage(tarnel_tags::kSpace, -1, "Unable to find units/value key in response");
    missing_member(call, units == total_object->end() ? "result.capacity.total.units"
                                                      : "result.capacity.total.value");
    return false;
  }
  const std::string* unit_text = string_member(call, units->second, "result.capacity.total.units");
  if (unit_text == nullptr) return false;
  double amount = 0;
  if (!number_member(call, value->second, "result.capacity.total.value", amount)) return false;
  space = std::make_pair(amount, *unit_text);
  return true;
}

int tarnel_vdisk::create(tarnel_call_context& call) {
  const disk_steps steps{kCreateLines, debug, vdisk_name, call};
  if (!steps.session_fits(session_id)) return -1;

  // This request's session is made before the capacity query makes its
  // own: each construction asks the host for the host name, and the host
  // sees those calls in the designed order.
  tarnel_session session;
  std::pair<double, std::string> space(0, std::string());
  if (!query_space(call, space)) {
    steps.log_failed();
    return -1;
  }
  // (0, "") is what a failed query gives: there is nothing to convert.
  const bool nothing = space.first == 0 && space.second.empty();
  const double gigabytes = nothing ? 0 : rkmx_utils::convert_size_to_gb(space.first, space.second);
  const double scaled = gigabytes * kUsableShare / kErasureOverhead;
  const std::string size = size_text(scaled);
  if (!(scaled >= 0.005) || !std::isfinite(scaled)) {  // written as 0.00 or less, or not a number
    steps.log_failed();
    call.bad_reply("the cluster's capacity gives no positive size (" + size + " GB)");
    return -1;
  }
  call.outcome().size_requested = size;

  const std::string request =
      "request={type:AddVirtualDisk,category:VirtualDiskManagement,params:{name:\"" +
      tarnel_request::quoted_value(vdisk_name) +
      "\",protectionPolicy:\"Erasure\",erasureConfig:\"RS_4_2\",backupType:\"FILER\",size:{unit:"
      "\"GB\"" +
      ",value:" + size + "},diskType:NFS,scsi3pr:false},sessionId:" + session_id + "}";
  json_spirit::mObject reply;
  const int sent = session.exchange(tarnel_exchange_kind::add_disk, RK_HTTP_POST, request, &reply,
                                    kFormContent, call);
  json_spirit::mObject record;
  record["name"] = vdisk_name;
  record["status"] = "ok";
  return steps.result(sent, reply, record);
}

int tarnel_vdisk::mount(tarnel_call_context& call) {
  const disk_steps steps{kExportLines, debug, vdisk_name, call};
  if (!steps.session_fits(session_id)) return -1;

  tarnel_session session;
  const std::string request =
      "request={type:Mount,category:VirtualDiskManagement,params:{virtualDisk:\"" +
      tarnel_request::quoted_value(vdisk_name) + "\",targets:[\"" +
      tarnel_request::quoted_value(host_name) + "\"]},sessionId:" + session_id + "}";
  json_spirit::mObject reply;
  const int sent = session.exchange(tarnel_exchange_kind::mount, RK_HTTP_PUT, request, &reply,
                                    kFormContent, call);
  json_spirit::mObject record;
  record["status"] = "ok";
  record["target"] = host_name;
  return steps.result(sent, reply, record);
}
