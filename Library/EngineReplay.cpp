// What the engine does each time the channel reports a connection: identify
// the client again and announce what it publishes and subscribes to, in one
// batch with everything already queued.
#include <vector>

#include "Library/CEResultCodes.h"
#include "Library/CEventLibImpl.h"
#include "Library/EngineText.h"
#include "trace/_Trace.h"

using namespace evt::engine;
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
  {
    CPCritSecHold engineLock(*m_pCritSec, __LINE__);
    markConnectedLocked();
  }

  long result = 0;
  {
    CPCritSecHold exchangeLock(m_critSecIPC, __LINE__);
    result = sendReceiveIPC(CECMD_CLIENT_NAME, m_strName, nullptr);
    if (result >= 0) result = sendReceiveIPC(CECMD_PROCESS_ID, m_strProcessId, nullptr);
  }
  if (result < 0) {
    // Logged by the exchange. Nothing is replayed, but the queue is no
    // longer held back for an announcement that will not come: what the
    // host queued meanwhile leaves now.
    {
      CPCritSecHold engineLock(*m_pCritSec, __LINE__);
      m_bAnnouncementPending.store(0);
    }
    flushSendQueue(false);
    return;
  }
  if (flushSendQueue(true) >= 0) fireConnectionEvent("connected");
}

void CEventLibImpl::queueReplayLocked() {
  for (const auto& publishing : m_mapPublishings) queueRequestLocked(publicationRequest(evt::protocol::kPublish, publishing.first));
  rekeyUnresolvedLocked();
  for (const auto& count : m_mapSubscriptionUseCounts) {
    queueRequestLocked(evt::protocol::subscriptionRequest(evt::protocol::kSubscribe, count.first));
  }
}

// Subscriptions made before this server's id was known move under it. The
// new key's count grows by the subscriptions actually moved, so it always
// equals the entries under the key; a key with none left is just dropped.
// Without an id yet (a service that answered 0) they stay where they are.
void CEventLibImpl::rekeyUnresolvedLocked() {
  const uint32_t own = static_cast<uint32_t>(m_dwThisServerID.load());
  if (own == 0) return;
  for (const auto& unresolved : m_mapUnresolvedSubscriptions) {
    const std::string& oldKey = unresolved.first;
    auto range = m_mmapSubscriptions.equal_range(oldKey);
    std::vector<std::string> texts;
    for (auto it = range.first; it != range.second; ++it) texts.push_back(it->second);
    m_mmapSubscriptions.erase(range.first, range.second);
    m_mapSubscriptionUseCounts.erase(oldKey);
    m_mapSeqNoRcvd.erase(oldKey);
    if (texts.empty()) continue;
    std::string newKey;
    for (const std::string& old : texts) {
      CParamsX text(old);
      std::string category = text.getstringParamAt(0);
      newKey = subscriptionKey(own, category);
      m_mmapSubscriptions.emplace(newKey, subscriptionText(category, text.getstringParamAt(1), own));
    }
    m_mapSubscriptionUseCounts[newKey] += texts.size();
    m_mapSeqNoRcvd[newKey] = 0;
  }
  m_mapUnresolvedSubscriptions.clear();
  m_keyPatterns.clear();
}
