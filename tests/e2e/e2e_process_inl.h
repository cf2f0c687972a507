// Template part of e2e_process.h.
#pragma once

#include <thread>

namespace e2e {

template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + time_left(limit);
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace e2e
