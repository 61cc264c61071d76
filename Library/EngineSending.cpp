// The sending side of the engine: the host's events numbered and queued,
// execute, and the send thread that takes the whole queue to the service in
// CECMD_QUEUE exchanges, batching plain wakes for up to 200 ms.
#include <cstdint>

#include "Library/CEResultCodes.h"
#include "Library/CEventLibImpl.h"
#include "Library/EngineText.h"
#include "platform/CZebIPCLibrary.h"
#include "trace/_Trace.h"

using evt::engine::addressWord;
using evt::engine::codeWord;
using KelLogLib::LOGLIB_PRIORITY_ERROR;
using KelLogLib::LOGLIB_PRIORITY_EVENT;
using KelLogLib::LOGLIB_PRIORITY_INFO;

namespace {

constexpr unsigned long long kBatchWindowMs = 200;
// A batch larger than this gives its storage back to the system rather than
// to the next batch, so one burst does not hold memory for good.
constexpr unsigned long kMaxRecycledQueue = 4ul << 20;

}  // namespace

long CEventLibImpl::deliverEvent(const std::string& category, const std::string& keys, const std::string& data) {
  // Numbers are taken and queued under one hold of this engine's deliver
  // lock, so this process's events of a category leave in number order.
  std::lock_guard<std::mutex> ordering(m_deliverMutex);
  unsigned long long seqNo = 0;
  long result = m_categorySeqNo.getNextSeqNo(category, &seqNo);
  if (result == CE_E_CREATE && seqNo != 0) {
    // The machine-wide list of category names is full, but the number was
    // issued: the event goes out, so the host is told of success (one that
    // retried on a failure would publish twice). Said once per client.
    if (m_bCategoryListFullLogged.exchange(1) == 0) {
      evtLog(LOGLIB_PRIORITY_ERROR,
             "(Error) CEventLibImpl::deliverEvent(0x%08X): the list of all categories is full; new categories such "
             "as %s are numbered and sent but not listed",
             addressWord(this), category.c_str());
    }
    result = 0;
  } else if (result < 0) {
    evtLog(LOGLIB_PRIORITY_ERROR, "(Error) CEventLibImpl::deliverEvent(0x%08X) failed: name %s, cat %s, keys %s, data %s, hr 0x%08X",
           addressWord(this), m_strName.c_str(), category.c_str(), keys.c_str(), data.c_str(), codeWord(result));
    return result;
  }
  bool connected = false;
  {
    CPCritSecHold engineLock(*m_pCritSec, __LINE__);
    m_mapSeqNoSent[category] = seqNo;
    // Built under the lock: the id is the one registration stored.
    evt::protocol::writeEventRequest(&m_requestText, &m_eventText, category, keys, data,
                                     static_cast<uint32_t>(m_dwThisServerID.load()), seqNo);
    connected = m_bConnected.load() != 0;
    evtTrace(TRACE_LIFECYCLE, LOGLIB_PRIORITY_EVENT,
             "CEventLibImpl::deliverEvent(0x%08X), name %s, cat %s, keys %s, data %s, seqno %llu, ready %d",
             addressWord(this), m_strName.c_str(), category.c_str(), keys.c_str(), data.c_str(), seqNo,
             connected ? 1 : 0);
    if (connected) m_sendQueue.addParam(m_requestText);
  }
  // Not connected: the event cannot be sent and is not kept; say so.
  if (!connected) return CE_E_NOT_CONNECTED;
  return result;
}

long CEventLibImpl::execute(unsigned long completionId) {
  evtTrace(TRACE_DETAIL, LOGLIB_PRIORITY_INFO, "CEventLibImpl::execute 0x%08X, compid %d", addressWord(this),
           static_cast<int>(static_cast<int32_t>(completionId)));
  CPCritSecHold engineLock(*m_pCritSec, __LINE__);
  if (completionId != 0) {
    // Queued even when nothing else is, so a host waiting for this
    // completion always gets it.
    queueRequestLocked(evt::protocol::completionIdRequest(static_cast<uint32_t>(completionId)));
    m_eventSend.wake(kSendNow);
  } else if (m_sendQueue.count() > 0) {
    m_eventSend.wake(kSendWithinWindow);
  }
  return 0;
}

