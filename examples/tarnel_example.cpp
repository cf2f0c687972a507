// A small host program on libtarnel: reads the cluster's capacity, then
// creates a virtual disk and exports it to this host, with the node's own
// credentials from the key store. Each step is a steered call
// (tarnel_call.h): it retries only what a retry can mend, never throws, and
// its outcome tells how it ended.
//
//   tarnel_example DISK
//
// Prints how each step ended, e.g. "create: refused (1 attempt, HTTP 409
// DuplicateVirtualDisk)", and after a step that succeeded its result
// ("created vd1"). Exit status 0 when every step succeeded, 1 otherwise (the
// diagnostic log RKTarnel.log tells more).
#include <iostream>
#include <string>
#include <utility>

#include "rkmx_utils.h"
#include "tarnel_admin.h"
#include "tarnel_call.h"
#include "tarnel_vdisk.h"

namespace {

// Prints how a step ended; true when it succeeded.
bool report(const std::string& step, const tarnel_outcome& outcome) {
  std::cout << step << ": " << tarnel_reason_word(outcome.reason) << " (" << outcome.attempts
            << (outcome.attempts == 1 ? " attempt" : " attempts") << ", HTTP "
            << outcome.http_status;
  if (!outcome.cluster_error.empty()) std::cout << ' ' << outcome.cluster_error;
  std::cout << ")\n";
  return outcome.ok();
}

int run(const std::string& disk) {
  // Node credentials: user "TarnelAdmin", the stored password decrypted with
  // the node's serial number, and the cluster name from the key store.
  tarnel_admin admin;
  tarnel_call_options options;
  options.policy = tarnel_retry_policy::responsive;  // up to five attempts
  tarnel_outcome outcome;

  // Log in and ask a disk handle made from that session for the capacity.
  std::string session_id;
  admin.get_tarnel_session(session_id, options, outcome);
  if (!report("login", outcome)) return 1;
  tarnel_vdisk probe(session_id, disk, rkmx_utils::get_hostname());
  const std::pair<double, std::string> total = probe.get_cluster_space(options, outcome);
  if (!report("capacity query", outcome)) return 1;
  std::cout << "capacity: " << total.first << ' ' << total.second << '\n';

  // Each command logs in again, then makes its attempts.
  admin.create_vdisk(disk, options, outcome);
  if (!report("create", outcome)) return 1;
  std::cout << "created " << disk << '\n';
  admin.export_vdisk(disk, options, outcome);
  if (!report("export", outcome)) return 1;
  std::cout << "exported " << disk << " to " << rkmx_utils::get_hostname() << '\n';
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: tarnel_example DISK\n";
    return 2;
  }
  return run(argv[1]);
}
