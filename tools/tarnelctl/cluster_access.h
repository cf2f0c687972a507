// What every cluster command does before it calls the library: check the
// configuration (config_check.h), obtain the --user password (secret.h) and
// construct the facade with the node's own or the caller's credentials.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "call_steering.h"
#include "options.h"
#include "output.h"
#include "tarnel_admin.h"

namespace tarnelctl {

struct ClusterAccess {
  std::unique_ptr<tarnel_admin> admin;
  std::string user;     // the user name the facade logs in with
  std::string cluster;  // the cluster name from the key store
};

// Fills `access` and returns 0, or reports the problem through `out` and
// returns its exit code (2 for a missing --user password, 3 when not
// configured). A password file others may read draws a warning (not with
// -q).
int open_cluster_access(const Invocation& inv, const Output& out, ClusterAccess& access);

// A command logged in to the cluster: its access, the steering of this and
// its further calls (retries, --timeout, Ctrl-C), and the session.
struct LoggedIn {
  ClusterAccess access;
  std::unique_ptr<CallSteering> steering;
  std::string session_id;
  tarnel_outcome login;  // the login's outcome
};

// Opens the cluster access and logs in for `command` (`label` names it in
// attempt lines): 0 with `session` filled, or the problem reported through
// `out` and its exit code.
int log_in(const Invocation& inv, Output& out, Command command, const char* label,
           LoggedIn& session);

// The cluster's total capacity (value, units) through a disk handle made
// from `session_id` (the query names no disk: the handle gets a fixed
// placeholder name, and this host's name).
std::pair<double, std::string> cluster_capacity(const std::string& session_id,
                                                const tarnel_call_options& options,
                                                tarnel_outcome& outcome);

// The message tail that points a person at the diagnostic log.
std::string see_log();

}  // namespace tarnelctl
