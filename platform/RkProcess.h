// Host process runner.
#pragma once

#include <string>

#include "host_export.h"

class RK_HOST_API RkProcess {
 public:
  // Runs `command` with /bin/sh -c and captures its standard output into
  // *output and its error output into *errorOutput (into *output as well when
  // `mergeErrorOutput` is true). `timeoutSeconds` bounds the run (0: the
  // host's default bound). Returns 0 only for a clean exit with status 0.
  static int system(const char* command, std::string* output, std::string* errorOutput,
                    int timeoutSeconds, bool mergeErrorOutput);
};
