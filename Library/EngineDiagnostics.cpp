// The dump of the engine's tables to the log, on the host's or the service's
// request, and connectivity reports to the service.
#include "Library/CEResultCodes.h"
#include "Library/CEventLibImpl.h"
#include "Library/EngineText.h"
#include "trace/_Trace.h"

using namespace evt::engine;
using KelLogLib::LOGLIB_PRIORITY_INFO;

void CEventLibImpl::dump() {
  const std::string request = evt::protocol::dumpRequest();
  {
    CPCritSecHold engineLock(*m_pCritSec, __LINE__);
    // Queued even while disconnected: it then waits for the next connection.
    queueRequestLocked(request);
    m_eventSend.wake(kSendNow);
  }
  actionDump(ParamsView(request));
}

void CEventLibImpl::actionDump(const ParamsView&) {
  // One consistent state of all tables, its lines together in the log.
  CPCritSecHold engineLock(*m_pCritSec, __LINE__);
  {
    CLogBlock together;
    auto line = [](const char* text) { evtLog(LOGLIB_PRIORITY_INFO, "%s", text); };
    evtLog(LOGLIB_PRIORITY_INFO, "-- %s", m_strName.c_str());
    line("   publishings");
    for (const auto& entry : m_mapPublishings) evtLog(LOGLIB_PRIORITY_INFO, "      %s", entry.first.c_str());
    line("   subscriptions");
    for (const auto& entry : m_mmapSubscriptions)
      evtLog(LOGLIB_PRIORITY_INFO, "      %s %s", entry.first.c_str(), entry.second.c_str());
    line("   subscription use counts");
    for (const auto& entry : m_mapSubscriptionUseCounts)
      evtLog(LOGLIB_PRIORITY_INFO, "      %s %d", entry.first.c_str(), numberText(static_cast<uint32_t>(entry.second)));
    line("   seqno sent");
    for (const auto& entry : m_mapSeqNoSent)
      evtLog(LOGLIB_PRIORITY_INFO, "      %s %s", entry.first.c_str(), CPortable::ulltos(entry.second).c_str());
    line("   seqno base");
    for (const auto& entry : m_mapSeqNoBase)
      evtLog(LOGLIB_PRIORITY_INFO, "      %d %s", numberText(static_cast<uint32_t>(entry.first)),
             CPortable::ulltos(entry.second).c_str());
    line("   seqno rcvd");
    for (const auto& entry : m_mapSeqNoRcvd)
      evtLog(LOGLIB_PRIORITY_INFO, "      %s %s", entry.first.c_str(), CPortable::ulltos(entry.second).c_str());
  }
}

long CEventLibImpl::reportConnectivity(unsigned long value) {
  const std::string request = evt::protocol::connectivityRequest(serverIdOf(value));
  CPCritSecHold engineLock(*m_pCritSec, __LINE__);
  if (m_bConnected.load()) queueRequestLocked(request);
  return 0;
}
