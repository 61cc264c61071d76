// The engine behind CEventLib: its tables, its send queue, the channel to the
// event service and the three threads that work on them.
//
// Threads: host threads call the public operations; "CESend" flushes the send
// queue; "CEInit" opens the channel and registers the client; "CEIPCliReq"
// receives the service's requests and runs every action and handler call.
//
// Locks: m_pCritSec (the engine lock) guards the tables, m_sendQueue and the
// server id; m_critSecIPC serialises command/answer exchanges. A flush takes
// m_critSecIPC and then m_pCritSec briefly to take the queue, so batches reach
// the service in the order they were taken; nothing takes them the other way
// round. m_critSecChannel guards the lifetime of the channel object and is
// always the innermost lock. m_deliverMutex is taken before m_pCritSec, and
// m_flagMutex (the flag waits) after it, never the other way round. Flags are
// atomics, readable from any thread. The compiler checks what each lock
// guards (EVT_GUARDED_BY, EVT_REQUIRES; clang's -Wthread-safety).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Library/CEExport.h"
#include "Library/CEventHandlers.h"
#include "Library/KeyPatterns.h"
#include "Service/CategorySeqNo.h"
#include "Utilities/CParamsX.h"
#include "Utilities/ParamsView.h"
#include "platform/CPortable.h"
#include "protocol/Protocol.h"
#include "trace/_Trace.h"

class CZebIPCLibrary;

class CE_EXPORT CEventLibImpl {
 public:
  CEventLibImpl(const std::string& name, CEventHandler* pEventHandler, CPublishHandler* pPublishHandler,
                CCompletionHandler* pCompletionHandler);
  ~CEventLibImpl();
  CEventLibImpl(const CEventLibImpl&) = delete;
  CEventLibImpl& operator=(const CEventLibImpl&) = delete;

  // Starts the send and init threads; 0 or CE_E_THREAD. The service need not
  // be reachable: the init thread keeps trying in the background.
  long initialize();
  // Hands what is queued to the service (waiting up to kFinalizeDrainMs
  // while connected), then stops every thread and closes the channel; 0,
  // callable again. From a handler, CE_E_IN_HANDLER and nothing stops: it
  // would wait for its own thread.
  long finalize();
  // Wakes the send thread: completionId 0 sends within the batching window,
  // any other id queues a "completion-id" request and sends at once.
  long execute(unsigned long completionId);
  // Announce that this client starts or stops publishing `category`; kept
  // for the next connection's replay, queued now when connected. Always 0.
  long publish(const std::string& category);
  long retract(const std::string& category);
  // Files a subscription to `category` of server `serverId` (0xFFFFFFFF:
  // this server) for events whose keys match the patterns in `keys`; the
  // subscription's text, for unsubscribe, goes to *pSubscription.
  long subscribe(const std::string& category, const std::string& keys, unsigned long serverId,
                 std::string* pSubscription);
  long unsubscribe(const std::string& subscription);
  // Numbers the event from the shared store and queues it. The store's
  // result, or CE_E_NOT_CONNECTED (and no number taken) while not registered.
  long deliverEvent(const std::string& category, const std::string& keys, const std::string& data);
  // Queues a "dump" request (sent at once) and writes the tables to the log.
  void dump();
  // Queues a "reportconnectivity" request with `value` when connected. 0.
  long reportConnectivity(unsigned long value);
  bool isStopping() const { return m_bStop.load() != 0; }
  bool isConnected() const { return m_bConnected.load() != 0; }
  unsigned long thisServerId() const { return m_dwThisServerID.load(); }

