// Fake platform information: records its lifetime in the journal.
#include <stdexcept>

#include "RKPlatformInfo.h"
#include "RkException.h"
#include "fake_host.h"
#include "fake_state.h"

namespace fake {

PlatformScript& platform_script() { return kept<PlatformScript>(); }

}  // namespace fake

RKPlatformInfo::RKPlatformInfo() {
  fake::journal().push_back("RKPlatformInfo::RKPlatformInfo()");
  if (fake::platform_script().throwRkOnConstruct) {
    throw RkException("RKPlatformInfo", "scripted failure", __FILE__, __LINE__, -1);
  }
  if (fake::platform_script().throwRuntimeOnConstruct) {
    throw std::runtime_error("scripted failure");
  }
}

RKPlatformInfo::~RKPlatformInfo() {
  fake::journal().push_back("RKPlatformInfo::~RKPlatformInfo()");
}
