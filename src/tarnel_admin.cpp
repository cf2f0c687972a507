#include "tarnel_admin.h"

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <locale>
#include <optional>
#include <string>
#include <utility>

#include "RKPassword.h"
#include "RKPlatformInfo.h"
#include "RkException.h"
#include "RkProcess.h"
#include "log_tags.h"
#include "rkmx_utils.h"
#include "tarnel_call_context.h"
#include "tarnel_session.h"
#include "tarnel_vdisk.h"

namespace {

// The user name of the node's own credentials.
const std::string TARNEL_USERNAME = "TarnelAdmin";

const char kNotReady[] = "Tarnel admin not ready.";
const char kNoClusterName[] = "Failed to get cluster name.";
const char kNoPassword[] = "Failed to get cluster password.";
const char kNoSerial[] = "Failed to get cluster key string.";

// The configuration key that holds the cluster password, encrypted with the
// node's lower-cased serial number.
const char kPasswordKey[] = "sTarnelCID";
// Capacity of the buffer the stored password is decrypted into.
constexpr unsigned long kPasswordBufferSize = 1024;

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

const DiskCommand kCreate = {tarnel_tags::kAdminCreate, "Vdisk created %s",
                             "Failed to create vdisk %s",
                             "Failed to get session ID to create vdisk %s"};
const DiskCommand kExport = {tarnel_tags::kAdminExport, "Vdisk exported %s",
                             "Failed to export vdisk %s",
                             "Failed to get session ID to export vdisk %s"};

// The settings a facade that is not ready lacks now, read again from the key
// store the way the constructors read them: "credentials" for an empty user
// name or password given to the facade, then "sTarnelCluster", then for the
// node's own credentials "sTarnelCID" (absent or not decrypting) and
// "sTarnelSerial". Empty when nothing is missing any more (the facade keeps
// only its flag, so it stays not ready).
std::vector<std::string> missing_settings(const std::string& user_name,
                                          const std::string& password) {
  std::vector<std::string> missing;
  const bool node = user_name == TARNEL_USERNAME;
  if (user_name.empty() || (password.empty() && !node)) missing.push_back("credentials");
  std::string host;
  std::string value;
  if (read_host_and_cluster(host, value) != nullptr) missing.push_back("sTarnelCluster");
  if (node && password.empty()) {
    const bool stored = rkmx_utils::get_reg_key(kPasswordKey, value) == 0 && !value.empty();
    const bool serial = rkmx_utils::get_serial_number(value) == 0 && !value.empty();
    std::string clear;
    if (!stored || (serial && read_stored_password(clear) != nullptr)) {
      missing.push_back(kPasswordKey);
    }
    explicit_bzero(&clear[0], clear.size());
    if (!serial) missing.push_back("sTarnelSerial");
  }
  return missing;
}

}  // namespace

const char* tarnel_node_user_name() { return TARNEL_USERNAME.c_str(); }

tarnel_admin::tarnel_admin() : debug(), ready(false), user_name(TARNEL_USERNAME) {
  RKPlatformInfo platform_info;  // never read: hosts see it made before the queries, gone after
  gather(true);
}

tarnel_admin::tarnel_admin(std::string user, std::string secret)
    : debug(), ready(false), user_name(std::move(user)), password(std::move(secret)) {
  if (user_name.empty() || password.empty()) {
    debug.logMessage(tarnel_tags::kAdminConstructor, -1, "Empty username/password provided.");
    return;
  }
  RKPlatformInfo platform_info;  // never read: hosts see it made before the queries, gone after
  gather(false);
}

void tarnel_admin::gather(bool stored_password) {
  const char* failure = nullptr;
  try {
    failure = read_host_and_cluster(host_name, cluster_name);
    if (failure == nullptr && stored_password) failure = read_stored_password(password);
  } catch (RkException&) {
    failure = kNotReady;
  }
  ready = failure == nullptr;
  if (failure != nullptr) debug.logMessage(tarnel_tags::kAdminConstructor, -1, "%s", failure);
}

tarnel_admin::~tarnel_admin() = default;

int tarnel_admin::get_tarnel_session(std::string& session_id) {
  // The designed login does not consult `ready`: it tries what the facade holds.
  tarnel_call_context call(password);
  return login_command(session_id, call);
}

int tarnel_admin::create_vdisk(std::string name) {
  tarnel_call_context call(password);
  return disk_command(true, std::move(name), call);
}

int tarnel_admin::export_vdisk(std::string name) {
  tarnel_call_context call(password);
  return disk_command(false, std::move(name), call);
}

int tarnel_admin::enumerate_data_drives(std::vector<_tarnel_data_drive>& drives) {
  tarnel_call_context call(password);
  return drives_command(drives, call);
}

int tarnel_admin::get_tarnel_session(std::string& session_id, const tarnel_call_options& options,
                                     tarnel_outcome& outcome) {
  tarnel_call_context call(options, outcome, password);
  if (!ready) {
    session_id.clear();
    return not_ready(call);
  }
  return login_command(session_id, call);
}

int tarnel_admin::create_vdisk(std::string name, const tarnel_call_options& options,
                               tarnel_outcome& outcome) {
  tarnel_call_context call(options, outcome, password);
  return disk_command(true, std::move(name), call);
}

