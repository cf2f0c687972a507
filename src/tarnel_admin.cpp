#include "tarnel_admin.h"

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <locale>
#include <optional>
#include <string>
#include <utility>

#include "RKPassword.h"
#include "RKPlatformInfo.h"
#include "RkException.h"
#include "RkProcess.h"
#include "rkmx_utils.h"
#include "tarnel_call_context.h"
#include "tarnel_session.h"
#include "tarnel_vdisk.h"

namespace {

// The user name of the node's own credentials.
const std::string TARNEL_USERNAME = "TarnelAdmin";

const char kConstructorTag[] = "tarnel_admin::tarnel_admin()";
const char kSessionTag[] = "tarnel_admin::get_tarnel_session()";
const char kDrivesTag[] = "tarnel_admin::enumerate_data_drives()";

const char kNotReady[] = "Tarnel admin not ready.";
const char kNoClusterName[] = "Failed to get cluster name.";
const char kNoPassword[] = "Failed to get cluster password.";
const char kNoSerial[] = "Failed to get cluster key string.";

// The configuration key that holds the cluster password, encrypted with the
// node's lower-cased serial number.
const char kPasswordKey[] = "sTarnelCID";
// Capacity of the buffer the stored password is decrypted into.
constexpr unsigned long kPasswordBufferSize = 1024;

// Retry policy of logins and disk operations: at most five attempts, pausing
// 5, 10, 15, 20 and 25 seconds after the failed ones (the last one included).
constexpr int kAttempts = 5;
constexpr int kFirstPauseSeconds = 5;
constexpr int kPauseStepSeconds = 5;

const char kDriveHelperCommand[] = "/opt/kestrix/Bayhold/rkspmhelper.py list_data_drives";
// A drive line: identifier|block device|mount point|slot|health|(unread)
constexpr size_t kDriveFields = 6;

// Holds the clear-text password the codec writes: zeroed before the codec
// sees it and wiped when it goes out of scope, however the scope is left.
class PasswordBuffer {
 public:
  PasswordBuffer() { std::memset(bytes_, 0, sizeof bytes_); }
  ~PasswordBuffer() { explicit_bzero(bytes_, sizeof bytes_); }
  PasswordBuffer(const PasswordBuffer&) = delete;
  PasswordBuffer& operator=(const PasswordBuffer&) = delete;

  char* data() { return bytes_; }
  // True when the buffer holds a NUL-terminated text.
  bool terminated() const { return std::memchr(bytes_, '\0', sizeof bytes_) != nullptr; }

