// Real child processes for the end-to-end tests: a temporary directory that
// removes itself, and a child process with its own environment whose
// standard streams go to files. Every child is killed (SIGKILL to its
// process group) and reaped when its object goes away; when the test program
// ends without destructors (a crash, SIGKILL from the test runner), the
// guardian of tests/support/test_guard.h kills what is left of its children
// and their descendants and removes its temporary directories.
//
// Waits are bounded twice: by the limit each call takes, and by the time
// budget of the whole program (kProgramBudget), so that a broken run ends
// with failures, its children stopped, before the test runner's time limit
// kills it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace e2e {

// The time the whole test program may take; below the test runner's limit
// (ctest --timeout 300 by hand, 600 in CI). Normal runs take seconds.
constexpr std::chrono::seconds kProgramBudget{240};

// `limit`, cut to what is left of the program's budget: zero once it is
// spent, and then the first call of each test adds a failure saying so.
std::chrono::milliseconds time_left(std::chrono::milliseconds limit);

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content, mode_t mode = 0600);

// The environment of this process without any TARNEL_* variable and without
// proxy settings: the base every test child starts from.
std::map<std::string, std::string> clean_environment();

struct LaunchPlan {
  std::vector<std::string> argv;            // argv[0] is the program's path
  std::map<std::string, std::string> env;   // the whole environment of the child
  std::string stdin_text;                   // written to a file the child reads; "" for /dev/null
  std::string work_dir;                     // where stdout/stderr files are kept
  std::string name = "child";               // prefix of those files
};

// A started child in a session and process group of its own, without a
// controlling terminal. It gets SIGKILL when the thread that made the object
// ends: make it on a thread that outlives it (the test's own).
class Process {
 public:
  explicit Process(const LaunchPlan& launch);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  // Waits for the child to end, at most `limit`; false when it did not end
  // in time (it is then killed). The limit only keeps a broken run from
  // hanging the suite.
  bool wait(std::chrono::milliseconds limit);
  bool running();
  // SIGTERM, then SIGKILL when it has not ended after `grace`.
  void stop(std::chrono::milliseconds grace = std::chrono::milliseconds(3000));

  // After wait(): exit status, or 128 + signal number when killed by one.
  int exit_code() const { return exit_code_; }
  bool signaled() const { return signaled_; }
  std::string out() const;
  std::string err() const;
  const std::string& out_path() const { return out_path_; }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int exit_code_ = -1;
  bool signaled_ = false;
  std::string out_path_;
  std::string err_path_;
  std::string in_path_;
  void reap();
};

// The outcome of a child run to its end.
struct RunResult {
  int exit_code = -1;
  bool signaled = false;
  bool finished = false;
  std::string out;
  std::string err;
  std::chrono::milliseconds elapsed{0};
};

// Runs a child to its end (bounded by `limit`).
RunResult run(const LaunchPlan& launch, std::chrono::milliseconds limit = std::chrono::seconds(120));

// Polls `condition` every few milliseconds until it holds or `limit` (cut
// to the program's budget) passes.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(20));

}  // namespace e2e

#include "e2e_process_inl.h"
