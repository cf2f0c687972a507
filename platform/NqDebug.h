// Host log writer and the per-log descriptor it works on.
//
// A writer is constructed unbound (null descriptor) and bound to a descriptor
// by initialize(). initialize() sets the descriptor's debugLevel, the
// threshold that log facades compare message levels against before they call
// handleMsgEventDebug_NEW. All writers of one log file in a process share one
// sink, so any number of writer objects may write the same log from any
// threads. No operation throws to its caller and none blocks without a bound;
// the writer's own failures are reported on stderr (at most one report per
// log file every 10 s, and one warning when the file cannot be opened).
//
// The file: <log directory>/RKTarnel.log (a non-empty log name given to
// initialize() without '/' names <log directory>/<name>.log instead).
//   - Log directory: environment variable TARNEL_LOG_DIR, else the key store
//     key "sTarnelLogDir", else /var/log/tarnel. Its last level is created
//     (mode 0755) when missing. The file is created with mode 0640; an
//     existing file that this process owns with wider permissions is
//     narrowed to 0640.
//   - The file and its rotation lock <file>.lock are opened only as regular
//     files and never through a symbolic link, whenever they are opened
//     (first use, after a rotation by this or another process): a FIFO, a
//     device, a directory or a link planted there is refused at once, never
//     waited on, and a link's target is never touched. No descriptor the
//     writer keeps is 0, 1 or 2.
//   - If the file cannot be opened, one warning goes to stderr ("tarnel log:
//     cannot open <file>: <reason>; log lines go to stderr", the reason
//     "not a regular file", "is a symbolic link" or the system's error text)
//     and the lines of that log go to stderr; a later initialize() tries the
//     file again. If the lock cannot be opened, that is reported ("tarnel
//     log: cannot open <file>.lock: <reason>") and lines go to the file
//     without rotation, as when the lock is busy (below).
//   - debugLevel: environment variable TARNEL_DEBUG_LEVEL, else the key store
//     key "dTarnelDebugLevel" (a signed decimal), else 0. Read anew by every
//     initialize(); a text that is not a number gives 0.
//   - Environment variable TARNEL_LOG_STDERR=1 copies every line written by
//     writers initialized while it is set to stderr as well, as the
//     mirrorToConsole argument of initialize() does.
//
// A line, written with one write() on a descriptor opened with O_APPEND, so
// lines of threads and processes never tear or interleave:
//   2025-01-31T12:34:56.123456Z <pid> <tid> <function tag>: [code C, id I] <message>
// Time in UTC with microseconds; the tag part only when a function tag is
// given (cut at 1024 bytes); the code/id part only when either is not 0. The
// message is formatted as printf does (it ends at a NUL byte); line feeds at
// its end are dropped and exactly one ends the line. One call writes one
// line: the message's control characters other than tab are escaped, a line
// feed as "\n", a carriage return as "\r", every other byte of a control
// character as "\x" and two lowercase hex digits: the bytes 0x00-0x1f and
// 0x7f ("\x1b"), both bytes of a C1 control encoded in UTF-8 (U+0080 to
// U+009F: U+009B as "\xc2\x9b") and a byte 0x80-0x9f that is no part of a
// well-formed UTF-8 character (shortest form, no surrogate, at most
// U+10FFFF: "\x9b"). A tab, a backslash and every other byte, UTF-8 text
// such as U+00E9 (c3 a9) included, are written as they are, so a logged JSON
// reply keeps its own escapes unchanged (a backslash in the message is
// therefore not doubled, and "\n" in a line may stand for either). A line
// longer than 64 KiB (65,536 bytes with its line feed) after escaping is cut
// there, never inside an escape, and ends with
// " [... N bytes dropped]", N being the bytes of the message as formatted
// that were left out. The severity, category and file arguments of
// handleMsgEventDebug_NEW are not written.
//
// When a write puts only part of a line into the file (a full disk, a file
// size limit), that part stays (cutting it off could cut lines that other
// processes appended after it), the whole line goes to stderr, and the next
// line this process writes to the file starts with a line feed, so that it
// stands whole on a line of its own. Every write of the writer (to the file
// or to stderr) runs with SIGXFSZ blocked for the calling thread, so a write
// past the process's file-size limit (RLIMIT_FSIZE) fails with EFBIG, as a
// failed write, instead of killing the process; the SIGXFSZ it raised is
// consumed before the thread's mask is restored, and one that was pending
// already stays pending.
//
// Rotation: when a line would take the file past the size limit
// (setLogFileSize, MiB; 10 MiB until set; 0 turns rotation off), the file is
// rotated first: <file>.8 becomes <file>.9 and so on down to <file> becoming
// <file>.1, so that setMaxVersion files are kept in all (10 until set; 1 to
// 100): a rotation also removes the numbered files beyond them (<file>.N for
// N from setMaxVersion up to 99) that a larger setting left behind. The
// settings belong to the shared sink: the latest call for a file wins.
// Processes writing the same file rotate under an exclusive flock of
// <file>.lock, waited for at most 1 s; after a time-out the line is written
// without rotating, "tarnel log: cannot lock for rotation <file>: <reason>"
// is reported, and rotation is not tried again for 1 s from the end of the
// wait. A writer notices that another process rotated (the path names
// another inode) and reopens, at the latest after 1 s or 1/8 of the limit
// (at most 256 KiB) of its own output, and always before it would rotate
// itself; rotated files can therefore exceed the limit by that much per
// process. The file's size is kept as a counter, so writing a line makes no
// other system calls than the one write() and the two that block and
// restore SIGXFSZ, apart from those periodic checks.
//
// A line that cannot be written to the file goes to stderr, after the report
// "tarnel log: cannot write <file>: <reason>". The sinks live until the
// process ends, so the destructor of a writer releases nothing and never
// touches its descriptor (which may be gone already). Across fork() the
// sinks are quiesced and the child takes its own rotation lock.
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
  int32_t maxVersions;       // files kept in all (current one included), as last set
  int32_t enabled;           // non-zero while lines are written
  int64_t maxFileSize;       // rotation limit in bytes, as last set; 0 before initialize
  std::string logDirectory;  // directory of the log file
  bool mirrorToConsole;      // copy lines to stderr as well (flag or TARNEL_LOG_STDERR=1)
  int64_t linesWritten;      // lines written through this descriptor
  std::string logName;       // name given to initialize; empty for the default log
  int64_t bytesWritten;      // bytes written through this descriptor

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

  // Binds the writer to `instance`, reads the log directory and debug level,
  // opens (or joins) the log and sets instance->debugLevel. moduleId and
  // instanceId are kept in the descriptor only. May be called again on the
  // same descriptor. Returns 0 when lines go to the file, 1 when they go to
  // stderr (the file could not be opened), -1 for a null descriptor.
  int initialize(NqDebugFileInstance* instance, unsigned int moduleId, long long instanceId,
                 bool mirrorToConsole, const std::string& logName);
  // Size limit of the log file, in MiB (0: no rotation). Returns 0, or -1
  // for an unbound writer.
  int setLogFileSize(unsigned long long sizeMiB);
  // Number of log files kept in all (the current one and its rotations),
  // brought into 1..100. Returns 0, or -1 for an unbound writer.
  int setMaxVersion(int versions);
  // Formats `format` with `args` as printf does and writes one line with the
  // function tag (when not null) and, when not 0, the code and id; a null
  // format writes "(null)". An unbound writer writes the line to stderr.
  // Consumes `args` before returning. Safe to call from any thread for
  // writers of distinct descriptors.
  void handleMsgEventDebug_NEW(int severity, const char* function, unsigned int code, int category,
                               long long id, const char* file, const char* format, va_list args);

 private:
  NqDebugFileInstance* instance_;
};
