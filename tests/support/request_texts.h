// The request texts the library sends, as the unit, simulator and
// end-to-end tests expect them: values between quotes are written as the
// inside of a JSON string; the session identifier is bare in AddVirtualDisk
// and Mount, and inserted as given in ClusterInformation.
#pragma once

#include <string>

namespace request_texts {

// `value` JSON-escaped (the inside of a JSON string): '"' and '\' behind a
// backslash, bytes below 0x20 as \u00xx, every other byte as it is.
std::string escaped(const std::string& value);
// `value` as a JSON string: escaped() between quotes.
std::string quoted(const std::string& value);

std::string login_text(const std::string& user, const std::string& password,
                       const std::string& cluster);
std::string cluster_information_text(const std::string& session);
std::string add_virtual_disk_text(const std::string& name, const std::string& size,
                                  const std::string& session);
std::string mount_text(const std::string& disk, const std::string& host,
                       const std::string& session);

}  // namespace request_texts
