// What makes the processes and scratch directories of a test program go with
// it, however it ends: a failed assertion, an exception, abort(), a crash, or
// SIGKILL from the test runner's time limit, when no destructor runs.
//
// Linking this library sets up two helpers before main(), while the program
// has a single thread:
//   - The reaper. The process the test runner started forks: the program
//     goes on in the child, and the parent stays its parent and the child
//     subreaper (PR_SET_CHILD_SUBREAPER) of everything it starts, so every
//     process the program leaves, in whatever session, is a descendant of
//     the reaper. It passes on SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1 and
//     SIGUSR2 to the program and reaps the orphans that come to it; when the
//     program has ended, it kills (SIGKILL) and reaps every process left
//     below it, says on stderr how many there were, and ends as the program
//     did (the same exit status, or the same signal). So once a test runner
//     sees the program's status, no process of it is left. The program gets
//     SIGKILL should the reaper be killed.
//   - The guardian: a small process in a session of its own, forked from the
//     program but no child of it (so that a runner killing the program's
//     process tree leaves it), holding one end of a socket whose other end
//     only the program and the reaper hold (close-on-exec, so no child keeps
//     it). When both have ended it kills what escaped the reaper (the
//     reaper itself killed, or not set up): every process whose environment
//     holds TARNEL_TEST_GUARD=<token, unique to this run>, which the program
//     puts into its environment so that every descendant that keeps the
//     environment it was given carries it (spawn() adds it to an environment
//     of the caller's own). Then it removes the directories given to
//     remove_at_end() that still exist, says on stderr what it had to clean,
//     and exits.
// A normal run leaves neither anything to do. A child that spawn() started
// also gets SIGKILL at once when the thread that started it ends
// (PR_SET_PDEATHSIG): start children from a thread that outlives them.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace test_guard {

// "TARNEL_TEST_GUARD=<token>", the entry that marks this program's descendants.
const std::string& marker();

// Removes `path` with its contents if it still exists when this program ends.
// A scratch directory's owner calls it right after making the directory.
void remove_at_end(const std::string& path);

// The descriptors a child gets as its standard input, output and error.
struct Streams {
  int in;
  int out;
  int err;
};

// The session a child runs in.
enum class Session {
  kept,      // this program's session and process group
  own,       // a session of its own: its own process group, no controlling terminal
  terminal,  // a session of its own whose controlling terminal is its standard input
};

// Starts argv[0] (a path) with argv, and with `env` ("NAME=value" entries,
// the marker added) or, when `env` is null, this program's environment. The
// child gets `streams` as 0, 1 and 2 and no other descriptor of ours that is
// close-on-exec, default signal dispositions and an empty signal mask, the
// `session` asked for, and SIGKILL when the calling thread ends. Throws
// std::runtime_error naming the program and the reason when it cannot start.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>* env,
            Streams streams, Session session);

}  // namespace test_guard
