// The simulated cluster: users, sessions, capacity, virtual disks, mounts and
// the log of requests received.
//
// execute() carries out one classified request and returns its reply:
//
//   Login              params userName, password, cluster. The cluster must be
//                      the configured one and the user's password must match.
//                      -> {"result":{"sessionId":"<32 hex digits>"}}
//   ClusterInformation -> {"result":{"capacity":{"total":{"units":U,"value":V},
//                                                "allocated":{"units":U,"value":A}}}}
//                      A is the sum of the disks' sizes in the total's unit.
//   AddVirtualDisk     params name, protectionPolicy, erasureConfig,
//                      backupType, size {unit, value}, diskType, scsi3pr.
//                      -> {"result":[{"name":N,"status":"ok"}]}
//   Mount              params virtualDisk, targets (a list).
//                      -> {"result":[{"status":"ok","target":T}, ...]} one
//                      record per target, in the order given.
//
// Every request but Login needs a top-level "sessionId" (quoted or bare)
// naming a session that has not expired; sessions last `session_ttl` from
// their login. Failures are error replies (protocol.h):
//
//   400 MissingParameter, InvalidParameter
//   401 UnknownCluster, AuthenticationFailed (Login); InvalidSession,
//       SessionExpired (the other requests)
//   404 UnknownVirtualDisk (Mount)
//   409 DuplicateVirtualDisk (AddVirtualDisk: the name exists)
//   507 InsufficientCapacity (AddVirtualDisk with strict_capacity: the size
//       exceeds what the disks leave of the total)
//   500 StateNotSaved (the state file could not be written; nothing changed)
//
// Provisioning is thin by default: every size is accepted, however much is
// allocated. Sizes are converted with binary factors (sim_config.h).
//
// With a state file, disks and mounts are loaded from it at construction and
// written to it (tarnel_host::atomic_replace: temporary file, fsync, rename)
// before each change takes effect. Sessions and the request log live in memory only.
//
// The request log keeps the latest kLogCapacity entries; callers record
// texts already redacted. Every member function is thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "json_spirit/json_spirit_value.h"
#include "protocol.h"
#include "request_parser.h"
#include "sim_config.h"

namespace tarnel_sim {

using Clock = std::function<std::chrono::steady_clock::time_point()>;

struct StateOptions {
  std::chrono::seconds session_ttl{3600};
  bool strict_capacity = false;
  std::string state_file;  // empty: disks and mounts live in memory only
};

// One request as the log keeps it.
struct LogEntry {
  std::string method;   // "GET", "PUT" or "POST"
  std::string request;  // the request type's name; empty when not recognised
  std::string text;     // the request text after decoding, passwords redacted
  int status = 0;       // the HTTP status sent; 0 when no reply was sent
  std::string fault;    // the fault injected, if any (fault_injector.h names)
  std::string error;    // the error code of an error reply, if any
};

class ClusterState {
 public:
  static constexpr std::size_t kLogCapacity = 10000;

  // Loads the state file when one is named and exists. Throws
  // std::runtime_error when it exists but is not a regular file (a FIFO is
  // refused at once, never waited on), cannot be read or parsed, and
  // std::invalid_argument when the total's unit is unknown (bytes_per_unit).
  ClusterState(
      SimConfig config, StateOptions options,
      Clock clock = [] { return std::chrono::steady_clock::now(); });

  Reply execute(RequestType type, const RequestValue& request);

  // Ends the session that `request` names in its "sessionId", if any, as if
  // it had expired.
  void expire_session(const RequestValue& request);
  // Ends every session.
  void expire_all_sessions();
  // Forgets disks, mounts, sessions and the request log (the state file is
  // rewritten empty). Returns false when the state file could not be written;
  // the state is then unchanged.
  bool reset();

  void record(LogEntry entry);

  // {"cluster", "capacity":{"total","allocated"}, "strictCapacity",
  //  "disks":[{"name","size":{"unit","value"},"protectionPolicy",
  //            "erasureConfig","backupType","diskType","scsi3pr"}],
  //  "mounts":[{"virtualDisk","target"}], "sessions": <active count>,
  //  "requests":[{"seq","method","request","text","status","fault","error"}],
  //  "requestsDropped": <entries dropped from the log's front>}
  // Users and passwords are never part of it.
  json_spirit::mObject snapshot() const;

 private:
  struct Disk {
    std::string name;
    std::string size_unit;
    double size_value = 0;
    std::string protection_policy;
    std::string erasure_config;
    std::string backup_type;
    std::string disk_type;
    bool scsi3pr = false;
  };
  struct Mount {
    std::string disk;
    std::string target;
  };
  struct Session {
    std::string user;
    std::chrono::steady_clock::time_point expires;
  };

  Reply login(const RequestValue& request);
  Reply cluster_information() const;
  Reply add_virtual_disk(const RequestValue& request);
  Reply mount(const RequestValue& request);
  // The disk that AddVirtualDisk's `params` describe; the error reply when
  // they are incomplete or invalid.
  static std::optional<Reply> read_disk(const RequestValue& params, Disk& disk);
  static std::optional<Reply> read_disk_size(const RequestValue& params, Disk& disk);
  // The error reply when `disk` cannot be added: the name exists, or (strict
  // capacity) the size exceeds what is left.
  std::optional<Reply> refuse_disk(const Disk& disk) const;
  // Checks the request's session; fills `failure` and returns false when it
  // is missing, unknown or expired (an expired one is removed).
  bool check_session(const RequestValue& request, Reply& failure);
  double allocated_bytes(const std::vector<Disk>& disks) const;
  // Writes `disks` and `mounts` to the state file, if any.
  bool persist(const std::vector<Disk>& disks, const std::vector<Mount>& mounts) const;
  // "disks" and "mounts" of `into`, as the state file and the snapshot hold
  // them.
  static void put_disks_and_mounts(const std::vector<Disk>& disks, const std::vector<Mount>& mounts,
                                   json_spirit::mObject& into);
  void load_state_file();
  // A disk of the state file (`where` names it in an error). Throws
  // std::runtime_error.
  static Disk read_stored_disk(const json_spirit::mValue& entry, const std::string& where);

  const SimConfig config_;
  const StateOptions options_;
  const Clock clock_;

  mutable std::mutex mutex_;
  std::map<std::string, Session> sessions_;
  std::vector<Disk> disks_;
  std::vector<Mount> mounts_;
  std::deque<json_spirit::mObject> log_;  // oldest first
  std::size_t log_dropped_ = 0;
  std::size_t next_seq_ = 1;
};

}  // namespace tarnel_sim
