// Real child processes of a test program or benchmark, started through the
// guardian's spawn (test_guard.h): each with the environment it is given and
// its standard streams in files. Every child is killed (SIGKILL to its
// process group) and reaped when its object goes away; when the program ends
// without destructors (a crash, SIGKILL from the test runner), the guardian
// kills what is left of its children and their descendants.
//
// Waits are bounded by the limit each call takes and by the program's time
// budget (waiting.h).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace test_support {

// The environment of this process without any TARNEL_* variable and without
// proxy settings: the base every test child starts from.
std::map<std::string, std::string> clean_environment();

struct LaunchPlan {
  std::vector<std::string> argv;           // argv[0] is the program's path
  std::map<std::string, std::string> env;  // the whole environment of the child
  std::string stdin_text;                  // written to a file the child reads; "" for /dev/null
  std::string work_dir;                    // where stdout/stderr files are kept
  std::string name = "child";              // prefix of those files
};

// A started child in a session and process group of its own, without a
// controlling terminal. It gets SIGKILL when the thread that made the object
// ends: make it on a thread that outlives it (the test's own).
class Process {
 public:
  // Throws std::runtime_error when the child cannot be started.
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
  // Sends `number` to the child while it runs.
  void send_signal(int number);
  // SIGTERM, then SIGKILL when it has not ended after `grace`.
  void stop(std::chrono::milliseconds grace = std::chrono::milliseconds(3000));

  // Waits, at most `limit`, for the child to write a whole first line on
  // stdout or to end: that line without its newline, or "" when none came.
  std::string first_line(std::chrono::milliseconds limit = std::chrono::seconds(20));

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
RunResult run(const LaunchPlan& launch,
              std::chrono::milliseconds limit = std::chrono::seconds(120));

}  // namespace test_support
