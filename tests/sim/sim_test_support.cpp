#include "sim_test_support.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "RkJson.h"

namespace sim_test {

namespace {

// Bounds that only keep a broken run from hanging the suite.
constexpr int kIoLimitMs = 30000;

int connect_loopback(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    throw std::runtime_error("connect to 127.0.0.1:" + std::to_string(port) + " failed");
  }
  return fd;
}

using Clock = std::chrono::steady_clock;

// Reads what is available on `fd` into `out`; false at EOF, on an error or
// when nothing arrives before `deadline`.
bool read_some(int fd, std::string& out, Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  pollfd poller{fd, POLLIN, 0};
  if (left.count() <= 0 || ::poll(&poller, 1, static_cast<int>(left.count())) <= 0) return false;
  char buffer[4096];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  if (n <= 0) return false;
  out.append(buffer, static_cast<std::size_t>(n));
  return true;
}

void parse_reply(RawReply& reply) {
  const std::size_t end = reply.bytes.find("\r\n\r\n");
  if (reply.bytes.compare(0, 9, "HTTP/1.1 ") != 0 || end == std::string::npos) return;
  reply.status = std::atoi(reply.bytes.c_str() + 9);
  reply.body = reply.bytes.substr(end + 4);
  std::istringstream headers(reply.bytes.substr(0, end));
  std::string line;
  while (std::getline(headers, line)) {
    const std::string name = "content-length:";
    std::string lower;
    for (char c : line.substr(0, name.size()))
      lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == name) reply.content_length = std::atoll(line.c_str() + name.size());
  }
}

}  // namespace

std::string percent_encode(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    }
  }
  return out;
}

std::string rest_target(const std::string& request_text) {
  const std::string prefix = "request=";
  const std::string rest = request_text.compare(0, prefix.size(), prefix) == 0
                               ? request_text.substr(prefix.size())
                               : request_text;
  return "/rest?request=" + percent_encode(rest);
}

json_spirit::mObject parse_json(const std::string& text) {
  json_spirit::mObject object;
  EXPECT_TRUE(RkJson::Unserialize(text, object)) << "not a JSON object: " << text;
  return object;
}

RawReply raw_exchange(int port, const std::string& method, const std::string& target,
                      const std::string& body) {
  return raw_send(port,
                  method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                      "\r\nConnection: close\r\nContent-Length: " + std::to_string(body.size()) +
                      "\r\n\r\n" + body);
}

RawReply raw_send(int port, const std::string& request) {
  const int fd = connect_loopback(port);
  std::size_t sent = 0;
  while (sent < request.size()) {
    const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  RawReply reply;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kIoLimitMs);
  while (read_some(fd, reply.bytes, deadline)) {
  }
  ::close(fd);
  parse_reply(reply);
  return reply;
}

HeldConnections::HeldConnections(int port, std::size_t count, const std::string& bytes) {
  try {
    while (fds_.size() < count) {
      fds_.push_back(connect_loopback(port));
      if (::send(fds_.back(), bytes.data(), bytes.size(), MSG_NOSIGNAL) !=
          static_cast<ssize_t>(bytes.size())) {
        throw std::runtime_error("cannot send on a held connection");
      }
    }
  } catch (...) {
    for (int fd : fds_) ::close(fd);
    throw;
  }
}

HeldConnections::~HeldConnections() {
  for (int fd : fds_) ::close(fd);
}

tarnel_sim::SimConfig test_config() {
  tarnel_sim::SimConfig config;
  config.cluster = "c1";
  config.total.value = 10;
  config.total.units = "TB";
  config.users["tarnel"] = kPassword;
  config.users["admin"] = kAdminPassword;
  return config;
}

InProcessSim::InProcessSim(tarnel_sim::StateOptions options, tarnel_sim::Clock clock,
                           tarnel_sim::Pause pause, const tarnel_sim::ConnectionLimits& limits)
    : state_(test_config(), std::move(options), std::move(clock)),
      server_(state_, faults_, false, std::move(pause), limits) {
  ::signal(SIGPIPE, SIG_IGN);  // a dropped connection fails the server's own write
  port_ = server_.bind(0);
  if (port_ <= 0) throw std::runtime_error("cannot bind 127.0.0.1:0");
  thread_ = std::thread([this] { server_.run(); });
}

InProcessSim::~InProcessSim() {
  server_.stop();
  thread_.join();
}

RawReply InProcessSim::rest(const std::string& method, const std::string& request_text) const {
  return raw_exchange(port_, method, rest_target(request_text));
}

std::string InProcessSim::login() const {
  const RawReply reply = rest("GET", login_text("tarnel", kPassword, "c1"));
  const json_spirit::mObject body = parse_json(reply.body);
  const auto result = body.find("result");
  if (reply.status != 200 || result == body.end()) {
    ADD_FAILURE() << "login failed: " << reply.bytes;
    return std::string();
  }
  return result->second.get_obj().at("sessionId").get_str();
}

json_spirit::mObject InProcessSim::state() const {
  return parse_json(raw_exchange(port_, "GET", "/state").body);
}

RawReply InProcessSim::control(const std::string& body) const {
  return raw_exchange(port_, "POST", "/control", body);
}

namespace {

test_support::LaunchPlan sim_launch(const std::vector<std::string>& args, const TempDir& dir) {
  test_support::LaunchPlan launch;
  launch.argv = {TARNEL_SIM_PATH};
  launch.argv.insert(launch.argv.end(), args.begin(), args.end());
  launch.env = test_support::clean_environment();
  launch.work_dir = dir.path();
  launch.name = "tarnel-sim";
  return launch;
}

}  // namespace

SimProcess::SimProcess(const std::vector<std::string>& args, const TempDir& dir)
    : process_(sim_launch(args, dir)),
      first_line_(process_.first_line(std::chrono::milliseconds(kIoLimitMs))) {}

int SimProcess::port() const {
  const std::string prefix = "listening on 127.0.0.1:";
  if (first_line_.compare(0, prefix.size(), prefix) != 0) return -1;
  return std::atoi(first_line_.c_str() + prefix.size());
}

int SimProcess::stop(int signal) {
  process_.send_signal(signal);
  return wait();
}

int SimProcess::wait() {
  if (!process_.wait(std::chrono::milliseconds(kIoLimitMs))) {
    ADD_FAILURE() << "tarnel-sim did not end; killed it";
  }
  return process_.exit_code();
}

std::string SimProcess::rest_of_stdout() const {
  const std::string out = process_.out();
  return first_line_.empty() ? out : out.substr(std::min(out.size(), first_line_.size() + 1));
}

int run_sim(const std::vector<std::string>& args, std::string& out, std::string& err) {
  TempDir dir;
  const test_support::RunResult result =
      test_support::run(sim_launch(args, dir), std::chrono::milliseconds(kIoLimitMs));
  EXPECT_TRUE(result.finished) << "tarnel-sim did not end; killed it";
  out = result.out;
  err = result.err;
  return result.exit_code;
}

}  // namespace sim_test
