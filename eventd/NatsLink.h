// One connection to a NATS cluster through libnats, which connects in the
// background and again after every loss. libnats's threads hand what
// arrives (messages of the subjects subscribed to, and the connection's
// coming and going) to a queue and wake the loop through fd(); the loop
// takes the queue and handles it in order. Apart from those callbacks,
// everything runs on the loop thread.
#pragma once

#include <nats/nats.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace evt::service {

class NatsLink {
 public:
  struct MessageDestroyer {
    void operator()(natsMsg* msg) const { natsMsg_Destroy(msg); }
  };
  // What libnats's threads handed to the loop.
  struct Inbound {
    enum Kind { kMessage, kConnected, kDisconnected } kind;
    std::unique_ptr<natsMsg, MessageDestroyer> msg;  // kMessage: kept as libnats made it, not copied
    std::string_view subject() const { return natsMsg_GetSubject(msg.get()); }
    std::string_view data() const { return std::string_view(natsMsg_GetData(msg.get()), size()); }
    std::size_t size() const { return msg ? static_cast<std::size_t>(natsMsg_GetDataLength(msg.get())) : 0; }
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
  // Sends `data` on `subject`; a failure is counted and logged (now and
  // then), not returned: what it loses shows as a gap to the followers.
  void publish(const std::string& subject, std::string_view data);
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
  static void onMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* closure);
  static void onSubscriptionComplete(void* closure);
  static void onConnected(natsConnection*, void* closure);
  static void onDisconnected(natsConnection*, void* closure);
  // Any thread.
  void push(Inbound&& inbound);

  natsOptions* m_natsOptions = nullptr;
  natsConnection* m_connection = nullptr;
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
