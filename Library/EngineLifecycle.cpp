// Construction, destruction, initialize and finalize of the engine, its init
// thread, registration, and the channel's opening and closing.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <new>

#include "Library/CEResultCodes.h"
#include "Library/CEventLibImpl.h"
#include "Library/EngineText.h"
#include "platform/CZebIPCLibrary.h"
#include "trace/_Trace.h"

using evt::engine::addressWord;
using evt::engine::codeWord;
using KelLogLib::LOGLIB_PRIORITY_INFO;

namespace {

constexpr unsigned long kStopPollMs = 200;
constexpr unsigned long kRegistrationRetryMs = 500;

}  // namespace

CEventLibImpl::CEventLibImpl(const std::string& name, CEventHandler* pEventHandler,
                             CPublishHandler* pPublishHandler, CCompletionHandler* pCompletionHandler)
    : m_eventSend(1, "", 1), m_critSecIPC("", 1), m_critSecChannel("", 1) {
  evtTrace(TRACE_LIFECYCLE, LOGLIB_PRIORITY_INFO, "CEventLibImpl::CEventLibImpl (0x%08X) - %s", addressWord(this),
           name.c_str());
  m_strName = name;
  m_pEventHandler = pEventHandler;
  m_pPublishHandler = pPublishHandler;
  m_pCompletionHandler = pCompletionHandler;
  char number[CPortable::kNumberTextSize];
  m_strProcessId = CPortable::itoa(CPortable::GetCurrentProcessId(), number, 10);
  m_pCritSec = new CPCritSec("CEventLibImpl", 1);
}

CEventLibImpl::~CEventLibImpl() {
  evtTrace(TRACE_LIFECYCLE, LOGLIB_PRIORITY_INFO, "CEventLibImpl::~CEventLibImpl (0x%08X)", addressWord(this));
  stop();
  delete m_pCritSec;
  m_pCritSec = nullptr;
}

long CEventLibImpl::initialize() {
  evtTrace(TRACE_LIFECYCLE, LOGLIB_PRIORITY_INFO, "CEventLibImpl::initalize (0x%08X)", addressWord(this));
  CPCritSecHold engineLock(*m_pCritSec, __LINE__);
  if (m_bInitialized.load()) return 0;
  if (!m_bSendThreadRunning.load()) {
    setFlag(m_bSendThreadRunning, 1);
    if (CPortable::CreateThread(sendThread, this, nullptr, "") == 0) {
      setFlag(m_bSendThreadRunning, 0);
      evtTrace(TRACE_LIFECYCLE, LOGLIB_PRIORITY_INFO,
               "(Error) CEventLibImpl::initialize, CPortable::CreateThread, sendThread - 0x%08X",
               codeWord(CE_E_THREAD));
      return CE_E_THREAD;
    }
  }
  if (m_bInitThreadRunning.load()) return 0;
  setFlag(m_bInitThreadRunning, 1);
  if (CPortable::CreateThread(initThread, this, nullptr, "") == 0) {
    setFlag(m_bInitThreadRunning, 0);
    evtTrace(TRACE_LIFECYCLE, LOGLIB_PRIORITY_INFO,
             "(Error) CEventLibImpl::initialize, CPortable::CreateThread, initThread - 0x%08X", codeWord(CE_E_THREAD));
    return CE_E_THREAD;
  }
  return 0;
}

long CEventLibImpl::finalize() {
  if (std::this_thread::get_id() == m_requestThread.load()) {
    // It would wait for the thread it runs on.
    evtLog(KelLogLib::LOGLIB_PRIORITY_ERROR, "(Error) CEventLibImpl::finalize(0x%08X) called from a handler, refused",
           addressWord(this));
    return CE_E_IN_HANDLER;
  }
  stop();
  return 0;
}

