// The pieces of an end-to-end run: the simulator binary as a child process
// on a loopback port it picks itself, a node (key store, log directory and
// the environment tarnelctl runs with, its :8080 routed to the simulator by
// TARNEL_CONNECT_TO), the library's log as parsed lines, and the request
// texts the library is expected to send. Retry pauses are scaled by
// kSleepScale through TARNEL_SLEEP_SCALE, so retries take milliseconds.
#pragma once

#include <rapidjson/document.h>
#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "e2e_process.h"
#include "request_texts.h"

namespace e2e {

// Paths of the binaries under test (set by the build).
extern const char* const kTarnelctl;
extern const char* const kSimulator;
extern const char* const kExample;
extern const char* const kReferenceHelper;

// The factor on retry pauses: 5 s becomes 10 ms.
constexpr double kSleepScale = 0.002;
constexpr const char* kSleepScaleText = "0.002";
// The pauses after failed attempts, in milliseconds once scaled.
double scaled_pause_ms(int attempt);  // attempt 1..5 -> 10, 20, 30, 40, 50

// Credentials of the simulated cluster. The node's own user is "TarnelAdmin".
constexpr const char* kCluster = "e2e-cluster";
constexpr const char* kNodeUser = "TarnelAdmin";
constexpr const char* kNodePassword = "Node-Pw#7f3a{x}&\"q\" 9";
constexpr const char* kOperator = "operator";
constexpr const char* kOperatorPassword = "Op-Pw-4c1e=d%2B+z";
constexpr const char* kSerial = "E2E-SN-00A7";

rapidjson::Document parse_json(const std::string& text);
std::string host_name();

// The member `name` of a JSON object (a reply of tarnelctl --json, the
// simulator's state). A member that is missing or of another type is a test
// failure naming it and showing the object, never a crash: the accessor then
// gives an empty value ("", false, 0, an empty array).
//   member(reply, "name"), member<bool>(reply, "ok"), member<Array>(reply, "drives")
using Array = rapidjson::Value::ConstArray;
template <typename T = std::string>
T member(const rapidjson::Value& object, const char* name);
template <>
std::string member<std::string>(const rapidjson::Value& object, const char* name);
template <>
bool member<bool>(const rapidjson::Value& object, const char* name);
template <>
int member<int>(const rapidjson::Value& object, const char* name);
template <>
Array member<Array>(const rapidjson::Value& object, const char* name);

struct SimOptions {
  std::string cluster = kCluster;
  std::string units = "GB";
  double value = 100;  // 100 GB: a new disk gets 58.64 GB
  std::map<std::string, std::string> users = {{kNodeUser, kNodePassword},
                                              {kOperator, kOperatorPassword}};
  std::vector<std::string> args;  // further flags, e.g. "--fault=Login:drop,times=2"
};

// One entry of the simulator's request log.
struct SimRequest {
  std::string method;
  std::string request;  // the request type's name
  std::string text;     // the decoded request text, password redacted
  int status = 0;
  std::string fault;
  std::string error;
};

// tarnel-sim as a child process, stopped (SIGTERM, then SIGKILL) when the
// object goes away.
class Simulator {
 public:
  Simulator(const TempDir& dir, const SimOptions& options = SimOptions());
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  int port() const { return port_; }
  pid_t pid() const { return process_->pid(); }
  std::string state_text() const;
  rapidjson::Document state() const;
  std::vector<SimRequest> requests() const;
  // Disk names and "disk -> target" mounts in the simulator's state.
  std::vector<std::string> disks() const;
  std::vector<std::string> mounts() const;
  // Adds a fault rule in the flag form (REQUEST:FAULT[,times=N][,skip=N]).
  void add_fault(const std::string& rule);
  // Stops the simulator and returns its exit code.
  int stop();
  std::string err() const { return process_->err(); }

 private:
  std::string post_control(const std::string& body) const;
  std::unique_ptr<Process> process_;
  int port_ = -1;
};

// One line of the library's log.
struct LogLine {
  long long micros = 0;  // time stamp, microseconds since the epoch
  pid_t pid = 0;
  std::string text;  // "<function tag>: <message>"
};

// A node: key store and log directory in a temporary directory, and the
// environment of every tarnelctl run on it.
class Node {
 public:
  Node(const TempDir& dir, int sim_port);

  const std::string& keystore() const { return keystore_; }
  const std::string& log_dir() const { return log_dir_; }
  std::string log_file() const { return log_dir_ + "/RKTarnel.log"; }
  std::map<std::string, std::string> env() const;

  // Cluster name, serial and stored password through tarnelctl keystore.
  void provision(const std::string& cluster = kCluster, const std::string& serial = kSerial,
                 const std::string& password = kNodePassword) const;
  // Appends key=value to the key store file.
  void add_key(const std::string& key, const std::string& value) const;

  LaunchPlan ctl_launch(const std::vector<std::string>& args,
                        const std::map<std::string, std::string>& extra_env = {},
                        const std::string& stdin_text = "") const;
  RunResult ctl(const std::vector<std::string>& args,
                const std::map<std::string, std::string>& extra_env = {},
                const std::string& stdin_text = "") const;

  std::vector<LogLine> log() const;
  // Texts of the log lines, in order.
  std::vector<std::string> log_texts() const;
  // How many log lines hold `fragment`.
  int count(const std::string& fragment) const;

 private:
  const TempDir& dir_;
  int sim_port_;
  std::string keystore_;
  std::string log_dir_;
};

// The request texts the library sends (tests/support/request_texts.h); the
// login as the simulator's log shows it, with the password redacted to "***".
using request_texts::add_virtual_disk_text;
using request_texts::cluster_information_text;
using request_texts::mount_text;
std::string login_text(const std::string& user, const std::string& cluster);

// The session identifier in a ClusterInformation, AddVirtualDisk or Mount text.
std::string session_of(const std::string& text);

// True when this process may make a private mount namespace (root with
// unshare available), needed to place a helper at the library's fixed path.
bool mount_namespace_available();
// A tarnelctl run inside a private mount namespace in which a tmpfs over
// /opt holds `helper_file` at /opt/kestrix/Bayhold/rkspmhelper.py.
LaunchPlan in_helper_namespace(const LaunchPlan& ctl, const std::string& helper_file);

}  // namespace e2e
