// One connection to a NATS cluster through libnats, which connects in the
// background and again after every loss. libnats's threads hand what
// arrives (messages of the subjects subscribed to, and the connection's
// coming and going) to a queue and wake the loop through fd(); the loop
// takes the queue and handles it in order. Apart from those callbacks,
// everything runs on the loop thread.
#pragma once

#include <nats/nats.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace evt::service {

class NatsLink {
 public:
  struct MessageDestroyer {
    void operator()(natsMsg* msg) const { natsMsg_Destroy(msg); }
  };
  // What libnats's threads handed to the loop.
  struct Inbound {
    enum Kind {
      kMessage,
      kConnected,
      kDisconnected,
      kDropped,  // a stream's message that found no room: its subscription must be taken up again
      kStreamKept,           // ensureStream succeeded (text: a note for the operator, or empty)
      kStreamFailed,         // ensureStream failed (text: why)
      kStreamSubscribed,     // a stream subscription's consumer was made
      kStreamNotSubscribed,  // subscribeStream failed (text: why)
    };
    explicit Inbound(Kind what, natsMsg* message = nullptr, uint64_t stream = 0)
        : kind(what), msg(message), streamSubscription(stream) {}
    Kind kind;
    std::unique_ptr<natsMsg, MessageDestroyer> msg;  // kMessage: kept as libnats made it, not copied
    uint64_t streamSubscription = 0;  // kMessage, kDropped, kStream*Subscribed: the stream subscription, or 0
    std::string text;                 // kDropped: the subject; kStream*: what the cluster said
    natsSubscription* made = nullptr;  // kStreamSubscribed, inside the link
    std::string_view subject() const {
      return msg ? std::string_view(natsMsg_GetSubject(msg.get())) : std::string_view(text);
    }
    std::string_view data() const { return std::string_view(natsMsg_GetData(msg.get()), size()); }
    std::size_t size() const { return msg ? static_cast<std::size_t>(natsMsg_GetDataLength(msg.get())) : 0; }
    // A message of a stream subscription: its number in the stream and when
    // the stream stored it, ns since the epoch (both 0: not from a stream).
    struct StreamPosition {
      uint64_t seq = 0;
      int64_t storedNs = 0;
    };
    StreamPosition streamPosition() const;
  };

  // A JetStream stream kept by the cluster, written by publishing on its
  // subjects.
  struct StreamSettings {
    std::string name;
    std::string subjects;   // one subject pattern
    int64_t maxBytes = 0;   // oldest messages dropped beyond either bound
    int64_t maxAgeSeconds = 0;
    std::string placementTag;  // the stream lives on a server of this tag, when one has it
  };

  NatsLink() = default;
  // Closes the connection and waits for libnats's threads to be gone.
  ~NatsLink();
  NatsLink(const NatsLink&) = delete;
  NatsLink& operator=(const NatsLink&) = delete;

  // Connects to `urls` ("nats://host:port", several joined by ',') as
  // `name`, with room for `ioBufferBytes` in libnats's buffers. A cluster
  // not reached yet is tried in the background (the operator is told).
  // False, with *error set, when the link cannot be made.
  bool start(const std::string& urls, const std::string& name, std::size_t ioBufferBytes, std::string* error);

  // Messages of `subject` come through the queue from now on. The failure
  // as libnats words it, or empty.
  std::string subscribe(const std::string& subject);
  void unsubscribe(const std::string& subject);
  // JetStream, once the link is made. Its requests (making a stream, a
  // consumer) wait for the cluster, which a partition can keep silent for
  // their whole `wait`: they run on a thread of their own, and what came of
  // them comes through the queue.
  bool startJetStream(std::chrono::milliseconds wait, std::string* error);
  // Makes the stream, or brings an existing one to `settings`: kStreamKept
  // or kStreamFailed follows. Without a server of the placement tag, the
  // stream lives where the cluster puts it (said in the note).
  void ensureStream(const StreamSettings& settings);
  // Where a stream subscription begins: at the stream's number `seq` while
  // the stream holds numbers that far (else it was made again since), else
  // at the first message stored from `timeNs` (ns since the epoch), else at
  // the first stored from now.
  struct StreamStart {
    uint64_t seq = 0;
    int64_t timeNs = 0;
  };
  // Messages of `subject` kept in `stream`, from `start` on, come through
  // the queue in the stream's order, marked with the id returned, which no
  // other subscription of this link had; or kStreamNotSubscribed with it.
  uint64_t subscribeStream(const std::string& subject, const std::string& stream, StreamStart start);
  // Ends a stream subscription, made or still being made, without asking
  // the cluster to delete its consumer (which it drops once idle).
  void dropStreamSubscription(uint64_t id);
  // Sends `data` on `subject`; a failure is counted and logged (now and
  // then), not returned: what it loses shows as a gap to the followers.
  void publish(const std::string& subject, std::string_view data);
  // Sends `data` on a stream's `subject`, asking the stream to answer on
  // `reply`; the stream stores a message of one `messageId` only once.
  // False when the link is not connected (nothing is buffered for later)
  // or libnats did not take it (counted and logged as above).
  bool publishToStream(const std::string& subject, std::string_view data, const std::string& reply,
                       const std::string& messageId);
  // The server connected to, or empty.
  std::string connectedUrl() const;

