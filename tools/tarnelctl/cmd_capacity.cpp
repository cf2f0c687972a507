// tarnelctl capacity: log in through the facade, then ask a disk handle made
// from that session for the cluster's total capacity.
#include "cluster_access.h"
#include "commands.h"
#include "exit_codes.h"
#include "rkmx_utils.h"
#include "tarnel_vdisk.h"

namespace tarnelctl {
namespace {
// The capacity query names no disk, but a handle needs a non-empty name.
const char* const kCapacityProbeDisk = "tarnelctl-capacity-probe";
}  // namespace

int run_capacity(const Invocation& inv, const Output& out) {
  ClusterAccess access;
  if (const int code = open_cluster_access(inv, out, access); code != kExitDone) return code;

  std::string session_id;
  if (access.admin->get_tarnel_session(session_id) != 0) {
    return out.fail(kExitFailed, "could not log in to cluster '" + access.cluster + "' as " +
                                     access.user + "; " + see_log());
  }
  tarnel_vdisk probe(session_id, kCapacityProbeDisk, rkmx_utils::get_hostname());
  const std::pair<double, std::string> space = probe.get_cluster_space();
  if (space.first == 0 && space.second.empty()) {
    return out.fail(kExitFailed, "the cluster did not report its capacity; " + see_log());
  }
  return out.capacity(space.first, space.second,
                      rkmx_utils::convert_size_to_gb(space.first, space.second));
}

}  // namespace tarnelctl
