// The sending side of the engine: the host's events numbered and queued,
// execute, and the send thread that takes the whole queue to the service in
// CECMD_QUEUE exchanges, batching plain wakes for up to 200 ms.
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

#include "Library/CEResultCodes.h"
#include "Library/CEventLibImpl.h"
#include "Library/EngineText.h"
#include "Utilities/ParamsView.h"
#include "platform/CZebIPCLibrary.h"
#include "protocol/Protocol.h"
#include "trace/_Trace.h"

using evt::engine::addressWord;
using evt::engine::codeWord;
using KelLogLib::LOGLIB_PRIORITY_ERROR;
using KelLogLib::LOGLIB_PRIORITY_EVENT;
using KelLogLib::LOGLIB_PRIORITY_INFO;

namespace {

constexpr unsigned long long kBatchWindowMs = 200;
// A queue this long is worth an exchange: a plain wake sends it at once
// rather than waiting out the window, so a burst streams in bounded pieces.
constexpr unsigned long kStreamBytes = 64ul << 10;
// How long after its numbers last interleaved with another process's a
// category's events are sent without a window.
constexpr unsigned long long kSharedSeriesMs = 1000;
// deliverEvent waits while this much is queued rather than growing the queue
// without bound: one exchange's worth, filled by the host while the send
// thread hands the last one over. Larger only costs memory and page faults.
constexpr unsigned long kMaxQueuedBytes = 256ul << 10;
constexpr unsigned long kRoomPollMs = 200;
// The storage of a batch up to this size is kept for the next one: a queue
// grown afresh for every batch spends its time in page faults. Above it (one
// huge event), the storage goes back to the system.
constexpr unsigned long kMaxRecycledQueue = kMaxQueuedBytes + (1ul << 20);

// Cuts `queue` after its first `count` requests and returns the rest as the
// text of their items, for CParamsX::append.
std::string takeRequestsAfter(CParamsX* queue, unsigned long count) {
  if (count >= queue->count()) return std::string();
  const std::string& text = queue->paramListRef();
  std::size_t cut = 0;
  for (unsigned long i = 0; i < count; ++i) {
    std::size_t prefix = 0, value = 0;
    params::readPrefix(text, cut, &prefix, &value);
    cut += prefix + value + 1;  // past the ';' that joins the next item
  }
  std::string later = text.substr(cut);
  CParamsX earlier;
  if (cut > 0) earlier.append(text.substr(0, cut - 1));
  queue->swap(earlier);
  return later;
}

}  // namespace

long CEventLibImpl::deliverEvent(const std::string& category, const std::string& keys, const std::string& data) {
  waitForQueueRoom();
  // Numbers are taken and queued under one hold of this engine's deliver
  // lock, so this process's events of a category leave in number order.
  std::lock_guard<std::mutex> ordering(m_deliverMutex);
  // No number for an event that cannot be queued: every number taken and
  // not sent is a gap the service waits out for the category's other
  // publishers, then reports to every subscriber as a missed event.
  if (m_bConnected.load() == 0) return CE_E_NOT_CONNECTED;
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
  {
    CPCritSecHold engineLock(*m_pCritSec, __LINE__);
    unsigned long long& lastSent = m_mapSeqNoSent[category];
    if (lastSent != 0 && seqNo != lastSent + 1) m_sharedSeriesTick = CPortable::GetTickCountULL();
    lastSent = seqNo;
    // Built under the lock: the id is the one registration stored.
    evt::protocol::writeEventRequest(&m_requestText, category, keys, data,
                                     static_cast<uint32_t>(m_dwThisServerID.load()), seqNo);
    evtTrace(TRACE_LIFECYCLE, LOGLIB_PRIORITY_EVENT,
             "CEventLibImpl::deliverEvent(0x%08X), name %s, cat %s, keys %s, data %s, seqno %llu, ready %d",
             addressWord(this), m_strName.c_str(), category.c_str(), keys.c_str(), data.c_str(), seqNo,
             m_bConnected.load() != 0 ? 1 : 0);
    // Queued even when the connection went since the check above: the queue
    // outlives a connection and leaves with the next one's announcement.
    m_sendQueue.addParam(m_requestText);
    m_queuedBytes.store(m_sendQueue.length());
  }
  return result;
}