void CEventLibImpl::stop() {
  evtTrace(TRACE_LIFECYCLE, LOGLIB_PRIORITY_INFO, "CEventLibImpl::finalize (0x%08X)", addressWord(this));
  if (m_bStop.load() == 0) drainSendQueue();
  setFlag(m_bStop, 1);
  // Wake an exchange the init thread may be blocked in, so waiting for it
  // cannot hang on a service that accepts but never answers.
  {
    CPCritSecHold channelLock(m_critSecChannel, __LINE__);
    if (CZebIPCLibrary* channel = m_pIPC.load()) channel->finalize();
  }
  waitWhileSet(m_bInitThreadRunning, kStopPollMs);
  if (m_bInitialized.load()) {
    closeChannel();
    m_bInitialized.store(0);
  }
  {
    CPCritSecHold engineLock(*m_pCritSec, __LINE__);
    m_mapSeqNoSent.clear();
  }
  m_eventSend.wake(kSendStop);
  waitWhileSet(m_bSendThreadRunning, kStopPollMs);
  evtTrace(TRACE_LIFECYCLE, LOGLIB_PRIORITY_INFO, "<<<CEventLibImpl::finalize (0x%08X)", addressWord(this));
}

void CEventLibImpl::drainSendQueue() {
  if (m_bConnected.load() == 0 || std::this_thread::get_id() == m_requestThread.load()) return;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFinalizeDrainMs);
  std::unique_lock<std::mutex> lock(m_flagMutex);
  m_bDrained.store(0);
  m_bDraining.store(1);
  auto drainedOrGone = [this] { return m_bDrained.load() != 0 || m_bConnected.load() == 0; };
  while (!drainedOrGone() && std::chrono::steady_clock::now() < deadline) {
    // Woken again each round: a flush refused while a reconnection's
    // announcement was pending has to be retried once it has gone.
    lock.unlock();
    m_eventSend.wake(kSendNow);
    lock.lock();
    m_flagChanged.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(50)),
                             drainedOrGone);
  }
  m_bDraining.store(0);
  if (m_bDrained.load() == 0) {
    lock.unlock();
    evtLog(KelLogLib::LOGLIB_PRIORITY_ERROR,
           "(Error) CEventLibImpl::finalize (0x%08X): what was queued could not be handed to the service (%s); it is "
           "dropped",
           addressWord(this), m_bConnected.load() != 0 ? "no answer in time" : "the connection went");
  }
}

void CEventLibImpl::setFlag(std::atomic<int>& flag, int value) {
  std::lock_guard<std::mutex> hold(m_flagMutex);
  flag.store(value);
  m_flagChanged.notify_all();
}

void CEventLibImpl::waitWhileSet(const std::atomic<int>& flag, unsigned long pollMs) {
  std::unique_lock<std::mutex> lock(m_flagMutex);
  while (flag.load() != 0) m_flagChanged.wait_for(lock, std::chrono::milliseconds(pollMs));
}

void CEventLibImpl::sleepUnlessStopping(unsigned long ms) {
  std::unique_lock<std::mutex> lock(m_flagMutex);
  m_flagChanged.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_bStop.load() != 0; });
}

void CEventLibImpl::sleepUntilConnected(int connectionsSeen, unsigned long ms) {
  std::unique_lock<std::mutex> lock(m_flagMutex);
  m_flagChanged.wait_for(lock, std::chrono::milliseconds(ms), [&] {
    return m_bStop.load() != 0 || m_channelConnections.load() != connectionsSeen;
  });
}

void CEventLibImpl::initThread(void* pEngine) { static_cast<CEventLibImpl*>(pEngine)->initThreadFunc(); }

long CEventLibImpl::openChannel() {
  if (m_pIPC.load() != nullptr) return 0;
  CZebIPCLibrary* channel = new (std::nothrow)
      CZebIPCLibrary(kServiceChannelName, kServiceChannelId, 0, 16, 16, 0xFFFFFFFFul);
  if (channel == nullptr) return CE_E_CREATE;
  {
    CPCritSecHold channelLock(m_critSecChannel, __LINE__);
    m_pIPC.store(channel);
  }
  // A finalize that began before the store above found no channel to wake;
  // it is seen here instead, before any exchange can block.
  if (m_bStop.load()) return CE_E_STOPPING;
  long result = channel->initialize();
  if (result < 0) return result;
  setFlag(m_bRequestThreadRunning, 1);
  if (CPortable::CreateThread(ipcClientRequestThread, this, nullptr, "") == 0) {
    setFlag(m_bRequestThreadRunning, 0);
    evtTrace(TRACE_LIFECYCLE, LOGLIB_PRIORITY_INFO,
             "(Error) CEventLibImpl::initThreadFunc, CPortable::CreateThread for ipcClientRequestThread failed 0x%08X",
             codeWord(CE_E_THREAD));
    return CE_E_THREAD;
  }
  return 0;
}

