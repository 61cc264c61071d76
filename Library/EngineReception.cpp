// The receiving side of the engine: the service's events checked for gaps,
// matched against the subscriptions and delivered, and the checks and bases
// the service sends. Table work happens under the engine lock; handlers are
// called with no lock held.
#include <cstdint>
#include <string_view>

#include "Library/CEResultCodes.h"
#include "Library/CEventLibImpl.h"
#include "Library/HandlerCall.h"
#include "Library/EngineText.h"
#include "trace/_Trace.h"

using namespace evt::engine;
using KelLogLib::LOGLIB_PRIORITY_ERROR;
using KelLogLib::LOGLIB_PRIORITY_EVENT;
using KelLogLib::LOGLIB_PRIORITY_INFO;

namespace {

// The category of the library's missed-event reports and the service's own
// connection news.
const std::string kEventSystemCategory(evt::protocol::kEventSystemCategory);
const std::string kMissedEventData(evt::protocol::kMissedEventData);

}  // namespace

void CEventLibImpl::fireEvent(const std::string& category, const std::string& keys, const std::string& data,
                              unsigned long long seqNo, uint32_t serverId) {
  evtTrace(TRACE_TRAFFIC, LOGLIB_PRIORITY_EVENT,
           "CEventLibImpl::actionEvent, fireEvent(0x%08X), name %s, cat %s, keys %s, data %s, seqno %llu, from serverid %d",
           addressWord(this), m_strName.c_str(), category.c_str(), keys.c_str(), data.c_str(), seqNo,
           numberText(serverId));
  long result =
      evt::engine::callHandler([&] { return m_pEventHandler->onDeliverEvent(category, keys, data, seqNo, serverId); });
  if (result < 0) evtLog(LOGLIB_PRIORITY_ERROR, "(Error) CEventLibImpl::actionEvent failed - 0x%08X", codeWord(result));
}

void CEventLibImpl::actionEvent(const ParamsView& list) {
  const evt::protocol::Event event = evt::protocol::readEvent(list);
  const unsigned long long seqNo = event.seqNo;
  const uint32_t serverId = event.server;
  // The texts handed to the handler, in storage kept from event to event.
  std::string& category = m_received.category;
  std::string& keys = m_received.keys;
  std::string& data = m_received.data;
  category.assign(event.category.data(), event.category.size());
  keys.assign(event.keys.data(), event.keys.size());
  data.assign(event.data.data(), event.data.size());

  if (category == kEventSystemCategory) {
    // The service's own connection news, delivered as they are.
    if ((data == "connected" || data == "disconnected") && m_pEventHandler != nullptr)
      fireEvent(category, keys, data, seqNo, serverId);
    return;
  }
  // Events come in runs of one server's category: its key is built once a run.
  if (m_received.key.empty() || m_received.keyServer != serverId || m_received.keyCategory != category) {
    m_received.key = subscriptionKey(serverId, category);
    m_received.keyServer = serverId;
    m_received.keyCategory = category;
  }
  const std::string& key = m_received.key;
  evtTrace(TRACE_DETAIL, LOGLIB_PRIORITY_INFO,
           "CEventLibImpl::checkForMissedEvent, from serverid %d, category %s, seqno %llu, newevent %d",
           numberText(serverId), category.c_str(), seqNo, 1);
  // The check and the match in one hold of the lock.
  bool subscribed = false;
  bool inSequence = true;
  bool matched = false;
  unsigned long long last = 0, base = 0;
  {
    CPCritSecHold engineLock(*m_pCritSec, __LINE__);
    inSequence = checkInSequenceLocked(serverId, key, seqNo, 1, &subscribed, &last, &base);
    if (inSequence) {
      const KeyPatterns* patterns = keyPatternsLocked(key);
      matched = patterns != nullptr && patterns->matches(keys) && m_pEventHandler != nullptr;
      if (matched && !subscribed) m_mapSeqNoRcvd[key] = seqNo;
    }
  }
  if (!inSequence) {
    reportMissedEvent(serverId, category, seqNo, last, base, 1);
    return;
  }
  if (matched) fireEvent(category, keys, data, seqNo, serverId);
}

const KeyPatterns* CEventLibImpl::keyPatternsLocked(const std::string& key) {
  auto cached = m_keyPatterns.find(key);
  if (cached != m_keyPatterns.end()) return &cached->second;
  auto range = m_mmapSubscriptions.equal_range(key);
  if (range.first == range.second) return nullptr;
  KeyPatterns patterns;
  for (auto it = range.first; it != range.second; ++it) patterns.add(ParamsView(it->second).itemAt(1));
  return &m_keyPatterns.emplace(key, std::move(patterns)).first->second;
}

