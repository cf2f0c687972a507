// The host process runner beside a minimal posix_spawn:
//
//   process/ours         RkProcess::system("/bin/true"): /bin/sh -c in its
//                        own process group, stdin from /dev/null, signal
//                        dispositions reset, both streams polled, time-out
//                        from the key store
//   process/posix_spawn  posix_spawn of /bin/sh -c /bin/true with a pipe on
//                        stdout and one on stderr, both read with poll to
//                        their end, then waitpid
//
// When BENCH_HELPER_LINES names a file (the benchmark script sets it inside
// a private mount namespace whose /opt holds a helper script that cats that
// file at the library's fixed helper path), the whole enumeration is
// measured too, at log level -2:
//
//   drives_call/ours        tarnel_admin::enumerate_data_drives
//   drives_call/posix_spawn the minimal spawn of the same helper command and
//                           the bare boost::split loop (drive_lines.h)
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "RkProcess.h"
#include "bench_support.h"
#include "drive_lines.h"
#include "tarnel_admin.h"
#include "unique_fd.h"

extern char** environ;

namespace {

using tarnel_host::UniqueFd;

const char kHelperCommand[] = "/opt/kestrix/Bayhold/rkspmhelper.py list_data_drives";

// Reads `out_fd` into `out` and `err_fd` into `err`, both to their end.
void read_to_end(int out_fd, std::string& out, int err_fd, std::string& err) {
  struct pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {&out, &err};
  int open = 2;
  char buffer[65536];
  while (open > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open;
      }
    }
  }
}

// Runs `command` with /bin/sh -c, reads its stdout and stderr to their end
// and returns its wait status (-1 when it could not be started).
int spawn_and_read(const char* command, std::string& out, std::string& err) {
  int out_fds[2];
  int err_fds[2];
  if (::pipe2(out_fds, O_CLOEXEC) != 0) return -1;
  UniqueFd out_read(out_fds[0]);
  UniqueFd out_write(out_fds[1]);
  if (::pipe2(err_fds, O_CLOEXEC) != 0) return -1;
  UniqueFd err_read(err_fds[0]);
  UniqueFd err_write(err_fds[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_write.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err_write.get(), STDERR_FILENO);
  char sh[] = "/bin/sh";
  char dash_c[] = "-c";
  char* argv[] = {sh, dash_c, const_cast<char*>(command), nullptr};
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, sh, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  out_write.reset();
  err_write.reset();
  if (spawned != 0) return -1;
  read_to_end(out_read.get(), out, err_read.get(), err);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// Runs /bin/true through `run` once per iteration; the first failure ends
// the benchmark with `error`.
template <typename Run>
void run_true(benchmark::State& state, const char* error, Run run) {
  for (auto _ : state) {
    std::string out;
    std::string err;
    if (run("/bin/true", out, err) != 0) {
      state.SkipWithError(error);
      break;
    }
  }
}

void process_ours(benchmark::State& state) {
  run_true(state, "RkProcess::system failed",
           [](const char* command, std::string& out, std::string& err) {
             return RkProcess::system(command, &out, &err, 0, false);
           });
}

void process_posix_spawn(benchmark::State& state) {
  run_true(state, "posix_spawn failed", spawn_and_read);
}

void drives_call_posix_spawn(benchmark::State& state) {
  for (auto _ : state) {
    std::string out;
    std::string err;
    std::vector<_tarnel_data_drive> drives;
    if (spawn_and_read(kHelperCommand, out, err) != 0 || bench::split_drives(out, drives) != 0 ||
        drives.size() != bench::kDriveLines) {
      state.SkipWithError("helper run failed");
      break;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  bench::TempDir dir;
  bench::use_node_dir(dir, -2);
  bench::settle_keystore();

  // Short repetitions, interleaved at random, so that both sides of a ratio
  // see the same load on a shared machine.
  for (auto* b : {benchmark::RegisterBenchmark("process/ours", process_ours),
                  benchmark::RegisterBenchmark("process/posix_spawn", process_posix_spawn)}) {
    b->Iterations(5)->Repetitions(100)->Unit(benchmark::kMicrosecond)->UseRealTime();
  }
  const char* lines_file = std::getenv("BENCH_HELPER_LINES");
  if (lines_file != nullptr && *lines_file != '\0') {
    bench::write_file(lines_file, bench::helper_output(), 0644);
    for (auto* b :
         {benchmark::RegisterBenchmark("drives_call/ours", bench::enumerate_drives),
          benchmark::RegisterBenchmark("drives_call/posix_spawn", drives_call_posix_spawn)}) {
      b->Iterations(2)->Repetitions(30)->Unit(benchmark::kMillisecond)->UseRealTime();
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