 private:
  // Checks and records one received number; 1 when it revealed a gap (the
  // handler then got a "missed-event" event), else 0.
  int checkForMissedEvent(unsigned long serverId, const std::string& category, unsigned long long seqNo,
                          int newEvent);
  // The same for a server id and its subscription key already worked out.
  int checkKeyForMissedEvent(uint32_t serverId, const std::string& key, const std::string& category,
                             unsigned long long seqNo, int newEvent);
  // The table work of a check, under the engine lock: records the number
  // and says whether it followed the last one; *pLast and *pBase for the
  // report. Sets *pSubscribed false (and records nothing) for a key nobody
  // subscribed under.
  bool checkInSequenceLocked(uint32_t serverId, const std::string& key, unsigned long long seqNo, int newEvent,
                             bool* pSubscribed, unsigned long long* pLast, unsigned long long* pBase)
      EVT_REQUIRES(m_pCritSec);
  // Tells the handler of the gap before `seqNo`; the lock is not held.
  void reportMissedEvent(uint32_t serverId, const std::string& category, unsigned long long seqNo,
                         unsigned long long last, unsigned long long base, int newEvent);

  // One command/answer exchange; the caller holds m_critSecIPC. The answer
  // text, when one comes, replaces *pAnswer (may be null).
  long sendReceiveIPC(CECMD cmd, std::string_view input, std::string* pAnswer) EVT_REQUIRES(m_critSecIPC);
  // A CECMD_QUEUE exchange whose answer is taken only before the next
  // exchange (collectQueueAnswer): the send thread does not wait for it, so
  // the thread that reads the answer has nobody to wake. One text at a time
  // still awaits the service's answer, so the service's hold on answers
  // still holds the host back. The caller holds m_critSecIPC.
  long sendQueueIPC(std::string_view batch) EVT_REQUIRES(m_critSecIPC);
  // Waits for the answer still owed to the last queue text, if any; its
  // result (a failure is logged). The caller holds m_critSecIPC.
  long collectQueueAnswer() EVT_REQUIRES(m_critSecIPC);
  // The same without waiting: false while the answer is not in yet (it
  // stays owed); true once none is owed. The caller holds m_critSecIPC.
  bool queueAnswerIn() EVT_REQUIRES(m_critSecIPC);
  // The halves of an exchange, and the logging of its result.
  long sendIPC(CECMD cmd, std::string_view input, unsigned long* pRequestId);
  // `wait` false: ZEBIPC_E_TIMEOUT at once while the answer is not in.
  // *pAnswered (if given): whether the service answered at all.
  long receiveAnswerIPC(CECMD cmd, unsigned long requestId, std::string* pAnswer, bool wait = true,
                        bool* pAnswered = nullptr);
  // The owed queue text was answered, or was not and never will be.
  void settleUnanswered(bool answered) EVT_REQUIRES(m_critSecIPC);
  // Keeps `batch`, just sent (or not), until its answer comes.
  void keepUnanswered(CParamsX* batch) EVT_REQUIRES(m_critSecIPC);
  // Puts the events of the batch the last connection never answered at
  // the head of the queue. The caller holds m_critSecIPC and m_pCritSec.
  void queueUnansweredEventsLocked() EVT_REQUIRES(m_critSecIPC, m_pCritSec);
  long reportedExchange(long result);

  // Appends one request list (built by the protocol module) to the send
  // queue. The caller holds m_pCritSec.
  void queueRequestLocked(const std::string& request) EVT_REQUIRES(m_pCritSec) { m_sendQueue.addParam(request); }
  // Whether a change of what the host publishes or subscribes to is queued
  // now: only once this connection's announcement, which carries the tables
  // as they are when it is built, has been built; before, it would go twice.
  // The caller holds m_pCritSec.
  bool announcedLocked() const EVT_REQUIRES(m_pCritSec) {
    return m_bConnected.load() != 0 && m_bAnnouncementPending.load() == 0;
  }
  // Marks the engine connected. What is queued from now on leaves after the
  // connection's announcement, what is still queued from before it (left by
  // the last connection) ahead of it. The caller holds m_pCritSec.
  void markConnectedLocked() EVT_REQUIRES(m_pCritSec) {
    if (m_bConnected.load() == 0) m_queuedBeforeConnection = m_sendQueue.count();
    m_bConnected.store(1);
  }

