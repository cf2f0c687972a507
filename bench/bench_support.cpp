#include "bench_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <httplib.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "RKPassword.h"
#include "rkmx_utils.h"
#include "test_guard.h"
#include "unique_fd.h"

namespace bench {

namespace {

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string json_string(const std::string& value) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
  return buffer.GetString();
}

// A child's standard stream, open (close-on-exec) for the time of the start.
tarnel_host::UniqueFd open_stream(const std::string& path, int flags) {
  tarnel_host::UniqueFd fd(::open(path.c_str(), flags | O_CLOEXEC, 0600));
  if (!fd.valid()) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
  return fd;
}

}  // namespace

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tarnel-bench-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) {
    throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
  }
  path_ = pattern;
  test_guard::remove_at_end(path_);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void write_file(const std::string& path, const std::string& content, mode_t mode) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  out.close();
  if (!out || ::chmod(path.c_str(), mode) != 0) throw std::runtime_error("cannot write " + path);
}

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
  write_file(config, "{\"cluster\":" + json_string(cluster) +
                         ",\"capacity\":{\"units\":\"GB\",\"value\":100},\"users\":{\"TarnelAdmin\":" +
                         json_string(password) + "}}");
  const std::string out_path = dir.file("sim.out");
  const std::string err_path = dir.file("sim.err");

  {
    const tarnel_host::UniqueFd in = open_stream("/dev/null", O_RDONLY);
    const tarnel_host::UniqueFd out = open_stream(out_path, O_WRONLY | O_CREAT | O_TRUNC);
    const tarnel_host::UniqueFd err = open_stream(err_path, O_WRONLY | O_CREAT | O_TRUNC);
    pid_ = test_guard::spawn({TARNEL_SIM_PATH, "--config", config, "--port", "0"}, nullptr,
                             {in.get(), out.get(), err.get()}, false);
  }

  const std::string prefix = "listening on 127.0.0.1:";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string out = read_text(out_path);
    if (out.find('\n') != std::string::npos && out.rfind(prefix, 0) == 0) {
      port_ = std::atoi(out.c_str() + prefix.size());
      return;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const std::string why = read_text(err_path);
  stop();
  throw std::runtime_error("tarnel-sim did not start: " + why);
}

Simulator::~Simulator() { stop(); }

void Simulator::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  for (int waited = 0; waited < 300; ++waited) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

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
