// Started by test_guard_test: makes a scratch directory, leaves a process
// behind the way a helper's shell does (a `sleep` whose shell has ended),
// prints the directory and the process id, then ends by SIGKILL so that no
// destructor or exit handler of it runs.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "scratch.h"

int main() {
  test_support::TempDir dir;  // its destructor never runs: the program ends by SIGKILL
  const std::string leave = "sleep 60 </dev/null >/dev/null 2>&1 & echo $! >" + dir.file("pid");
  if (std::system(leave.c_str()) != 0) return 1;
  std::FILE* pid = std::fopen(dir.file("pid").c_str(), "r");
  long child = 0;
  if (pid == nullptr || std::fscanf(pid, "%ld", &child) != 1) return 1;
  std::fclose(pid);
  std::printf("%s\n%ld\n", dir.path().c_str(), child);
  std::fflush(stdout);
  ::raise(SIGKILL);
}
