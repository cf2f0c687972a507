#include "RkException.h"

RkException::RkException(const char* function, const std::string& message, const char* file,
                         int line, int code)
    : std::runtime_error(message),
      function_(function ? function : ""),
      file_(file ? file : ""),
      line_(line),
      code_(code) {}
