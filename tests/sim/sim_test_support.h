// Helpers for the simulator's tests: request texts as the library writes
// them, percent-encoding, a raw HTTP exchange (to see exactly what reaches
// the client), an in-process simulator, and the simulator binary as a child
// process. Servers listen on 127.0.0.1 on a port the kernel picks; every
// server and child a helper starts is stopped by its destructor, and the
// guardian of test_guard.h kills the children and removes the temporary
// directories of a test program that ended without its destructors.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "child_process.h"
#include "cluster_state.h"
#include "fault_injector.h"
#include "json_spirit/json_spirit_value.h"
#include "request_texts.h"
#include "scratch.h"
#include "sim_config.h"
#include "sim_server.h"

namespace sim_test {

// The request texts the library sends, with quoted values JSON-escaped.
using request_texts::add_virtual_disk_text;
using request_texts::cluster_information_text;
using request_texts::escaped;
using request_texts::login_text;
using request_texts::mount_text;

// Every byte but A-Z a-z 0-9 - . _ ~ as %XX.
std::string percent_encode(std::string_view text);
// "/rest?request=" followed by the percent-encoded text after "request=".
std::string rest_target(const std::string& request_text);

// Parses JSON text into an object; a test failure when it does not parse.
json_spirit::mObject parse_json(const std::string& text);

// What came back over one connection, read until the server closed it.
struct RawReply {
  std::string bytes;
  int status = 0;                 // 0 when no status line arrived
  long long content_length = -1;  // -1 when no Content-Length header arrived
  std::string body;               // the bytes after the header block
};
// Sends `method target` with "Connection: close" and no body
// ("Content-Length: 0") to 127.0.0.1:port and reads until the server closes.
RawReply raw_exchange(int port, const std::string& method, const std::string& target,
                      const std::string& body = std::string());
// Sends `bytes` as they are (less when the server ends the connection first)
// and reads until the server closes.
RawReply raw_send(int port, const std::string& bytes);

// `count` connections to 127.0.0.1:port that have each sent `bytes` and stay
// open until the object goes away.
class HeldConnections {
 public:
  HeldConnections(int port, std::size_t count, const std::string& bytes = std::string());
  ~HeldConnections();
  HeldConnections(const HeldConnections&) = delete;
  HeldConnections& operator=(const HeldConnections&) = delete;

 private:
  std::vector<int> fds_;
};

// Scratch directories and files (tests/support/scratch.h).
using test_support::read_file;
using test_support::TempDir;
using test_support::write_file;

// The cluster the tests configure: "c1", 10 TB, users "tarnel" and "admin".
tarnel_sim::SimConfig test_config();
constexpr const char* kPassword = "S3cr\"et pass";    // the user "tarnel"'s password
constexpr const char* kAdminPassword = "adm1n-Pa55";  // the user "admin"'s password

// The simulator served in this process on a free loopback port.
class InProcessSim {
 public:
  explicit InProcessSim(
      tarnel_sim::StateOptions options = tarnel_sim::StateOptions(),
      tarnel_sim::Clock clock = [] { return std::chrono::steady_clock::now(); },
      tarnel_sim::Pause pause = tarnel_sim::Pause(),
      const tarnel_sim::ConnectionLimits& limits = tarnel_sim::ConnectionLimits());
  ~InProcessSim();
  InProcessSim(const InProcessSim&) = delete;
  InProcessSim& operator=(const InProcessSim&) = delete;

  int port() const { return port_; }
  tarnel_sim::FaultInjector& faults() { return faults_; }

  // One /rest request; the reply status and body (status 0 when none came).
  RawReply rest(const std::string& method, const std::string& request_text) const;
  // Logs in as "tarnel" and returns the session identifier.
  std::string login() const;
  // GET /state, parsed.
  json_spirit::mObject state() const;
  // POST /control with `body`.
  RawReply control(const std::string& body) const;

 private:
  tarnel_sim::ClusterState state_;
  tarnel_sim::FaultInjector faults_;
  tarnel_sim::SimServer server_;
  int port_ = -1;
  std::thread thread_;
};

// The tarnel-sim binary as a child process (test_support::Process) whose
// files are kept in `dir`, started with `args`; its first line is awaited at
// start. Killed when the thread that made the object ends. Waits are bounded
// (30 s).
class SimProcess {
 public:
  SimProcess(const std::vector<std::string>& args, const TempDir& dir);

  // The first line the child printed on stdout, without its newline; empty
  // when the child ended before printing one.
  const std::string& first_line() const { return first_line_; }
  // The port of a "listening on 127.0.0.1:<port>" first line, or -1.
  int port() const;
  // Sends `signal` and waits for the child to end. Returns its exit status,
  // or 128 + the signal number when a signal ended it.
  int stop(int signal);
  // Waits for a child that ends by itself; returns as stop() does.
  int wait();
  // Everything the child wrote on stdout after the first line (call after
  // the child has ended).
  std::string rest_of_stdout() const;
  pid_t pid() const { return process_.pid(); }
  // Everything the child wrote on stderr so far.
  std::string err() const { return process_.err(); }

 private:
  test_support::Process process_;
  std::string first_line_;
};

// Runs the binary with `args` to its end; returns the exit status and fills
// `out` and `err`.
int run_sim(const std::vector<std::string>& args, std::string& out, std::string& err);

}  // namespace sim_test