int tarnel_admin::export_vdisk(std::string name, const tarnel_call_options& options,
                               tarnel_outcome& outcome) {
  tarnel_call_context call(options, outcome, password);
  return disk_command(false, std::move(name), call);
}

int tarnel_admin::enumerate_data_drives(std::vector<_tarnel_data_drive>& drives,
                                        const tarnel_call_options& options,
                                        tarnel_outcome& outcome) {
  tarnel_call_context call(options, outcome, password);
  return drives_command(drives, call);
}

int tarnel_admin::not_ready(tarnel_call_context& call) {
  call.not_ready([&] { return missing_settings(user_name, password); });
  return -1;
}

int tarnel_admin::login_command(std::string& session_id, tarnel_call_context& call) {
  const int result = call.run([&] {
    const int status = acquire_session(session_id, call);
    call.outcome().attempts = call.outcome().login_attempts;  // the logins are its attempts
    return status;
  });
  if (result != 0) session_id.clear();
  return result;
}

int tarnel_admin::disk_command(bool create, std::string name, tarnel_call_context& call) {
  if (!ready) return not_ready(call);
  return call.run([&] {
    vdisk_name = std::move(name);
    return run_disk_command(create, call);
  });
}

int tarnel_admin::drives_command(std::vector<_tarnel_data_drive>& drives,
                                 tarnel_call_context& call) {
  // The helper runs once: no retries.
  return call.run(
      [&] { return call.begin_attempt(tarnel_loop::command, 1) ? list_drives(drives, call) : -1; });
}

bool tarnel_admin::log_in(tarnel_session& session, std::string& session_id,
                          tarnel_call_context& call) {
  session_id = session.login(call);
  if (session_id.empty()) return false;
  debug.logMessage(tarnel_tags::kAdminSession, 1, "Session ID is %s", session_id.c_str());
  return true;
}

int tarnel_admin::acquire_session(std::string& session_id, tarnel_call_context& call) {
  tarnel_session session(user_name, cluster_name, password);
  const bool logged_in = call.retry(tarnel_loop::login, TARNEL_CALL_SITE, [&](int) {
    if (log_in(session, session_id, call)) return true;
    debug.logMessage(tarnel_tags::kAdminSession, -1, "Failed to get a tarnel session");
    return false;
  });
  if (logged_in) return 0;
  session_id.clear();
  return -1;
}

int tarnel_admin::run_disk_command(bool create, tarnel_call_context& call) {
  const DiskCommand& command = create ? kCreate : kExport;
  std::string session_id;
  int result = acquire_session(session_id, call);
  if (result != 0) {
    debug.logMessage(command.tag, -1, command.no_session, vdisk_name.c_str());
    return result;
  }
  // Every attempt reuses this disk object, so the session obtained above,
  // until the policy has the cluster's refusal of it mended by a new login.
  std::optional<tarnel_vdisk> disk(std::in_place, session_id, vdisk_name, host_name);
  call.allow_login_again();
  call.retry(tarnel_loop::command, TARNEL_CALL_SITE, [&](int) {
    // A new login when the session was refused, and again after such a login failed.
    if (call.take_login_again() || session_id.empty()) {
      tarnel_session session(user_name, cluster_name, password);
      if (log_in(session, session_id, call)) disk.emplace(session_id, vdisk_name, host_name);
    }
    result = session_id.empty() ? -1 : create ? disk->create(call) : disk->mount(call);
    if (result == 0) {
      debug.logMessage(command.tag, 0, command.done, vdisk_name.c_str());
      return true;
    }
    debug.logMessage(command.tag, -1, command.failed, vdisk_name.c_str());
    return false;
  });
  return result;
}

int tarnel_admin::list_drives(std::vector<_tarnel_data_drive>& drives, tarnel_call_context& call) {
  const std::string command = kDriveHelperCommand;
  std::string output;
  std::string error_output;
  debug.logMessage(tarnel_tags::kAdminDrives, 0, "Executing command [%s]", command.c_str());
  const int status = call.run_helper(command, output, error_output);
  if (status != 0) {
    debug.logMessage(tarnel_tags::kAdminDrives, -1, "Command [%s] failed with error [%s]",
                     command.c_str(), error_output.c_str());
    call.helper_failed(
        status, error_output,
        RkException(tarnel_tags::kAdminDrives, command + " failed", __FILE__, __LINE__, -1));
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
      debug.logMessage(tarnel_tags::kAdminDrives, -1,
                       "Failed to parse Command [%s] output [%s] entry[%s] size[%d]",
                       command.c_str(), output.c_str(), line.c_str(),
                       static_cast<int>(fields.size()));
      call.bad_reply("drive helper line " + std::to_string(drives.size() - held_before + 1) +
                     " has " + std::to_string(fields.size()) + " fields, not 6");
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
    debug.logMessage(tarnel_tags::kAdminDrives, -1,
                     "entry spid[%s],blk[%s],mnt[%s],slot[%s],healthy[%d]", added.spid.c_str(),
                     added.blk.c_str(), added.mnt.c_str(), added.slot.c_str(), added.healthy);
  }
  // A malformed line leaves the caller's vector as it was before the call.
  if (result == -1) {
    drives.erase(drives.begin() + static_cast<std::ptrdiff_t>(held_before), drives.end());
  }
  return result;
}
