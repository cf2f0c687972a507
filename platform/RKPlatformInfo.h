// Host platform information, gathered at construction from uname(2): the
// kernel's name ("Linux"), its release and the machine's hardware name.
// Construction never throws; should uname fail, the texts stay empty.
#pragma once

#include <string>

#include "host_export.h"

class RK_HOST_API RKPlatformInfo {
 public:
  RKPlatformInfo();
  ~RKPlatformInfo();

  const std::string& systemName() const { return systemName_; }
  const std::string& release() const { return release_; }
  const std::string& machine() const { return machine_; }

 private:
  std::string systemName_;
  std::string release_;
  std::string machine_;
};