void CEventLibImpl::waitForQueueRoom() {
  // Handlers never wait: the request thread is what lets the service take
  // this host's queue when the host also subscribes.
  if (m_queuedBytes.load() < kMaxQueuedBytes || std::this_thread::get_id() == m_requestThread.load()) return;
  m_eventSend.wake(kSendNow);
  // It ends when the queue drains, the engine stops or the connection goes;
  // woken by each, and looking again every kRoomPollMs should a wake be missed.
  std::unique_lock<std::mutex> lock(m_flagMutex);
  while (m_queuedBytes.load() >= kMaxQueuedBytes && m_bStop.load() == 0 && m_bConnected.load() != 0) {
    m_flagChanged.wait_for(lock, std::chrono::milliseconds(kRoomPollMs));
  }
}

long CEventLibImpl::execute(unsigned long completionId) {
  evtTrace(TRACE_DETAIL, LOGLIB_PRIORITY_INFO, "CEventLibImpl::execute 0x%08X, compid %d", addressWord(this),
           static_cast<int>(static_cast<int32_t>(completionId)));
  long wake = 0;
  {
    CPCritSecHold engineLock(*m_pCritSec, __LINE__);
    if (completionId != 0) {
      // Queued even when nothing else is, so a host waiting for this
      // completion always gets it.
      queueRequestLocked(evt::protocol::completionIdRequest(static_cast<uint32_t>(completionId)));
      m_completionsQueued.push_back(static_cast<uint32_t>(completionId));
      wake = kSendNow;
    } else if (m_sendQueue.length() >= kStreamBytes ||
               (m_sharedSeriesTick != 0 && CPortable::GetTickCountULL() - m_sharedSeriesTick < kSharedSeriesMs)) {
      // A wake while the send thread is in an exchange costs it nothing: it
      // takes all that queued meanwhile when the exchange ends.
      wake = kSendNow;
    } else if (m_sendQueue.count() > 0 && !m_bWindowOpen) {
      // An open window sends this event with the rest when it closes: waking
      // the send thread for every event would cost a thread switch each.
      wake = kSendWithinWindow;
    }
  }
  // A text wanted at once goes from this thread when nothing is in the way.
  if (wake == kSendNow && completionId != 0 && flushHereIfFree()) return 0;
  // Woken once the engine lock is free: a send thread woken on this CPU
  // runs at once, and would otherwise block on that lock straight away.
  if (wake != 0) m_eventSend.wake(wake);
  return 0;
}

void CEventLibImpl::sendThread(void* pEngine) { static_cast<CEventLibImpl*>(pEngine)->sendThreadFunc(); }

long CEventLibImpl::flushSendQueue(bool replay) {
  // Taking m_critSecIPC first keeps batches in the order they were taken.
  CPCritSecHold exchangeLock(m_critSecIPC, __LINE__);
  // The last text's answer comes before this batch is taken: while the
  // service holds it back, the host's queue stays at its bound.
  collectQueueAnswer();
  return sendQueuedLocked(replay);
}

bool CEventLibImpl::flushHereIfFree() {
  // A drain is watched by the send thread, which must see its flush.
  if (m_bDraining.load() != 0 || !m_critSecIPC.tryEnter(__LINE__)) return false;
  // Not connected: the send thread is woken as before, and the queue waits
  // for the next connection either way.
  const bool sent = queueAnswerIn() && sendQueuedLocked(false) != CE_E_NOT_CONNECTED;
  m_critSecIPC.leave(__LINE__);
  return sent;
}

long CEventLibImpl::sendQueuedLocked(bool replay) {
  CParamsX batch;
  {
    CPCritSecHold engineLock(*m_pCritSec, __LINE__);
    // Whatever happens to this flush, what is queued from now on is not in
    // it, so the next plain wake must reach the send thread.
    m_bWindowOpen = false;
    // A flush now could only fail; the queue waits for the next connection.
    if (!replay && (!m_bConnected.load() || m_bAnnouncementPending.load() || m_pIPC.load() == nullptr))
      return CE_E_NOT_CONNECTED;
    if (replay) {
      // One batch: what was queued before the connection came, the
      // announcement, then what the host queued since. An "unsubscribe" or
      // "retract" left from the last connection can then never undo what the
      // announcement renews; an event published since follows its "publish";
      // and since the service handles the batch whole, a completion in it
      // comes back only once the subscriptions are in place.
      const std::string since = takeRequestsAfter(&m_sendQueue, m_queuedBeforeConnection);
      queueUnansweredEventsLocked();
      queueReplayLocked();
      if (!since.empty()) m_sendQueue.append(since);
      m_bAnnouncementPending.store(0);
    }
    batch.swap(m_sendQueue);  // taken whole, not copied
    m_sendQueue.swap(m_spareSendQueue);
    m_completionsSent.insert(m_completionsSent.end(), m_completionsQueued.begin(), m_completionsQueued.end());
    m_completionsQueued.clear();
  }
  {
    std::lock_guard<std::mutex> hold(m_flagMutex);
    m_queuedBytes.store(0);
  }
  m_flagChanged.notify_all();
  // The announcement is sent even when empty: it ends the connection's
  // set-up. A later wake that finds the queue already taken (by the
  // announcement or an earlier flush) has nothing to send.
  long result = !replay && batch.count() == 0 ? 0 : sendQueueText(batch.paramListRef());
  keepUnanswered(&batch);  // batch holds the storage of the one answered before, if any
  if (batch.length() <= kMaxRecycledQueue) {
    batch.clear();
    CPCritSecHold engineLock(*m_pCritSec, __LINE__);
    m_spareSendQueue.swap(batch);
  }
  return result;
}

