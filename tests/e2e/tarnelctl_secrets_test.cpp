// No password and no stored secret ever shows: not in the library's log
// (with transfer tracing on), not in what tarnelctl or the simulator print,
// not in the simulator's state, and not in the process list or the
// environment of a running tarnelctl. Ctrl-C at a password prompt gives the
// terminal its echo back.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "e2e_fixture.h"
#include "test_guard.h"

namespace e2e {
namespace {

// The ways a secret could be written: as it is, as the inside of a JSON
// string, and percent-encoded (upper- and lower-case hex digits).
std::vector<std::string> forms_of(const std::string& secret) {
  std::string upper, lower;
  for (unsigned char c : secret) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      upper += static_cast<char>(c);
      lower += static_cast<char>(c);
      continue;
    }
    char hex[8];
    std::snprintf(hex, sizeof hex, "%%%02X", c);
    upper += hex;
    std::snprintf(hex, sizeof hex, "%%%02x", c);
    lower += hex;
  }
  return {secret, request_texts::escaped(secret), upper, lower};
}

class SecretsTest : public ClusterTest {
 protected:
  void expect_clean(const std::string& where, const std::string& text) const {
    for (const std::string& secret : secrets) {
      for (const std::string& form : forms_of(secret)) {
        EXPECT_EQ(text.find(form), std::string::npos) << where << " shows a secret";
      }
    }
  }
  std::vector<std::string> secrets;
};

std::string stored_secret(const std::string& keystore) {
  std::istringstream in(read_file(keystore));
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("sTarnelCID=", 0) == 0) return line.substr(std::string("sTarnelCID=").size());
  }
  return "";
}

// The command line of every process, each after its /proc path. A child
// reads them, within a bound: a read waits while that process's memory is
// locked (one being dumped, or stuck in the kernel), for as long as that
// lasts.
std::string process_list(const TempDir& dir) {
  LaunchPlan list;
  list.argv = {"/bin/sh", "-c", "exec grep -a -H -s '' /proc/[0-9]*/cmdline"};
  list.env = clean_environment();
  list.work_dir = dir.path();
  list.name = "process-list";
  const RunResult result = run(list, std::chrono::seconds(30));
  EXPECT_TRUE(result.finished) << "reading the process list took over 30 s";
  return result.out;
}

TEST_F(SecretsTest, NoPasswordOrStoredSecretInLogsTracesOutputsOrTheProcessList) {
  ASSERT_NO_FATAL_FAILURE(start_provisioned());
  node->add_key("dEnableCurlTraceLogging", "1");
  const std::string stored = stored_secret(node->keystore());
  ASSERT_EQ(stored.rfind("v1$", 0), 0u);
  secrets = {kNodePassword, kOperatorPassword, stored};

  // Two runs held in flight by a delayed capacity reply, one with the
  // node's credentials and one with --user and TARNEL_PASSWORD.
  sim->add_fault("ClusterInformation:delay=1500,times=2");
  Process node_run(node->ctl_launch({"-v", "capacity"}));
  Process user_run(node->ctl_launch({"-v", "--user", kOperator, "capacity"},
                                    {{"TARNEL_PASSWORD", kOperatorPassword}}));
  ASSERT_TRUE(eventually([&] { return node->count("Session ID is") >= 2; }));
  expect_clean("the process list", process_list(dir));
  expect_clean("the environment of the --user run",
               read_file("/proc/" + std::to_string(user_run.pid()) + "/environ"));
  ASSERT_TRUE(node_run.wait(std::chrono::seconds(60)));
  ASSERT_TRUE(user_run.wait(std::chrono::seconds(60)));
  EXPECT_EQ(node_run.exit_code(), 0) << node_run.err();
  EXPECT_EQ(user_run.exit_code(), 0) << user_run.err();

  // The rest of the flow, with a password file, a retried login and stdin.
  const std::string password_file = dir.file("operator.pw");
  write_file(password_file, std::string(kOperatorPassword) + "\n");
  EXPECT_EQ(node->ctl({"-v", "create", "vd"}).exit_code, 0);
  sim->add_fault("Login:status=503,times=1");
  EXPECT_EQ(node->ctl({"-v", "export", "vd", "--user", kOperator, "--password-file", password_file})
                .exit_code,
            0);
  EXPECT_EQ(node->ctl({"-v", "--json", "login"}).exit_code, 0);
  EXPECT_EQ(
      node->ctl({"keystore", "set-password"}, {}, std::string(kNodePassword) + "\n").exit_code, 0);
  secrets.push_back(stored_secret(node->keystore()));
  // Tracing was on: the transfers were written to the log.
  EXPECT_GT(node->count("RKLibCurl::trace"), 0);

  // What may hold a secret by design: the simulator's configuration, the
  // key store, the password file and the stdin files given to tarnelctl.
  int files = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path())) {
    if (!entry.is_regular_file()) continue;
    const std::string path = entry.path().string();
    if (path == dir.file("sim.json") || path == node->keystore() || path == password_file ||
        entry.path().extension() == ".in") {
      continue;
    }
    ++files;
    expect_clean(path, read_file(path));
  }
  EXPECT_GT(files, 10);  // the log, and stdout and stderr of every process
  expect_clean("the simulator's state", sim->state_text());
}

