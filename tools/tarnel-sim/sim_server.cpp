#include "sim_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <list>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "RkJson.h"

namespace tarnel_sim {

namespace {

using json_spirit::mArray;
using json_spirit::mObject;

constexpr std::string_view kRequestPrefix = "request=";
constexpr const char* kJson = "application/json";

// httplib gives each connection to one task for as long as it stays open,
// idle keep-alive waits included. A fixed pool lets a few hundred idle
// connections hold every worker, and a request behind them waits for their
// keep-alive timeouts, one pool-full after another. So the pool grows: a
// task that finds no idle worker gets a new thread, up to `max_workers`
// (then it waits in the queue); threads beyond the first kCoreWorkers end
// after kWorkerLinger without work. At shutdown the tasks have kStopGrace
// to end (a reply in progress goes out); then their connections are cut.
constexpr std::size_t kCoreWorkers = 8;
constexpr std::chrono::seconds kWorkerLinger(5);
constexpr std::chrono::seconds kStopGrace(1);

class GrowingTaskQueue : public httplib::TaskQueue {
 public:
  // `cut_connections` shuts down every connection of the server, so that
  // every task ends at once.
  GrowingTaskQueue(std::size_t max_workers, std::function<void()> cut_connections)
      : max_workers_(max_workers), cut_connections_(std::move(cut_connections)) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < std::min(kCoreWorkers, max_workers_); ++i) start_worker(true);
  }
  ~GrowingTaskQueue() override { shutdown(); }
  GrowingTaskQueue(const GrowingTaskQueue&) = delete;
  GrowingTaskQueue& operator=(const GrowingTaskQueue&) = delete;

  void enqueue(std::function<void()> task) override {
    std::vector<std::thread> ended;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      tasks_.push_back(std::move(task));
      if (idle_ < tasks_.size() && workers_.size() < max_workers_) start_worker(false);
      ended.swap(ended_);
    }
    ready_.notify_one();
    for (std::thread& thread : ended) thread.join();
  }

  // Runs the tasks still queued, cuts the connections of those that have
  // not ended after kStopGrace, then ends and joins every worker.
  void shutdown() override {
    std::list<std::thread> workers;
    std::vector<std::thread> ended;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      stopping_ = true;
      ready_.notify_all();
      if (!finished_.wait_for(lock, kStopGrace,
                              [this] { return tasks_.empty() && running_ == 0; })) {
        lock.unlock();
        cut_connections_();
        lock.lock();
      }
      workers.swap(workers_);
      ended.swap(ended_);
    }
    for (std::thread& thread : workers) thread.join();
    for (std::thread& thread : ended) thread.join();
  }

 private:
  // With mutex_ held. A thread that cannot be started leaves the task to
  // the workers there are.
  void start_worker(bool core) {
    try {
      workers_.emplace_back();
      const auto self = std::prev(workers_.end());
      *self = std::thread([this, self, core] { work(self, core); });
    } catch (const std::system_error&) {
      workers_.pop_back();
    }
  }

  void work(std::list<std::thread>::iterator self, bool core) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      ++idle_;
      const bool woken =
          ready_.wait_for(lock, kWorkerLinger, [this] { return !tasks_.empty() || stopping_; });
      --idle_;
      if (tasks_.empty()) {
        if (stopping_) return;  // shutdown() joins it
        if (woken || core) continue;
        // Hands its own thread object to the next enqueue() or shutdown()
        // to join; it touches nothing of the queue after the return.
        ended_.push_back(std::move(*self));
        workers_.erase(self);
        return;
      }
      std::function<void()> task = std::move(tasks_.front());
      tasks_.pop_front();
      ++running_;
      lock.unlock();
      task();
      task = nullptr;
      lock.lock();
      --running_;
      if (stopping_) finished_.notify_all();
    }
  }

  const std::size_t max_workers_;
  const std::function<void()> cut_connections_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable finished_;  // a task ended during shutdown()
  std::list<std::function<void()>> tasks_;
  std::list<std::thread> workers_;  // a list: each worker erases its own entry
  std::vector<std::thread> ended_;  // workers that ended by themselves, to be joined
  std::size_t idle_ = 0;
  std::size_t running_ = 0;
  bool stopping_ = false;
};

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes %XX escapes; every other byte stays as it is. False for a '%' not
// followed by two hex digits.
bool percent_decode(std::string_view in, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      out += in[i];
      continue;
    }
    if (i + 2 >= in.size()) return false;
    const int high = hex_digit(in[i + 1]);
    const int low = hex_digit(in[i + 2]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

std::string address_text(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  return text;
}

// Calls `visit(fd, local, peer)` for each connected IPv4 socket of the
// process until it returns true; whether one did. `fd` is a duplicate of the
// socket's descriptor, held during the call: a descriptor that a worker
// closes and the system reuses meanwhile is never mistaken for the socket
// that was checked.
template <typename Visit>
bool find_connection(Visit visit) {
  DIR* directory = ::opendir("/proc/self/fd");
  if (directory == nullptr) return false;
  const std::unique_ptr<DIR, int (*)(DIR*)> closer(directory, ::closedir);
  while (const dirent* entry = ::readdir(directory)) {
    char* end = nullptr;
    const long number = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || number == ::dirfd(directory)) continue;
    const int fd = ::fcntl(static_cast<int>(number), F_DUPFD_CLOEXEC, 3);
    if (fd < 0) continue;
    sockaddr_in local{};
    sockaddr_in peer{};
    socklen_t local_length = sizeof local;
    socklen_t peer_length = sizeof peer;
    const bool found = ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_length) == 0 &&
                       local.sin_family == AF_INET &&
                       ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_length) == 0 &&
                       peer.sin_family == AF_INET && visit(fd, local, peer);
    ::close(fd);
    if (found) return true;
  }
  return false;
}

