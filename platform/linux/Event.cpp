// The wake-up event on a futex: the pending code is the futex word itself, so
// a wake is one atomic update plus, only when someone sleeps, one system
// call; a woken waiter takes the code without a lock to take back.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <ctime>

#include "Library/CEResultCodes.h"
#include "platform/CPortable.h"

namespace {

// The kernel reads the word as a plain 32-bit integer; std::atomic<int32_t>
// has that layout.
int32_t* futexWord(std::atomic<int32_t>* word) { return reinterpret_cast<int32_t*>(word); }

}  // namespace

CPEvent::CPEvent(int, const std::string&, int) {}

long CPEvent::wait(unsigned long timeoutMs, CTerminateWait*) {
  using Clock = std::chrono::steady_clock;
  const bool limited = timeoutMs < kInfinite;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limited ? timeoutMs : 0);
  for (;;) {
    const int32_t code = m_pending.exchange(0);
    if (code != 0) return code;
    timespec left{};
    if (limited) {
      const auto remaining = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()).count();
      if (remaining <= 0) return CP_WAIT_TIMEOUT;
      left.tv_sec = static_cast<time_t>(remaining / 1000000000);
      left.tv_nsec = static_cast<long>(remaining % 1000000000);
    }
    // Counted before sleeping. A waker sets the code, then reads the count:
    // however the two interleave, either the waker sees this waiter and
    // wakes it, or the futex finds the code set and does not sleep.
    m_waiters.fetch_add(1);
    syscall(SYS_futex, futexWord(&m_pending), FUTEX_WAIT_PRIVATE, 0, limited ? &left : nullptr, nullptr, 0);
    m_waiters.fetch_sub(1);
  }
}

void CPEvent::wake(long code) {
  int32_t pending = m_pending.load();
  // A code no more urgent than the pending one changes nothing a waiter
  // would see: it was woken for that one already.
  while (code > pending) {
    if (m_pending.compare_exchange_weak(pending, static_cast<int32_t>(code))) {
      if (m_waiters.load() > 0) {
        syscall(SYS_futex, futexWord(&m_pending), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
      }
      return;
    }
  }
}
