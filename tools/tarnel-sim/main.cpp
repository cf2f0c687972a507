// tarnel-sim: a cluster simulator serving the REST endpoint on 127.0.0.1.
//
// Prints "listening on 127.0.0.1:<port>" as its first line on stdout once it
// accepts connections, and serves until SIGTERM or SIGINT. Exit status: 0
// after a stop by signal, 1 when it cannot start or serve, 2 for a usage
// error.
#include <pthread.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cluster_state.h"
#include "fault_injector.h"
#include "sim_config.h"
#include "sim_server.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char* const kFooter = R"(
Once it accepts connections it prints "listening on 127.0.0.1:<port>" as the
first line on stdout (the port bound, also for --port 0).

The configuration file (JSON) names the cluster, its total capacity and its
users; passwords are read only from it:
  {"cluster": "demo-cluster",
   "capacity": {"units": "TB", "value": 12.5},
   "users": {"tarnel": "secret"}}

Endpoints (127.0.0.1 only):
  GET|PUT|POST /rest?request=<percent-encoded request text>
      Login, ClusterInformation, AddVirtualDisk, Mount
  GET  /state     disks, mounts, capacity, fault rules and the request log
                  (passwords redacted) as JSON
  POST /control   JSON: {"action":"fault", ...rule...} | {"action":"clear-faults"}
                  | {"action":"expire-sessions"} | {"action":"reset"}

Faults (--fault REQUEST:FAULT[,times=N][,skip=N]; REQUEST is Login,
ClusterInformation, AddVirtualDisk, Mount or *):
  status[=CODE]   reply with HTTP status CODE (400..599, default 500)
  malformed       reply 200 with a body that is not JSON
  truncated       announce a reply's length, send half, close
  wrong-types     reply 200 with members of the wrong JSON types
  drop            close the connection without a reply
  delay=MS        hold the reply back MS milliseconds, then serve as usual
  expire-session  end the request's session; reply 401 SessionExpired
  commit-drop     carry the request out, then close without the reply
  A rule lets `skip` matching requests pass, then applies to the next `times`
  (every one when not given). Example: --fault AddVirtualDisk:status=503,times=4

The exit status tells how it ended: see EXIT STATUS in tarnel-sim(1).)";

// What the command line sets.
struct Options {
  std::string config_path;
  int port = 8080;
  std::string state_file;
  long ttl_seconds = 3600;
  bool strict_capacity = false;
  bool verbose = false;
  std::vector<std::string> fault_flags;
  tarnel_sim::ConnectionLimits limits;
  long read_timeout = limits.read_timeout.count();
  long idle_timeout = limits.idle_timeout.count();
};

// SIGTERM and SIGINT are taken by one thread with sigwait, from start to
// end, so a stop request is never lost; every other thread (httplib's
// workers included) inherits the blocked mask. A dropped connection makes
// the server's own write fail, which must not raise SIGPIPE. Returns the
// stop signals.
sigset_t block_stop_signals() {
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return stop_signals;
}

void add_options(CLI::App& app, Options& options) {
  app.add_option("--config", options.config_path, "cluster name, capacity and users (JSON file)")
      ->required()
      ->type_name("FILE");
  app.add_option("--port", options.port, "TCP port on 127.0.0.1; 0 picks a free one")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  app.add_option("--state-file", options.state_file,
                 "keep disks and mounts in FILE across restarts")
      ->type_name("FILE");
  app.add_option("--session-ttl", options.ttl_seconds,
                 "lifetime of a session from its login, in seconds")
      ->check(CLI::Range(1L, 366L * 24 * 3600))
      ->capture_default_str();
  app.add_flag("--strict-capacity", options.strict_capacity,
               "refuse a disk larger than the capacity left (default: thin provisioning)");
  app.add_option("--fault", options.fault_flags,
                 "inject a fault (repeatable): REQUEST:FAULT[,times=N][,skip=N]")
      ->type_name("RULE");
  app.add_option("--max-workers", options.limits.max_workers,
                 "connections served at once, a thread each; more wait their turn")
      ->check(CLI::Range(std::size_t{1}, std::size_t{65536}))
      ->capture_default_str();
  app.add_option("--read-timeout", options.read_timeout,
                 "seconds a read of a request may wait for its next bytes")
      ->check(CLI::Range(1L, 3600L))
      ->capture_default_str();
  app.add_option("--idle-timeout", options.idle_timeout,
                 "seconds a keep-alive connection may stay idle between requests")
      ->check(CLI::Range(1L, 3600L))
      ->capture_default_str();
  app.add_flag("-v,--verbose", options.verbose,
               "print one line per request to stderr (passwords redacted)");
  app.footer(kFooter);
}

