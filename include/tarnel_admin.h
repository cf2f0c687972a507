// The class the node's management software uses to administer the cluster.
//
// Construction gathers the credentials (the node's own, or the caller's),
// the cluster name and the host name; a facade that could not gather them is
// not ready and refuses disk commands. Logins and disk operations are retried
// up to five times with pauses of 5, 10, 15, 20 and 25 seconds, so a command
// may block for minutes. A facade is used by one thread at a time.
#pragma once

#include <string>
#include <vector>

#include "tarnel_debug.h"
#include "tarnel_export.h"

// One local data drive as the host's drive helper reports it.
struct TARNEL_API _tarnel_data_drive {
  std::string spid;  // the drive's identifier
  std::string slot;  // its slot
  int healthy = 0;   // health value
  std::string blk;   // block device path, "/dev/..."
  std::string mnt;   // mount point
};

class TARNEL_API tarnel_admin {
 public:
  // Node credentials: user "TarnelAdmin" and the stored cluster password.
  tarnel_admin();
  // Caller's credentials.
  tarnel_admin(std::string user_name, std::string password);
  ~tarnel_admin();

  // Logs in (up to five attempts). 0 with a non-empty identifier, or -1 with
  // an empty one.
  int get_tarnel_session(std::string& session_id);
  // 0 on success; -1 when not ready or without a session; otherwise the
  // status of the fifth failed attempt.
  int create_vdisk(std::string name);
  int export_vdisk(std::string name);
  // Runs the drive helper and appends one record per drive line. 0 on
  // success; -1 on a malformed line (drives then holds what it held before
  // the call). Throws RkException when the helper fails.
  int enumerate_data_drives(std::vector<_tarnel_data_drive>& drives);

 private:
  tarnel_debug debug;
  bool ready;
  std::string user_name;
  std::string password;
  std::string cluster_name;
  std::string host_name;
  std::string vdisk_name;
};
