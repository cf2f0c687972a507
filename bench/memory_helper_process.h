// The seam of the parse benchmark: RkProcess::system copies this text into
// the caller's output and reports success, whatever the command.
#pragma once

#include <string>

namespace bench {
void set_helper_output(std::string text);
}  // namespace bench