long CEventLibImpl::sendQueueText(std::string_view batch) {
  // At least one exchange: an empty announcement still ends a connection's
  // set-up.
  if (batch.size() <= kMaxQueueText) return sendQueueIPC(batch);
  std::size_t begin = 0;
  long result = 0;
  do {
    // Whole request lists, at least one, while the piece stays in bounds.
    std::size_t pieceEnd = begin;
    while (pieceEnd < batch.size()) {
      const std::size_t item = pieceEnd == begin ? begin : pieceEnd + 1;
      std::size_t prefix = 0, value = 0;
      if (!params::readPrefix(batch, item, &prefix, &value)) {
        pieceEnd = batch.size();  // not a list the service could read; it says so
        break;
      }
      if (pieceEnd > begin && item + prefix + value - begin > kMaxQueueText) break;
      pieceEnd = item + prefix + value;
    }
    result = sendQueueIPC(batch.substr(begin, pieceEnd - begin));
    begin = pieceEnd + 1;  // past the ';' that joins the next list
  } while (begin < batch.size() && result >= 0);
  if (result < 0 && begin < batch.size()) {
    evtLog(LOGLIB_PRIORITY_ERROR, "(Error) CEventLibImpl::flushSendQueue, %lu of %lu bytes not sent - 0x%08X",
           static_cast<unsigned long>(batch.size() - begin), static_cast<unsigned long>(batch.size()),
           codeWord(result));
  }
  return result;
}

void CEventLibImpl::settleUnanswered(bool answered) {
  // Not answered: the connection went, and the batch waits for the next.
  if (!answered) return;
  if (m_unanswered.length() > kMaxRecycledQueue) {
    CParamsX().swap(m_unanswered);
  } else {
    m_unanswered.clear();
  }
}

void CEventLibImpl::keepUnanswered(CParamsX* batch) {
  if (m_unanswered.count() == 0) {
    m_unanswered.swap(*batch);
  } else {
    m_unanswered.append(batch->paramListRef());  // the one before was not answered either
  }
}

void CEventLibImpl::queueUnansweredEventsLocked() {
  if (m_unanswered.count() == 0) return;
  // Only the events: the announcement renews what the host publishes and
  // subscribes to, and the completions were reported failed with the loss.
  CParamsX again;
  const ParamsView unanswered(m_unanswered.paramListRef());
  for (std::size_t i = 0; i < unanswered.count(); ++i) {
    const std::string_view request = unanswered.itemAt(i);
    if (evt::protocol::kindOf(ParamsView(request)) == evt::protocol::RequestKind::Event)
      again.addParam(std::string(request));
  }
  again.append(m_sendQueue.paramListRef());
  m_sendQueue.swap(again);
  settleUnanswered(true);
}

void CEventLibImpl::noteDrained() {
  long answer = 0;
  {
    CPCritSecHold exchangeLock(m_critSecIPC, __LINE__);
    answer = collectQueueAnswer();
  }
  bool empty = false;
  {
    CPCritSecHold engineLock(*m_pCritSec, __LINE__);
    empty = m_sendQueue.count() == 0 && m_bAnnouncementPending.load() == 0;
  }
  if (answer >= 0 && empty) setFlag(m_bDrained, 1);
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
        CPCritSecHold engineLock(*m_pCritSec, __LINE__);
        m_bWindowOpen = true;
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
    if (m_bDraining.load() != 0) noteDrained();
    windowStart = 0;
    timeoutMs = CPEvent::kInfinite;
  }
  evtLog(LOGLIB_PRIORITY_INFO, "CEventLibImpl::sendThreadFunc - stopping (0x%08X)", addressWord(this));
  setFlag(m_bSendThreadRunning, 0);
}