// Adds the --fault rules; false, with the message printed, at one that does
// not parse.
bool add_faults(const std::vector<std::string>& flags, tarnel_sim::FaultInjector& faults) {
  for (const std::string& flag : flags) {
    std::string error;
    std::optional<tarnel_sim::FaultRule> rule = tarnel_sim::parse_fault_rule(flag, error);
    if (!rule) {
      std::fprintf(stderr, "tarnel-sim: --fault: %s\n", error.c_str());
      return false;
    }
    faults.add(std::move(*rule));
  }
  return true;
}

// The cluster of the configuration file, with the state file's disks and
// mounts; null, with the message printed, when either cannot be used.
std::unique_ptr<tarnel_sim::ClusterState> load_cluster(const Options& options) {
  try {
    tarnel_sim::SimConfig config = tarnel_sim::load_config(options.config_path);
    std::fprintf(stderr, "tarnel-sim: cluster \"%s\", %g %s, %zu user(s), %s provisioning\n",
                 config.cluster.c_str(), config.total.value, config.total.units.c_str(),
                 config.users.size(), options.strict_capacity ? "strict" : "thin");
    tarnel_sim::StateOptions state;
    state.session_ttl = std::chrono::seconds(options.ttl_seconds);
    state.strict_capacity = options.strict_capacity;
    state.state_file = options.state_file;
    return std::make_unique<tarnel_sim::ClusterState>(std::move(config), std::move(state));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tarnel-sim: %s\n", error.what());
    return nullptr;
  }
}

// Listens on `port` and serves until a stop signal or a failure; the exit
// status.
int serve(tarnel_sim::SimServer& server, int port, const sigset_t& stop_signals) {
  const int bound = server.bind(port);
  if (bound < 0) {
    std::fprintf(stderr, "tarnel-sim: cannot listen on 127.0.0.1:%d\n", port);
    return kExitFailed;
  }
  std::printf("listening on 127.0.0.1:%d\n", bound);
  std::fflush(stdout);

  std::atomic<bool> signalled{false};
  std::thread waiter([&] {
    int number = 0;
    sigwait(&stop_signals, &number);
    signalled = true;
    server.stop();
  });
  const bool served = server.run();
  if (!signalled) pthread_kill(waiter.native_handle(), SIGTERM);  // wakes the waiter
  waiter.join();
  if (!served) {
    std::fprintf(stderr, "tarnel-sim: serving failed\n");
    return kExitFailed;
  }
  std::fprintf(stderr, "tarnel-sim: stopped\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const sigset_t stop_signals = block_stop_signals();
  CLI::App app{
      "Cluster simulator: serves the cluster REST endpoint on 127.0.0.1 with state and fault "
      "injection.",
      "tarnel-sim"};
  app.set_version_flag("--version", std::string("tarnel-sim ") + TARNEL_SIM_VERSION);
  Options options;
  add_options(app, options);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : kExitUsage;
  }

  tarnel_sim::FaultInjector faults;
  if (!add_faults(options.fault_flags, faults)) return kExitUsage;
  const std::unique_ptr<tarnel_sim::ClusterState> state = load_cluster(options);
  if (!state) return kExitFailed;
  options.limits.read_timeout = std::chrono::seconds(options.read_timeout);
  options.limits.idle_timeout = std::chrono::seconds(options.idle_timeout);
  tarnel_sim::SimServer server(*state, faults, options.verbose, tarnel_sim::Pause(),
                               options.limits);
  return serve(server, options.port, stop_signals);
}
