// tarnelctl keystore set-cluster | set-serial | set-password | show:
// provisioning of the key store the host services read, and what it holds.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/algorithm/string/case_conv.hpp>
#include <cerrno>
#include <locale>
#include <string_view>

#include "RKPassword.h"
#include "commands.h"
#include "config_check.h"
#include "exit_codes.h"
#include "keystore_lines.h"
#include "posix_io.h"
#include "rkmx_utils.h"
#include "secret.h"

namespace tarnelctl {
namespace {

const char* const kClusterKey = "sTarnelCluster";
const char* const kSerialKey = "sTarnelSerial";
const char* const kPasswordKey = "sTarnelCID";

int store(const Output& out, const char* key, const std::string& value, const std::string& what) {
  const int status = rkmx_utils::set_reg_key(key, value);
  if (status != 0) {
    const int cause = errno;  // of the failing step, after a result of 5
    // A store that exists but cannot be read is never replaced: say why.
    bool missing = false;
    const std::string why = keystore_unreadable(&missing);
    const std::string detail = !why.empty() && !missing ? ": it cannot be read: " + why
                               : status == 5            ? ": " + tarnel_host::error_text(cause)
                                                        : "";
    return out.fail(kExitFailed, "cannot write the key store " + keystore_path() + detail);
  }
  out.stored(key, what, true);
  return kExitDone;
}

// Stores `value` unless the key store already holds it (then nothing is
// written, and the command changed nothing).
int store_if_changed(const Output& out, const char* key, const std::string& value,
                     const std::string& what) {
  std::string stored;
  if (rkmx_utils::get_reg_key(key, stored) == 0 && stored == value) {
    out.stored(key, what, false);
    return kExitDone;
  }
  return store(out, key, value, what);
}

// The key the stored password is encrypted with: the serial in lower case,
// as the library lower-cases it before decrypting.
std::string password_key(std::string serial) {
  boost::algorithm::to_lower(serial, std::locale());
  return serial;
}

// The largest key store the host services read (rkmx_utils.h).
constexpr std::size_t kKeystoreMaxBytes = 1024 * 1024;

// The settings of a key store text as the host services read them, in the
// order each key first appears; the last line of a key wins.
std::vector<KeystoreEntry> settings_of(std::string_view text) {
  std::vector<KeystoreEntry> entries;
  tarnel_host::keystore::for_each_line(
      text, [&](std::string_view, const tarnel_host::keystore::ParsedLine& parsed) {
        if (!parsed.is_setting) return;
        auto known = std::find_if(entries.begin(), entries.end(),
                                  [&](const KeystoreEntry& e) { return e.key == parsed.key; });
        if (known == entries.end()) {
          known = entries.insert(entries.end(), {std::string(parsed.key), ""});
        }
        // The stored password's value is never kept.
        known->redacted = parsed.key == kPasswordKey && !parsed.value.empty();
        known->value.assign(known->redacted ? std::string_view() : parsed.value);
      });
  return entries;
}

}  // namespace

int run_keystore_show(const Invocation& /*inv*/, Output& out) {
  const std::string path = keystore_path();
  const auto unreadable = [&](int error) {
    const std::string why = error == EFBIG ? "larger than 1 MiB, the most the host services read"
                                           : tarnel_host::error_text(error);
    return out.not_configured({{"key store", "cannot read the key store " + path + ": " + why,
                                error == ENOENT ? kCreateKeystoreFix : ""}});
  };
  std::string text;
  if (const int error = tarnel_host::read_regular_file(path, kKeystoreMaxBytes, text)) {
    return unreadable(error);
  }
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return unreadable(errno);
  const std::vector<KeystoreEntry> entries = settings_of(text);
  wipe(text);  // it held the encrypted password
  out.keystore(path, status.st_mode, entries);
  return kExitDone;
}

int run_keystore_set_cluster(const Invocation& inv, Output& out) {
  return store_if_changed(out, kClusterKey, inv.argument, "the cluster name");
}

int run_keystore_set_serial(const Invocation& inv, Output& out) {
  const int code = store_if_changed(out, kSerialKey, inv.argument, "the serial number");
  if (code != kExitDone) return code;
  std::string encrypted;
  if (rkmx_utils::get_reg_key(kPasswordKey, encrypted) == 0 && !encrypted.empty()) {
    std::string buffer(1024, '\0');
    unsigned long length = buffer.size();
    RKPassword codec;
    if (codec.decrypt(encrypted.c_str(), &buffer[0], &length, password_key(inv.argument).c_str()) !=
        0) {
      out.warn(
          "the stored cluster password was encrypted with another serial number; store it "
          "again with 'tarnelctl keystore set-password'");
    }
    wipe(buffer);
  }
  return kExitDone;
}

int run_keystore_set_password(const Invocation& /*inv*/, Output& out) {
  // A missing store is created, but one that cannot be read would also hide
  // the serial number.
  bool missing = false;
  if (const std::string why = keystore_unreadable(&missing); !why.empty() && !missing) {
    return out.not_configured(
        {{"key store", "cannot read the key store " + keystore_path() + ": " + why, ""}});
  }
  std::string serial;
  if (rkmx_utils::get_serial_number(serial) != 0 || serial.empty()) {
    return out.not_configured(
        {{"serial number", "no serial number for this node to encrypt the password with",
          "set it with 'tarnelctl keystore set-serial SERIAL'"}});
  }
  SecretRead password =
      stdin_is_terminal() ? prompt_password("Cluster password: ", true) : read_password_stdin();
  if (!password.ok) return out.fail(kExitUsage, password.error);
  std::string encrypted;
  RKPassword codec;
  if (codec.encrypt(password.value.str(), password_key(serial), encrypted) != 0) {
    return out.fail(kExitFailed, "cannot encrypt the password");
  }
  return store(out, kPasswordKey, encrypted, "the cluster password (encrypted)");
}

}  // namespace tarnelctl
