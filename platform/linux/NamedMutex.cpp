// CPMutex: a machine-wide lock in its own named shared block.
//
// The block holds a fixed-layout lock (below), identical for 32-bit and 64-bit
// processes, so both can share it; a pthread mutex cannot be used because its
// size differs between the two ABIs. The hold word names the holder; waiters
// sleep on its pid half with a futex and, while sleeping, check every
// kLivenessPollMs whether the holder still lives, taking the lock over when it
// is gone. A fresh block is all zeros: an unlocked lock, with nothing to initialise.
//
// A holder is known by its pid and its start time: a pid that now names
// another process (reused, or forged into the block) is no holder. Every
// holder stamps its start time wherever /proc shows it, so a stamp that
// differs from what /proc shows, 0 included, is no holder either, whichever
// user the pid belongs to. Only where /proc shows no start time is the
// holder judged by its pid alone. A hold without a pid, or with one that no
// process can have, has no holder at all.
#include <linux/futex.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <pthread.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "Library/CEResultCodes.h"
#include "platform/CPortable.h"
#include "platform/linux/BusGuard.h"
#include "trace/_Trace.h"

namespace {

// The holder's pid and start time change together, in one 64-bit word: a
// waiter taking over a holder it found gone can never take the lock from
// another holder that came meanwhile.
struct SharedLock {
  alignas(8) uint64_t hold;  // low half: the holder's pid (0: free); high half: its start time (0: unknown)
  uint32_t waiters;          // processes or threads sleeping on the pid half
  uint32_t recoveries;       // how often a gone holder's lock was taken over
};
static_assert(sizeof(SharedLock) == 16, "the shared layout must not depend on the ABI");

constexpr uint64_t holdOf(uint32_t pid, uint32_t start) { return static_cast<uint64_t>(start) << 32 | pid; }
constexpr uint32_t pidOf(uint64_t hold) { return static_cast<uint32_t>(hold); }
constexpr uint32_t startOf(uint64_t hold) { return static_cast<uint32_t>(hold >> 32); }
// The pid half, which futexes wait on (x86 is little-endian).
uint32_t* pidWord(SharedLock* lock) { return reinterpret_cast<uint32_t*>(&lock->hold); }

constexpr unsigned long kLivenessPollMs = 2;
constexpr int kSpinRounds = 200;

SharedLock* lockOf(CPSharedMemory* block) { return static_cast<SharedLock*>(block->getAddress()); }

bool compareExchange(uint64_t* word, uint64_t expected, uint64_t desired) {
  return __atomic_compare_exchange_n(word, &expected, desired, false, __ATOMIC_SEQ_CST, __ATOMIC_RELAXED);
}

// True when the wait ended because the time elapsed.
bool futexWait(uint32_t* word, uint32_t expected, unsigned long ms) {
  timespec timeout{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  return syscall(SYS_futex, word, FUTEX_WAIT, expected, &timeout, nullptr, 0) != 0 && errno == ETIMEDOUT;
}

void futexWakeOne(uint32_t* word) { syscall(SYS_futex, word, FUTEX_WAKE, 1, nullptr, nullptr, 0); }

// What /proc tells of a process: whether it has exited (not yet reaped
// included), and its start time in clock ticks after boot, low 32 bits
// (0: unknown, e.g. /proc hides other users' processes).
struct ProcessState {
  bool exited = false;
  uint32_t start = 0;
};

ProcessState readProcess(uint32_t pid, bool self = false) {
  ProcessState state;
  // A process reads its own through its main thread's entry: qemu-user
  // answers reads of /proc/self/stat and /proc/<own pid>/stat with made-up
  // fields, unlike what every other process reads there.
  char path[64];
  if (self) {
    std::snprintf(path, sizeof path, "/proc/%u/task/%u/stat", pid, pid);
  } else {
    std::snprintf(path, sizeof path, "/proc/%u/stat", pid);
  }
  FILE* file = std::fopen(path, "re");
  if (file == nullptr) return state;
  char buffer[1024];
  size_t n = std::fread(buffer, 1, sizeof buffer - 1, file);
  std::fclose(file);
  buffer[n] = '\0';
  // "pid (comm) S ppid ...": the fields follow the last ')', as comm may hold
  // one; the start time is the 20th of them.
  const char* close = std::strrchr(buffer, ')');
  if (close == nullptr || close[1] != ' ' || std::isalpha(static_cast<unsigned char>(close[2])) == 0) return state;
  state.exited = close[2] == 'Z' || close[2] == 'X';
  const char* field = close + 2;
  for (int i = 1; i < 20 && field != nullptr; ++i) {
    field = std::strchr(field, ' ');
    if (field != nullptr) ++field;
  }
  if (field != nullptr) state.start = static_cast<uint32_t>(std::strtoull(field, nullptr, 10));
  return state;
}

// This process's id and start time, kept across calls and renewed in a
// forked child.
std::atomic<uint32_t> g_processId{0};
std::atomic<uint32_t> g_processStart{0};

uint32_t currentProcessId() {
  uint32_t pid = g_processId.load(std::memory_order_relaxed);
  if (pid == 0) {
    static const int registered = pthread_atfork(nullptr, nullptr, [] { g_processId.store(0); });
    (void)registered;
    pid = static_cast<uint32_t>(getpid());
    g_processStart.store(readProcess(pid, true).start, std::memory_order_relaxed);
    g_processId.store(pid, std::memory_order_relaxed);
  }
  return pid;
}

// The holder `pid`, stamped `start`, holds no more: it no longer exists, has
// exited, or its pid names a process started at another time. A pid of
// another user (EPERM) is judged by /proc like any other. One above INT_MAX is
// no process (kill() would take it for a process group, or for all).
bool holderIsGone(uint32_t pid, uint32_t start) {
  if (pid > static_cast<uint32_t>(INT_MAX)) return true;
  if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return true;
  const ProcessState state = readProcess(pid);
  return state.exited || (state.start != 0 && state.start != start);
}

// Takes the lock for this process if it is held as `expected`.
bool take(SharedLock* lock, uint64_t expected, uint32_t self) {
  return compareExchange(&lock->hold, expected, holdOf(self, g_processStart.load(std::memory_order_relaxed)));
}

}  // namespace

CPMutex::CPMutex(int, int, const std::string& name, int, int)
    : m_pBlock(new CPSharedMemory(name, sizeof(SharedLock))), m_strName(name) {}

CPMutex::~CPMutex() { delete m_pBlock; }

// Runs inside a guarded access of the lock's block: no object with a
// destructor, no lock of its own.
static long waitOn(SharedLock* lock, unsigned long timeoutMs) {
  const uint32_t self = currentProcessId();
  const bool limited = timeoutMs < CPEvent::kInfinite;
  unsigned long long deadline = 0;  // read from the clock only once the lock is found busy
  // A free lock is taken in one exchange, its cache line fetched once for
  // writing rather than first for reading.
  if (take(lock, 0, self)) return 0;
  for (;;) {
    // Holds are short: spin a little before sleeping.
    // Reads while the lock is held, so waiting leaves its cache line alone.
    for (int spin = 0; spin < kSpinRounds; ++spin) {
      if (__atomic_load_n(&lock->hold, __ATOMIC_RELAXED) == 0 && take(lock, 0, self)) return 0;
      __builtin_ia32_pause();
    }
    const uint64_t hold = __atomic_load_n(&lock->hold, __ATOMIC_ACQUIRE);
    const uint32_t holder = pidOf(hold);
    if (holder == 0) {
      // A stamp without a pid was written by no holder: taken over at once.
      if (hold != 0 && take(lock, hold, self)) {
        __atomic_fetch_add(&lock->recoveries, 1, __ATOMIC_RELAXED);
        return CP_WAIT_ABANDONED;
      }
      continue;
    }
    unsigned long sleepMs = kLivenessPollMs;
    if (limited) {
      unsigned long long now = CPortable::GetTickCountULL();
      if (deadline == 0) deadline = now + timeoutMs;
      if (now >= deadline) return CP_WAIT_TIMEOUT;
      if (deadline - now < sleepMs) sleepMs = static_cast<unsigned long>(deadline - now);
    }
    __atomic_fetch_add(&lock->waiters, 1, __ATOMIC_SEQ_CST);
    bool timedOut = futexWait(pidWord(lock), holder, sleepMs);
    __atomic_fetch_sub(&lock->waiters, 1, __ATOMIC_SEQ_CST);
    // Only a holder that kept the lock for a whole poll is checked for life;
    // the exchange succeeds only if that very hold is still there. This
    // process's pid with a stamp that is not its own is no thread of it but a
    // process that had the pid before (or a forgery): gone.
    if (timedOut && __atomic_load_n(&lock->hold, __ATOMIC_ACQUIRE) == hold &&
        (holder != self ? holderIsGone(holder, startOf(hold))
                        : startOf(hold) != g_processStart.load(std::memory_order_relaxed)) &&
        take(lock, hold, self)) {
      __atomic_fetch_add(&lock->recoveries, 1, __ATOMIC_RELAXED);
      return CP_WAIT_ABANDONED;
    }
  }
}

long CPMutex::wait(unsigned long timeoutMs, CTerminateWait*) {
  if (m_bDamaged.load(std::memory_order_relaxed) != 0) return CE_E_STORE_DAMAGED;
  SharedLock* lock = lockOf(m_pBlock);
  long result = CE_E_STORE_DAMAGED;
  if (evt::platform::guardedAccess([&] { result = waitOn(lock, timeoutMs); })) return result;
  refuse();
  return CE_E_STORE_DAMAGED;
}

void CPMutex::refuse() {
  if (m_bDamaged.exchange(1) != 0) return;
  evtLog(KelLogLib::LOGLIB_PRIORITY_ERROR, "(Error) CPMutex %s: its block was cut short by another process; refused",
         m_strName.c_str());
}

long CPMutex::release() {
  if (m_bDamaged.load(std::memory_order_relaxed) != 0) return CE_E_STORE_DAMAGED;
  SharedLock* lock = lockOf(m_pBlock);
  const uint32_t self = currentProcessId();
  long result = CE_E_STORE_DAMAGED;
  const bool intact = evt::platform::guardedAccess([&] {
    const uint64_t hold = __atomic_load_n(&lock->hold, __ATOMIC_ACQUIRE);
    if (pidOf(hold) != self || !compareExchange(&lock->hold, hold, 0)) {
      result = CP_E_NOT_OWNER;
      return;
    }
    if (__atomic_load_n(&lock->waiters, __ATOMIC_SEQ_CST) != 0) futexWakeOne(pidWord(lock));
    result = 0;
  });
  if (!intact) refuse();
  return result;
}
