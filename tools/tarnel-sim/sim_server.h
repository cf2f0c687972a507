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
// Every open connection has a thread of its own (up to 1024; beyond that they
// wait their turn), so idle keep-alive connections, closed after 1 s without
// a request, never hold back another client.
//
// The process must ignore SIGPIPE: a dropped connection makes the server's
// own write fail.
#pragma once

#include <chrono>
#include <condition_variable>
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

// Holds a reply back for a delay fault. It may return early when the server
// stops.
using Pause = std::function<void(std::chrono::milliseconds)>;

class SimServer {
 public:
  // `state` and `faults` must outlive the server. With `verbose`, one line
  // per /rest request goes to stderr (passwords redacted). `pause` replaces
  // the server's own wait for delay faults (which ends early on stop()).
  SimServer(ClusterState& state, FaultInjector& faults, bool verbose = false,
            Pause pause = Pause());
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
  void handle_control(const httplib::Request& req, httplib::Response& res);

  ClusterState& state_;
  FaultInjector& faults_;
  const bool verbose_;
  Pause pause_;
  std::unique_ptr<Listener> listener_;

  std::mutex stop_mutex_;
  std::condition_variable stop_signal_;
  bool stopping_ = false;
};

}  // namespace tarnel_sim
