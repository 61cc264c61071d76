// Command/answer exchanges with the service, and the request thread that
// receives the service's requests, dispatches them and answers.
#include <cstdint>
#include <cstring>

#include "Library/CEResultCodes.h"
#include "Library/CEventLibImpl.h"
#include "Library/EngineText.h"
#include "Library/HandlerCall.h"
#include "platform/CZebIPCLibrary.h"
#include "trace/_Trace.h"

using evt::engine::addressWord;
using evt::engine::codeWord;
using KelLogLib::LOGLIB_PRIORITY_ERROR;
using KelLogLib::LOGLIB_PRIORITY_INFO;

namespace {

constexpr unsigned long kReceiveRetryMs = 200;

}  // namespace

long CEventLibImpl::sendReceiveIPC(CECMD cmd, std::string_view input, std::string* pAnswer) {
  collectQueueAnswer();
  unsigned long requestId = 0;
  long result = sendIPC(cmd, input, &requestId);
  if (result >= 0) result = receiveAnswerIPC(cmd, requestId, pAnswer);
  return reportedExchange(result);
}

long CEventLibImpl::sendQueueIPC(std::string_view batch) {
  collectQueueAnswer();
  unsigned long requestId = 0;
  const long result = sendIPC(CECMD_QUEUE, batch, &requestId);
  if (result >= 0) {
    m_owedQueueAnswer = requestId;
    m_bQueueAnswerOwed = true;
  }
  return reportedExchange(result);
}

long CEventLibImpl::collectQueueAnswer() {
  if (!m_bQueueAnswerOwed) return 0;
  m_bQueueAnswerOwed = false;
  bool answered = false;
  const long result = receiveAnswerIPC(CECMD_QUEUE, m_owedQueueAnswer, nullptr, true, &answered);
  settleUnanswered(answered);
  return reportedExchange(result);
}

bool CEventLibImpl::queueAnswerIn() {
  if (!m_bQueueAnswerOwed) return true;
  bool answered = false;
  const long result = receiveAnswerIPC(CECMD_QUEUE, m_owedQueueAnswer, nullptr, false, &answered);
  if (result == ZEBIPC_E_TIMEOUT) return false;
  m_bQueueAnswerOwed = false;
  settleUnanswered(answered);
  reportedExchange(result);
  return true;
}

long CEventLibImpl::sendIPC(CECMD cmd, std::string_view input, unsigned long* pRequestId) {
  if (m_bStop.load()) return CE_E_STOPPING;
  CZebIPCLibrary* channel = m_pIPC.load();
  // Not CE_E_STOPPING: that would end the send thread for good.
  if (channel == nullptr) return CE_E_NOT_CONNECTED;
  uint32_t header[4] = {cmd, 0, 0, 0};
  return channel->sendRequest(0, input.data(), static_cast<unsigned long>(input.size()), pRequestId, 0,
                              reinterpret_cast<const char*>(header));
}

long CEventLibImpl::receiveAnswerIPC(CECMD cmd, unsigned long requestId, std::string* pAnswer, bool wait,
                                     bool* pAnswered) {
  if (pAnswered != nullptr) *pAnswered = false;
  if (m_bStop.load()) return CE_E_STOPPING;
  CZebIPCLibrary* channel = m_pIPC.load();
  if (channel == nullptr) return CE_E_NOT_CONNECTED;
  uint32_t header[4] = {0, 0, 0, 0};
  unsigned long answeredId = 0;
  std::string answer;
  long result = wait ? channel->receiveResponse(&answer, &answeredId, reinterpret_cast<char*>(header))
                     : channel->pollResponse(&answer, &answeredId, reinterpret_cast<char*>(header));
  if (result == ZEBIPC_E_TIMEOUT && !wait) return result;
  if (pAnswered != nullptr) *pAnswered = result == 0;
  if (result == 0) result = ce::resultFromWord(header[2]);
  if (result >= 0 && (header[1] != cmd || answeredId != requestId)) result = CE_E_ANSWER_MISMATCH;
  if (pAnswer != nullptr && !answer.empty()) *pAnswer = std::move(answer);
  return result;
}

long CEventLibImpl::reportedExchange(long result) {
  if (result == ZEBIPC_CLOSED) result = CE_E_STOPPING;
  // Stopping is what finalize asked for, not a failure.
  if (result < 0 && result != CE_E_STOPPING) evtLog(LOGLIB_PRIORITY_ERROR, "(Error) CEventLibImpl::sendReceiveIPC failed - 0x%08X", codeWord(result));
  return result;
}

void CEventLibImpl::ipcClientRequestThread(void* pEngine) {
  static_cast<CEventLibImpl*>(pEngine)->ipcClientRequestThreadFunc();
}

