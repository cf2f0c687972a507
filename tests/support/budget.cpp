// Linked into a test program (tarnel_test_budget), gives it the time budget
// of waiting.h: once the budget is spent, the first wait of each test adds a
// failure saying so, and every wait returns at once.
#include <gtest/gtest.h>

#include <atomic>

#include "waiting.h"

namespace {

void report_spent() {
  static std::atomic<const ::testing::TestInfo*> reported{nullptr};
  const ::testing::TestInfo* current = ::testing::UnitTest::GetInstance()->current_test_info();
  if (current != nullptr && reported.exchange(current) != current) {
    ADD_FAILURE() << "the test program has used up its time budget of "
                  << test_support::kTestProgramBudget.count()
                  << " s: waits are cut short from here on";
  }
}

[[maybe_unused]] const bool kBudgetSet =
    (test_support::set_time_budget(test_support::kTestProgramBudget, report_spent), true);

}  // namespace