 private:
  char bytes_[kPasswordBufferSize];
};

// The health field: what atoi gives for every value that fits an int (white
// space, sign, digits up to the first other character, 0 without digits);
// values beyond the int range saturate.
int health_value(const std::string& field) {
  const long value = std::strtol(field.c_str(), nullptr, 10);
  if (value < INT_MIN) return INT_MIN;
  if (value > INT_MAX) return INT_MAX;
  return static_cast<int>(value);
}

// The constructors' host queries. Each returns null when it got everything,
// otherwise the failure message; a member is assigned as soon as its value is
// known, so a later failure keeps it. RkException from a host service passes
// through to the constructor.

// The host name (unchecked), then the cluster name (non-empty).
const char* read_host_and_cluster(std::string& host_name, std::string& cluster_name) {
  host_name = rkmx_utils::get_hostname();
  std::string cluster;
  if (rkmx_utils::get_tarnel_cluster(cluster) != 0 || cluster.empty()) return kNoClusterName;
  cluster_name = cluster;
  return nullptr;
}

// The stored cluster password, decrypted with the lower-cased serial number.
// It is taken only from a decryption that reports success and leaves a
// terminated text in the buffer.
const char* read_stored_password(std::string& password) {
  std::string encrypted;
  if (rkmx_utils::get_reg_key(kPasswordKey, encrypted) != 0 || encrypted.empty()) {
    return kNoPassword;
  }
  std::string serial;
  if (rkmx_utils::get_serial_number(serial) != 0 || serial.empty()) return kNoSerial;
  boost::algorithm::to_lower(serial, std::locale());
  unsigned long length = kPasswordBufferSize;
  PasswordBuffer clear;
  const int status = RKPassword().decrypt(encrypted.c_str(), clear.data(), &length, serial.c_str());
  if (status != 0 || !clear.terminated()) return kNoPassword;
  password = clear.data();
  return nullptr;
}

// What differs between the two disk commands.
struct DiskCommand {
  const char* tag;
  const char* done;        // level 0, with the vdisk name
  const char* failed;      // level -1, with the vdisk name, after each failed attempt
  const char* no_session;  // level -1, with the vdisk name
};

const DiskCommand kCreate = {"tarnel_admin::create_vdisk()", "Vdisk created %s",
                             "Failed to create vdisk %s",
                             "Failed to get session ID to create vdisk %s"};
const DiskCommand kExport = {"tarnel_admin::export_vdisk()", "Vdisk exported %s",
                             "Failed to export vdisk %s",
                             "Failed to get session ID to export vdisk %s"};

// After failed attempt `number` of `loop`: pauses and tells whether another
// attempt follows. Without a call, the designed policy: five attempts and a
// pause after each failed one, the last included, growing by 5 s.
bool pause_after_failure(tarnel_call_context* call, tarnel_loop loop, int number,
                         int& pause_seconds) {
  if (call != nullptr) return call->after_failure(loop, number);
  ZUSLEEP_InTeRnAl(pause_seconds * 1000, __FILE__, __LINE__);
  pause_seconds += kPauseStepSeconds;
  return number < kAttempts;
}

// The setting a facade that is not ready lacks now, read again from the key
// store the way the constructors read it; "" when nothing is missing any
// more (the facade keeps only its flag, so it stays not ready).
const char* missing_setting(const std::string& user_name, const std::string& password) {
  if (user_name.empty() || (password.empty() && user_name != TARNEL_USERNAME)) {
    return "credentials";
  }
  std::string host;
  std::string cluster;
  if (read_host_and_cluster(host, cluster) != nullptr) return "sTarnelCluster";
  if (!password.empty()) return "";
  std::string stored;
  const char* failure = read_stored_password(stored);
  if (failure == nullptr) return "";
  return failure == kNoSerial ? "sTarnelSerial" : "sTarnelCID";
}

// The drive helper's time bound under a call's deadline (-1: none): the
// milliseconds left, rounded up to seconds, when they are fewer than the
// runner's default bound; otherwise 0, the default.
int helper_timeout_seconds(long remaining_ms) {
  constexpr long kDefaultBoundMs = 120 * 1000;
  if (remaining_ms < 0 || remaining_ms >= kDefaultBoundMs) return 0;
  return static_cast<int>((remaining_ms + 999) / 1000);
}

// Runs `body` under `call` and ends the call with its result.
int run_call(tarnel_call_context& call, const std::function<int()>& body) {
  int result = -1;
  call.run([&] { result = body(); });
  call.finish(result == 0);
  return result;
}

}  // namespace

const char* tarnel_node_user_name() { return TARNEL_USERNAME.c_str(); }

tarnel_admin::tarnel_admin() : debug(), ready(false), user_name(TARNEL_USERNAME) {
  RKPlatformInfo platform_info;  // never read: hosts see it made before the queries, gone after
  const char* failure = nullptr;
  try {
    failure = read_host_and_cluster(host_name, cluster_name);
    if (failure == nullptr) failure = read_stored_password(password);
  } catch (RkException&) {
    failure = kNotReady;
  }
  ready = failure == nullptr;
  if (failure != nullptr) debug.logMessage(kConstructorTag, -1, "%s", failure);
}

tarnel_admin::tarnel_admin(std::string user, std::string secret)
    : debug(), ready(false), user_name(std::move(user)), password(std::move(secret)) {
  if (user_name.empty() || password.empty()) {
    debug.logMessage(kConstructorTag, -1, "Empty username/password provided.");
    return;
  }
  RKPlatformInfo platform_info;  // never read: hosts see it made before the queries, gone after
  const char* failure = nullptr;
  try {
    failure = read_host_and_cluster(host_name, cluster_name);
  } catch (RkException&) {
    failure = kNotReady;
  }
  ready = failure == nullptr;
  if (failure != nullptr) debug.logMessage(kConstructorTag, -1, "%s", failure);
}

