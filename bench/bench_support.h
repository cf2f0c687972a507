// What the benchmark programs share: a temporary node (key store and log
// directory in a directory of their own, set through the environment before
// any log facade exists), tarnel-sim as a child process on a free loopback
// port, and the cluster's :8080 routed to a loopback port.
//
// Every helper throws std::runtime_error when it cannot do its job: a
// benchmark that cannot set itself up must not print a figure. The
// simulator and the temporary directory go when the program ends, however it
// ends (the guardian of tests/support/test_guard.h).
#pragma once

#include <memory>
#include <string>

#include "child_process.h"
#include "scratch.h"

namespace bench {

// Scratch directories and files (tests/support/scratch.h).
using test_support::TempDir;
using test_support::write_file;

// Points the host services at `dir`: TARNEL_KEYSTORE (an empty key store
// unless one exists), TARNEL_LOG_DIR (<dir>/log) and TARNEL_DEBUG_LEVEL.
// Clears TARNEL_CONNECT_TO and TARNEL_LOG_STDERR. Call before the first log
// facade of the process is made.
void use_node_dir(const TempDir& dir, int debug_level);

// The local host's name, as the library puts it into every URL.
std::string host_name();

// Routes the library's fixed "<host name>:8080" to 127.0.0.1:`port`.
void route_cluster_to(int port);

// Stores the node's own credentials in the key store: cluster name, serial
// number and the cluster password encrypted with the serial.
void provision_node(const std::string& cluster, const std::string& serial,
                    const std::string& password);

// Waits until the key store has been left alone for more than 2 s, as a
// provisioned node's has: from then on readers reuse the text they read
// instead of reading the file again (platform/rkmx_utils.h).
void settle_keystore();

// tarnel-sim (path set by the build) as a child process with a configuration
// written into `dir`: the cluster `cluster` of 100 GB with the single user
// "TarnelAdmin" and `password`. Stopped (SIGTERM, then SIGKILL) and reaped
// when the object goes away; killed when the thread that made it ends.
class Simulator {
 public:
  Simulator(const TempDir& dir, const std::string& cluster, const std::string& password);
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  int port() const { return port_; }
  // The sequence number of the latest request the simulator logged (0 when
  // none): the difference of two readings is the number of requests.
  long last_request_seq() const;

 private:
  std::unique_ptr<test_support::Process> process_;
  int port_ = -1;
};

// Resident set size in KiB and the number of open descriptors of this
// process, from /proc.
long resident_kib();
int open_descriptors();

}  // namespace bench