  // Readable when libnats's threads queued something: take() it.
  int fd() const { return m_wakeFd; }
  void take();
  // The oldest of what was taken and not yet handled (null: nothing);
  // pop() it once handled.
  Inbound* front() { return m_taken.empty() ? nullptr : &m_taken.front(); }
  void pop();
  bool holdsTaken() const { return !m_taken.empty(); }

  uint64_t messagesOut() const { return m_messagesOut; }
  uint64_t sendFailures() const { return m_sendFailures; }
  uint64_t receiveDrops() const { return m_receiveDrops.load(); }

 private:
  static void onMessage(natsConnection*, natsSubscription* sub, natsMsg* msg, void* closure);
  // Counts a message sent, or a failure (logged now and then); true when sent.
  bool sent(const std::string& subject, natsStatus status);
  static void onStreamMessage(natsConnection*, natsSubscription* sub, natsMsg* msg, void* closure);
  // False when the message found no room and was destroyed.
  bool queueMessage(uint64_t streamSubscription, natsMsg* msg);
  // What libnats hands a stream subscription's callback.
  struct StreamClosure {
    StreamClosure(NatsLink* owner, uint64_t number) : link(owner), id(number) {}
    NatsLink* link;
    uint64_t id;
    std::atomic<bool> wanted{true};  // false once dropped: a job not yet run skips it
    // Messages stored before this (ns since the epoch) are dropped until the
    // first one stored at or after it: the consumer was asked to start a
    // little earlier (startTimeSafeForLibnats). 0: none. Set by the
    // JetStream thread before the subscription exists, then the delivery
    // thread's alone.
    int64_t notBeforeNs = 0;
  };
  static void onSubscriptionComplete(void* closure);
  // Counts `sub` open until libnats delivered its last message. Any thread.
  void countOpen(natsSubscription* sub);
  // The JetStream thread: runs what was posted, in order, until closed.
  void post(std::function<void()> job);
  void runJetStreamJobs();
  void stopJetStreamJobs();
  // JetStream thread: false when `stream` holds no message numbered `seq`
  // or later (it was made again since); true when it does, or cannot say.
  bool streamReaches(const std::string& stream, uint64_t seq);
  // Loop thread, in take(): a stream subscription made; false when it was
  // dropped meanwhile (and is destroyed).
  bool adopt(Inbound& made);
  static void onConnected(natsConnection*, void* closure);
  static void onDisconnected(natsConnection*, void* closure);
  // Any thread.
  void push(Inbound&& inbound);

  natsOptions* m_natsOptions = nullptr;
  natsConnection* m_connection = nullptr;
  jsCtx* m_jetStream = nullptr;
  std::deque<StreamClosure> m_streamClosures;  // loop thread appends; kept while libnats may call back
  std::map<uint64_t, natsSubscription*> m_streamSubscriptions;  // loop thread: by id
  std::set<uint64_t> m_streamPending;                            // loop thread: asked for, not yet made
  std::thread m_jetStreamThread;
  std::mutex m_jobsMutex;
  std::condition_variable m_jobsReady;
  std::deque<std::function<void()>> m_jobs;  // guarded by m_jobsMutex
  bool m_jobsClosing = false;                // guarded by m_jobsMutex
  std::map<std::string, natsSubscription*> m_subscriptions;  // by subject
  std::mutex m_completeMutex;
  std::condition_variable m_completed;
  int m_openSubscriptions = 0;  // guarded by m_completeMutex: until libnats delivered their last message
  int m_wakeFd = -1;

  std::mutex m_inboundMutex;
  std::deque<Inbound> m_inbound;  // guarded by m_inboundMutex
  bool m_closing = false;         // guarded by m_inboundMutex
  std::deque<Inbound> m_taken;    // loop thread: taken from m_inbound, not yet handled
  std::atomic<std::size_t> m_waitingBytes{0};  // message bytes in both
  std::atomic<uint64_t> m_receiveDrops{0};
  uint64_t m_messagesOut = 0;
  uint64_t m_sendFailures = 0;
};

}  // namespace evt::service