void CEventLibImpl::sendThread(void* pEngine) { static_cast<CEventLibImpl*>(pEngine)->sendThreadFunc(); }

long CEventLibImpl::flushSendQueue(bool replay) {
  // Taking m_critSecIPC first keeps batches in the order they were taken.
  CPCritSecHold exchangeLock(m_critSecIPC, __LINE__);
  CParamsX batch;
  {
    CPCritSecHold engineLock(*m_pCritSec, __LINE__);
    // A flush now could only fail; the queue waits for the next connection.
    if (!replay && (!m_bConnected.load() || m_bAnnouncementPending.load() || m_pIPC.load() == nullptr))
      return CE_E_NOT_CONNECTED;
    if (replay) {
      // What was queued leaves first, then the announcement, in one batch: an
      // "unsubscribe" or "retract" still waiting can then never undo what the
      // announcement renews, and since the service handles the batch whole, a
      // completion in it comes back only once the subscriptions are in place.
      queueReplayLocked();
      m_bAnnouncementPending.store(0);
    }
    batch.swap(m_sendQueue);  // taken whole, not copied
    m_sendQueue.swap(m_spareSendQueue);
  }
  // The announcement is sent even when empty: it ends the connection's
  // set-up. A later wake that finds the queue already taken (by the
  // announcement or an earlier flush) has nothing to send.
  long result = !replay && batch.count() == 0 ? 0 : sendQueueText(batch.paramListRef());
  if (batch.length() <= kMaxRecycledQueue) {
    batch.clear();
    CPCritSecHold engineLock(*m_pCritSec, __LINE__);
    m_spareSendQueue.swap(batch);
  }
  return result;
}

long CEventLibImpl::sendQueueText(const std::string& batch) {
  if (batch.size() <= kMaxQueueText) return sendReceiveIPC(CECMD_QUEUE, batch, nullptr);
  CParamsX requests(batch);
  const unsigned long count = requests.count();
  unsigned long next = 0;
  long result = 0;
  while (next < count && result >= 0) {
    CParamsX part;
    do {
      part.addParam(requests.getstringParamAt(next++));
    } while (next < count && part.length() < kMaxQueueText - kMaxQueueText / 8);
    result = sendReceiveIPC(CECMD_QUEUE, part.paramListRef(), nullptr);
  }
  if (result < 0 && next < count) {
    evtLog(LOGLIB_PRIORITY_ERROR, "(Error) CEventLibImpl::flushSendQueue, %lu of %lu requests not sent - 0x%08X",
           count - next, count, codeWord(result));
  }
  return result;
}

void CEventLibImpl::sendThreadFunc() {
  setFlag(m_bSendThreadRunning, 1);
  CPortable::SetCurrentThreadName("CESend");
  evtLog(LOGLIB_PRIORITY_INFO, "CEventLibImpl::sendThreadFunc - starting (0x%08X)", addressWord(this));
  unsigned long timeoutMs = CPEvent::kInfinite;
  unsigned long long windowStart = 0;  // 0: no batching window open
  while (!m_bStop.load()) {
    long wake = m_eventSend.wait(timeoutMs, nullptr);
    bool flush = false;
    if (wake == kSendWithinWindow) {
      unsigned long long now = CPortable::GetTickCountULL();
      if (windowStart == 0) {
        windowStart = now;
        timeoutMs = static_cast<unsigned long>(kBatchWindowMs);
      } else if (now - windowStart > kBatchWindowMs) {
        flush = true;
      } else {
        // A wake with 1 never extends an open window.
        timeoutMs = static_cast<unsigned long>(kBatchWindowMs - (now - windowStart));
      }
    } else if (wake == kSendNow || wake == CP_WAIT_TIMEOUT) {
      flush = true;
    }
    if (!flush) continue;
    if (m_bStop.load()) break;
    if (flushSendQueue(false) == CE_E_STOPPING) break;
    windowStart = 0;
    timeoutMs = CPEvent::kInfinite;
  }
  evtLog(LOGLIB_PRIORITY_INFO, "CEventLibImpl::sendThreadFunc - stopping (0x%08X)", addressWord(this));
  setFlag(m_bSendThreadRunning, 0);
}