// Shuts down the server's socket of the connection that `req` came on, so
// the client sees the connection end without a reply. The connection is
// found by its addresses and ports, which identify it uniquely while its
// handler runs. False when it is not found.
bool drop_connection(const httplib::Request& req) {
  return find_connection([&req](int fd, const sockaddr_in& local, const sockaddr_in& peer) {
    return ntohs(local.sin_port) == req.local_port && ntohs(peer.sin_port) == req.remote_port &&
           address_text(local) == req.local_addr && address_text(peer) == req.remote_addr &&
           ::shutdown(fd, SHUT_RDWR) == 0;
  });
}

// Shuts down every connection accepted on 127.0.0.1:`port`: a worker
// blocked reading or writing one returns at once, whatever its client does.
// Called once the listener is closed, so no connection is added meanwhile.
void shut_down_connections(int port) {
  find_connection([port](int fd, const sockaddr_in& local, const sockaddr_in&) {
    if (ntohs(local.sin_port) == port && local.sin_addr.s_addr == htonl(INADDR_LOOPBACK)) {
      ::shutdown(fd, SHUT_RDWR);
    }
    return false;
  });
}

void send_json(httplib::Response& res, int status, const std::string& body) {
  res.status = status;
  res.set_content(body, kJson);
}

void send_reply(httplib::Response& res, const Reply& reply) {
  send_json(res, reply.status, body_text(reply.body));
}

// The error code of an error reply, or nothing.
std::string error_code(const Reply& reply) {
  const auto error = reply.body.find("error");
  if (error == reply.body.end() || error->second.type() != json_spirit::obj_type)
    return std::string();
  const auto code = error->second.get_obj().find("code");
  return code != error->second.get_obj().end() && code->second.type() == json_spirit::str_type
             ? code->second.get_str()
             : std::string();
}

mArray faults_json(const FaultInjector& faults) {
  mArray list;
  for (const FaultRule& rule : faults.rules()) list.push_back(fault_rule_to_json(rule));
  return list;
}

// Answers with `reply`, then ends the connection, so that whatever the client
// sends after it (the rest of a refused body) is never read as a request.
// httplib ends a connection whose reply's content provider fails, which
// this one does once it has written the whole body.
void answer_and_close(httplib::Response& res, const Reply& reply) {
  const std::string body = body_text(reply.body);
  res.status = reply.status;
  res.set_header("Connection", "close");
  res.set_content_provider(body.size(), kJson,
                           [body](std::size_t, std::size_t, httplib::DataSink& sink) {
                             sink.write(body.data(), body.size());
                             return false;
                           });
}

// A handler of a request and its body.
using BodyHandler =
    std::function<void(const httplib::Request&, httplib::Response&, const std::string& body)>;