void CEventLibImpl::ipcClientRequestThreadFunc() {
  CPortable::SetCurrentThreadName("CEIPCliReq");
  m_requestThread = std::this_thread::get_id();
  evtTrace(TRACE_LIFECYCLE, LOGLIB_PRIORITY_INFO, "CEventLibImpl::ipcClientRequestThread starting (0x%08X)",
           addressWord(this));
  setFlag(m_bRequestThreadRunning, 1);
  // The channel outlives this thread: it is deleted only after the thread ended.
  CZebIPCLibrary* channel = m_pIPC.load();
  std::string text;  // kept from request to request, so its storage is reused
  while (channel != nullptr && !m_bStop.load()) {
    unsigned long a = 0, b = 0;
    int noResponse = 0;
    uint32_t header[4] = {0, 0, 0, 0};
    long result = channel->receiveRequest(&a, &b, &text, &noResponse, reinterpret_cast<char*>(header));
    if (m_bStop.load() || result == ZEBIPC_CLOSED) break;
    if (result == ZEBIPC_CONNECTED) {
      evtTrace(TRACE_LIFECYCLE, LOGLIB_PRIORITY_INFO, "CEventLibImpl::ipcClientRequestThread - ZEBIPC_CONNECTED");
      setFlag(m_channelConnections, m_channelConnections.load() + 1);
      actionConnected();
      continue;
    }
    if (result == ZEBIPC_DISCONNECTED) {
      evtTrace(TRACE_LIFECYCLE, LOGLIB_PRIORITY_INFO, "CEventLibImpl::ipcClientRequestThread - ZEBIPC_DISCONNECTED");
      actionDisconnected();
      continue;
    }
    if (result < 0) {
      evtLog(LOGLIB_PRIORITY_ERROR, "(Error) CEventLibImpl::ipcClientRequestThread, receiveRequest 0x%08X",
             codeWord(result));
      sleepUnlessStopping(kReceiveRetryMs);
      continue;
    }
    evtTrace(TRACE_TRAFFIC, LOGLIB_PRIORITY_INFO, "CEventLibImpl::ipcClientRequestThread - request \"%s\"",
             text.c_str());
    dispatchText(text);
    if (m_bStop.load()) break;
    if (noResponse == 0) {
      header[1] = kServiceAnswerMark;
      header[2] = static_cast<uint32_t>(result);
      long sent = channel->sendResponse(a, b, "", 0, reinterpret_cast<const char*>(header));
      if (sent < 0)
        evtLog(LOGLIB_PRIORITY_ERROR, "(Error) CEventLibImpl::ipcClientRequestThread, sendResponse 0x%08X",
               codeWord(sent));
    }
  }
  evtTrace(TRACE_LIFECYCLE, LOGLIB_PRIORITY_INFO, "CEventLibImpl::ipcClientRequestThread stopping (0x%08X)",
           addressWord(this));
  setFlag(m_bRequestThreadRunning, 0);
}

void CEventLibImpl::dispatchText(const std::string& text) {
  ParamsView& requests = m_receivedRequests;
  requests.assign(text);
  for (std::size_t i = 0; i < requests.count() && !m_bStop.load(); ++i) dispatch(requests.itemAt(i));
}

void CEventLibImpl::dispatch(std::string_view requestList) {
  using evt::protocol::RequestKind;
  struct DispatchEntry {
    RequestKind kind;
    void (CEventLibImpl::*action)(const ParamsView&);  // the request list, read
  };
  static const DispatchEntry kDispatchTable[] = {
      {RequestKind::CheckEventSeqNo, &CEventLibImpl::actionCheckEventSeqNo},
      {RequestKind::Completed, &CEventLibImpl::actionCompleted},
      {RequestKind::Dump, &CEventLibImpl::actionDump},
      {RequestKind::Event, &CEventLibImpl::actionEvent},
      {RequestKind::Publish, &CEventLibImpl::actionPublish},
      {RequestKind::Retract, &CEventLibImpl::actionRetract},
      {RequestKind::SetSeqNoBase, &CEventLibImpl::actionSetSeqNoBase},
  };
  const ParamsView request(requestList);
  const RequestKind kind = evt::protocol::kindOf(request);  // names matched exactly, letter case included
  for (const DispatchEntry& entry : kDispatchTable) {
    if (kind == entry.kind) {
      (this->*entry.action)(request);
      return;
    }
  }
}

void CEventLibImpl::actionDisconnected() {
  evtTrace(TRACE_LIFECYCLE, LOGLIB_PRIORITY_INFO, "CEventLibImpl::actionDisconnected (0x%08X)", addressWord(this));
  std::vector<uint32_t> unanswered;
  {
    CPCritSecHold engineLock(*m_pCritSec, __LINE__);
    setFlag(m_bConnected, 0);  // releases hosts waiting for room in the queue
    m_bAnnouncementPending.store(1);  // the next connection announces again
    // The service that took these ids is gone; one still queued is sent,
    // and answered, on the next connection.
    unanswered.swap(m_completionsSent);
  }
  if (m_bConnectionReported) fireConnectionEvent("disconnected");
  if (m_pCompletionHandler == nullptr) return;
  for (uint32_t id : unanswered) {
    const long result = evt::engine::callHandler(
        [&] { return m_pCompletionHandler->onCompleted(static_cast<int32_t>(id), CE_E_NOT_CONNECTED); });
    if (result < 0)
      evtLog(LOGLIB_PRIORITY_ERROR, "(Error) CEventLibImpl::actionCompleted failed - 0x%08X", codeWord(result));
  }
}

void CEventLibImpl::fireConnectionEvent(const char* what) {
  m_bConnectionReported = std::string_view(what) == "connected";
  if (m_pEventHandler == nullptr) return;
  fireEvent(std::string(evt::protocol::kEventSystemCategory), std::string(), what, 0,
            static_cast<uint32_t>(m_dwThisServerID.load()));
}
