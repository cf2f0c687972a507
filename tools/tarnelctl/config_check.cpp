#include "config_check.h"

#include <sys/stat.h>

#include <boost/algorithm/string/case_conv.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <locale>

#include "RKPassword.h"
#include "posix_io.h"
#include "rkmx_utils.h"
#include "secret.h"

namespace tarnelctl {
namespace {

// Defaults of the host services (host/rkmx_utils.cpp, host/NqDebug.cpp).
const char* const kDefaultKeystore = TARNEL_DEFAULT_KEYSTORE;
const char* const kDefaultLogDir = TARNEL_DEFAULT_LOG_DIR;

// The largest key store the host services read (rkmx_utils.h).
constexpr off_t kKeystoreMaxBytes = 1024 * 1024;

// Decryption buffer of the same size the facade uses.
constexpr unsigned long kClearBufferBytes = 1024;

bool stored_password_decrypts(const std::string& encrypted, std::string serial) {
  boost::algorithm::to_lower(serial, std::locale());
  std::string buffer(kClearBufferBytes, '\0');
  unsigned long length = kClearBufferBytes;
  RKPassword codec;
  const bool ok = codec.decrypt(encrypted.c_str(), &buffer[0], &length, serial.c_str()) == 0;
  wipe(buffer);
  return ok;
}

}  // namespace

const char* const kCreateKeystoreFix =
    "set TARNEL_KEYSTORE or --keystore, or create it with 'tarnelctl keystore set-cluster NAME'";

std::string keystore_path() {
  const char* env = std::getenv("TARNEL_KEYSTORE");
  return env != nullptr && *env != '\0' ? std::string(env) : std::string(kDefaultKeystore);
}

std::string log_directory() {
  std::string dir;
  if (const char* env = std::getenv("TARNEL_LOG_DIR"); env != nullptr && *env != '\0') {
    dir = env;
  } else if (rkmx_utils::get_reg_key("sTarnelLogDir", dir) != 0 || dir.empty()) {
    dir = kDefaultLogDir;
  }
  return dir;
}

std::string log_file_path() { return log_directory() + "/RKTarnel.log"; }

std::string keystore_unreadable(bool* missing) {
  if (missing != nullptr) *missing = false;
  int error = 0;
  const tarnel_host::UniqueFd store =
      tarnel_host::safe_open(keystore_path(), tarnel_host::OpenFor::kRead, &error);
  if (!store.valid()) {
    if (missing != nullptr) *missing = error == ENOENT;
    return tarnel_host::error_text(error);
  }
  struct stat status {};
  if (::fstat(store.get(), &status) == 0 && status.st_size > kKeystoreMaxBytes) {
    return "larger than 1 MiB, the most the host services read";
  }
  std::string ignored;
  if (rkmx_utils::get_reg_key("sTarnelCluster", ignored) == 2) {
    return "the host services cannot read it: " + tarnel_host::error_text(errno);
  }
  return "";
}

std::string keystore_exposure() {
  const std::string path = keystore_path();
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return "";
  const bool readable = (status.st_mode & (S_IRGRP | S_IROTH)) != 0;
  const bool writable = (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  if (!readable && !writable) return "";
  std::string encrypted;
  const bool password = rkmx_utils::get_reg_key("sTarnelCID", encrypted) == 0 && !encrypted.empty();
  wipe(encrypted);
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
  return "the key store " + path + " is " +
         (readable && writable ? "readable and writable"
          : readable           ? "readable"
                               : "writable") +
         " by others (mode " + mode + "); it holds " +
         (password && readable ? "the encrypted cluster password" : "this node's configuration") +
         ": chmod 600 " + path;
}

std::optional<ConfigProblem> keystore_problem() {
  bool missing = false;
  const std::string why = keystore_unreadable(&missing);
  if (why.empty()) return std::nullopt;
  return ConfigProblem{"key store", "cannot read the key store " + keystore_path() + ": " + why,
                       missing ? kCreateKeystoreFix : ""};
}

std::optional<ConfigProblem> cluster_name_problem() {
  std::string cluster;
  if (rkmx_utils::get_tarnel_cluster(cluster) == 0 && !cluster.empty()) return std::nullopt;
  return ConfigProblem{"cluster name", "no cluster name in " + keystore_path(),
                       "set it with 'tarnelctl keystore set-cluster NAME'"};
}

std::optional<ConfigProblem> serial_problem(std::string& serial) {
  if (rkmx_utils::get_serial_number(serial) == 0 && !serial.empty()) return std::nullopt;
  serial.clear();
  return ConfigProblem{"serial number", "no serial number for this node",
                       "set it with 'tarnelctl keystore set-serial SERIAL'"};
}

std::optional<ConfigProblem> stored_password_problem(const std::string& serial) {
  std::string encrypted;
  if (rkmx_utils::get_reg_key("sTarnelCID", encrypted) != 0 || encrypted.empty()) {
    return ConfigProblem{"stored password", "no stored cluster password in " + keystore_path(),
                         "set it with 'tarnelctl keystore set-password'"};
  }
  const bool decrypts = serial.empty() || stored_password_decrypts(encrypted, serial);
  wipe(encrypted);
  if (decrypts) return std::nullopt;
  return ConfigProblem{"stored password",
                       "the stored cluster password does not decrypt with this node's serial "
                       "number",
                       "store it again with 'tarnelctl keystore set-password'"};
}

std::vector<ConfigProblem> check_configuration(bool node_credentials) {
  if (std::optional<ConfigProblem> store = keystore_problem()) return {*store};
  std::vector<ConfigProblem> problems;
  if (std::optional<ConfigProblem> cluster = cluster_name_problem()) problems.push_back(*cluster);
  if (!node_credentials) return problems;
  std::string serial;
  const std::optional<ConfigProblem> no_serial = serial_problem(serial);
  if (std::optional<ConfigProblem> password = stored_password_problem(serial)) {
    problems.push_back(*password);
  }
  if (no_serial) problems.push_back(*no_serial);
  return problems;
}

}  // namespace tarnelctl
