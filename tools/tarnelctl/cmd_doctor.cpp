// tarnelctl doctor: what this node needs, checked read-only and in order.
//
//   keystore      present and readable, a regular file (a symbolic link to
//                 one allowed); warns when others may use it, or when run
//                 as root of a store root does not own
//   cluster_name  the key store holds it
//   serial        stored, or readable from DMI; warns when the two differ,
//                 or when DMI cannot be read without root
//   password      the stored password is there and decrypts with the serial
//   log_dir       present and writable, its RKTarnel.log too when there is
//                 one; warns below the room for a rotation (20 MiB)
//   login         with the node's credentials: one attempt, 10 s at most;
//                 the session identifier is never printed
//   capacity      readable through that session, finite, above zero and in
//                 a known unit
//   drive_helper  present at its fixed path, executable, ending within its
//                 time limit with every line parsed (the drives counted)
//
// The configuration items are those every cluster command checks first
// (config_check.h). A check that needs one that failed or was skipped is
// skipped. A failure's exit code is that of its kind: 3 for the
// configuration, 4 for a refused login, 5 for a cluster that cannot be
// reached or did not answer in time, 1 for the rest; doctor exits with the
// first one's. It creates nothing; the library's log lines are all it
// writes.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "call_steering.h"
#include "cluster_access.h"
#include "commands.h"
#include "config_check.h"
#include "exit_codes.h"
#include "posix_io.h"
#include "rkmx_utils.h"

