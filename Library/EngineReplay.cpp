// What the engine does each time the channel reports a connection: identify
// the client again and announce what it publishes, in one batch with
// everything already queued.
#include "Library/CEResultCodes.h"
#include "Library/CEventLibImpl.h"
#include "Library/EngineText.h"
#include "trace/_Trace.h"

using evt::engine::addressWord;
using KelLogLib::LOGLIB_PRIORITY_INFO;

namespace {
constexpr unsigned long kInitWaitPollMs = 100;
}

void CEventLibImpl::actionConnected() {
  evtTrace(TRACE_LIFECYCLE, LOGLIB_PRIORITY_INFO, "CEventLibImpl::actionConnected (0x%08X)", addressWord(this));
  // The init thread registers first. Its teardown after a failed start waits
  // for this thread, so that ends the wait too.
  {
    std::unique_lock<std::mutex> lock(m_flagMutex);
    while (m_bInitThreadRunning.load() != 0) {
      if (m_bStop.load() || m_bTearingDown.load()) return;
      m_flagChanged.wait_for(lock, std::chrono::milliseconds(kInitWaitPollMs));
    }
  }
  if (m_bStop.load()) return;
  m_pCritSec->enter(__LINE__);
  m_bConnected.store(1);
  m_pCritSec->leave(__LINE__);

  m_critSecIPC.enter(__LINE__);
  long result = sendReceiveIPC(CECMD_CLIENT_NAME, m_strName, nullptr);
  if (result >= 0) result = sendReceiveIPC(CECMD_PROCESS_ID, m_strProcessId, nullptr);
  m_critSecIPC.leave(__LINE__);
  if (result < 0) return;  // logged by the exchange; nothing is replayed
  flushSendQueue(true);
}

void CEventLibImpl::queueReplayLocked() {
  for (const auto& publishing : m_mapPublishings) queueRequestLocked("publish", publishFields(publishing.first));
}
