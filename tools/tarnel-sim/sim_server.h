// The simulator's HTTP front, on 127.0.0.1 only.
//
//   GET, PUT, POST /rest?request=<percent-encoded request text>
//       The query must start with "request="; what follows is percent-decoded
//       as one value ('+' stays '+') and "request=" put back in front gives
//       the request text (request_parser.h). It is parsed, classified
//       (protocol.h), matched against the fault rules (fault_injector.h) and
//       carried out (cluster_state.h). Every request is logged, its password
//       redacted. Errors of the front itself: 400 BadRequest (no
//       "request=" or a bad %-escape), 400 MalformedRequest (the text does not
//       parse; the message gives the offset), 400 UnknownRequest.
//   GET /state
//       The cluster state (ClusterState::snapshot) plus "faults", the rules in
//       force with their remaining counts.
//   POST /control
//       A JSON object with "action":
//         {"action":"fault", <a fault rule in JSON form>}  add a rule
//         {"action":"clear-faults"}                      remove every rule
//         {"action":"expire-sessions"}                   end every session
//         {"action":"reset"}    forget disks, mounts, sessions, the request
//                               log and the fault rules
//       Reply: {"ok":true,"faults":[...]}, or 400 {"error":{"code":"BadControl",
//       "message":...}} (500 StateNotSaved when reset cannot write the state
//       file).
//
// Every open connection has a thread of its own (up to
// ConnectionLimits::max_workers; beyond that they wait their turn), so idle
// keep-alive connections never hold back another client.
//
// A request body of more than kMaxBodyBytes is refused with 413
// PayloadTooLarge, whether its length is announced, chunked or compressed
// (counted decoded), as soon as the excess arrives; a multipart body with 415
// UnsupportedMediaType, a body that cannot be read with 400 BadRequest, and
// the method PRI with 405 MethodNotAllowed. Each of these replies ends the
// connection, so the rest of a refused body is never read as a request. A
// body sent with any other method or endpoint is read within the same bound
// and answered 404 NotFound.
//
// After stop(), the requests being served have a second to end (a reply held
// back goes out at once); then every connection still open is shut down, so
// a client that sends slowly or never reads cannot keep the server from
// stopping.
//
// The process must ignore SIGPIPE: a dropped connection makes the server's
// own write fail.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>

#include "cluster_state.h"
#include "fault_injector.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace tarnel_sim {

// The largest request body the server reads.
constexpr std::size_t kMaxBodyBytes = 1u << 20;

// How the server treats its connections.
struct ConnectionLimits {
  // Connections served at once, each by a thread of its own; more wait in
  // turn. At least 1.
  std::size_t max_workers = 1024;
  // How long one read of a request may wait for the next bytes before the
  // connection is closed.
  std::chrono::seconds read_timeout{5};
  // How long a keep-alive connection may stay idle between requests.
  std::chrono::seconds idle_timeout{1};
};

// Holds a reply back for a delay fault. It may return early when the server
// stops.
using Pause = std::function<void(std::chrono::milliseconds)>;

class SimServer {
 public:
  // `state` and `faults` must outlive the server. With `verbose`, one line
  // per /rest request goes to stderr (passwords redacted). `pause` replaces
  // the server's own wait for delay faults (which ends early on stop()).
  SimServer(ClusterState& state, FaultInjector& faults, bool verbose = false, Pause pause = Pause(),
            const ConnectionLimits& limits = ConnectionLimits());
  // Stops the server; run() must have returned before it is destroyed.
  ~SimServer();
  SimServer(const SimServer&) = delete;
  SimServer& operator=(const SimServer&) = delete;

  // Binds 127.0.0.1:`port`; port 0 picks a free port. Returns the port bound,
  // or -1 when it cannot be bound.
  int bind(int port);
  // Serves until stop(); returns false when serving failed. Call after bind().
  bool run();
  // Stops run() and holds no reply back any longer. Thread-safe; may be
  // called before run() starts (run() then returns at once) or after it ends.
  void stop();

 private:
  class Listener;
  class Exchange;

  void wait(std::chrono::milliseconds delay);
  void register_routes();
  void handle_rest(const httplib::Request& req, httplib::Response& res);
  // Applies a fault that acts before the request is carried out; true when
  // it has answered or dropped the request.
  bool apply_fault_before(const FaultRule& fault, RequestType type, const RequestValue& request,
                          Exchange& exchange);
  void handle_state(httplib::Response& res);
  void handle_control(const std::string& body, httplib::Response& res);

  ClusterState& state_;
  FaultInjector& faults_;
  const bool verbose_;
  Pause pause_;
  std::unique_ptr<Listener> listener_;
  std::atomic<int> port_{0};

  std::mutex stop_mutex_;
  std::condition_variable stop_signal_;
  bool stopping_ = false;
};

}  // namespace tarnel_sim