tarnel_admin::~tarnel_admin() = default;

int tarnel_admin::get_tarnel_session(std::string& session_id) {
  return acquire_session(session_id, nullptr);
}

int tarnel_admin::create_vdisk(std::string name) {
  if (!ready) return -1;
  vdisk_name = std::move(name);
  return run_disk_command(true, nullptr);
}

int tarnel_admin::export_vdisk(std::string name) {
  if (!ready) return -1;
  vdisk_name = std::move(name);
  return run_disk_command(false, nullptr);
}

int tarnel_admin::enumerate_data_drives(std::vector<_tarnel_data_drive>& drives) {
  return list_drives(drives, nullptr);
}

int tarnel_admin::get_tarnel_session(std::string& session_id, const tarnel_call_options& options,
                                     tarnel_outcome& outcome) {
  tarnel_call_context call(options, outcome, password);
  int result = -1;
  call.run([&] { result = acquire_session(session_id, &call); });
  outcome.attempts = outcome.login_attempts;
  call.finish(result == 0);
  return result;
}

int tarnel_admin::create_vdisk(std::string name, const tarnel_call_options& options,
                               tarnel_outcome& outcome) {
  return steered_disk_command(true, std::move(name), options, outcome);
}

int tarnel_admin::export_vdisk(std::string name, const tarnel_call_options& options,
                               tarnel_outcome& outcome) {
  return steered_disk_command(false, std::move(name), options, outcome);
}

int tarnel_admin::steered_disk_command(bool create, std::string name,
                                       const tarnel_call_options& options,
                                       tarnel_outcome& outcome) {
  tarnel_call_context call(options, outcome, password);
  if (!ready) {
    // A facade that is not ready only explains why.
    explain_not_ready(call);
    return -1;
  }
  return run_call(call, [&] {
    vdisk_name = std::move(name);
    return run_disk_command(create, &call);
  });
}

int tarnel_admin::enumerate_data_drives(std::vector<_tarnel_data_drive>& drives,
                                        const tarnel_call_options& options,
                                        tarnel_outcome& outcome) {
  tarnel_call_context call(options, outcome, std::string());
  return run_call(call, [&] {
    return call.begin_attempt(tarnel_loop::command, 1) ? list_drives(drives, &call) : -1;
  });
}

void tarnel_admin::explain_not_ready(tarnel_call_context& call) {
  call.run([&] {
    const std::string setting = missing_setting(user_name, password);
    call.outcome().missing_setting = setting;
    call.fail(tarnel_reason::not_ready, setting.empty()
                                            ? "the facade was not ready when made; make it again"
                                            : "the facade lacks " + setting);
  });
  call.finish(false);
}

int tarnel_admin::acquire_session(std::string& session_id, tarnel_call_context* call) {
  int pause_seconds = kFirstPauseSeconds;
  tarnel_session session(user_name, cluster_name, password);
  for (int attempt = 1;; ++attempt) {
    if (call != nullptr && !call->begin_attempt(tarnel_loop::login, attempt)) break;
    session_id = session.login(call);
    if (!session_id.empty()) {
      debug.logMessage(kSessionTag, 1, "Session ID is %s", session_id.c_str());
      return 0;
    }
    debug.logMessage(kSessionTag, -1, "Failed to get a tarnel session");
    if (!pause_after_failure(call, tarnel_loop::login, attempt, pause_seconds)) break;
  }
  session_id.clear();
  return -1;
}

