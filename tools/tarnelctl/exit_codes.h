// Exit codes of tarnelctl. A cluster command's code follows the reason its
// call ended with (tarnel_call.h), under either retry policy:
//
//   0    done                      ok
//   1    failed                    cluster_error (the retries ran out), bad_reply,
//                                  not_confirmed, helper_failed; output that cannot be written
//   2    usage                     a wrong command line, a missing --user password
//   3    not configured            not_ready, or tarnelctl's own configuration check
//   4    login refused             login_refused
//   5    unreachable or timed out  unreachable, timed_out (--timeout included)
//   6    refused by the cluster    refused (e.g. 404, 409), session_refused
//   7    may exist                 may_exist: a create's reply was lost, then 409
//   130  interrupted               cancelled by SIGINT (Ctrl-C); 143 by SIGTERM (128 + signal)
#pragma once

#include "tarnel_call.h"

namespace tarnelctl {

enum ExitCode : int {
  kExitDone = 0,
  kExitFailed = 1,
  kExitUsage = 2,
  kExitNotConfigured = 3,
  kExitLoginRefused = 4,
  kExitUnreachable = 5,
  kExitRefused = 6,
  kExitMayExist = 7,
  kExitSignalBase = 128,  // + the signal's number after a cancelled call
};

// The exit code of a call that ended with `reason`; `signal_number` is the
// signal that cancelled it (0: none known, taken as SIGINT).
int exit_code_for(tarnel_reason reason, int signal_number);

}  // namespace tarnelctl
