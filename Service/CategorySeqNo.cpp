#include "Service/CategorySeqNo.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>

#include "Library/CEResultCodes.h"
#include "Utilities/CParamsX.h"
#include "platform/CPortable.h"
#include "trace/KelException.h"
#include "trace/_Trace.h"

namespace {

constexpr const char* kAllMutexName = "Mutex-AllSeqNoInfo";
constexpr const char* kRecordMutexPrefix = "Mutex-SeqNoInfo-";

// Holds last a few microseconds; a lock held this long has a holder that is
// stuck, stopped, or was never there (a forged owner).
constexpr unsigned long kLockWaitMs = 5000;

// Takes a named mutex, waiting at most kLockWaitMs; 0 (a dead holder's lock
// taken over counts), CE_E_STORE_DAMAGED (its block cut short) or
// CE_E_STORE_BUSY, logged with the lock's name,
// `prefix` + `name` (spelt out only then: this is every event's path).
long takeLock(CPMutex* mutex, const std::string& name, const char* prefix = "") {
  const long result = mutex->wait(kLockWaitMs, nullptr);
  if (result == CE_E_STORE_DAMAGED) return result;  // logged by the mutex
  if (result != CP_WAIT_TIMEOUT) return 0;
  evtLog(KelLogLib::LOGLIB_PRIORITY_ERROR,
         "(Error) CCategorySeqNo: the lock %s%s stayed held for %lu ms; its holder is stuck or not a process "
         "of this store",
         prefix, name.c_str(), kLockWaitMs);
  return CE_E_STORE_BUSY;
}

// Holds a named mutex for one scope; ok() is false when it was not taken.
class MutexHold {
 public:
  MutexHold(CPMutex* mutex, const std::string& name) : m_mutex(mutex), m_result(takeLock(mutex, name)) {}
  ~MutexHold() {
    if (m_result == 0) m_mutex->release();
  }
  MutexHold(const MutexHold&) = delete;
  MutexHold& operator=(const MutexHold&) = delete;
  long result() const { return m_result; }

 private:
  CPMutex* m_mutex;
  long m_result;
};

// Opens a mutex and, holding it, its block; `initialise` runs on the block
// (false: the block was cut short meanwhile). Nothing is left open or held
// on failure.
void openGuardedBlock(const std::string& mutexName, const std::string& blockName, unsigned long size,
                      CPMutex** ppMutex, CPSharedMemory** ppBlock,
                      bool (*initialise)(CPSharedMemory* block, const void* context), const void* context) {
  std::unique_ptr<CPMutex> mutex(new CPMutex(1, 0, mutexName, 1, 1));
  std::unique_ptr<CPSharedMemory> block;
  {
    MutexHold hold(mutex.get(), mutexName);
    if (hold.result() != 0) KEL_THROW(hold.result());
    block.reset(new CPSharedMemory(blockName, size));
    if (!initialise(block.get(), context)) KEL_THROW(CE_E_STORE_DAMAGED);
  }
  *ppMutex = mutex.release();
  *ppBlock = block.release();
}

// Each store gets a number no other store of the process ever had, so a
// thread's memory of the last record it used can never point into a store
// that was destroyed and replaced at the same address.
std::atomic<uint64_t> g_nextStoreId{1};

// The record this thread used last. Records live as long as their store, so
// while the store number matches, the record needs no lookup and no lock.
struct LastRecord {
  uint64_t storeId = 0;
  std::string category;
  CCategorySeqNo::CSeqNoInfo* info = nullptr;
};
thread_local LastRecord t_lastRecord;

// A record whose block was found cut short stays refused: its block is not
// touched again, and whoever acquires it is told.
bool refused(const CCategorySeqNo::CSeqNoInfo* info) { return info->m_pSharedMemory->isDamaged(); }

}  // namespace

CCategorySeqNo::CSeqNoInfo::CSeqNoInfo(std::string const& category, unsigned long long ullInitial)
    : m_strCategory(category) {
  openGuardedBlock(
      kRecordMutexPrefix + category, kRecordBlockPrefix + category, sizeof(uint64_t), &m_pMutex, &m_pSharedMemory,
      [](CPSharedMemory* block, const void* context) {
        const uint64_t initial = *static_cast<const unsigned long long*>(context);
        uint64_t value = 0;
        // A 0 left by a creator that died before writing counts as unwritten.
        if (block->isCreator() == 0 && !block->read(0, &value, sizeof value)) return false;
        return (block->isCreator() == 0 && value != 0) || block->write(0, &initial, sizeof initial);
      },
      &ullInitial);
  m_pullSeqNo = static_cast<volatile uint64_t*>(m_pSharedMemory->getAddress());
}