// tarnelctl with a new pseudo-terminal as its controlling terminal, as a
// person runs it; killed and reaped when the object goes away.
class OnTerminal {
 public:
  explicit OnTerminal(const LaunchPlan& plan) {
    std::vector<std::string> env;
    for (const auto& [name, value] : plan.env) env.push_back(name + "=" + value);
    if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) {
      throw std::runtime_error("openpty failed");
    }
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    fcntl(master_, F_SETFL, O_NONBLOCK);
    pid_ =
        test_guard::spawn(plan.argv, &env, {slave_, slave_, slave_}, test_guard::Session::terminal);
  }
  ~OnTerminal() {
    if (pid_ > 0 && status_ < 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(master_);
    close(slave_);
  }
  // True once the child has written `text` (within 20 s).
  bool shows(const std::string& text) {
    return eventually([&] {
      char buffer[256];
      for (ssize_t n; (n = read(master_, buffer, sizeof buffer)) > 0;) seen_.append(buffer, n);
      return seen_.find(text) != std::string::npos;
    });
  }
  void type(const std::string& keys) {
    ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }
  // The wait status once the child has ended (within 20 s), or -1.
  int status() {
    eventually([&] { return waitpid(pid_, &status_, WNOHANG) == pid_; });
    return status_;
  }
  tcflag_t local_modes() const {
    termios settings{};
    tcgetattr(slave_, &settings);
    return settings.c_lflag;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  pid_t pid_ = -1;
  int status_ = -1;
  std::string seen_;
};

TEST_F(SecretsTest, CtrlCAtThePasswordPromptRestoresEchoAndExits130) {
  ASSERT_NO_FATAL_FAILURE(start());
  ASSERT_EQ(node->ctl({"keystore", "set-serial", kSerial}).exit_code, 0);
  ASSERT_EQ(node->ctl({"keystore", "set-cluster", kCluster}).exit_code, 0);
  const std::vector<std::pair<std::vector<std::string>, std::string>> prompts = {
      {{"keystore", "set-password"}, "Cluster password: "},
      {{"--user", kOperator, "login"}, "Password for operator: "}};
  for (const auto& [args, prompt] : prompts) {
    OnTerminal terminal(node->ctl_launch(args));
    ASSERT_TRUE(terminal.shows(prompt)) << prompt;
    EXPECT_EQ(terminal.local_modes() & ECHO, 0u);
    terminal.type("\x03");  // the interrupt character
    const int status = terminal.status();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << prompt << status;
    EXPECT_NE(terminal.local_modes() & ECHO, 0u) << prompt;
  }
}

}  // namespace
}  // namespace e2e
