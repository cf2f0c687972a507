#include "e2e_cluster.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace e2e {

const char* const kTarnelctl = TARNELCTL_PATH;
const char* const kSimulator = TARNEL_SIM_PATH;
const char* const kExample = TARNEL_EXAMPLE_PATH;
const char* const kReferenceHelper = RKSPMHELPER_PATH;

double scaled_pause_ms(int attempt) { return 5000.0 * attempt * kSleepScale; }

rapidjson::Document parse_json(const std::string& text) {
  rapidjson::Document doc;
  doc.Parse(text.c_str(), text.size());
  if (doc.HasParseError()) ADD_FAILURE() << "not JSON: " << text;
  return doc;
}

std::string host_name() {
  char name[256] = {};
  gethostname(name, sizeof name - 1);
  return name;
}

namespace {

// A member that may be absent.
std::string optional_text(const rapidjson::Value& object, const char* name) {
  if (!object.IsObject()) return "";
  const auto found = object.FindMember(name);
  return found != object.MemberEnd() && found->value.IsString() ? found->value.GetString() : "";
}

// The member `name` of `object` when it is there and of the type `is_type`
// tests; otherwise a test failure and null.
const rapidjson::Value* typed_member(const rapidjson::Value& object, const char* name,
                                     bool (rapidjson::Value::*is_type)() const, const char* type) {
  if (object.IsObject()) {
    const auto found = object.FindMember(name);
    if (found != object.MemberEnd() && (found->value.*is_type)()) return &found->value;
  }
  rapidjson::StringBuffer text;
  rapidjson::Writer<rapidjson::StringBuffer> writer(text);
  object.Accept(writer);
  const std::string shown(text.GetString(), std::min<std::size_t>(text.GetSize(), 2000));
  ADD_FAILURE() << "no " << type << " member \"" << name << "\" in " << shown;
  return nullptr;
}

// Bounds on a request to the simulator, within the program's budget (at
// least 1 ms each: 0 would mean no bound).
void set_timeouts(httplib::Client& client) {
  using std::chrono::milliseconds;
  client.set_connection_timeout(std::max(time_left(milliseconds(10000)), milliseconds(1)));
  client.set_read_timeout(std::max(time_left(milliseconds(30000)), milliseconds(1)));
  client.set_write_timeout(std::max(time_left(milliseconds(30000)), milliseconds(1)));
}

// Microseconds since the epoch of "YYYY-MM-DDTHH:MM:SS.uuuuuuZ".
bool parse_time(const std::string& text, long long& micros) {
  std::tm tm{};
  long fraction = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%6ldZ", &tm.tm_year, &tm.tm_mon,
                  &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &fraction) != 7) {
    return false;
  }
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  micros = static_cast<long long>(timegm(&tm)) * 1000000LL + fraction;
  return true;
}

}  // namespace

template <>
std::string member<std::string>(const rapidjson::Value& object, const char* name) {
  const rapidjson::Value* value = typed_member(object, name, &rapidjson::Value::IsString, "string");
  return value != nullptr ? std::string(value->GetString(), value->GetStringLength()) : "";
}

template <>
bool member<bool>(const rapidjson::Value& object, const char* name) {
  const rapidjson::Value* value = typed_member(object, name, &rapidjson::Value::IsBool, "boolean");
  return value != nullptr && value->GetBool();
}

template <>
int member<int>(const rapidjson::Value& object, const char* name) {
  const rapidjson::Value* value = typed_member(object, name, &rapidjson::Value::IsInt, "integer");
  return value != nullptr ? value->GetInt() : 0;
}

template <>
Array member<Array>(const rapidjson::Value& object, const char* name) {
  static const rapidjson::Value kEmpty(rapidjson::kArrayType);
  const rapidjson::Value* value = typed_member(object, name, &rapidjson::Value::IsArray, "array");
  return value != nullptr ? value->GetArray() : kEmpty.GetArray();
}

// ---- Simulator ----

