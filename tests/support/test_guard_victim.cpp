// Started by test_guard_test: makes a scratch directory, leaves a process
// behind the way a helper's shell does (a `sleep` whose shell has ended),
// prints the directory and the process id, then ends by SIGKILL so that no
// destructor or exit handler of it runs.
#include <signal.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "test_guard.h"

int main() {
  const char* base = std::getenv("TMPDIR");
  std::string dir = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                    "/tarnel-guard-XXXXXX";
  if (::mkdtemp(&dir[0]) == nullptr) return 1;
  test_guard::remove_at_end(dir);
  const std::string leave = "sleep 60 </dev/null >/dev/null 2>&1 & echo $! >" + dir + "/pid";
  if (std::system(leave.c_str()) != 0) return 1;
  std::FILE* pid = std::fopen((dir + "/pid").c_str(), "r");
  long child = 0;
  if (pid == nullptr || std::fscanf(pid, "%ld", &child) != 1) return 1;
  std::fclose(pid);
  std::printf("%s\n%ld\n", dir.c_str(), child);
  std::fflush(stdout);
  ::raise(SIGKILL);
}