int tarnel_admin::run_disk_command(bool create, tarnel_call_context* call) {
  const DiskCommand& command = create ? kCreate : kExport;
  std::string session_id;
  int result = acquire_session(session_id, call);
  if (result != 0) {
    debug.logMessage(command.tag, -1, command.no_session, vdisk_name.c_str());
    return result;
  }
  // Every attempt reuses this disk object, so the session obtained above; a
  // steered call replaces it only after the cluster refused that session.
  std::optional<tarnel_vdisk> disk(std::in_place, session_id, vdisk_name, host_name);
  if (call != nullptr) call->allow_relogin();
  int pause_seconds = kFirstPauseSeconds;
  for (int attempt = 1;; ++attempt) {
    if (call != nullptr && !call->begin_attempt(tarnel_loop::command, attempt)) break;
    // A steered call logs in again after the cluster refused the session,
    // and after such a login failed.
    if (call != nullptr && (call->take_relogin() || session_id.empty())) {
      tarnel_session session(user_name, cluster_name, password);
      session_id = session.login(call);
      if (!session_id.empty()) {
        debug.logMessage(kSessionTag, 1, "Session ID is %s", session_id.c_str());
        disk.emplace(session_id, vdisk_name, host_name);
      }
    }
    if (session_id.empty()) {
      result = -1;
    } else {
      result = create ? disk->create(call) : disk->mount(call);
    }
    if (result == 0) {
      debug.logMessage(command.tag, 0, command.done, vdisk_name.c_str());
      break;
    }
    debug.logMessage(command.tag, -1, command.failed, vdisk_name.c_str());
    if (!pause_after_failure(call, tarnel_loop::command, attempt, pause_seconds)) break;
  }
  return result;
}

int tarnel_admin::list_drives(std::vector<_tarnel_data_drive>& drives, tarnel_call_context* call) {
  const std::string command = kDriveHelperCommand;
  std::string output;
  std::string error_output;
  debug.logMessage(kDrivesTag, 0, "Executing command [%s]", command.c_str());
  const int status =
      call == nullptr
          ? RkProcess::system(command.c_str(), &output, &error_output, 0, false)
          : RkProcess::system(command.c_str(), &output, &error_output,
                              helper_timeout_seconds(call->remaining_ms()), false, call->token());
  if (status != 0) {
    debug.logMessage(kDrivesTag, -1, "Command [%s] failed with error [%s]", command.c_str(),
                     error_output.c_str());
    if (call == nullptr) throw RkException(kDrivesTag, command + " failed", __FILE__, __LINE__, -1);
    call->helper_failed(status, error_output);
    return -1;
  }

  std::vector<std::string> lines;
  boost::algorithm::split(lines, output, boost::algorithm::is_any_of("\n"));
  const size_t held_before = drives.size();
  int result = 0;
  for (const std::string& line : lines) {
    if (line.empty()) break;  // the list ends at the first empty line
    std::vector<std::string> fields;
    boost::algorithm::split(fields, line, boost::algorithm::is_any_of("|"));
    if (fields.size() != kDriveFields) {
      debug.logMessage(
          kDrivesTag, -1, "Failed to parse Command [%s] output [%s] entry[%s] size[%d]",
          command.c_str(), output.c_str(), line.c_str(), static_cast<int>(fields.size()));
      if (call != nullptr) {
        call->bad_reply("drive helper line " + std::to_string(drives.size() - held_before + 1) +
                        " has " + std::to_string(fields.size()) + " fields, not 6");
      }
      result = -1;
      break;
    }
    _tarnel_data_drive drive;
    drive.spid = fields[0];
    drive.blk = "/dev/" + fields[1];
    drive.mnt = fields[2];
    drive.slot = fields[3];
    drive.healthy = health_value(fields[4]);
    // Moved, not copied: copying each record's strings costs more than parsing it.
    drives.push_back(std::move(drive));
    const _tarnel_data_drive& added = drives.back();
    debug.logMessage(kDrivesTag, -1, "entry spid[%s],blk[%s],mnt[%s],slot[%s],healthy[%d]",
                     added.spid.c_str(), added.blk.c_str(), added.mnt.c_str(), added.slot.c_str(),
                     added.healthy);
  }
  // A malformed line leaves the caller's vector as it was before the call.
  if (result == -1) {
    drives.erase(drives.begin() + static_cast<std::ptrdiff_t>(held_before), drives.end());
  }
  return result;
}
