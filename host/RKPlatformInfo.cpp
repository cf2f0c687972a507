// Platform information from uname(2).
#include "RKPlatformInfo.h"

#include <sys/utsname.h>

RKPlatformInfo::RKPlatformInfo() {
  struct utsname names {};
  if (uname(&names) != 0) return;  // the fields stay empty
  systemName_ = names.sysname;
  release_ = names.release;
  machine_ = names.machine;
}

RKPlatformInfo::~RKPlatformInfo() = default;