long CEventLibImpl::registerOnce(std::string* pServerId) {
  std::string serverId;
  long result = 0;
  bool registered = false;
  {
    CPCritSecHold exchangeLock(m_critSecIPC, __LINE__);
    result = sendReceiveIPC(CECMD_SERVER_ID, "", &serverId);
    if (result >= 0 && !serverId.empty()) {
      // The name and pid answers are ignored: they must not replace the id.
      result = sendReceiveIPC(CECMD_CLIENT_NAME, m_strName, nullptr);
      if (result >= 0) result = sendReceiveIPC(CECMD_PROCESS_ID, m_strProcessId, nullptr);
      registered = result >= 0;
    }
  }
  if (registered) {
    *pServerId = serverId;
    return 0;
  }
  // An empty server id counts as a failed attempt.
  return result < 0 ? result : CE_E_NOT_CONNECTED;
}

void CEventLibImpl::initThreadFunc() {
  setFlag(m_bInitThreadRunning, 1);
  CPortable::SetCurrentThreadName("CEInit");
  evtLog(LOGLIB_PRIORITY_INFO, "CEventLibImpl::initThreadFunc - starting (0x%08X)", addressWord(this));
  // After finalize has begun there is nobody to serve: open nothing.
  long result = m_bStop.load() ? CE_E_STOPPING : openChannel();
  std::string serverId;
  bool registered = false;
  bool opened = result >= 0;
  while (opened && !m_bStop.load()) {
    const int connectionsSeen = m_channelConnections.load();
    result = registerOnce(&serverId);
    if (result >= 0) {
      registered = true;
      break;
    }
    if (result == CE_E_STOPPING) break;
    // Without a connection, one made meanwhile is registered on at once:
    // the host's first events would otherwise wait, and with them every
    // other publisher's events of their categories, numbered after them.
    if (result == ZEBIPC_E_NOT_CONNECTED) {
      sleepUntilConnected(connectionsSeen, kRegistrationRetryMs);
    } else {
      sleepUnlessStopping(kRegistrationRetryMs);
    }
  }
  if (registered) {
    {
      CPCritSecHold engineLock(*m_pCritSec, __LINE__);
      // A 32-bit id, written either way ("4294967294" or "-2"), the same in both builds.
      m_dwThisServerID.store(static_cast<uint32_t>(std::strtoll(serverId.c_str(), nullptr, 10)));
      markConnectedLocked();
    }
    evtLog(LOGLIB_PRIORITY_INFO, "CEventLibImpl::initThreadFunc - stopping (0x%08X)", addressWord(this));
    m_bInitialized.store(1);
  } else {
    evtLog(LOGLIB_PRIORITY_INFO, "CEventLibImpl::initThreadFunc - stopping (0x%08X)", addressWord(this));
    if (m_pIPC.load() != nullptr) {
      setFlag(m_bTearingDown, 1);
      closeChannel();
      setFlag(m_bTearingDown, 0);
    }
  }
  setFlag(m_bInitThreadRunning, 0);
}

void CEventLibImpl::closeChannel() {
  CZebIPCLibrary* channel = nullptr;
  {
    CPCritSecHold channelLock(m_critSecChannel, __LINE__);
    channel = m_pIPC.load();
    if (channel != nullptr) channel->finalize();
  }
  if (channel == nullptr) return;
  waitWhileSet(m_bRequestThreadRunning, kStopPollMs);
  // No exchange can be inside the channel while both locks are held.
  {
    CPCritSecHold exchangeLock(m_critSecIPC, __LINE__);
    CPCritSecHold channelLock(m_critSecChannel, __LINE__);
    m_pIPC.store(nullptr);
    m_bQueueAnswerOwed = false;  // its channel goes
  }
  delete channel;
}


