// The portable system layer the library calls for threads, time, number text,
// in-process locks, wake-up events and machine-wide named objects.
//
// The Linux implementation lives in platform/linux/. Named objects (CPMutex,
// CPSharedMemory) take logical names that every process agrees on; the layer
// maps each to an operating-system name (see platform/linux/ObjectNames.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "Library/CEExport.h"
#include "platform/ThreadAnnotations.h"

class CTerminateWait;  // only ever passed as a null pointer

class CE_EXPORT CPortable {
 public:
  // Buffer size that holds the decimal text of any `long` or `int` and its NUL.
  static constexpr int kNumberTextSize = 24;

  // Starts a detached thread running entry(arg). Returns non-zero on success,
  // 0 when no thread could be created. `idOut` (may be null) receives an
  // opaque thread id; `name`, when not empty, names the thread.
  static int CreateThread(void (*entry)(void*), void* arg, unsigned long* idOut, const std::string& name);
  static int GetCurrentProcessId();
  // UTC time in 100 ns units since 1601-01-01; never decreases within a process.
  static void GetCurrentULLFileTimeUTC(unsigned long long* out);
  // Milliseconds of a monotonic clock.
  static unsigned long long GetTickCountULL();
  // Names the calling thread (the system keeps the first 15 characters).
  static void SetCurrentThreadName(std::string name);
  static void Sleep(unsigned long ms);

  // NUL-terminated text of `value` in `radix` (2..36) at the start of `buffer`,
  // which holds at least kNumberTextSize characters (for radix 10; 2 needs 66).
  // Negative values get a '-' in radix 10 and are written as their unsigned
  // bit pattern in other radixes. Both return `buffer`.
  static char* itoa(int value, char* buffer, int radix);
  static char* ltoa(long value, char* buffer, int radix);

  // Decimal text to number; never throws. Leading blanks and '+' are read as
  // strtoull does and trailing characters ignored; text with no digits, a
  // leading '-' or a value beyond 2^64-1 all give 0.
  static unsigned long long stoull(const std::string& text) { return stoull(text.c_str()); }
  static unsigned long long stoull(const char* text);
  // "%llu": no sign, fill or leading zeros; "0" for 0.
  static std::string ulltos(const unsigned long long& value);
};

// In-process, non-recursive lock. enter/leave take the caller's source line,
// kept for diagnostics only.
class CE_EXPORT EVT_CAPABILITY("mutex") CPCritSec {
 public:
  CPCritSec(std::string name, int);
  CPCritSec(const CPCritSec&) = delete;
  CPCritSec& operator=(const CPCritSec&) = delete;

  void enter(long line) EVT_ACQUIRE();
  void leave(long line) EVT_RELEASE();
  // Takes the lock when it is free; true when taken.
  bool tryEnter(long line) EVT_TRY_ACQUIRE(true);
  const std::string& name() const { return m_strName; }

 private:
  std::string m_strName;
  std::mutex m_mutex;
};

// Holds a CPCritSec from construction to the end of the scope.
class EVT_SCOPED_CAPABILITY CPCritSecHold {
 public:
  CPCritSecHold(CPCritSec& lock, long line) EVT_ACQUIRE(lock) : m_lock(lock), m_line(line) { m_lock.enter(line); }
  ~CPCritSecHold() EVT_RELEASE() { m_lock.leave(m_line); }
  CPCritSecHold(const CPCritSecHold&) = delete;
  CPCritSecHold& operator=(const CPCritSecHold&) = delete;

 private:
  CPCritSec& m_lock;
  long m_line;
};

// Wake-up event. A wake made while nobody waits is kept for the next wait;
// several wakes before a wait are kept as the highest code (the most urgent:
// 4 stop > 2 send now > 1 batch). The event must outlive every wake() in
// progress.
class CE_EXPORT CPEvent {
 public:
  static constexpr unsigned long kInfinite = 0xFFFFFFFFul;

  CPEvent(int, const std::string& name, int);
  CPEvent(const CPEvent&) = delete;
  CPEvent& operator=(const CPEvent&) = delete;

