#include "trace/_Trace.h"

#include <cstdarg>
#include <memory>

#include "platform/CPortable.h"

namespace {

CPCritSec& traceLock() {
  static CPCritSec* lock = new CPCritSec("", 1);  // leaked on purpose: see the header
  return *lock;
}

// Holds the facility lock for a scope, also when a constructor throws.
class TraceLockHold {
 public:
  explicit TraceLockHold(long line) : m_line(line) { traceLock().enter(line); }
  ~TraceLockHold() { traceLock().leave(m_line); }

 private:
  long m_line;
};

KelLogLib::CLogFile* currentLogFile() {
  CTraceUtility* trace = g_ptu.load(std::memory_order_acquire);
  return trace != nullptr ? trace->logFile() : nullptr;
}

}  // namespace

std::atomic<CTraceUtility*> g_ptu{nullptr};
CPCritSec& g_critsecCTraceUtility = traceLock();

CTraceUtility::CTraceUtility(const char* pszLogName1, const char* pszLogName2, const char* pszRegistryName,
                             int bLogFlag1, const char* pszRegistryParent, int bLogFlag2,
                             unsigned long ulRegistryValue) {
  std::unique_ptr<KelLogLib::CLogFile> logFile(
      new KelLogLib::CLogFile(pszLogName1, pszLogName2, true, bLogFlag1 != 0, bLogFlag2 != 0));
  int onClientMachine = KelLogLib::CLogFile::OnClientMachine();
  const char* parent = pszRegistryParent != nullptr ? pszRegistryParent : pszRegistryName;
  const char* child = pszRegistryParent != nullptr ? pszRegistryName : nullptr;
  m_pLogFileRegistry = new KelLogLib::CLogFileRegistry(logFile.get(), parent, child, nullptr, nullptr,
                                                       onClientMachine, 1, 100, 1000, 3, 1023, 0, 1023, 0,
                                                       10000, 0, 1, ulRegistryValue, 1, 0);
  m_pLogFile = logFile.release();
}

CTraceUtility::~CTraceUtility() {
  delete m_pLogFileRegistry;
  m_pLogFileRegistry = nullptr;
  delete m_pLogFile;
  m_pLogFile = nullptr;
}

void CreateCTraceUtility(std::atomic<CTraceUtility*>* ppTrace, const char* pszLogName1, const char* pszLogName2,
                         const char* pszRegistryName, int bLogFlag1, const char* pszRegistryParent,
                         int bLogFlag2, unsigned long ulRegistryValue) {
  TraceLockHold hold(__LINE__);
  CTraceUtility* trace = ppTrace->load(std::memory_order_acquire);
  if (trace != nullptr) {
    ++trace->m_lRefCount;
    return;
  }
  ppTrace->store(new CTraceUtility(pszLogName1, pszLogName2, pszRegistryName, bLogFlag1, pszRegistryParent,
                                   bLogFlag2, ulRegistryValue),
                 std::memory_order_release);
}

void DestroyCTraceUtility(std::atomic<CTraceUtility*>* ppTrace) {
  TraceLockHold hold(__LINE__);
  CTraceUtility* trace = ppTrace->load(std::memory_order_acquire);
  if (trace == nullptr || --trace->m_lRefCount > 0) return;
  if (trace->m_pLogFile != nullptr && trace->m_bFlushOnDestroy != 0) trace->m_pLogFile->WaitForWrites();
  ppTrace->store(nullptr, std::memory_order_release);
  delete trace;
}

void evtTrace(unsigned long mask, KelLogLib::LogLib_Priority priority, const char* format, ...) {
  KelLogLib::CLogFile* log = currentLogFile();
  if (log == nullptr || (static_cast<uint32_t>(mask) & log->traceMask()) == 0) return;
  va_list args;
  va_start(args, format);
  log->LogStringArgListX(priority, nullptr, format, args);
  va_end(args);
}

void evtLog(KelLogLib::LogLib_Priority priority, const char* format, ...) {
  KelLogLib::CLogFile* log = currentLogFile();
  if (log == nullptr) return;
  va_list args;
  va_start(args, format);
  log->LogStringArgListX(priority, nullptr, format, args);
  va_end(args);
}

CLogBlock::CLogBlock() : m_pLogFile(currentLogFile()) {
  if (m_pLogFile != nullptr) m_pLogFile->LogLock();
}

CLogBlock::~CLogBlock() {
  if (m_pLogFile != nullptr) m_pLogFile->LogUnlock();
}