CCategorySeqNo::CSeqNoInfo::~CSeqNoInfo() {
  delete m_pMutex;
  delete m_pSharedMemory;
}

CCategorySeqNo::CAllCategories::CAllCategories() {
  openGuardedBlock(
      kAllMutexName, kAllBlockName, kAllCategoriesSize, &m_pMutex, &m_pSharedMemory,
      [](CPSharedMemory* block, const void*) {
        const char end = '\0';
        // Whatever a peer left, the text ends in the block.
        return (block->isCreator() == 0 || block->write(0, &end, 1)) && block->write(kAllCategoriesSize - 1, &end, 1);
      },
      nullptr);
  m_pszAllCategories = static_cast<char*>(m_pSharedMemory->getAddress());
}

CCategorySeqNo::CAllCategories::~CAllCategories() {
  delete m_pMutex;
  delete m_pSharedMemory;
}

namespace {

// The list block's text, copied out under its mutex; false when the block was cut short.
bool readList(CPSharedMemory* block, std::string* text) {
  char copy[CCategorySeqNo::kAllCategoriesSize];
  if (!block->read(0, copy, sizeof copy)) return false;
  text->assign(copy, strnlen(copy, sizeof copy));
  return true;
}

}  // namespace

long CCategorySeqNo::CAllCategories::addCategory(std::string const& category) {
  MutexHold hold(m_pMutex, kAllMutexName);
  if (hold.result() != 0) return hold.result();
  std::string current;
  if (!readList(m_pSharedMemory, &current)) return CE_E_STORE_DAMAGED;
  CParamsX list(current);
  for (unsigned long i = 0; i < list.count(); ++i)
    if (list.getstringParamAt(i) == category) return 0;
  list.addParam(category);
  const std::string& text = list.paramListRef();
  if (text.size() + 1 > kAllCategoriesSize) return CE_E_CREATE;
  return m_pSharedMemory->write(0, text.c_str(), text.size() + 1) ? 0 : CE_E_STORE_DAMAGED;
}

long CCategorySeqNo::CAllCategories::getAllCategories(std::string* pstrCategories) {
  MutexHold hold(m_pMutex, kAllMutexName);
  if (hold.result() != 0) return hold.result();
  return readList(m_pSharedMemory, pstrCategories) ? 0 : CE_E_STORE_DAMAGED;
}

CCategorySeqNo::CCategorySeqNo() : m_storeId(g_nextStoreId.fetch_add(1)) {
  m_pCritSec = new CPCritSec("", 1);
  try {
    unsigned long long now = 0;
    CPortable::GetCurrentULLFileTimeUTC(&now);
    m_pSeqNoBaseInfo = new CSeqNoInfo(kSeqNoBaseCategory, now);
  } catch (...) {
    delete m_pCritSec;
    throw;
  }
  m_mapSeqNoInfo[kSeqNoBaseCategory] = m_pSeqNoBaseInfo;
}

CCategorySeqNo::~CCategorySeqNo() {
  // The thread's last record is left alone: no later store has this number,
  // and at process exit a static store outlives the main thread's copy.
  for (auto& entry : m_mapSeqNoInfo) delete entry.second;
  m_mapSeqNoInfo.clear();
  delete m_pCritSec;
}

long CCategorySeqNo::findRecord(std::string const& category, bool hold, CSeqNoInfo** ppInfo) {
  LastRecord& last = t_lastRecord;
  if (last.storeId == m_storeId && last.category == category) {
    if (hold) {
      const long taken = takeLock(last.info->m_pMutex, category, kRecordMutexPrefix);
      if (taken != 0) return taken;
    }
    *ppInfo = last.info;
    return refused(last.info) ? CE_E_STORE_DAMAGED : 0;
  }
  CPCritSecHold lock(*m_pCritSec, __LINE__);
  long result = 0;
  CSeqNoInfo* info = nullptr;
  auto found = m_mapSeqNoInfo.find(category);
  if (found != m_mapSeqNoInfo.end()) {
    info = found->second;
  } else {
    // A record that cannot be opened leaves nothing behind, so the next use
    // tries again. Both forms the portable layer may throw are accepted.
    try {
      info = new CSeqNoInfo(category, 0);
    } catch (const KelException& e) {
      result = e.code();
    }
    if (info != nullptr) {
      m_mapSeqNoInfo[category] = info;
      result = m_allCategories.addCategory(category);
    }
  }
  if (info != nullptr && result == 0) {
    last.storeId = m_storeId;
    last.category = category;
    last.info = info;
  }
  if (info != nullptr && hold) {
    const long taken = takeLock(info->m_pMutex, category, kRecordMutexPrefix);
    if (taken != 0) return taken;
  }
  *ppInfo = info;
  return info != nullptr && refused(info) ? CE_E_STORE_DAMAGED : result;
}

