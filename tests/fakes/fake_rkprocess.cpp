// Fake process runner: plays back scripted results.
#include <stdexcept>

#include "RkCancel.h"
#include "RkProcess.h"
#include "fake_host.h"
#include "fake_state.h"

namespace fake {

std::deque<ProcessResult>& process_script() { return kept<std::deque<ProcessResult>>(); }

std::vector<ProcessCall>& process_calls() { return kept<std::vector<ProcessCall>>(); }

ProcessResult exited(int status, const std::string& output, const std::string& errorOutput) {
  ProcessResult result;
  result.status = status;
  result.output = output;
  result.errorOutput = errorOutput;
  return result;
}

ProcessResult runner_throws() {
  ProcessResult result;
  result.throwRuntime = true;
  return result;
}

}  // namespace fake

namespace {

fake::ProcessResult next_result() {
  fake::ProcessResult result;
  if (!fake::process_script().empty()) {
    result = fake::process_script().front();
    fake::process_script().pop_front();
  }
  return result;
}

int play(const fake::ProcessResult& result, std::string* output, std::string* errorOutput) {
  if (result.throwRuntime) throw std::runtime_error("scripted runner failure");
  if (output) *output = result.output;
  if (errorOutput) *errorOutput = result.errorOutput;
  return result.status;
}

}  // namespace

int RkProcess::system(const char* command, std::string* output, std::string* errorOutput,
                      int timeoutSeconds, bool mergeErrorOutput) {
  fake::journal().push_back(std::string("RkProcess::system(") + (command ? command : "null") + ")");
  fake::process_calls().push_back({command ? command : "", output == nullptr,
                                   errorOutput == nullptr, timeoutSeconds, mergeErrorOutput});
  return play(next_result(), output, errorOutput);
}

int RkProcess::system(const char* command, std::string* output, std::string* errorOutput,
                      int timeoutSeconds, bool mergeErrorOutput, const RkCancelToken* token) {
  fake::journal().push_back(std::string("RkProcess::system(") + (command ? command : "null") +
                            ", token)");
  fake::process_calls().push_back({command ? command : "", output == nullptr,
                                   errorOutput == nullptr, timeoutSeconds, mergeErrorOutput, true,
                                   token});
  const bool cancelledBefore = token != nullptr && token->cancelled();
  const fake::ProcessResult result = cancelledBefore ? fake::ProcessResult() : next_result();
  if (token != nullptr && result.cancelDuringRun) fake::cancel(token);
  if (token == nullptr || !token->cancelled()) return play(result, output, errorOutput);
  if (output) output->clear();
  if (errorOutput) *errorOutput = "RkProcess: cancelled\n";
  return -3;
}
