// Subscriptions: kept per (server id, category) key with a use count; the
// service hears of a key when its first subscription comes and its last goes.
#include <cstdint>

#include "Library/CEResultCodes.h"
#include "Library/CEventLibImpl.h"
#include "Library/EngineText.h"
#include "platform/KelRegLib.h"
#include "trace/_Trace.h"

using namespace evt::engine;
using KelLogLib::LOGLIB_PRIORITY_INFO;

namespace {

// The registry's "LocalDBServerID": *pId and the query's result, or 1 and 0
// when it cannot be read.
long localDatabaseServerId(uint32_t* pId) {
  long result = KelRegLib::queryLocalDBServerId(pId);
  if (result < 0) {
    *pId = 1;
    return 0;
  }
  return result;
}

}  // namespace

long CEventLibImpl::subscribe(const std::string& category, const std::string& keys, unsigned long serverId,
                              std::string* pSubscription) {
  const uint32_t requested = serverIdOf(serverId);
  evtTrace(TRACE_DETAIL, LOGLIB_PRIORITY_INFO,
           "CEventLibImpl::subscribe **** 0x%08X, cat %s, keys %s, serverid %d m_dwThisServerID %d",
           addressWord(this), category.c_str(), keys.c_str(), numberText(requested),
           numberText(static_cast<uint32_t>(m_dwThisServerID.load(std::memory_order_relaxed))));
  uint32_t candidate = requested;
  long result = 0;
  if (category == "trigger2" || category == "trigger3") {
    result = localDatabaseServerId(&candidate);
    evtTrace(TRACE_DETAIL, LOGLIB_PRIORITY_INFO, "**** retrieved from registry: LocalDBServerID %d",
             numberText(candidate));
  }
  CPCritSecHold engineLock(*m_pCritSec, __LINE__);
  uint32_t resolved = candidate;
  if (requested == kThisServer) {
    uint32_t own = static_cast<uint32_t>(m_dwThisServerID.load());
    resolved = own != 0 ? own : kThisServer;
  }
  evtTrace(TRACE_DETAIL, LOGLIB_PRIORITY_INFO, "CEventLibImpl::subscribe **** using dwServerIDResolved %d",
           numberText(resolved));
  std::string key = subscriptionKey(resolved, category);
  std::string text = subscriptionText(category, keys, resolved);
  m_mmapSubscriptions.emplace(key, text);  // after any entries already under the key
  m_keyPatterns.erase(key);
  if (pSubscription != nullptr) *pSubscription = text;
  if (resolved == kThisServer) m_mapUnresolvedSubscriptions[key] = 1;
  auto count = m_mapSubscriptionUseCounts.find(key);
  if (count != m_mapSubscriptionUseCounts.end()) {
    ++count->second;
  } else {
    m_mapSubscriptionUseCounts[key] = 1;
    m_mapSeqNoRcvd[key] = 0;
    if (announcedLocked()) queueRequestLocked(evt::protocol::subscriptionRequest(evt::protocol::kSubscribe, key));
  }
  return result;
}

long CEventLibImpl::unsubscribe(const std::string& subscription) {
  CParamsX text(subscription);
  const std::string category = text.getstringParamAt(0);
  const uint32_t serverId = numberAt(text, 2);
  CPCritSecHold engineLock(*m_pCritSec, __LINE__);
  bool removed = removeSubscriptionLocked(subscriptionKey(serverId, category), subscription);
  uint32_t own = static_cast<uint32_t>(m_dwThisServerID.load());
  if (!removed && serverId == kThisServer && own != 0) {
    // A text the host got before the server id was known: the reconnection
    // moved its subscription under this server's id.
    removeSubscriptionLocked(subscriptionKey(own, category), subscriptionText(category, text.getstringParamAt(1), own));
  }
  return 0;
}

bool CEventLibImpl::removeSubscriptionLocked(const std::string& key, const std::string& text) {
  auto range = m_mmapSubscriptions.equal_range(key);
  auto match = range.first;
  while (match != range.second && match->second != text) ++match;
  if (match == range.second) return false;
  m_mmapSubscriptions.erase(match);
  m_keyPatterns.erase(key);
  auto count = m_mapSubscriptionUseCounts.find(key);
  if (count != m_mapSubscriptionUseCounts.end() && --count->second == 0) {
    m_mapSubscriptionUseCounts.erase(count);
    m_mapSeqNoRcvd.erase(key);
    if (announcedLocked()) queueRequestLocked(evt::protocol::subscriptionRequest(evt::protocol::kUnsubscribe, key));
  }
  return true;
}
