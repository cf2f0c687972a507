// A small host program on libtarnel: reads the cluster's capacity, then
// creates a virtual disk and exports it to this host, with the node's own
// credentials from the key store.
//
//   tarnel_example DISK
//
// Exit status 0 when every step succeeded, 1 otherwise (the diagnostic log
// RKTarnel.log tells why).
#include <iostream>
#include <stdexcept>
#include <string>
#include <utility>

#include "rkmx_utils.h"
#include "tarnel_admin.h"
#include "tarnel_vdisk.h"

namespace {

int run(const std::string& disk) {
  // Node credentials: user "TarnelAdmin", the stored password decrypted with
  // the node's serial number, and the cluster name from the key store.
  tarnel_admin admin;

  // Log in (up to five attempts) and ask for the total capacity.
  std::string session_id;
  if (admin.get_tarnel_session(session_id) != 0) {
    std::cerr << "login failed\n";
    return 1;
  }
  tarnel_vdisk probe(session_id, disk, rkmx_utils::get_hostname());
  const std::pair<double, std::string> total = probe.get_cluster_space();
  std::cout << "capacity: " << total.first << ' ' << total.second << '\n';

  // Each command logs in again and retries the operation up to five times.
  if (admin.create_vdisk(disk) != 0) {
    std::cerr << "create failed\n";
    return 1;
  }
  std::cout << "created " << disk << '\n';
  if (admin.export_vdisk(disk) != 0) {
    std::cerr << "export failed\n";
    return 1;
  }
  std::cout << "exported " << disk << " to " << rkmx_utils::get_hostname() << '\n';
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: tarnel_example DISK\n";
    return 2;
  }
  try {
    return run(argv[1]);
  } catch (const std::runtime_error& e) {
    // A reply member of the wrong JSON type ("value type is ... not ...").
    std::cerr << "malformed reply: " << e.what() << '\n';
    return 1;
  }
}