// A route that reads the request body itself, at most kMaxBodyBytes of it
// however it is sent (httplib bounds only a Content-Length), and gives it to
// `handler`; it answers a body that is too large, multipart or unreadable
// itself and ends the connection.
httplib::Server::HandlerWithContentReader with_body(BodyHandler handler) {
  return [handler](const httplib::Request& req, httplib::Response& res,
                   const httplib::ContentReader& read) {
    if (req.is_multipart_form_data()) {
      return answer_and_close(
          res, error_reply(415, "UnsupportedMediaType", "a multipart body is not accepted"));
    }
    std::string body;
    bool too_large = false;
    const bool complete = read([&body, &too_large](const char* data, std::size_t length) {
      too_large = length > kMaxBodyBytes - body.size();
      if (!too_large) body.append(data, length);
      return !too_large;
    });
    // httplib sets 413 itself for a Content-Length over the bound.
    if (too_large || res.status == 413) {
      return answer_and_close(
          res, error_reply(413, "PayloadTooLarge", "the request body is larger than 1 MiB"));
    }
    if (!complete) {
      return answer_and_close(res,
                              error_reply(400, "BadRequest", "the request body could not be read"));
    }
    handler(req, res, body);
  };
}

}  // namespace

// httplib's server with a way to close its listening socket at any time,
// even before listening has begun (its own stop() does nothing then).
class SimServer::Listener : public httplib::Server {
 public:
  // httplib listens with a backlog of 5: a burst of connections beyond that
  // has its handshakes dropped and retried a second later. Listening again
  // on the bound socket sets the system's largest backlog instead.
  void widen_backlog() {
    const socket_t socket = svr_sock_;
    if (socket != INVALID_SOCKET) ::listen(socket, SOMAXCONN);
  }

  void close_listener() {
    const socket_t socket = svr_sock_.exchange(INVALID_SOCKET);
    if (socket != INVALID_SOCKET) {
      ::shutdown(socket, SHUT_RDWR);
      ::close(socket);
    }
  }
};

SimServer::SimServer(ClusterState& state, FaultInjector& faults, bool verbose, Pause pause,
                     const ConnectionLimits& limits)
    : state_(state),
      faults_(faults),
      verbose_(verbose),
      pause_(std::move(pause)),
      listener_(new Listener) {
  if (!pause_) pause_ = [this](std::chrono::milliseconds delay) { wait(delay); };
  // SO_REUSEADDR only: httplib's default adds SO_REUSEPORT, which would let
  // a second simulator share the port instead of failing to bind it.
  listener_->set_socket_options([](socket_t socket) {
    const int yes = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  const std::size_t max_workers = std::max<std::size_t>(1, limits.max_workers);
  listener_->new_task_queue = [this, max_workers] {
    return new GrowingTaskQueue(max_workers, [this] { shut_down_connections(port_); });
  };
  listener_->set_read_timeout(limits.read_timeout);
  listener_->set_keep_alive_timeout(limits.idle_timeout.count());
  listener_->set_payload_max_length(kMaxBodyBytes);
  register_routes();
}

SimServer::~SimServer() { stop(); }

int SimServer::bind(int port) {
  const int bound = port == 0 ? listener_->bind_to_any_port("127.0.0.1")
                              : (listener_->bind_to_port("127.0.0.1", port) ? port : -1);
  if (bound > 0) {
    listener_->widen_backlog();
    port_ = bound;
  }
  return bound;
}

bool SimServer::run() {
  {
    std::lock_guard<std::mutex> lock(stop_mutex_);
    if (stopping_) return true;
  }
  return listener_->listen_after_bind();
}

void SimServer::stop() {
  {
    std::lock_guard<std::mutex> lock(stop_mutex_);
    stopping_ = true;
  }
  stop_signal_.notify_all();
  listener_->close_listener();
}

void SimServer::wait(std::chrono::milliseconds delay) {
  std::unique_lock<std::mutex> lock(stop_mutex_);
  stop_signal_.wait_for(lock, delay, [this] { return stopping_; });
}

void SimServer::register_routes() {
  const auto rest = [this](const httplib::Request& req, httplib::Response& res) {
    handle_rest(req, res);
  };
  const auto rest_with_body = with_body([this](const httplib::Request& req, httplib::Response& res,
                                               const std::string&) { handle_rest(req, res); });
  listener_->Get("/rest", rest);
  listener_->Put("/rest", rest_with_body);
  listener_->Post("/rest", rest_with_body);
  listener_->Get("/state",
                 [this](const httplib::Request&, httplib::Response& res) { handle_state(res); });
  listener_->Post("/control",
                  with_body([this](const httplib::Request&, httplib::Response& res,
                                   const std::string& body) { handle_control(body, res); }));
  // httplib reads the body of a request that no route above takes into
  // memory with no bound but Content-Length: these routes take every such
  // body, within the bound, and answer 404.
  const auto nowhere = with_body([](const httplib::Request&, httplib::Response& res,
                                    const std::string&) { res.status = 404; });
  listener_->Post(".*", nowhere);
  listener_->Put(".*", nowhere);
  listener_->Patch(".*", nowhere);
  listener_->Delete(".*", nowhere);
  // PRI is the one method with a body that no route can take.
  listener_->set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
    if (req.method != "PRI") return httplib::Server::HandlerResponse::Unhandled;
    answer_and_close(res, error_reply(405, "MethodNotAllowed", "the method PRI is not served"));
    return httplib::Server::HandlerResponse::Handled;
  });

  // Errors that httplib produces itself (an unknown endpoint, a request that
  // does not parse) get a JSON body as well.
  const httplib::Server::HandlerWithResponse on_error = [](const httplib::Request&,
                                                           httplib::Response& res) {
    if (!res.body.empty() || res.has_header("Content-Type")) {
      return httplib::Server::HandlerResponse::Unhandled;
    }
    const Reply reply = res.status == 404
                            ? error_reply(404, "NotFound", "no such endpoint")
                            : error_reply(res.status, "HttpError",
                                          "the HTTP request was refused (POST and PUT need a "
                                          "Content-Length header, 0 for no body)");
    send_reply(res, reply);
    return httplib::Server::HandlerResponse::Handled;
  };
  listener_->set_error_handler(on_error);
}

