// Host exception type: a runtime error that remembers where it was raised.
#pragma once

#include <stdexcept>
#include <string>

#include "host_export.h"

class RK_HOST_API RkException : public std::runtime_error {
 public:
  RkException(const char* function, const std::string& message, const char* file, int line,
              int code);

  const std::string& function() const { return function_; }
  const std::string& file() const { return file_; }
  int line() const { return line_; }
  int code() const { return code_; }

 private:
  std::string function_;
  std::string file_;
  int line_;
  int code_;
};
