// The logging library: a thread-safe line logger and the object that
// configures it.
//
// Lines go to <dir>/<name1>.log, where <dir> is $EVT_LOG_DIR (default
// /tmp/evt-log-<uid>, the user's own; "stderr" writes to standard error
// instead). Each line reads
//   2026-12-06T19:45:07.123Z INF pid 1234 tid 1240 <text>
// and is written with one append, so lines of several processes sharing a file
// never interleave. The 32-bit trace mask tested by TraceString is set by
// CLogFileRegistry from $EVT_TRACE_MASK or from the "trace_mask" entry of the
// key = value file named by $EVT_LOG_CONFIG; it is 0 (traces off) otherwise.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <atomic>
#include <mutex>
#include <string>

#include "../Library/CEExport.h"

namespace KelLogLib {

enum LogLib_Priority : int {
  LOGLIB_PRIORITY_EVENT = 1,   // one line per event
  LOGLIB_PRIORITY_INFO = 2,    // ordinary information
  LOGLIB_PRIORITY_ERROR = 64,  // failures: the lines beginning "(Error)"
};

constexpr const char* kLogDirEnv = "EVT_LOG_DIR";
// The default folder is this followed by "-<uid>".
constexpr const char* kDefaultLogDir = "/tmp/evt-log";
// A log file reaching this many bytes (default 16 MiB; 0: no bound) is renamed
// to <name>.log.1, the older ones moving on to .2 and so on, and a new one
// begun; kLogKeepEnv full files are kept (default 1), the oldest removed.
constexpr const char* kLogMaxBytesEnv = "EVT_LOG_MAX_BYTES";
constexpr unsigned long long kDefaultLogMaxBytes = 16ull << 20;
constexpr const char* kLogKeepEnv = "EVT_LOG_KEEP";
constexpr const char* kTraceMaskEnv = "EVT_TRACE_MASK";
constexpr const char* kLogConfigEnv = "EVT_LOG_CONFIG";

class CLogFileRegistry;

class CE_EXPORT CLogFile {
 public:
  // name1 names the file; name2 is kept as the logger's second name. The
  // flags are accepted for compatibility and have no effect here.
  CLogFile(const char* name1, const char* name2, bool, bool, bool);
  virtual ~CLogFile();
  CLogFile(const CLogFile&) = delete;
  CLogFile& operator=(const CLogFile&) = delete;

  // Always 1: this logger runs on the client machine.
  static int OnClientMachine();

  // Formats one line with vsnprintf (any length) and writes it. Returns 0, or
  // -1 when the line could not be written. `category` may be null.
  long LogStringArgListX(LogLib_Priority priority, const char* category, const char* format,
                         va_list args) const CE_PRINTF(4, 0);
  // One line, whatever the trace mask.
  long LogString(LogLib_Priority priority, const char* format, ...) const CE_PRINTF(3, 4);
  // One line when `mask` shares a bit with the trace mask; else 0 and nothing written.
  long TraceString(unsigned long mask, LogLib_Priority priority, const char* format, ...) const
      CE_PRINTF(4, 5) {
    if ((static_cast<uint32_t>(mask) & m_dwTraceMask.load(std::memory_order_relaxed)) == 0) return 0;
    va_list args;
    va_start(args, format);
    long result = LogStringArgListX(priority, nullptr, format, args);
    va_end(args);
    return result;
  }

  // Between LogLock and LogUnlock no other thread's line is written; the
  // holder's own lines are. Calls nest.
  void LogLock();
  void LogUnlock();
  // Lines are written synchronously; this returns at once.
  void WaitForWrites();

  uint32_t traceMask() const { return m_dwTraceMask.load(std::memory_order_relaxed); }
  const std::string& path() const { return m_strPath; }

 private:
  friend class CLogFileRegistry;

  std::string m_strName2;
  // Before writing `size` bytes: begins a new file when this one is full, or
  // when another process has renamed or removed it. Under m_mutex.
  void rotateIfDue(std::size_t size) const;

  std::string m_strPath;  // empty: standard error
  mutable int m_fd = -1;
  unsigned long long m_maxBytes = kDefaultLogMaxBytes;
  mutable std::recursive_mutex m_mutex;
  std::atomic<uint32_t> m_dwTraceMask{0};
};

// Configuration bound to one log file: sets its trace mask (see above). The
// numeric arguments are the configuration's defaults from the caller and are
// kept for compatibility; this logger has no rotation or buffering to tune.
class CE_EXPORT CLogFileRegistry {
 public:
  CLogFileRegistry(CLogFile* logFile, const char* registryName, const char* registryParent, const char*,
                   const char*, int onClientMachine, unsigned long, unsigned long, unsigned long,
                   unsigned long, unsigned long, unsigned long, unsigned long, unsigned long,
                   unsigned long, int, int, unsigned long, int, int);
  virtual ~CLogFileRegistry();
  CLogFileRegistry(const CLogFileRegistry&) = delete;
  CLogFileRegistry& operator=(const CLogFileRegistry&) = delete;

  const std::string& registryName() const { return m_strRegistryName; }

 private:
  CLogFile* m_pLogFile;  // not owned
  std::string m_strRegistryName;
};

}  // namespace KelLogLib
