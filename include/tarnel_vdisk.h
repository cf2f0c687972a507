// Handle for one virtual disk of the cluster within one logged-in session.
//
// Every operation sends one request through a session of its own and judges
// the reply. The handle's strings never change after construction. JSON type
// errors from a malformed capacity reply leave get_cluster_space and
// create_vdisk as std::runtime_error.
#pragma once

#include <list>
#include <map>
#include <string>
#include <utility>

#include "tarnel_call.h"
#include "tarnel_debug.h"
#include "tarnel_export.h"

class tarnel_call_context;

class TARNEL_API tarnel_vdisk {
 public:
  // Note the order: session identifier, disk name, host name.
  tarnel_vdisk(std::string session_id, std::string vdisk_name, std::string host_name);
  ~tarnel_vdisk();

  // The cluster's total capacity as (value, unit); (0, "") on failure.
  std::pair<double, std::string> get_cluster_space();
  // Creates the disk sized from the cluster's capacity. 0 on success, -1 otherwise.
  int create_vdisk();
  // Mounts the disk to the handle's host. 0 on success, -1 otherwise.
  int export_vdisk();

  // Steered capacity query (tarnel_call.h): the query under `options`, with
  // `outcome` filled on return; never throws. The handle has no credentials,
  // so a 401 is session_refused and ends the call.
  std::pair<double, std::string> get_cluster_space(const tarnel_call_options& options,
                                                   tarnel_outcome& outcome);

 private:
  friend class tarnel_admin;
  // The operations of every call, designed or steered (tarnel_call_context.h).
  // query_space: true with `space` read from the reply, which it is left
  // untouched otherwise.
  bool query_space(tarnel_call_context& call, std::pair<double, std::string>& space);
  int create(tarnel_call_context& call);
  int mount(tarnel_call_context& call);

  tarnel_debug debug;
  std::string vdisk_name;
  std::string host_name;
  std::string session_id;
  std::list<std::string> aux_list;
  std::map<std::string, std::list<std::string>> aux_map;
};