Simulator::Simulator(const TempDir& dir, const SimOptions& options) {
  std::string users;
  for (const auto& [name, password] : options.users) {
    users += (users.empty() ? "" : ",") + request_texts::quoted(name) + ":" +
             request_texts::quoted(password);
  }
  std::ostringstream config;
  config << "{\"cluster\":" << request_texts::quoted(options.cluster)
         << ",\"capacity\":{\"units\":" << request_texts::quoted(options.units)
         << ",\"value\":" << options.value << "},\"users\":{" << users << "}}";
  const std::string config_path = dir.file("sim.json");
  write_file(config_path, config.str());

  LaunchPlan launch;
  launch.argv = {kSimulator, "--config", config_path, "--port", "0", "--verbose"};
  launch.argv.insert(launch.argv.end(), options.args.begin(), options.args.end());
  launch.env = clean_environment();
  launch.work_dir = dir.path();
  launch.name = "tarnel-sim";
  process_ = std::make_unique<Process>(launch);

  const std::string prefix = "listening on 127.0.0.1:";
  const std::string first = process_->first_line();
  if (first.rfind(prefix, 0) != 0) {
    throw std::runtime_error("tarnel-sim did not start: " + first + process_->err());
  }
  port_ = std::stoi(first.substr(prefix.size()));
}

Simulator::~Simulator() { process_->stop(); }

int Simulator::stop() {
  process_->stop();
  return process_->exit_code();
}

std::string Simulator::state_text() const {
  httplib::Client client("127.0.0.1", port_);
  set_timeouts(client);
  httplib::Result reply = client.Get("/state");
  if (!reply || reply->status != 200) {
    ADD_FAILURE() << "GET /state failed";
    return "{}";
  }
  return reply->body;
}

rapidjson::Document Simulator::state() const { return parse_json(state_text()); }

std::vector<SimRequest> Simulator::requests() const {
  std::vector<SimRequest> list;
  const rapidjson::Document doc = state();
  for (const rapidjson::Value& entry : member<Array>(doc, "requests")) {
    SimRequest r;
    r.method = member(entry, "method");
    r.request = member(entry, "request");
    r.text = member(entry, "text");
    r.status = member<int>(entry, "status");
    r.fault = optional_text(entry, "fault");
    r.error = optional_text(entry, "error");
    list.push_back(r);
  }
  return list;
}

std::vector<std::string> Simulator::disks() const {
  std::vector<std::string> names;
  const rapidjson::Document doc = state();
  for (const rapidjson::Value& disk : member<Array>(doc, "disks")) {
    names.push_back(member(disk, "name"));
  }
  return names;
}

std::vector<std::string> Simulator::mounts() const {
  std::vector<std::string> list;
  const rapidjson::Document doc = state();
  for (const rapidjson::Value& m : member<Array>(doc, "mounts")) {
    list.push_back(member(m, "virtualDisk") + " -> " + member(m, "target"));
  }
  return list;
}

std::string Simulator::post_control(const std::string& body) const {
  httplib::Client client("127.0.0.1", port_);
  set_timeouts(client);
  httplib::Result reply = client.Post("/control", body, "application/json");
  if (!reply || reply->status != 200) {
    ADD_FAILURE() << "POST /control " << body << " failed: " << (reply ? reply->body : "no reply");
    return "";
  }
  return reply->body;
}

void Simulator::add_fault(const std::string& rule) {
  post_control("{\"action\":\"fault\",\"rule\":" + request_texts::quoted(rule) + "}");
}

// ---- Node ----

Node::Node(const TempDir& dir, int sim_port)
    : dir_(dir),
      sim_port_(sim_port),
      keystore_(dir.file("keystore.conf")),
      log_dir_(dir.file("log")) {}

std::map<std::string, std::string> Node::env() const {
  std::map<std::string, std::string> env = clean_environment();
  env["TARNEL_KEYSTORE"] = keystore_;
  env["TARNEL_LOG_DIR"] = log_dir_;
  env["TARNEL_DEBUG_LEVEL"] = "1";
  env["TARNEL_SLEEP_SCALE"] = kSleepScaleText;
  env["TARNEL_CONNECT_TO"] = host_name() + ":8080:127.0.0.1:" + std::to_string(sim_port_);
  // No serial number from the machine: only the key store's counts.
  env["TARNEL_DMI_SERIAL_PATH"] = dir_.file("no-dmi-serial");
  return env;
}

LaunchPlan Node::ctl_launch(const std::vector<std::string>& args,
                            const std::map<std::string, std::string>& extra_env,
                            const std::string& stdin_text) const {
  LaunchPlan launch;
  launch.argv = {kTarnelctl};
  launch.argv.insert(launch.argv.end(), args.begin(), args.end());
  launch.env = env();
  for (const auto& [name, value] : extra_env) launch.env[name] = value;
  launch.stdin_text = stdin_text;
  launch.work_dir = dir_.path();
  launch.name = "tarnelctl";
  return launch;
}

