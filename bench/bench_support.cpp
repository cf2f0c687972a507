#include "bench_support.h"

#include <dirent.h>
#include <httplib.h>
#include <rapidjson/document.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "RKPassword.h"
#include "request_texts.h"
#include "rkmx_utils.h"

namespace bench {

void use_node_dir(const TempDir& dir, int debug_level) {
  const std::string keystore = dir.file("keystore.conf");
  if (::access(keystore.c_str(), F_OK) != 0) write_file(keystore, "");
  const std::string log_dir = dir.file("log");
  ::mkdir(log_dir.c_str(), 0755);
  ::setenv("TARNEL_KEYSTORE", keystore.c_str(), 1);
  ::setenv("TARNEL_LOG_DIR", log_dir.c_str(), 1);
  ::setenv("TARNEL_DEBUG_LEVEL", std::to_string(debug_level).c_str(), 1);
  ::unsetenv("TARNEL_CONNECT_TO");
  ::unsetenv("TARNEL_LOG_STDERR");
}

std::string host_name() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) throw std::runtime_error("gethostname failed");
  return name;
}

void route_cluster_to(int port) {
  const std::string route = host_name() + ":8080:127.0.0.1:" + std::to_string(port);
  ::setenv("TARNEL_CONNECT_TO", route.c_str(), 1);
}

void provision_node(const std::string& cluster, const std::string& serial,
                    const std::string& password) {
  std::string key;
  for (char c : serial) key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string encrypted;
  if (RKPassword().encrypt(password, key, encrypted) != 0) {
    throw std::runtime_error("cannot encrypt the cluster password");
  }
  if (rkmx_utils::set_reg_key("sTarnelCluster", cluster) != 0 ||
      rkmx_utils::set_reg_key("sTarnelSerial", serial) != 0 ||
      rkmx_utils::set_reg_key("sTarnelCID", encrypted) != 0) {
    throw std::runtime_error("cannot write the key store");
  }
}

void settle_keystore() {
  const char* path = std::getenv("TARNEL_KEYSTORE");
  struct stat status;
  if (path == nullptr || ::stat(path, &status) != 0) throw std::runtime_error("no key store");
  const auto changed = std::chrono::system_clock::time_point(
      std::chrono::seconds(std::max(status.st_mtim.tv_sec, status.st_ctim.tv_sec) + 1));
  std::this_thread::sleep_until(changed + std::chrono::milliseconds(2100));
}

Simulator::Simulator(const TempDir& dir, const std::string& cluster, const std::string& password) {
  const std::string config = dir.file("sim.json");
  write_file(config, "{\"cluster\":" + request_texts::quoted(cluster) +
                         ",\"capacity\":{\"units\":\"GB\",\"value\":100}," +
                         "\"users\":{\"TarnelAdmin\":" + request_texts::quoted(password) + "}}");

  test_support::LaunchPlan launch;
  launch.argv = {TARNEL_SIM_PATH, "--config", config, "--port", "0"};
  launch.env = test_support::clean_environment();
  launch.work_dir = dir.path();
  launch.name = "sim";
  process_ = std::make_unique<test_support::Process>(launch);

  const std::string prefix = "listening on 127.0.0.1:";
  const std::string first = process_->first_line();
  if (first.rfind(prefix, 0) != 0) {
    throw std::runtime_error("tarnel-sim did not start: " + first + process_->err());
  }
  port_ = std::atoi(first.c_str() + prefix.size());
}

Simulator::~Simulator() { process_->stop(); }

long Simulator::last_request_seq() const {
  httplib::Client client("127.0.0.1", port_);
  client.set_connection_timeout(10);
  client.set_read_timeout(60);
  httplib::Result reply = client.Get("/state");
  if (!reply || reply->status != 200) throw std::runtime_error("GET /state failed");
  rapidjson::Document state;
  state.Parse(reply->body.c_str(), reply->body.size());
  if (state.HasParseError() || !state.IsObject() || !state.HasMember("requests") ||
      !state["requests"].IsArray()) {
    throw std::runtime_error("GET /state: unexpected reply");
  }
  const auto& requests = state["requests"];
  if (requests.Empty()) return 0;
  const auto& last = requests[requests.Size() - 1];
  if (!last.IsObject() || !last.HasMember("seq") || !last["seq"].IsInt64()) {
    throw std::runtime_error("GET /state: request without seq");
  }
  return last["seq"].GetInt64();
}

long resident_kib() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0;
  long resident = 0;
  statm >> pages >> resident;
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

int open_descriptors() {
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir("/proc/self/fd"), ::closedir);
  if (!dir) return -1;
  int count = 0;
  while (const dirent* entry = ::readdir(dir.get())) {
    if (entry->d_name[0] != '.') ++count;
  }
  return count - 1;  // the directory stream's own descriptor
}

}  // namespace bench
