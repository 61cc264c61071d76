// CCategorySeqNo: per-category 64-bit sequence numbers shared by every process
// on the machine, 32-bit and 64-bit alike.
//
// Shared objects (logical names; the portable layer maps them to system names):
//   "Share-AllSeqNoInfo" (1024 bytes)  the names of all categories used, as a
//                                      NUL-terminated parameter list text
//   "Share-SeqNoInfo-<category>" (8)   the category's last number, uint64_t,
//                                      0 before the first one
//   "Share-SeqNoInfo-$this$seqnobase$" the machine-wide base, seeded from the
//                                      UTC file time by its creator
// each guarded by the "Mutex-..." of the same suffix.
//
// The first number of a category is base + 1, every later one the previous
// plus 1, whichever process issues it. Results are 0 or a negative code;
// CE_E_CREATE also when the list of all categories is full, in which case the
// operation itself was still carried out. CE_E_STORE_DAMAGED when a record's
// number went backwards, or when a block was found cut short by another
// process after it was mapped: the cause is logged once per block, and the
// record (or list, or base) stays refused for the life of the store.
//
// Thread-safe; a thread reaches the record it used last without the store's
// lock (records live as long as their store). Lock order: the store's own lock, then a category mutex, then
// the list mutex.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "../Library/CEExport.h"

class CPCritSec;
class CPMutex;
class CPSharedMemory;

class CE_EXPORT CCategorySeqNo {
 public:
  static constexpr unsigned long kAllCategoriesSize = 1024;
  static constexpr const char* kSeqNoBaseCategory = "$this$seqnobase$";
  // The shared block listing every category; the first object of the store.
  static constexpr const char* kAllBlockName = "Share-AllSeqNoInfo";
  // A category's block is this prefix and the category's name.
  static constexpr const char* kRecordBlockPrefix = "Share-SeqNoInfo-";

  // One category record of this process: its block and mutex.
  class CE_EXPORT CSeqNoInfo {
   public:
    // Opens (creating when first) the category's mutex and block; a block's
    // creator stores `ullInitial`. Throws KelException when an object cannot
    // be opened; the mutex is never left held.
    CSeqNoInfo(std::string const& category, unsigned long long ullInitial);
    ~CSeqNoInfo();
    CSeqNoInfo(const CSeqNoInfo&) = delete;
    CSeqNoInfo& operator=(const CSeqNoInfo&) = delete;

    std::string m_strCategory;
    CPSharedMemory* m_pSharedMemory = nullptr;
    CPMutex* m_pMutex = nullptr;
    volatile uint64_t* m_pullSeqNo = nullptr;
    // The last number this process issued from the record (under its
    // mutex): a shared number below it was rewound by someone.
    uint64_t m_lastIssued = 0;
  };

  // The list of all categories used on the machine.
  class CE_EXPORT CAllCategories {
   public:
    CAllCategories();
    ~CAllCategories();
    CAllCategories(const CAllCategories&) = delete;
    CAllCategories& operator=(const CAllCategories&) = delete;
    // 0 when the name is (now) listed; CE_E_CREATE when it no longer fits.
    long addCategory(std::string const& category);
    long getAllCategories(std::string* pstrCategories);

    CPSharedMemory* m_pSharedMemory = nullptr;
    CPMutex* m_pMutex = nullptr;
    char* m_pszAllCategories = nullptr;
  };

  // Opens the list and the base record; throws KelException(CE_E_CREATE)
  // when a shared object cannot be opened.
  CCategorySeqNo();
  ~CCategorySeqNo();
  CCategorySeqNo(const CCategorySeqNo&) = delete;
  CCategorySeqNo& operator=(const CCategorySeqNo&) = delete;

  // Opens the category's record and lists the name. An empty name does nothing.
  long useCategory(std::string const& category);
  // The record, its mutex held, in *ppInfo (null when it could not be
  // opened; untouched for an empty name). Whenever a record comes back it
  // must be released, whatever the result.
  long acquireSeqNoInfo(std::string const& category, CSeqNoInfo** ppInfo);
  long releaseSeqNoInfo(CSeqNoInfo* pInfo);
  // For an empty name, or a record that cannot be opened, these do nothing
  // and leave their output untouched. The base's own record is no category:
  // setSeqNo and getNextSeqNo refuse it with CE_E_INVALID_TEXT.
  long getSeqNo(std::string const& category, unsigned long long* pullSeqNo);
  long setSeqNo(std::string const& category, unsigned long long ullSeqNo);
  long getNextSeqNo(std::string const& category, unsigned long long* pullSeqNo);
  // 0 when the base's block was cut short.
  unsigned long long getSeqNoBase();
  long getAllCategories(std::string* pstrCategories);

 private:
  // Finds or opens the record; `hold` takes its mutex before returning.
  long findRecord(std::string const& category, bool hold, CSeqNoInfo** ppInfo);

  CAllCategories m_allCategories;
  std::map<std::string, CSeqNoInfo*> m_mapSeqNoInfo;
  CPCritSec* m_pCritSec = nullptr;
  CSeqNoInfo* m_pSeqNoBaseInfo = nullptr;
  const uint64_t m_storeId;  // distinct for every store of the process
};
