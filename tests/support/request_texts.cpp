#include "request_texts.h"

#include <cstdio>

namespace request_texts {

std::string escaped(const std::string& value) {
  std::string out;
  for (unsigned char c : value) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
      out += buffer;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string quoted(const std::string& value) { return '"' + escaped(value) + '"'; }

std::string login_text(const std::string& user, const std::string& password,
                       const std::string& cluster) {
  return "request={type:Login,category:UserManagement,params:{userName:\"" + escaped(user) +
         "\",password:\"" + escaped(password) + "\",cluster:\"" + escaped(cluster) + "\"}}";
}

std::string cluster_information_text(const std::string& session) {
  return "request={type:ClusterInformation,category:ClusterWatch,sessionId:\"" + session + "\"}";
}

std::string add_virtual_disk_text(const std::string& name, const std::string& size,
                                  const std::string& session) {
  return "request={type:AddVirtualDisk,category:VirtualDiskManagement,params:{name:\"" +
         escaped(name) +
         "\",protectionPolicy:\"Erasure\",erasureConfig:\"RS_4_2\",backupType:\"FILER\","
         "size:{unit:\"GB\",value:" +
         size + "},diskType:NFS,scsi3pr:false},sessionId:" + session + "}";
}

std::string mount_text(const std::string& disk, const std::string& host,
                       const std::string& session) {
  return "request={type:Mount,category:VirtualDiskManagement,params:{virtualDisk:\"" +
         escaped(disk) + "\",targets:[\"" + escaped(host) + "\"]},sessionId:" + session + "}";
}

}  // namespace request_texts