  // Reactions to the channel's statuses, on the request thread.
  // Handles one text received from the service: its request lists in turn.
  void dispatchText(const std::string& text);
  void actionConnected();
  void actionDisconnected();
  // Tells the event handler that this client's own connection to the
  // service came ("connected", once its announcement is sent) or went.
  void fireConnectionEvent(const char* what);
  // Reactions to the service's requests, on the request thread; each takes
  // the request list, read once by the dispatcher (views into the received
  // text, valid for the call only).
  void actionCheckEventSeqNo(const ParamsView& request);
  void actionCompleted(const ParamsView& request);
  void actionDump(const ParamsView& request);
  void actionEvent(const ParamsView& request);
  void actionPublish(const ParamsView& request);
  void actionRetract(const ParamsView& request);
  void actionSetSeqNoBase(const ParamsView& request);
  // Thread entries; the argument is the engine.
  static void sendThread(void* pEngine);
  static void initThread(void* pEngine);
  static void ipcClientRequestThread(void* pEngine);

  void sendThreadFunc();
  void initThreadFunc();
  void ipcClientRequestThreadFunc();

  // Startup of the init thread: creates and initialises the channel and
  // starts the request thread. 0 or the failure.
  long openChannel();
  // One registration attempt; stores the answered server id text.
  long registerOnce(std::string* pServerId);
  // What finalize does once it may, and the destructor.
  void stop();
  // Releases the channel: wakes its waiters, waits for the request thread and
  // deletes it under m_critSecIPC.
  void closeChannel();
  // Takes the whole send queue and sends it in one CECMD_QUEUE exchange;
  // `replay` first appends the announcements of a new connection.
  long flushSendQueue(bool replay) EVT_EXCLUDES(m_critSecIPC, m_pCritSec);
  // The part of a flush after the last text's answer came in.
  long sendQueuedLocked(bool replay) EVT_REQUIRES(m_critSecIPC) EVT_EXCLUDES(m_pCritSec);
  // A flush on the calling thread, when that costs no wait: the send thread
  // is not in an exchange and the last text's answer is in. Saves waking the
  // send thread (a thread switch) for a text wanted at once. False when it
  // did not flush.
  bool flushHereIfFree() EVT_EXCLUDES(m_critSecIPC, m_pCritSec);
  void queueReplayLocked() EVT_REQUIRES(m_pCritSec);
  void rekeyUnresolvedLocked() EVT_REQUIRES(m_pCritSec);
  // A "publish" or "retract" request for `category` of this server.
  std::string publicationRequest(std::string_view name, const std::string& category) const;
  void dispatch(std::string_view requestList);
  // Sends `batch` in exchanges of at most kMaxQueueText bytes, cut between
  // request lists, in order; stops at the first failure.
  long sendQueueText(std::string_view batch) EVT_REQUIRES(m_critSecIPC);
  void publishAction(const ParamsView& request, int bPublish);
  // Hands one event to the event handler (not null), logging a failure.
  void fireEvent(const std::string& category, const std::string& keys, const std::string& data,
                 unsigned long long seqNo, uint32_t serverId);
  // The patterns of the subscriptions under `key`, read on first use after
  // any change; null when there are none.
  const KeyPatterns* keyPatternsLocked(const std::string& key) EVT_REQUIRES(m_pCritSec);
  // Removes the first subscription `text` under `key`; false when none.
  bool removeSubscriptionLocked(const std::string& key, const std::string& text) EVT_REQUIRES(m_pCritSec);

