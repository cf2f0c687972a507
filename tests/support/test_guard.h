// What makes the processes and scratch directories of a test program go with
// it, however it ends: a failed assertion, an exception, abort(), a crash, or
// SIGKILL from the test runner's time limit, when no destructor runs.
//
// Linking this library starts, before main(), a guardian: a small process in
// a session of its own, forked from the test program but no child of it (so
// that a runner killing the program's process tree leaves it), holding one
// end of a socket whose other end only the test program holds (close-on-exec,
// so no child keeps it). It also puts TARNEL_TEST_GUARD=<token, unique to this run>
// into the test program's environment, so every descendant that keeps the
// environment it was given carries it; spawn() adds it to an environment of
// the caller's own. When the test program ends, the socket closes and the
// guardian
//   - kills (SIGKILL) every process whose environment holds that entry: the
//     children, and what they started (a helper's shell, its `sleep`, a
//     simulator in a session of its own), wherever they were reparented;
//   - removes the directories given to remove_at_end() that still exist;
//   - says on stderr what it had to clean, and exits.
// A normal run leaves it nothing to do. A child that spawn() started also
// gets SIGKILL at once when the thread that started it ends
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
