// Bounded waits. Every wait of a test is bounded by the limit its caller
// gives and, in a program with a time budget, by what is left of that
// budget: a broken run then ends with failures, its children stopped, before
// the test runner's time limit kills it. The test programs get their budget
// by linking tarnel_test_budget (budget.cpp); benchmarks have none.
#pragma once

#include <chrono>
#include <thread>

namespace test_support {

// The budget of a test program that has one; below the test runner's limit
// (ctest --timeout 300 by hand, 600 in CI). Normal runs take seconds.
constexpr std::chrono::seconds kTestProgramBudget{240};

// Gives this program `budget` from now. Once it is spent, every wait returns
// at once and calls `when_spent` (which may report the failure) first.
void set_time_budget(std::chrono::seconds budget, void (*when_spent)());

// `limit`, cut to what is left of the program's budget (zero once it is
// spent); `limit` itself in a program without a budget.
std::chrono::milliseconds time_left(std::chrono::milliseconds limit);

// Polls `condition` every few milliseconds until it holds or `limit` (cut to
// the program's budget) passes; whether it held.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + time_left(limit);
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace test_support
