// The process runner of the parse benchmark (link seam, the way the unit
// tests replace the host services): instead of running the drive helper it
// hands back the text set with set_helper_output, so that the benchmark
// measures the library's parse of that text and nothing of a process.
#include "memory_helper_process.h"

#include <string>

#include "RkProcess.h"

namespace {
std::string g_output;
}  // namespace

namespace bench {
void set_helper_output(std::string text) { g_output = std::move(text); }
}  // namespace bench

int RkProcess::system(const char* /*command*/, std::string* output, std::string* errorOutput,
                      int /*timeoutSeconds*/, bool /*mergeErrorOutput*/,
                      const RkCancelToken* /*token*/) {
  if (output != nullptr) *output = g_output;
  if (errorOutput != nullptr) errorOutput->clear();
  return 0;
}

int RkProcess::system(const char* command, std::string* output, std::string* errorOutput,
                      int timeoutSeconds, bool mergeErrorOutput) {
  return system(command, output, errorOutput, timeoutSeconds, mergeErrorOutput, nullptr);
}