// One /rest request on its way through the front, with its log entry. The
// entry is recorded (and the verbose line printed) once on every way out:
// before a reply leaves (the handler returns before httplib writes it) and
// before a connection is dropped, so that a client that has seen the outcome
// always finds the entry in /state.
class SimServer::Exchange {
 public:
  Exchange(SimServer& server, const httplib::Request& req, httplib::Response& res)
      : server_(server), req_(req), res_(res) {
    entry.method = req.method;
  }
  ~Exchange() { record(); }
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;

  void answer(const Reply& reply) { send(reply.status, error_code(reply), body_text(reply.body)); }

  void send(int status, const std::string& error, const std::string& body) {
    entry.status = status;
    entry.error = error;
    send_json(res_, status, body);
  }

  // Announces the length of `body`, sends half of it, then ends the
  // connection.
  void send_truncated(const std::string& body) {
    entry.status = 200;
    res_.status = 200;
    const std::string half = body.substr(0, body.size() / 2);
    res_.set_content_provider(body.size(), kJson, [half](size_t, size_t, httplib::DataSink& sink) {
      sink.write(half.data(), half.size());
      return false;
    });
  }

  // Ends the connection without a reply. Should the connection not be found,
  // the client gets 500 DropFailed instead of a reply it could mistake.
  void drop() {
    entry.status = 0;
    record();
    if (!drop_connection(req_)) {
      std::fprintf(stderr, "tarnel-sim: could not find the connection to drop\n");
      send_reply(res_, error_reply(500, "DropFailed", "the connection could not be dropped"));
    }
  }

  LogEntry entry;

 private:
  void record() {
    if (recorded_) return;
    recorded_ = true;
    if (server_.verbose_) {
      const std::string status = entry.status == 0 ? "no reply" : std::to_string(entry.status);
      std::fprintf(stderr, "tarnel-sim: %s %s -> %s%s%s: %s\n", entry.method.c_str(),
                   entry.request.empty() ? "-" : entry.request.c_str(), status.c_str(),
                   entry.fault.empty() ? "" : " fault ", entry.fault.c_str(), entry.text.c_str());
    }
    server_.state_.record(std::move(entry));
  }

  SimServer& server_;
  const httplib::Request& req_;
  httplib::Response& res_;
  bool recorded_ = false;
};