namespace tarnelctl {
namespace {

using Status = DoctorCheck::Status;

// Where the library runs the drive helper from.
const char* const kDriveHelper = "/opt/kestrix/Bayhold/rkspmhelper.py";
const char* const kDefaultDmiSerial = "/sys/class/dmi/id/product_serial";
// A rotation keeps the full file beside a new one: twice its 10 MiB.
constexpr unsigned long long kRotationRoom = 20ull * 1024 * 1024;
// The login and the capacity query: one attempt each, within this.
constexpr std::chrono::milliseconds kCallLimit{10000};

std::string mode_text(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::string mebibytes(unsigned long long bytes) {
  return std::to_string(bytes / (1024 * 1024)) + " MiB";
}

class Doctor {
 public:
  Doctor(const Invocation& inv, Output& out) : steering_(inv, out, "doctor") {}

  int run(Output& out) {
    keystore();
    needs({"keystore"}, "cluster_name", [this] { cluster_name(); });
    serial();
    needs({"keystore", "serial"}, "password", [this] { password(); });
    log_dir();
    needs({"keystore", "cluster_name", "serial", "password"}, "login", [this] { login(); });
    needs({"login"}, "capacity", [this] { capacity(); });
    drive_helper();
    return out.doctor(checks_, exit_code_, error_);
  }

 private:
  void add(const char* name, Status status, const std::string& detail) {
    checks_.push_back({name, status, detail, ""});
  }
  void fail(const char* name, int code, const std::string& detail, const std::string& fix) {
    checks_.push_back({name, Status::fail, detail, fix});
    if (exit_code_ == kExitDone) {
      exit_code_ = code;
      error_ = std::string(name) + ": " + detail;
    }
  }
  void fail(const char* name, int code, const ConfigProblem& problem) {
    fail(name, code, problem.message, problem.fix);
  }
  // Runs `check` when every check it depends on passed (ok or warn), else
  // marks `name` skipped naming the first that did not.
  template <typename Check>
  void needs(std::initializer_list<const char*> depends, const char* name, Check check) {
    for (const char* dependency : depends) {
      const auto found = std::find_if(checks_.begin(), checks_.end(),
                                      [&](const DoctorCheck& c) { return c.name == dependency; });
      if (found->status == Status::fail || found->status == Status::skipped) {
        add(name, Status::skipped, std::string("needs ") + dependency);
        return;
      }
    }
    check();
  }
  // The options of one call: a single attempt within `limit` (and within
  // --timeout), no attempt lines; Ctrl-C cancels it.
  tarnel_call_options one_attempt(std::chrono::milliseconds limit) const {
    tarnel_call_options options = steering_.options();
    options.policy = tarnel_retry_policy::responsive;
    options.attempts = 1;
    if (limit.count() > 0 && (options.deadline.count() == 0 || options.deadline > limit)) {
      options.deadline = limit;
    }
    options.observer = nullptr;
    return options;
  }
  // A failed call: its message, and a fix by its reason.
  void call_failed(const char* name, int code, Command command, const tarnel_outcome& outcome,
                   const std::string& fix) {
    const bool cancelled = outcome.reason == tarnel_reason::cancelled;
    fail(name, cancelled ? steering_.exit_code(outcome) : code,
         steering_.explain({command, "", tarnel_node_user_name(), command == Command::kLogin},
                           outcome),
         cancelled ? "run tarnelctl doctor again" : fix);
  }

  void keystore() {
    if (const std::optional<ConfigProblem> problem = keystore_problem()) {
      ConfigProblem told = *problem;
      if (told.fix.empty()) {
        told.fix = "make it a regular file of at most 1 MiB (a symbolic link to one is allowed)";
      }
      return fail("keystore", kExitNotConfigured, told);
    }
    const std::string path = keystore_path();
    struct stat status {};
    ::stat(path.c_str(), &status);
    if (const std::string exposed = keystore_exposure(); !exposed.empty()) {
      return add("keystore", Status::warn, exposed);
    }
    if (::geteuid() == 0 && status.st_uid != 0) {
      return add("keystore", Status::warn,
                 path + " is owned by uid " + std::to_string(status.st_uid) +
                     ", not root: chown root " + path);
    }
    add("keystore", Status::ok, path + " (mode " + mode_text(status.st_mode) + ")");
  }

  void cluster_name() {
    if (const std::optional<ConfigProblem> problem = cluster_name_problem()) {
      return fail("cluster_name", kExitNotConfigured, *problem);
    }
    std::string cluster;
    rkmx_utils::get_tarnel_cluster(cluster);
    add("cluster_name", Status::ok, "'" + cluster + "'");
  }

  void serial() {
    if (const std::optional<ConfigProblem> problem = serial_problem(serial_)) {
      return fail("serial", kExitNotConfigured, *problem);
    }
    std::string stored;
    const bool from_store =
        rkmx_utils::get_reg_key("sTarnelSerial", stored) == 0 && !stored.empty();
    const char* env = std::getenv("TARNEL_DMI_SERIAL_PATH");
    const std::string dmi_path = env != nullptr ? env : kDefaultDmiSerial;
    std::string dmi;
    const int error = tarnel_host::read_regular_file(dmi_path, 4096, dmi);
    boost::algorithm::trim(dmi);
    const std::string found = "'" + serial_ + "' from " + (from_store ? "the key store" : dmi_path);
    if (from_store && error == 0 && !dmi.empty() && !boost::algorithm::iequals(dmi, stored)) {
      return add("serial", Status::warn,
                 found + "; the DMI serial '" + dmi + "' differs (the stored one is used)");
    }
    if ((error == EACCES || error == EPERM) && ::geteuid() != 0) {
      return add("serial", Status::warn, found + "; the DMI serial cannot be read without root");
    }
    add("serial", Status::ok, found);
  }

  void password() {
    if (const std::optional<ConfigProblem> problem = stored_password_problem(serial_)) {
      return fail("password", kExitNotConfigured, *problem);
    }
    add("password", Status::ok, "stored, and decrypts with the serial number");
  }

  void log_dir() {
    const std::string dir = log_directory();
    const std::string file = log_file_path();
    const std::string make = "create it writable by root (install -d -m 0750 " + dir +
                             "), or name another in "
                             "sTarnelLogDir or TARNEL_LOG_DIR";
    struct stat status {};
    if (::stat(dir.c_str(), &status) != 0) {
      return fail("log_dir", kExitFailed, dir + ": " + std::strerror(errno), make);
    }
    if (!S_ISDIR(status.st_mode)) {
      return fail("log_dir", kExitFailed, dir + " is not a directory", make);
    }
    if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
      return fail("log_dir", kExitFailed, dir + " is not writable: " + std::strerror(errno), make);
    }
    if (::lstat(file.c_str(), &status) == 0 &&
        (!S_ISREG(status.st_mode) || ::faccessat(AT_FDCWD, file.c_str(), W_OK, AT_EACCESS) != 0)) {
      return fail("log_dir", kExitFailed,
                  file + " is " +
                      (S_ISREG(status.st_mode) ? "not writable" : "not a regular file") +
                      ": the log writer refuses it",
                  "remove it; the library makes a new one");
    }
    struct statvfs space {};
    if (::statvfs(dir.c_str(), &space) != 0) return add("log_dir", Status::ok, dir);
    const unsigned long long room =
        static_cast<unsigned long long>(space.f_bavail) * space.f_frsize;
    if (room < kRotationRoom) {
      return add("log_dir", Status::warn,
                 dir + ": " + mebibytes(room) + " free, less than a rotation needs (20 MiB)");
    }
    add("log_dir", Status::ok, dir + " (" + mebibytes(room) + " free)");
  }

  void login() {
    tarnel_outcome outcome;
    if (admin_.get_tarnel_session(session_, one_attempt(kCallLimit), outcome) == 0) {
      return add("login", Status::ok,
                 std::string("logged in as ") + tarnel_node_user_name() + " (" +
                     std::to_string(outcome.elapsed.count()) + " ms)");
    }
    const int code = steering_.exit_code(outcome);
    std::string fix = "see " + log_file_path();
    if (code == kExitLoginRefused) {
      fix = "store the cluster's password for " + std::string(tarnel_node_user_name()) +
            " again with 'tarnelctl keystore set-password'";
    } else if (code == kExitUnreachable) {
      fix = "check that the cluster's endpoint " + rkmx_utils::get_hostname() +
            ":8080 answers from this node";
    }
    call_failed("login", code, Command::kLogin, outcome, fix);
  }

  void capacity() {
    tarnel_outcome outcome;
    const std::pair<double, std::string> space =
        cluster_capacity(session_, one_attempt(kCallLimit), outcome);
    const std::string fix = "the cluster's capacity report is not usable; see " + log_file_path();
    if (!outcome.ok())
      return call_failed("capacity", kExitFailed, Command::kCapacity, outcome, fix);
    // The query has refused a capacity that is no size (bad_reply).
    const double gigabytes = rkmx_utils::convert_size_to_gb(space.first, space.second);
    add("capacity", Status::ok,
        plain_number(space.first) + " " + space.second + " (" + plain_number(gigabytes) + " GB)");
  }

  void drive_helper() {
    const std::string path = kDriveHelper;
    if (::access(path.c_str(), F_OK) != 0) {
      return fail("drive_helper", kExitFailed, "no drive helper at " + path,
                  "install the tarnel-drive-helper package, or the node vendor's helper there");
    }
    if (::access(path.c_str(), X_OK) != 0) {
      return fail("drive_helper", kExitFailed, path + " is not executable", "chmod 0755 " + path);
    }
    std::vector<_tarnel_data_drive> drives;
    tarnel_outcome outcome;
    // Bounded by the helper's own time limit (dTarnelProcessTimeout).
    if (admin_.enumerate_data_drives(drives, one_attempt(std::chrono::milliseconds(0)), outcome) !=
        0) {
      return call_failed("drive_helper", kExitFailed, Command::kDrives, outcome,
                         "run '" + path + " list_data_drives' to see what it prints");
    }
    std::string ids;
    for (const _tarnel_data_drive& d : drives) ids += (ids.empty() ? " (" : ", ") + d.spid;
    add("drive_helper", Status::ok,
        std::to_string(drives.size()) + (drives.size() == 1 ? " data drive" : " data drives") +
            (ids.empty() ? "" : ids + ")"));
  }

  const CallSteering steering_;
  tarnel_admin admin_;  // the node's own credentials
  std::string serial_;
  std::string session_;
  std::vector<DoctorCheck> checks_;
  int exit_code_ = kExitDone;
  std::string error_;
};

}  // namespace

int run_doctor(const Invocation& inv, Output& out) { return Doctor(inv, out).run(out); }

}  // namespace tarnelctl
