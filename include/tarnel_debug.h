// Diagnostic log facade held by every class of the library.
//
// Each facade owns a host log writer and its descriptor and sets them up once
// (init): the library's log identity, a size limit of 10 and 10 kept
// versions. logMessage hands a line to the writer only when its level is at
// most the descriptor's debugLevel (signed compare); a dropped line costs
// that one comparison and never touches the writer or the arguments.
// logError is never filtered. Nothing is formatted here: the format and its
// arguments reach the writer as a va_list. Exceptions from the writer pass
// through. A facade is used by one thread at a time.
#pragma once

#include <string>

#include "NqDebug.h"
#include "tarnel_export.h"

#if defined(__GNUC__)
#define TARNEL_PRINTF(fmt, first) __attribute__((format(printf, fmt, first)))
#else
#define TARNEL_PRINTF(fmt, first)
#endif

class TARNEL_API tarnel_debug {
 public:
  tarnel_debug();
  // Initialises afresh; the source is not read.
  tarnel_debug(const tarnel_debug& other);
  // Runs init() on this facade again; the source is not read.
  tarnel_debug& operator=(const tarnel_debug& other);
  ~tarnel_debug();

  void init();

  void logMessage(int level, const char* format, ...) TARNEL_PRINTF(3, 4);
  void logMessage(int level, unsigned long id, const char* format, ...) TARNEL_PRINTF(4, 5);
  void logMessage(int code, int level, unsigned long id, const char* format, ...)
      TARNEL_PRINTF(5, 6);
  void logMessage(const char* function, int level, const char* format, ...) TARNEL_PRINTF(4, 5);
  void logMessage(const char* function, int level, unsigned long id, const char* format, ...)
      TARNEL_PRINTF(5, 6);
  void logMessage(const char* function, int code, int level, unsigned long id, const char* format,
                  ...) TARNEL_PRINTF(6, 7);
  void logError(const char* function, const char* format, ...) TARNEL_PRINTF(3, 4);
  void logError(const char* function, unsigned long id, const char* format, ...)
      TARNEL_PRINTF(4, 5);
  void logError(const char* function, int code, unsigned long id, const char* format, ...)
      TARNEL_PRINTF(5, 6);

  // The library's log name, "RKTarnel", published for the host.
  static std::string sLogFileName;

 private:
  NqDebug writer;
  NqDebugFileInstance fileInstance;
};
