// Host process runner.
#pragma once

#include <string>

#include "host_export.h"

class RkCancelToken;

// Results of RkProcess::system beside a command's own exit status.
enum RkProcessResult : int {
  RK_PROCESS_TIMED_OUT = -2,  // the time-out passed; the process group was stopped
  RK_PROCESS_CANCELLED = -3,  // the token was cancelled; the process group was killed
};

class RK_HOST_API RkProcess {
 public:
  // Runs `command` with /bin/sh -c and captures its standard output into
  // *output and its error output into *errorOutput; both strings are emptied
  // first, and a null pointer discards that stream. Blocks until the shell
  // has exited and both streams are closed, or the time-out has passed.
  //
  // - The shell is started with posix_spawn in a process group of its own,
  //   with standard input from /dev/null, an empty signal mask, and the
  //   default disposition for the signals a host commonly ignores (SIGPIPE,
  //   SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD, SIGALRM, SIGUSR1, SIGUSR2,
  //   SIGTSTP, SIGTTIN, SIGTTOU, SIGXFSZ). Every descriptor the runner makes
  //   is close-on-exec, so the command inherits only its three streams (and
  //   whatever the host itself left inheritable).
  // - Both streams are read concurrently (poll), so any amount on either
  //   never blocks the command.
  // - Each captured stream holds at most 16 MiB (a discarded stream is read
  //   and dropped without a limit). One byte more and the process group gets
  //   SIGKILL and the call fails (-1) with "RkProcess: <output|error output>
  //   exceeds the capture limit of 16 MiB; command killed"; the string keeps
  //   the first 16 MiB.
  // - Once the shell has exited (within the time-out), processes it left
  //   behind that still hold a stream open are given about 100 ms more: what
  //   is in the pipes by then is captured, and the shell's own status is
  //   returned. Those processes are neither waited for nor signalled.
  // - `mergeErrorOutput` true: the error output goes into *output instead,
  //   in the order written (the command's stdout and stderr are one pipe);
  //   *errorOutput then receives only the runner's own messages.
  // - `timeoutSeconds` bounds the run; 0 or less means the default bound:
  //   key store key "dTarnelProcessTimeout" (seconds, plain decimal, > 0),
  //   else 120 s. When it passes, the process group gets SIGTERM and, 2 s
  //   later, SIGKILL unless the shell has exited and both streams have
  //   closed by then. Processes that left the group are not signalled; the
  //   runner stops reading once the shell is gone after SIGKILL.
  //
  // Returns 0 only when the shell exited with status 0. Otherwise: the exit
  // status (1..255, 127 for a command not found), 128 + the signal number
  // when the shell was killed by a signal, RK_PROCESS_TIMED_OUT (-2) after a time-out, -1 when the
  // command could not be run (null command: "RkProcess: no command"; no
  // pipe: "RkProcess: cannot create a pipe: " + strerror; spawn failure),
  // went past the capture limit, or its status was lost (the host reaps
  // children itself). Every failure but an
  // exit status has a one-line "RkProcess: ..." message appended to
  // *errorOutput. Safe to call from several threads at once; throws nothing.
  static int system(const char* command, std::string* output, std::string* errorOutput,
                    int timeoutSeconds, bool mergeErrorOutput);
  // The same, and a cancelled `token` (null: none) ends the run at once: the
  // process group gets SIGKILL, the shell is reaped and the result is RK_PROCESS_CANCELLED (-3),
  // with "RkProcess: cancelled" appended to *errorOutput. A token cancelled
  // before the call runs nothing.
  static int system(const char* command, std::string* output, std::string* errorOutput,
                    int timeoutSeconds, bool mergeErrorOutput, const RkCancelToken* token);
};
