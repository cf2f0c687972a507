// Host log writer and the per-log descriptor it works on.
//
// A writer is constructed unbound (null descriptor) and bound to a descriptor
// by initialize(). initialize() sets the descriptor's debugLevel, the
// threshold that log facades compare message levels against before they call
// handleMsgEventDebug_NEW. All writers of one log in a process share one sink,
// so any number of writer objects may write the same log from any threads.
// No operation throws to its caller; failures are reported on stderr.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

#include "host_export.h"

class NqDebug;

class RK_HOST_API NqDebugFileInstance {
 public:
  NqDebugFileInstance()
      : sinkIndex(-1),
        moduleId(0),
        instanceId(0),
        maxVersions(1),
        enabled(1),
        maxFileSize(0),
        logDirectory(),
        mirrorToConsole(false),
        linesWritten(0),
        logName(),
        bytesWritten(0) {}
  ~NqDebugFileInstance() = default;

 private:
  friend class NqDebug;
  int32_t sinkIndex;         // shared sink of this log; -1 while unbound
  int64_t moduleId;          // identity passed to initialize
  int64_t instanceId;        // instance number passed to initialize
  int32_t maxVersions;       // files kept in all (current one included)
  int32_t enabled;           // non-zero while lines are written
  int64_t maxFileSize;       // rotation limit in bytes; 0 before setLogFileSize
  std::string logDirectory;  // directory of the log file
  bool mirrorToConsole;      // copy lines to stderr as well
  int64_t linesWritten;      // lines this descriptor has written
  std::string logName;       // name given to initialize; empty for the default log
  int64_t bytesWritten;      // bytes this descriptor has written

 public:
  // Threshold of the level filter: a message whose level is above it is not
  // written. Set by NqDebug::initialize.
  int32_t debugLevel;
};

class RK_HOST_API NqDebug {
 public:
  explicit NqDebug(NqDebugFileInstance* instance);
  ~NqDebug();
  NqDebug(const NqDebug&) = delete;
  NqDebug& operator=(const NqDebug&) = delete;

  // Binds the writer to `instance`, opens (or joins) the log and sets
  // instance->debugLevel. May be called again on the same descriptor.
  // Returns 0 on success.
  int initialize(NqDebugFileInstance* instance, unsigned int moduleId, long long instanceId,
                 bool mirrorToConsole, const std::string& logName);
  // Size limit of the log file, in MiB. Returns 0.
  int setLogFileSize(unsigned long long sizeMiB);
  // Number of log files kept in all (the current one and its rotations). Returns 0.
  int setMaxVersion(int versions);
  // Formats `format` with `args` as printf does and writes one line with the
  // function tag (when not null). Consumes `args` before returning.
  void handleMsgEventDebug_NEW(int severity, const char* function, unsigned int code, int category,
                               long long id, const char* file, const char* format, va_list args);

 private:
  NqDebugFileInstance* instance_;
};
