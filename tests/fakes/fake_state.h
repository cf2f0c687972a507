// What the fakes keep between calls: one process-wide object of each type (a
// script, a list of records), made on first use and put back to its default
// by fake::reset().
#pragma once

#include <vector>

namespace fake {

// What reset() runs: one entry for each kept object made so far.
std::vector<void (*)()>& resetters();

template <typename T>
T& kept() {
  static T value;
  [[maybe_unused]] static const bool registered =
      (resetters().push_back([] { kept<T>() = T(); }), true);
  return value;
}

}  // namespace fake
