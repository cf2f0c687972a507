#include "RkCancel.h"
#include "fake_host.h"

namespace fake {

void cancel(const RkCancelToken* token) { const_cast<RkCancelToken*>(token)->cancel(); }

std::vector<std::string>& journal() {
  static std::vector<std::string> lines;
  return lines;
}

std::vector<std::string> journalWith(const std::string& prefix) {
  std::vector<std::string> matching;
  for (const std::string& line : journal()) {
    if (line.compare(0, prefix.size(), prefix) == 0) matching.push_back(line);
  }
  return matching;
}

void resetLog();
void resetHttp();
void resetUtils();
void resetProcess();
void resetPassword();
void resetPlatform();

void reset() {
  journal().clear();
  resetLog();
  resetHttp();
  resetUtils();
  resetProcess();
  resetPassword();
  resetPlatform();
}

}  // namespace fake
