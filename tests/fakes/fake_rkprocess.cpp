// Fake process runner: plays back scripted results.
#include <stdexcept>

#include "RkCancel.h"
#include "RkProcess.h"
#include "fake_host.h"
#include "fake_state.h"

namespace fake {

std::deque<ProcessResult>& processScript() { return kept<std::deque<ProcessResult>>(); }

std::vector<ProcessCall>& processCalls() { return kept<std::vector<ProcessCall>>(); }

ProcessResult exited(int status, const std::string& output, const std::string& errorOutput) {
  ProcessResult result;
  result.status = status;
  result.output = output;
  result.errorOutput = errorOutput;
  return result;
}

ProcessResult runnerThrows() {
  ProcessResult result;
  result.throwRuntime = true;
  return result;
}

}  // namespace fake

namespace {

fake::ProcessResult nextResult() {
  fake::ProcessResult result;
  if (!fake::processScript().empty()) {
    result = fake::processScript().front();
    fake::processScript().pop_front();
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
  fake::journal().push_back(std::string("RkProcess::system(") + (command ? command : "null") +
                            ")");
  fake::processCalls().push_back({command ? command : "", output == nullptr,
                                  errorOutput == nullptr, timeoutSeconds, mergeErrorOutput});
  return play(nextResult(), output, errorOutput);
}

int RkProcess::system(const char* command, std::string* output, std::string* errorOutput,
                      int timeoutSeconds, bool mergeErrorOutput, const RkCancelToken* token) {
  fake::journal().push_back(std::string("RkProcess::system(") + (command ? command : "null") +
                            ", token)");
  fake::processCalls().push_back({command ? command : "", output == nullptr,
                                  errorOutput == nullptr, timeoutSeconds, mergeErrorOutput, true,
                                  token});
  const bool cancelledBefore = token != nullptr && token->cancelled();
  const fake::ProcessResult result = cancelledBefore ? fake::ProcessResult() : nextResult();
  if (token != nullptr && result.cancelDuringRun) fake::cancel(token);
  if (token == nullptr || !token->cancelled()) return play(result, output, errorOutput);
  if (output) output->clear();
  if (errorOutput) *errorOutput = "RkProcess: cancelled\n";
  return -3;
}
