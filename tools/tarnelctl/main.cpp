// tarnelctl: command-line tool over libtarnel for people and scripts.
#include <cstdlib>
#include <exception>
#include <stdexcept>

#include "RkException.h"
#include "cluster_access.h"
#include "commands.h"
#include "exit_codes.h"
#include "options.h"
#include "output.h"

namespace tarnelctl {
namespace {

int dispatch(const Invocation& inv, const Output& out) {
  switch (inv.command) {
    case Command::kCapacity: return run_capacity(inv, out);
    case Command::kCreate: return run_create(inv, out);
    case Command::kExport: return run_export(inv, out);
    case Command::kDrives: return run_drives(inv, out);
    case Command::kLogin: return run_login(inv, out);
    case Command::kKeystoreSetCluster: return run_keystore_set_cluster(inv, out);
    case Command::kKeystoreSetSerial: return run_keystore_set_serial(inv, out);
    case Command::kKeystoreSetPassword: return run_keystore_set_password(inv, out);
  }
  return out.fail(kExitUsage, "unknown command");
}

}  // namespace
}  // namespace tarnelctl

int main(int argc, char** argv) {
  using namespace tarnelctl;
  const ParseOutcome parsed = parse_command_line(argc, argv);
  if (!parsed.run) return parsed.exit_code;
  const Invocation& inv = parsed.invocation;
  // The host log writer reads this when the first log facade is set up.
  if (inv.verbose) setenv("TARNEL_LOG_STDERR", "1", 1);

  const Output out(inv.json, inv.command_name);
  try {
    return dispatch(inv, out);
  } catch (const RkException& e) {
    return out.fail(kExitFailed, std::string("host service failed: ") + e.what() + "; " + see_log());
  } catch (const std::runtime_error& e) {
    // json_spirit's type error: a reply member of the wrong JSON type.
    return out.fail(kExitFailed,
                    std::string("malformed reply from the cluster (") + e.what() + "); " + see_log());
  } catch (const std::exception& e) {
    return out.fail(kExitFailed, std::string("unexpected error: ") + e.what());
  }
}
