#include "tarnel_debug.h"

#include <cstdarg>

std::string tarnel_debug::sLogFileName = "RKTarnel";

namespace {
// Identity of the library's log in the host writer.
constexpr unsigned int kLogModuleId = 1147741381;  // 0x446924C5
constexpr long long kLogInstance = 1;
constexpr unsigned long long kLogFileSize = 10;
constexpr int kLogVersions = 10;
// Fixed writer arguments of every line: severity and category are carried by
// the filter, not by the writer.
constexpr int kWriterSeverity = -1;
constexpr int kWriterCategory = -1;
}  // namespace

tarnel_debug::tarnel_debug() : writer(nullptr), fileInstance() { init(); }

tarnel_debug::tarnel_debug(const tarnel_debug& /*other*/) : writer(nullptr), fileInstance() {
  init();
}

tarnel_debug& tarnel_debug::operator=(const tarnel_debug& /*other*/) {
  init();
  return *this;
}

tarnel_debug::~tarnel_debug() = default;

void tarnel_debug::init() {
  writer.initialize(&fileInstance, kLogModuleId, kLogInstance, false, std::string());
  writer.setLogFileSize(kLogFileSize);
  writer.setMaxVersion(kLogVersions);
}

// Each overload checks the level before it touches its arguments, then hands
// the format and the va_list to the writer.
#define TARNEL_FORWARD(function, code, id, format)                                               \
  do {                                                                                           \
    va_list args;                                                                                \
    va_start(args, format);                                                                      \
    writer.handleMsgEventDebug_NEW(kWriterSeverity, function, static_cast<unsigned int>(code),   \
                                   kWriterCategory, static_cast<long long>(id), nullptr, format, \
                                   args);                                                        \
    va_end(args);                                                                                \
  } while (0)

void tarnel_debug::logMessage(int level, const char* format, ...) {
  if (level > fileInstance.debugLevel) return;
  TARNEL_FORWARD(nullptr, 0, 0, format);
}

void tarnel_debug::logMessage(int level, unsigned long id, const char* format, ...) {
  if (level > fileInstance.debugLevel) return;
  TARNEL_FORWARD(nullptr, 0, id, format);
}

void tarnel_debug::logMessage(int code, int level, unsigned long id, const char* format, ...) {
  if (level > fileInstance.debugLevel) return;
  TARNEL_FORWARD(nullptr, code, id, format);
}

void tarnel_debug::logMessage(const char* function, int level, const char* format, ...) {
  if (level > fileInstance.debugLevel) return;
  TARNEL_FORWARD(function, 0, 0, format);
}

void tarnel_debug::logMessage(const char* function, int level, unsigned long id, const char* format,
                              ...) {
  if (level > fileInstance.debugLevel) return;
  TARNEL_FORWARD(function, 0, id, format);
}

void tarnel_debug::logMessage(const char* function, int code, int level, unsigned long id,
                              const char* format, ...) {
  if (level > fileInstance.debugLevel) return;
  TARNEL_FORWARD(function, code, id, format);
}

void tarnel_debug::logError(const char* function, const char* format, ...) {
  TARNEL_FORWARD(function, 0, 0, format);
}

void tarnel_debug::logError(const char* function, unsigned long id, const char* format, ...) {
  TARNEL_FORWARD(function, 0, id, format);
}

void tarnel_debug::logError(const char* function, int code, unsigned long id, const char* format,
                            ...) {
  TARNEL_FORWARD(function, code, id, format);
}