  // Flag changes that other threads wait for; waits are bounded by `pollMs`
  // rounds so a missed wake costs one round, never a hang.
  void setFlag(std::atomic<int>& flag, int value);
  void waitWhileSet(const std::atomic<int>& flag, unsigned long pollMs);
  // Waits while the send queue is full, unless on the request thread or
  // nothing can take the queue (stopping, not connected): for as long as a
  // connected service takes nothing, which is how it slows a fast host.
  void waitForQueueRoom();
  // Before a stop: has the send thread hand the queue to the service and
  // waits until the service took it, the connection went, or
  // kFinalizeDrainMs passed. Not on the request thread, which the service
  // may need to take this host's texts.
  void drainSendQueue();
  // The send thread's part of a drain, after a flush: waits for the
  // service's answer to the last text and says whether the queue is empty.
  void noteDrained();
  // Sleeps `ms`, or less when finalize begins meanwhile.
  void sleepUnlessStopping(unsigned long ms);
  // The same, and less when the channel reports a connection after it had
  // reported `connectionsSeen`.
  void sleepUntilConnected(int connectionsSeen, unsigned long ms);

 private:
  // Tests read the tables through this probe (tests/support/EngineFixture.h).
  friend class EngineProbe;

  // Members, in construction order. The log comes first so that it is
  // there for every other member's construction and destruction.
  CLibraryLog m_libraryLog;
  std::string m_strName;
  std::string m_strProcessId;
  CEventHandler* m_pEventHandler = nullptr;
  CPublishHandler* m_pPublishHandler = nullptr;
  CCompletionHandler* m_pCompletionHandler = nullptr;
  std::atomic<int> m_bConnected{0};
  // Set from a connection until its announcement (publications and
  // subscriptions) is queued, or its identification failed; meanwhile the
  // queue is held back, so that what is queued in that window leaves in one
  // batch with the announcement, and a completion id in it is answered only
  // once the subscriptions are in place.
  std::atomic<int> m_bAnnouncementPending{1};
  // Requests at the head of the queue that were queued before the current
  // connection came. Guarded by m_pCritSec.
  unsigned long m_queuedBeforeConnection EVT_GUARDED_BY(m_pCritSec) = 0;
  std::atomic<int> m_bStop{0};
  CPCritSec* m_pCritSec = nullptr;
  std::atomic<CZebIPCLibrary*> m_pIPC{nullptr};
  std::atomic<int> m_bInitialized{0};
  std::atomic<int> m_bInitThreadRunning{0};
  std::atomic<int> m_bRequestThreadRunning{0};
  std::atomic<int> m_bSendThreadRunning{0};
  // Connections the channel reported, counted by the request thread: a
  // registration that failed for want of one is retried when one comes.
  std::atomic<int> m_channelConnections{0};
  // Set while the init thread tears a failed channel down, so that the
  // request thread's wait for the init thread ends too.
  std::atomic<int> m_bTearingDown{0};
  CPEvent m_eventSend;
  CPCritSec m_critSecIPC;
  // The queue text whose answer is still owed (under m_critSecIPC).
  bool m_bQueueAnswerOwed EVT_GUARDED_BY(m_critSecIPC) = false;
  unsigned long m_owedQueueAnswer EVT_GUARDED_BY(m_critSecIPC) = 0;
  // The last batch taken from the queue, kept until the service answers
  // it: should the connection go first, its events go again, ahead of the
  // next connection's announcement. The service had handed on none of them,
  // or drops those it had as repeats (their places passed).
  CParamsX m_unanswered EVT_GUARDED_BY(m_critSecIPC);
  CPCritSec m_critSecChannel;
  std::atomic<unsigned long> m_dwThisServerID{0};
  std::map<std::string, int> m_mapPublishings EVT_GUARDED_BY(m_pCritSec);
  std::multimap<std::string, std::string> m_mmapSubscriptions EVT_GUARDED_BY(m_pCritSec);
  std::map<std::string, unsigned long> m_mapUnresolvedSubscriptions EVT_GUARDED_BY(m_pCritSec);
  std::map<std::string, unsigned long> m_mapSubscriptionUseCounts EVT_GUARDED_BY(m_pCritSec);
  // m_mmapSubscriptions' patterns by key, as a tree; an entry is dropped
  // whenever the subscriptions under its key change.
  std::map<std::string, KeyPatterns> m_keyPatterns EVT_GUARDED_BY(m_pCritSec);
  CCategorySeqNo m_categorySeqNo;
  std::map<std::string, unsigned long long> m_mapSeqNoSent EVT_GUARDED_BY(m_pCritSec);
  std::map<unsigned long, unsigned long long> m_mapSeqNoBase EVT_GUARDED_BY(m_pCritSec);
  std::map<std::string, unsigned long long> m_mapSeqNoRcvd EVT_GUARDED_BY(m_pCritSec);
  std::map<unsigned long, int> m_mapServerEventSeen EVT_GUARDED_BY(m_pCritSec);
  CParamsX m_sendQueue EVT_GUARDED_BY(m_pCritSec);
  // Completion ids in m_sendQueue, and those sent whose "completed" has not
  // come: the second are reported failed (CE_E_NOT_CONNECTED) when the
  // connection goes, since the service that took them cannot answer any
  // more. Guarded by m_pCritSec.
  std::vector<uint32_t> m_completionsQueued EVT_GUARDED_BY(m_pCritSec);
  std::vector<uint32_t> m_completionsSent EVT_GUARDED_BY(m_pCritSec);
  // Whether the host was told "connected" for the current connection; used
  // on the request thread only.
  bool m_bConnectionReported = false;
  // Set while finalize waits for the queue to drain; m_bDrained once the
  // send thread found it empty and answered.
  std::atomic<int> m_bDraining{0};
  std::atomic<int> m_bDrained{0};
  // The send queue's length as last queued or taken, for hosts waiting for
  // room in deliverEvent.
  std::atomic<unsigned long> m_queuedBytes{0};
  // The request thread, which runs the handlers.
  std::atomic<std::thread::id> m_requestThread{};
  // Set while the send thread waits out a batching window, so that plain
  // wakes meanwhile need not reach it; cleared whenever a flush takes the
  // queue. Guarded by m_pCritSec.
  bool m_bWindowOpen EVT_GUARDED_BY(m_pCritSec) = false;
  // When (tick count) this engine last took a number that did not follow
  // its previous one of the category: other processes number it too, and
  // the service holds their later events until ours arrive, so for a while
  // plain wakes send at once instead of waiting out a window. 0: never.
  // Guarded by m_pCritSec.
  unsigned long long m_sharedSeriesTick EVT_GUARDED_BY(m_pCritSec) = 0;
  // The storage of the batch sent last, emptied, for the queue to fill next
  // (a queue grown afresh for every batch spends its time in page faults).
  // Taken and given back under m_critSecIPC and m_pCritSec.
  CParamsX m_spareSendQueue;
  // Serialises numbering and queueing of this engine's own events; taken
  // before m_pCritSec.
  std::mutex m_deliverMutex;
  // Set once the full list of all categories has been logged.
  std::atomic<int> m_bCategoryListFullLogged{0};
  // The text of the event being queued, its storage kept from event to
  // event; used under m_deliverMutex.
  std::string m_requestText;
  // What the request thread reads, in storage kept from text to text: the
  // requests of the text being handled, and the event being received with
  // the subscription key of its server and category.
  ParamsView m_receivedRequests;
  struct ReceivedTexts {
    std::string category, keys, data;
    std::string key;
    uint32_t keyServer = 0;
    std::string keyCategory;
  } m_received;
  std::mutex m_flagMutex;
  std::condition_variable m_flagChanged;
};

// How long finalize waits for the service to take what is queued.
constexpr unsigned long kFinalizeDrainMs = 2000;

// Wake codes of m_eventSend.
constexpr long kSendWithinWindow = 1;
constexpr long kSendNow = 2;
constexpr long kSendStop = 4;