int CEventLibImpl::checkForMissedEvent(unsigned long serverIdArg, const std::string& category,
                                       unsigned long long seqNo, int newEvent) {
  const uint32_t serverId = serverIdOf(serverIdArg);
  return checkKeyForMissedEvent(serverId, subscriptionKey(serverId, category), category, seqNo, newEvent);
}

int CEventLibImpl::checkKeyForMissedEvent(uint32_t serverId, const std::string& key, const std::string& category,
                                          unsigned long long seqNo, int newEvent) {
  evtTrace(TRACE_DETAIL, LOGLIB_PRIORITY_INFO,
           "CEventLibImpl::checkForMissedEvent, from serverid %d, category %s, seqno %llu, newevent %d",
           numberText(serverId), category.c_str(), seqNo, newEvent);
  bool subscribed = false;
  bool inSequence = true;
  unsigned long long last = 0, base = 0;
  {
    CPCritSecHold engineLock(*m_pCritSec, __LINE__);
    inSequence = checkInSequenceLocked(serverId, key, seqNo, newEvent, &subscribed, &last, &base);
  }
  if (inSequence) return 0;
  reportMissedEvent(serverId, category, seqNo, last, base, newEvent);
  return 1;
}

bool CEventLibImpl::checkInSequenceLocked(uint32_t serverId, const std::string& key, unsigned long long seqNo,
                                          int newEvent, bool* pSubscribed, unsigned long long* pLast,
                                          unsigned long long* pBase) {
  auto received = m_mapSeqNoRcvd.find(key);
  *pSubscribed = received != m_mapSeqNoRcvd.end();
  if (!*pSubscribed) return true;  // nobody subscribed under this key: nothing to check
  auto base = m_mapSeqNoBase.find(serverId);
  const unsigned long long seqNoBase = base != m_mapSeqNoBase.end() ? base->second : 0;
  const unsigned long long last = received->second;
  bool inSequence = true;
  if (seqNo != 0) {
    int& seen = m_mapServerEventSeen[serverId];
    if (newEvent != 0) {
      seen = 1;
      inSequence = last == 0 ? seqNo == seqNoBase + 1 : (seqNo == last || seqNo == last + 1);
    } else {
      const int wasSeen = seen;
      seen = 1;
      // A check for a key that has received nothing yet (a subscription
      // just filed) tells where the series stands, as the first check from
      // a server does; it is no gap. A key that has received keeps its last
      // number across reconnections, so a real gap is still reported.
      inSequence = wasSeen == 0 || last == 0 || seqNo == seqNoBase || seqNo == last;
    }
  }
  received->second = seqNo;
  *pLast = last;
  *pBase = seqNoBase;
  return inSequence;
}

void CEventLibImpl::reportMissedEvent(uint32_t serverId, const std::string& category, unsigned long long seqNo,
                                      unsigned long long last, unsigned long long base, int newEvent) {
  evtTrace(TRACE_LIFECYCLE, LOGLIB_PRIORITY_INFO,
           "CEventLibImpl::checkForMissedEvent - missed event from serverid %d, category %s, new seqno %s, last seqno "
           "%s, seqno base %s, newevent %d",
           numberText(serverId), category.c_str(), CPortable::ulltos(seqNo).c_str(), CPortable::ulltos(last).c_str(),
           CPortable::ulltos(base).c_str(), newEvent);
  if (m_pEventHandler == nullptr) return;
  evtTrace(TRACE_TRAFFIC, LOGLIB_PRIORITY_EVENT,
           "CEventLibImpl::actionEvent, fireEvent(0x%08X), cat %s, keys %s, data %s, seqno %s, from serverid %d",
           addressWord(this), kEventSystemCategory.c_str(), category.c_str(), kMissedEventData.c_str(),
           CPortable::ulltos(seqNo).c_str(), numberText(serverId));
  CParamsX missedKeys;
  missedKeys.addParam(category);
  long result = evt::engine::callHandler([&] {
    return m_pEventHandler->onDeliverEvent(kEventSystemCategory, missedKeys.paramList(), kMissedEventData, seqNo,
                                           serverId);
  });
  if (result < 0)
    evtLog(LOGLIB_PRIORITY_ERROR, "(Error) CEventLibImpl::checkForMissedEvent, onDeliverEvent failed - 0x%08X",
           codeWord(result));
}

void CEventLibImpl::actionCheckEventSeqNo(const ParamsView& list) {
  const evt::protocol::Check check = evt::protocol::readCheck(list);
  checkForMissedEvent(check.server, std::string(check.category), check.seqNo, 0);
}

void CEventLibImpl::actionSetSeqNoBase(const ParamsView& list) {
  const evt::protocol::Base base = evt::protocol::readBase(list);
  CPCritSecHold engineLock(*m_pCritSec, __LINE__);
  m_mapSeqNoBase[base.server] = base.base;
}