RunResult Node::ctl(const std::vector<std::string>& args,
                    const std::map<std::string, std::string>& extra_env,
                    const std::string& stdin_text) const {
  return run(ctl_launch(args, extra_env, stdin_text));
}

void Node::provision(const std::string& cluster, const std::string& serial,
                     const std::string& password) const {
  const RunResult a = ctl({"keystore", "set-cluster", cluster});
  ASSERT_EQ(a.exit_code, 0) << a.err;
  const RunResult b = ctl({"keystore", "set-serial", serial});
  ASSERT_EQ(b.exit_code, 0) << b.err;
  const RunResult c = ctl({"keystore", "set-password"}, {}, password + "\n");
  ASSERT_EQ(c.exit_code, 0) << c.err;
}

void Node::add_key(const std::string& key, const std::string& value) const {
  std::ofstream out(keystore_, std::ios::app);
  out << key << '=' << value << '\n';
}

std::vector<LogLine> Node::log() const {
  std::vector<LogLine> lines;
  std::istringstream in(read_file(log_file()));
  std::string line;
  while (std::getline(in, line)) {
    // "<time> <pid> <tid> <text>"
    const std::size_t a = line.find(' ');
    const std::size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
    const std::size_t c = b == std::string::npos ? b : line.find(' ', b + 1);
    LogLine parsed;
    if (c == std::string::npos || !parse_time(line.substr(0, a), parsed.micros)) {
      // A continuation of a message that holds a line feed.
      if (!lines.empty()) lines.back().text += "\n" + line;
      continue;
    }
    parsed.pid = static_cast<pid_t>(std::stol(line.substr(a + 1, b - a - 1)));
    parsed.text = line.substr(c + 1);
    lines.push_back(parsed);
  }
  return lines;
}

std::vector<std::string> Node::log_texts() const {
  std::vector<std::string> texts;
  for (const LogLine& line : log()) texts.push_back(line.text);
  return texts;
}

int Node::count(const std::string& fragment) const {
  int n = 0;
  for (const LogLine& line : log()) n += line.text.find(fragment) != std::string::npos ? 1 : 0;
  return n;
}

// ---- request texts ----

std::string login_text(const std::string& user, const std::string& cluster) {
  return request_texts::login_text(user, "***", cluster);
}

std::string session_of(const std::string& text) {
  const std::string key = "sessionId:";
  const std::size_t at = text.rfind(key);
  if (at == std::string::npos) return "";
  std::string rest = text.substr(at + key.size());
  if (!rest.empty() && rest.back() == '}') rest.pop_back();
  if (rest.size() >= 2 && rest.front() == '"' && rest.back() == '"')
    rest = rest.substr(1, rest.size() - 2);
  return rest;
}

// ---- the drive helper's fixed path ----

namespace {
const char* unshare_path() {
  for (const char* path : {"/usr/bin/unshare", "/bin/unshare"}) {
    if (access(path, X_OK) == 0) return path;
  }
  return nullptr;
}
}  // namespace

bool mount_namespace_available() {
  const char* unshare = unshare_path();
  if (geteuid() != 0 || unshare == nullptr) return false;
  TempDir dir;
  LaunchPlan probe;
  probe.argv = {unshare,
                "--mount",
                "--propagation",
                "private",
                "/bin/sh",
                "-c",
                "mount -t tmpfs e2e-probe /opt"};
  probe.env = clean_environment();
  probe.work_dir = dir.path();
  probe.name = "unshare-probe";
  const RunResult result = run(probe, std::chrono::seconds(30));
  return result.finished && result.exit_code == 0;
}

LaunchPlan in_helper_namespace(const LaunchPlan& ctl, const std::string& helper_file) {
  LaunchPlan launch = ctl;
  launch.argv = {unshare_path(),
                 "--mount",
                 "--propagation",
                 "private",
                 "/bin/sh",
                 "-c",
                 "mount -t tmpfs -o mode=0755 e2e-opt /opt && mkdir -p /opt/kestrix/Bayhold && "
                 "cp \"$E2E_HELPER\" /opt/kestrix/Bayhold/rkspmhelper.py && "
                 "chmod 0755 /opt/kestrix/Bayhold/rkspmhelper.py && exec \"$@\"",
                 "sh"};
  launch.argv.insert(launch.argv.end(), ctl.argv.begin(), ctl.argv.end());
  launch.env["E2E_HELPER"] = helper_file;
  return launch;
}

}  // namespace e2e
