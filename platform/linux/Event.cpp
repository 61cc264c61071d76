#include <chrono>

#include "Library/CEResultCodes.h"
#include "platform/CPortable.h"

CPEvent::CPEvent(int, const std::string&, int) {}

long CPEvent::wait(unsigned long timeoutMs, CTerminateWait*) {
  std::unique_lock<std::mutex> lock(m_mutex);
  auto woken = [this] { return m_lPending != 0; };
  if (timeoutMs >= kInfinite) {
    m_cond.wait(lock, woken);
  } else if (!m_cond.wait_for(lock, std::chrono::milliseconds(timeoutMs), woken)) {
    return CP_WAIT_TIMEOUT;
  }
  long code = m_lPending;
  m_lPending = 0;
  return code;
}

void CPEvent::wake(long code) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    // A code no more urgent than the pending one changes nothing a waiter
    // would see: it was notified of that one already.
    if (code <= m_lPending) return;
    m_lPending = code;
  }
  // Notified with the lock free: a waiter woken on this CPU runs at once,
  // and would otherwise find the lock still held and sleep again.
  m_cond.notify_all();
}