long CCategorySeqNo::useCategory(std::string const& category) {
  if (category.empty()) return 0;
  CSeqNoInfo* info = nullptr;
  return findRecord(category, false, &info);
}

long CCategorySeqNo::acquireSeqNoInfo(std::string const& category, CSeqNoInfo** ppInfo) {
  if (category.empty()) return 0;
  return findRecord(category, true, ppInfo);
}

long CCategorySeqNo::releaseSeqNoInfo(CSeqNoInfo* pInfo) { return pInfo->m_pMutex->release(); }

long CCategorySeqNo::getSeqNo(std::string const& category, unsigned long long* pullSeqNo) {
  CSeqNoInfo* info = nullptr;
  long result = acquireSeqNoInfo(category, &info);
  if (info == nullptr) return result;
  uint64_t value = 0;
  const bool read = info->m_pSharedMemory->read(0, &value, sizeof value);
  releaseSeqNoInfo(info);
  if (!read) return CE_E_STORE_DAMAGED;
  *pullSeqNo = value;
  return result;
}

long CCategorySeqNo::setSeqNo(std::string const& category, unsigned long long ullSeqNo) {
  if (category == kSeqNoBaseCategory) return CE_E_INVALID_TEXT;  // the base is not a category's number
  CSeqNoInfo* info = nullptr;
  long result = acquireSeqNoInfo(category, &info);
  if (info == nullptr) return result;
  const uint64_t value = ullSeqNo;
  const bool written = info->m_pSharedMemory->write(0, &value, sizeof value);
  releaseSeqNoInfo(info);
  return written ? result : CE_E_STORE_DAMAGED;
}

long CCategorySeqNo::getNextSeqNo(std::string const& category, unsigned long long* pullSeqNo) {
  if (category == kSeqNoBaseCategory) return CE_E_INVALID_TEXT;
  CSeqNoInfo* info = nullptr;
  long result = acquireSeqNoInfo(category, &info);
  if (info == nullptr) return result;
  uint64_t last = 0;
  if (!info->m_pSharedMemory->read(0, &last, sizeof last) ||
      (last == 0 && !m_pSeqNoBaseInfo->m_pSharedMemory->read(0, &last, sizeof last))) {
    releaseSeqNoInfo(info);
    return CE_E_STORE_DAMAGED;  // logged by the block, once
  }
  if (last < info->m_lastIssued || last == UINT64_MAX) {
    // Rewound, or at the end of the series: issuing would repeat a number
    // that subscribers may already have.
    releaseSeqNoInfo(info);
    evtLog(KelLogLib::LOGLIB_PRIORITY_ERROR,
           "(Error) CCategorySeqNo: the number of %s stands at %llu, %s; no number issued", category.c_str(),
           static_cast<unsigned long long>(last),
           last == UINT64_MAX ? "the end of the series" : "below one this process issued");
    return CE_E_STORE_DAMAGED;
  }
  const uint64_t next = last + 1;
  const bool written = info->m_pSharedMemory->write(0, &next, sizeof next);
  if (written) info->m_lastIssued = next;
  releaseSeqNoInfo(info);
  if (!written) return CE_E_STORE_DAMAGED;
  *pullSeqNo = next;
  return result;
}

// 0 when the base block was cut short.
unsigned long long CCategorySeqNo::getSeqNoBase() {
  uint64_t base = 0;
  return m_pSeqNoBaseInfo->m_pSharedMemory->read(0, &base, sizeof base) ? base : 0;
}

long CCategorySeqNo::getAllCategories(std::string* pstrCategories) {
  return m_allCategories.getAllCategories(pstrCategories);
}
