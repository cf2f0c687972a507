// Fake process runner: plays back scripted results.
#include <stdexcept>

#include "RkProcess.h"
#include "fake_host.h"

namespace fake {

std::deque<ProcessResult>& processScript() {
  static std::deque<ProcessResult> script;
  return script;
}

std::vector<ProcessCall>& processCalls() {
  static std::vector<ProcessCall> calls;
  return calls;
}

void resetProcess() {
  processScript().clear();
  processCalls().clear();
}

}  // namespace fake

int RkProcess::system(const char* command, std::string* output, std::string* errorOutput,
                      int timeoutSeconds, bool mergeErrorOutput) {
  fake::journal().push_back(std::string("RkProcess::system(") + (command ? command : "null") +
                            ")");
  fake::processCalls().push_back({command ? command : "", output == nullptr,
                                  errorOutput == nullptr, timeoutSeconds, mergeErrorOutput});
  fake::ProcessResult result;
  if (!fake::processScript().empty()) {
    result = fake::processScript().front();
    fake::processScript().pop_front();
  }
  if (result.throwRuntime) throw std::runtime_error("scripted runner failure");
  if (output) *output = result.output;
  if (errorOutput) *errorOutput = result.errorOutput;
  return result.status;
}
