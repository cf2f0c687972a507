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

#include "tarnel_call.h"
#include "tarnel_debug.h"
#include "tarnel_export.h"

class tarnel_call_context;
class tarnel_session;

// One local data drive as the host's drive helper reports it, in a line
// "spid|device|mnt|slot|health|<unread>"; the other texts are fields as written.
struct TARNEL_API _tarnel_data_drive {
  std::string spid;
  std::string slot;
  int healthy = 0;  // the health field as atoi reads it (beyond int: saturated)
  std::string blk;  // "/dev/" + the helper's device field
  std::string mnt;
};

// The user name of the node's own credentials, "TarnelAdmin" (what the
// default constructor logs in as).
TARNEL_API const char* tarnel_node_user_name();

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

  // Steered calls (tarnel_call.h): the same operations under `options`,
  // with `outcome` filled on return. Same results; they never throw.
  // enumerate_data_drives runs the helper once (no retries) and reports a
  // failing helper as helper_failed instead of throwing. A facade that is
  // not ready gives not_ready with the setting missing now (the key store is
  // read again).
  int get_tarnel_session(std::string& session_id, const tarnel_call_options& options,
                         tarnel_outcome& outcome);
  int create_vdisk(std::string name, const tarnel_call_options& options, tarnel_outcome& outcome);
  int export_vdisk(std::string name, const tarnel_call_options& options, tarnel_outcome& outcome);
  int enumerate_data_drives(std::vector<_tarnel_data_drive>& drives,
                            const tarnel_call_options& options, tarnel_outcome& outcome);

 private:
  // The constructors' host queries: the host and cluster names and, for the
  // node's credentials, the stored password; sets `ready` and logs a failure.
  void gather(bool stored_password);
  // The operations of every call, designed or steered (tarnel_call_context.h).
  int not_ready(tarnel_call_context& call);
  int login_command(std::string& session_id, tarnel_call_context& call);
  int disk_command(bool create, std::string name, tarnel_call_context& call);
  int drives_command(std::vector<_tarnel_data_drive>& drives, tarnel_call_context& call);
  bool log_in(tarnel_session& session, std::string& session_id, tarnel_call_context& call);
  int acquire_session(std::string& session_id, tarnel_call_context& call);
  int run_disk_command(bool create, tarnel_call_context& call);
  int list_drives(std::vector<_tarnel_data_drive>& drives, tarnel_call_context& call);

  tarnel_debug debug;
  bool ready;
  std::string user_name;
  std::string password;
  std::string cluster_name;
  std::string host_name;
  std::string vdisk_name;
};