  // Returns the pending wake code (and clears it), waiting up to `timeoutMs`
  // (kInfinite: without limit); CP_WAIT_TIMEOUT when the time elapsed first.
  long wait(unsigned long timeoutMs, CTerminateWait* terminate);
  // `code` must be positive.
  void wake(long code);

 private:
  std::atomic<int32_t> m_pending{0};  // 0: no wake pending; the futex word
  std::atomic<int32_t> m_waiters{0};  // threads in wait that may sleep
};

class CPSharedMemory;

// Machine-wide named mutex: excludes every other holder of the same name, in
// this process or any other, 32-bit or 64-bit. When a holder dies while
// holding it, the next waiter takes it over (wait returns CP_WAIT_ABANDONED).
// Throws KelException(CE_E_CREATE) when the named object cannot be opened.
class CE_EXPORT CPMutex {
 public:
  CPMutex(int, int, const std::string& name, int, int);
  ~CPMutex();
  CPMutex(const CPMutex&) = delete;
  CPMutex& operator=(const CPMutex&) = delete;

  // 0 when taken, CP_WAIT_ABANDONED when taken over from a dead holder,
  // CP_WAIT_TIMEOUT when `timeoutMs` (CPEvent::kInfinite: no limit) elapsed,
  // CE_E_STORE_DAMAGED (logged once) when another process cut the lock's
  // block short; the lock is refused from then on.
  long wait(unsigned long timeoutMs, CTerminateWait* terminate);
  // 0, CP_E_NOT_OWNER when this process does not hold the mutex, or
  // CE_E_STORE_DAMAGED.
  long release();

 private:
  void refuse();

  CPSharedMemory* m_pBlock;
  std::string m_strName;
  std::atomic<int> m_bDamaged{0};
};

// Named block of memory shared by every process that opens the same name with
// the same size. Exactly one opener is its creator; the block is sized before
// any opener gets its address. The block lives until removed (remove(), or
// the machine restarts).
// Throws KelException(CE_E_CREATE) when the block cannot be opened or mapped,
// is shorter than `size`, or is not to be trusted: an object found in place
// whose owner is neither root, this user nor a member of the access group,
// whose group is not the access group, or whose mode lets every user in.
//
// Another process that may write the object may also cut it short, after
// which touching the block through getAddress() raises SIGBUS. read() and
// write() survive that: they fail, the reason is logged once, and every later
// read() or write() of this object fails at once. They detect a cut that left
// part of the block in place too, as long as the block's end leaves 4 bytes
// of its last page free (true of every block of the store). Thread-safe.
class CE_EXPORT CPSharedMemory {
 public:
  CPSharedMemory(const std::string& name, unsigned long size);
  ~CPSharedMemory();
  CPSharedMemory(const CPSharedMemory&) = delete;
  CPSharedMemory& operator=(const CPSharedMemory&) = delete;

  void* getAddress();
  int isCreator();
  unsigned long size() const { return m_ulSize; }

  // Copies `count` bytes at `offset` of the block out to `out`, or in from
  // `in`; an aligned 8-byte count is one access. False when the block was cut
  // short or the range is not inside it.
  bool read(unsigned long offset, void* out, unsigned long count);
  bool write(unsigned long offset, const void* in, unsigned long count);
  // True once read() or write() found the block cut short.
  bool isDamaged() const { return m_bDamaged.load(std::memory_order_relaxed) != 0; }

  // Removes the named block; processes that have it open keep their mapping.
  static bool remove(const std::string& name);

 private:
  bool markIntact() const;
  // Copies `count` bytes inside a guarded access of the block; false (the
  // object refused) when it was cut short.
  bool copyGuarded(volatile char* to, const volatile char* from, unsigned long count);
  void refuse();

  void* m_pAddress = nullptr;
  unsigned long m_ulSize = 0;
  unsigned long m_ulMapped = 0;     // the block and, when it fits in the last page, its mark
  unsigned long m_ulMarkOffset = 0;  // 0: no mark
  uint32_t m_dwMark = 0;            // this object's mark, found or written at open
  int m_bCreator = 0;
  std::atomic<int> m_bDamaged{0};
  std::string m_strOsName;
  unsigned long long m_ullDevice = 0, m_ullInode = 0;  // the object mapped
};
