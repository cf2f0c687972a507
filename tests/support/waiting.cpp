#include "waiting.h"

namespace test_support {

namespace {

using Clock = std::chrono::steady_clock;

// Set once, before main() (budget.cpp), while the program has one thread.
struct Budget {
  bool set = false;
  Clock::time_point end;
  void (*when_spent)() = nullptr;
};

Budget& the_budget() {
  static Budget budget;
  return budget;
}

}  // namespace

void set_time_budget(std::chrono::seconds budget, void (*when_spent)()) {
  Budget& the = the_budget();
  the.set = true;
  the.end = Clock::now() + budget;
  the.when_spent = when_spent;
}

std::chrono::milliseconds time_left(std::chrono::milliseconds limit) {
  const Budget& the = the_budget();
  if (!the.set) return limit;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(the.end - Clock::now());
  if (left >= limit) return limit;
  if (left.count() > 0) return left;
  if (the.when_spent != nullptr) the.when_spent();
  return std::chrono::milliseconds(0);
}

}  // namespace test_support
