// Host utility library: node identity, configuration keys, conversions and
// the host sleep call. None of these functions throws unless noted.
#pragma once

#include <string>

#include "host_export.h"

namespace rkmx_utils {

// The local host's name.
RK_HOST_API std::string get_hostname();
// Reads configuration key `key` into `value`. 0 when the key exists.
RK_HOST_API int get_reg_key(std::string key, std::string& value);
// The number a decimal text spells; 0 for anything else.
RK_HOST_API unsigned int string_to_uint(std::string text);
// The node's serial number. 0 and a non-empty text on success.
RK_HOST_API int get_serial_number(std::string& serial);
// The name of the cluster this node belongs to. 0 and a non-empty text on success.
RK_HOST_API int get_tarnel_cluster(std::string& name);
// `value` in `unit` expressed in gigabytes; 0 for an unknown or empty unit.
RK_HOST_API double convert_size_to_gb(double value, std::string unit);

// Provisioning (used by the command-line tool, not by the library): stores
// `value` under `key` in the key store, replacing the file atomically and
// keeping it readable by its owner only. 0 on success.
RK_HOST_API int set_reg_key(const std::string& key, const std::string& value);

}  // namespace rkmx_utils

// Blocks the calling thread for `milliseconds`. `file` and `line` name the caller.
RK_HOST_API int ZUSLEEP_InTeRnAl(int milliseconds, const char* file, int line);
