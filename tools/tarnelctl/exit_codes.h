// Exit codes of tarnelctl.
#pragma once

namespace tarnelctl {

enum ExitCode : int {
  kExitDone = 0,           // the command did what it was asked
  kExitFailed = 1,         // the operation failed (cluster, helper, malformed reply)
  kExitUsage = 2,          // the command line was wrong, or a required input was missing
  kExitNotConfigured = 3,  // the node's configuration lacks what the command needs
};

}  // namespace tarnelctl
