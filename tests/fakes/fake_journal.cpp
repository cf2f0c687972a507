#include "RkCancel.h"
#include "fake_host.h"
#include "fake_state.h"

namespace fake {

std::vector<void (*)()>& resetters() {
  static std::vector<void (*)()> all;
  return all;
}

void cancel(const RkCancelToken* token) { const_cast<RkCancelToken*>(token)->cancel(); }

std::vector<std::string>& journal() { return kept<std::vector<std::string>>(); }

std::vector<std::string> journal_with(const std::string& prefix) {
  std::vector<std::string> matching;
  for (const std::string& line : journal()) {
    if (line.compare(0, prefix.size(), prefix) == 0) matching.push_back(line);
  }
  return matching;
}

void reset() {
  for (void (*restore)() : resetters()) restore();
}

}  // namespace fake
