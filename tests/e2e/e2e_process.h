// The end-to-end tests' names for the support library's temporary
// directories, scratch files, child processes and bounded waits
// (tests/support): every wait of an end-to-end program is also bounded by its
// time budget (kProgramBudget), so that a broken run ends with failures, its
// children stopped, before the test runner's time limit kills it.
#pragma once

#include "child_process.h"
#include "scratch.h"
#include "waiting.h"

namespace e2e {

constexpr std::chrono::seconds kProgramBudget = test_support::kTestProgramBudget;

using test_support::clean_environment;
using test_support::eventually;
using test_support::LaunchPlan;
using test_support::Process;
using test_support::read_file;
using test_support::run;
using test_support::RunResult;
using test_support::TempDir;
using test_support::time_left;
using test_support::write_file;

}  // namespace e2e
