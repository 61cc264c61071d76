// The process-wide trace facility: one reference-counted CTraceUtility, reached
// through g_ptu, owning the log file every part of the library writes to.
//
// Each engine holds one reference from its construction to its destruction;
// the first creation configures the facility, later ones only count. Any
// thread may log through g_ptu while a reference is held. The helpers below
// are the only way the library writes lines: they skip the line silently when
// there is no facility or no log file.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "../Library/CEExport.h"
#include "../platform/KelLogLib.h"

class CPCritSec;

class CE_EXPORT CTraceUtility {
 public:
  CTraceUtility(const char* pszLogName1, const char* pszLogName2, const char* pszRegistryName, int bLogFlag1,
                const char* pszRegistryParent, int bLogFlag2, unsigned long ulRegistryValue);
  // Deletes the registry object, then the log file.
  ~CTraceUtility();
  CTraceUtility(const CTraceUtility&) = delete;
  CTraceUtility& operator=(const CTraceUtility&) = delete;

  void setFlushOnDestroy(int bFlush) { m_bFlushOnDestroy = bFlush; }
  KelLogLib::CLogFile* logFile() const { return m_pLogFile; }
  int32_t refCount() const { return m_lRefCount; }

 private:
  friend void CreateCTraceUtility(std::atomic<CTraceUtility*>*, const char*, const char*, const char*, int,
                                  const char*, int, unsigned long);
  friend void DestroyCTraceUtility(std::atomic<CTraceUtility*>*);

  KelLogLib::CLogFile* m_pLogFile = nullptr;
  int32_t m_lRefCount = 1;  // guarded by g_critsecCTraceUtility
  int m_bFlushOnDestroy = 0;
  KelLogLib::CLogFileRegistry* m_pLogFileRegistry = nullptr;
};

// The facility of this process; null before the first creation and after the
// last release.
CE_EXPORT extern std::atomic<CTraceUtility*> g_ptu;
// Guards creation and release of the facility. Never destroyed, so that host
// objects destroyed at process exit can still release their reference.
CE_EXPORT extern CPCritSec& g_critsecCTraceUtility;

// Creates the facility in *ppTrace, or adds a reference to the existing one
// (the arguments are then ignored). A failure of the log library's
// constructors propagates, leaving *ppTrace unchanged.
CE_EXPORT void CreateCTraceUtility(std::atomic<CTraceUtility*>* ppTrace, const char* pszLogName1,
                                   const char* pszLogName2, const char* pszRegistryName, int bLogFlag1,
                                   const char* pszRegistryParent, int bLogFlag2, unsigned long ulRegistryValue);
// Drops one reference; the last one destroys the facility and nulls *ppTrace.
CE_EXPORT void DestroyCTraceUtility(std::atomic<CTraceUtility*>* ppTrace);

// One reference to the library's own log (evt.log in the log directory) for
// as long as it lives: what every host object, the service and a tool that
// uses the library's shared objects hold, so their failures are written down.
class CE_EXPORT CLibraryLog {
 public:
  CLibraryLog() { CreateCTraceUtility(&g_ptu, "evt", "evtl", "EventSystem", 1, nullptr, 1, 40000); }
  ~CLibraryLog() { DestroyCTraceUtility(&g_ptu); }
  CLibraryLog(const CLibraryLog&) = delete;
  CLibraryLog& operator=(const CLibraryLog&) = delete;

  // Where the lines go; empty for standard error.
  std::string path() const {
    CTraceUtility* trace = g_ptu.load();
    return trace != nullptr && trace->logFile() != nullptr ? trace->logFile()->path() : std::string();
  }
};

// Trace classes.
constexpr unsigned long TRACE_LIFECYCLE = 1;  // lifecycle and connection
constexpr unsigned long TRACE_TRAFFIC = 2;    // requests received, events fired
constexpr unsigned long TRACE_DETAIL = 8;     // subscribe, execute, sequence-number checks

// A trace line of class `mask` through g_ptu.
CE_EXPORT void evtTrace(unsigned long mask, KelLogLib::LogLib_Priority priority, const char* format, ...)
    CE_PRINTF(3, 4);
// A log line (no mask test) through g_ptu.
CE_EXPORT void evtLog(KelLogLib::LogLib_Priority priority, const char* format, ...) CE_PRINTF(2, 3);

// Keeps the lines written by this thread in its scope together in the log.
class CE_EXPORT CLogBlock {
 public:
  CLogBlock();
  ~CLogBlock();
  CLogBlock(const CLogBlock&) = delete;
  CLogBlock& operator=(const CLogBlock&) = delete;

 private:
  KelLogLib::CLogFile* m_pLogFile;
};