void SimServer::handle_rest(const httplib::Request& req, httplib::Response& res) {
  Exchange exchange(*this, req, res);
  const std::size_t question = req.target.find('?');
  const std::string_view query = question == std::string::npos
                                     ? std::string_view()
                                     : std::string_view(req.target).substr(question + 1);
  std::string decoded;
  if (query.substr(0, kRequestPrefix.size()) != kRequestPrefix ||
      !percent_decode(query.substr(kRequestPrefix.size()), decoded)) {
    return exchange.answer(
        error_reply(400, "BadRequest", "the query must be request=<percent-encoded request text>"));
  }
  const std::string text = std::string(kRequestPrefix) + decoded;
  const ParseResult parsed = parse_request_text(text);
  exchange.entry.text = to_valid_utf8(redact_passwords(text, parsed));
  if (!parsed.ok) {
    return exchange.answer(error_reply(
        400, "MalformedRequest",
        "at offset " + std::to_string(parsed.error.offset) + ": " + parsed.error.message));
  }
  Reply failure;
  const std::optional<RequestType> type = classify(parsed.value, failure);
  if (!type) return exchange.answer(failure);
  exchange.entry.request = request_name(*type);

  const std::optional<FaultRule> fault = faults_.take(*type);
  if (fault) {
    exchange.entry.fault = fault_name(fault->kind);
    if (apply_fault_before(*fault, *type, parsed.value, exchange)) return;
  }
  const Reply reply = state_.execute(*type, parsed.value);
  if (fault && fault->kind == FaultKind::CommitDrop) {
    exchange.entry.error = error_code(reply);
    return exchange.drop();
  }
  exchange.answer(reply);
}

bool SimServer::apply_fault_before(const FaultRule& fault, RequestType type,
                                   const RequestValue& request, Exchange& exchange) {
  switch (fault.kind) {
    case FaultKind::Delay:
      pause_(fault.delay);
      return false;
    case FaultKind::CommitDrop:
      return false;
    case FaultKind::Drop:
      exchange.drop();
      return true;
    case FaultKind::Status:
      exchange.send(fault.status, "InjectedFault", injected_body(fault, type, request));
      return true;
    case FaultKind::ExpireSession:
      state_.expire_session(request);
      exchange.send(401, "SessionExpired", injected_body(fault, type, request));
      return true;
    case FaultKind::Malformed:
    case FaultKind::WrongTypes:
      exchange.send(200, std::string(), injected_body(fault, type, request));
      return true;
    case FaultKind::Truncated:
      exchange.send_truncated(injected_body(fault, type, request));
      return true;
  }
  return false;
}

void SimServer::handle_state(httplib::Response& res) {
  mObject state = state_.snapshot();
  state["faults"] = faults_json(faults_);
  send_json(res, 200, body_text(state));
}

void SimServer::handle_control(const std::string& body, httplib::Response& res) {
  const auto bad = [&res](const std::string& message) {
    send_reply(res, error_reply(400, "BadControl", message));
  };
  mObject command;
  if (!RkJson::Unserialize(body, command)) return bad("the body must be a JSON object");
  const auto action = command.find("action");
  if (action == command.end() || action->second.type() != json_spirit::str_type) {
    return bad("the body needs \"action\": fault, clear-faults, expire-sessions or reset");
  }
  const std::string name = action->second.get_str();
  command.erase(action);
  if (name == "fault") {
    std::string error;
    std::optional<FaultRule> rule = fault_rule_from_json(command, error);
    if (!rule) return bad(error);
    faults_.add(std::move(*rule));
  } else if (!command.empty()) {
    return bad("the action " + name + " takes no other member");
  } else if (name == "clear-faults") {
    faults_.clear();
  } else if (name == "expire-sessions") {
    state_.expire_all_sessions();
  } else if (name == "reset") {
    if (!state_.reset()) {
      return send_reply(res,
                        error_reply(500, "StateNotSaved", "the state file could not be written"));
    }
    faults_.clear();
  } else {
    return bad("unknown action \"" + name + "\"");
  }
  mObject reply;
  reply["ok"] = true;
  reply["faults"] = faults_json(faults_);
  send_json(res, 200, body_text(reply));
}

}  // namespace tarnel_sim
