#include "eventd/NatsLink.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <utility>

#include "eventd/ServiceLog.h"
#include "platform/linux/Interrupted.h"

namespace evt::service {
namespace {

// Bytes of messages received and not yet handled (waiting for a congested
// subscriber); beyond it messages are dropped.
constexpr std::size_t kMaxWaitingBytes = 64u * 1024u * 1024u;

bool fail(std::string* error, std::string text) {
  *error = std::move(text);
  return false;
}

}  // namespace

NatsLink::~NatsLink() {
  stopJetStreamJobs();
  std::deque<Inbound> left;
  {
    std::lock_guard<std::mutex> lock(m_inboundMutex);
    m_closing = true;  // what libnats still delivers is dropped at once
    left.swap(m_inbound);
  }
  // Outside the lock, as in take().
  for (Inbound& inbound : left) {
    if (inbound.kind == Inbound::kStreamSubscribed && inbound.made != nullptr) natsSubscription_Destroy(inbound.made);
  }
  left.clear();
  m_taken.clear();  // messages go back to libnats while it is open
  for (auto& subscription : m_subscriptions) natsSubscription_Destroy(subscription.second);
  for (auto& subscription : m_streamSubscriptions) natsSubscription_Destroy(subscription.second);
  jsCtx_Destroy(m_jetStream);
  natsConnection_Destroy(m_connection);
  natsOptions_Destroy(m_natsOptions);
  // A closed subscription is done once the delivery thread has taken its
  // closing: closing the library before would leave that unfreed.
  {
    std::unique_lock<std::mutex> lock(m_completeMutex);
    m_completed.wait_for(lock, std::chrono::seconds(2), [this] { return m_openSubscriptions == 0; });
  }
  // The library's threads (message delivery, reconnection) call back into
  // this object; they are gone when this returns.
  nats_CloseAndWait(5000);
  if (m_wakeFd >= 0) ::close(m_wakeFd);
}

bool NatsLink::start(const std::string& urlList, const std::string& name, std::size_t ioBufferBytes,
                     std::string* error) {
  m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (m_wakeFd < 0) return fail(error, "cannot make an eventfd");
  std::vector<std::string> urls;
  std::size_t begin = 0;
  while (begin <= urlList.size()) {
    std::size_t end = urlList.find(',', begin);
    if (end == std::string::npos) end = urlList.size();
    if (end > begin) urls.push_back(urlList.substr(begin, end - begin));
    begin = end + 1;
  }
  if (urls.empty()) return fail(error, "no NATS server named");
  for (const std::string& url : urls) {
    if (url.rfind("nats://", 0) != 0) return fail(error, "not a nats:// URL: " + url);
  }
  std::vector<const char*> servers;
  for (const std::string& url : urls) servers.push_back(url.c_str());
  natsStatus status = nats_Open(-1);
  if (status == NATS_OK) status = natsOptions_Create(&m_natsOptions);
  if (status == NATS_OK) {
    status = natsOptions_SetServers(m_natsOptions, servers.data(), static_cast<int>(servers.size()));
  }
  // Tried in the order given: an operator lists the machine's own server
  // first, and the others only to fall back on.
  if (status == NATS_OK) status = natsOptions_SetNoRandomize(m_natsOptions, true);
  if (status == NATS_OK) status = natsOptions_SetName(m_natsOptions, name.c_str());
  if (status == NATS_OK) status = natsOptions_SetMaxReconnect(m_natsOptions, -1);
  if (status == NATS_OK) status = natsOptions_SetReconnectWait(m_natsOptions, 250);
  if (status == NATS_OK) status = natsOptions_SetPingInterval(m_natsOptions, 1000);
  if (status == NATS_OK) status = natsOptions_SetMaxPingsOut(m_natsOptions, 3);
  if (status == NATS_OK) status = natsOptions_SetNoEcho(m_natsOptions, true);
  // A message leaves when it is published, not after the library's flusher
  // thread wakes: the caller batches already.
  if (status == NATS_OK) status = natsOptions_SetSendAsap(m_natsOptions, true);
  // A message larger than the buffer is gathered piecewise, a copy for each piece.
  if (status == NATS_OK) status = natsOptions_SetIOBufSize(m_natsOptions, static_cast<int>(ioBufferBytes));
  // One pool of delivery threads instead of one thread per subscription.
  if (status == NATS_OK) status = natsOptions_UseGlobalMessageDelivery(m_natsOptions, true);
  if (status == NATS_OK) status = natsOptions_SetDisconnectedCB(m_natsOptions, onDisconnected, this);
  if (status == NATS_OK) status = natsOptions_SetReconnectedCB(m_natsOptions, onConnected, this);
  if (status == NATS_OK) status = natsOptions_SetRetryOnFailedConnect(m_natsOptions, true, onConnected, this);
  if (status != NATS_OK) return fail(error, std::string("cannot set up libnats: ") + natsStatus_GetText(status));
  status = natsConnection_Connect(&m_connection, m_natsOptions);
  if (status == NATS_OK) {
    push(Inbound(Inbound::kConnected));
  } else if (status == NATS_NOT_YET_CONNECTED) {
    // Said once: the library keeps trying in the background, and the log
    // says when it got through.
    tellOperator("federation: cannot reach the NATS server at %s; eventd serves this machine meanwhile and keeps "
                 "trying",
                 urlList.c_str());
  } else {
    return fail(error, std::string("cannot connect: ") + natsStatus_GetText(status));
  }
  return true;
}

std::string NatsLink::subscribe(const std::string& subject) {
  natsSubscription* sub = nullptr;
  const natsStatus status = natsConnection_Subscribe(&sub, m_connection, subject.c_str(), onMessage, this);
  if (status != NATS_OK) return natsStatus_GetText(status);
  countOpen(sub);
  m_subscriptions.emplace(subject, sub);
  return std::string();
}

void NatsLink::countOpen(natsSubscription* sub) {
  if (natsSubscription_SetOnCompleteCB(sub, onSubscriptionComplete, this) == NATS_OK) {
    std::lock_guard<std::mutex> lock(m_completeMutex);
    ++m_openSubscriptions;
  }
}

void NatsLink::unsubscribe(const std::string& subject) {
  auto it = m_subscriptions.find(subject);
  if (it == m_subscriptions.end()) return;
  natsSubscription_Unsubscribe(it->second);
  natsSubscription_Destroy(it->second);
  m_subscriptions.erase(it);
}

void NatsLink::publish(const std::string& subject, std::string_view data) {
  sent(subject, natsConnection_Publish(m_connection, subject.c_str(), data.data(), static_cast<int>(data.size())));
}

bool NatsLink::publishToStream(const std::string& subject, std::string_view data, const std::string& reply,
                               const std::string& messageId) {
  // Not into libnats's buffer while it reconnects: that would reach the
  // stream after the messages the caller sends again, out of order.
  if (natsConnection_Status(m_connection) != NATS_CONN_STATUS_CONNECTED) return false;
  natsMsg* msg = nullptr;
  natsStatus status = natsMsg_Create(&msg, subject.c_str(), reply.c_str(), data.data(), static_cast<int>(data.size()));
  if (status == NATS_OK) status = natsMsgHeader_Set(msg, "Nats-Msg-Id", messageId.c_str());
  if (status == NATS_OK) status = natsConnection_PublishMsg(m_connection, msg);
  natsMsg_Destroy(msg);
  return sent(subject, status);
}

bool NatsLink::sent(const std::string& subject, natsStatus status) {
  if (status == NATS_OK) {
    ++m_messagesOut;
    return true;
  }
  ++m_sendFailures;
  if (m_sendFailures == 1 || m_sendFailures % 1000 == 0) {
    logError("federation: cannot send on %s: %s (%" PRIu64 " such failures so far)", subject.c_str(),
             natsStatus_GetText(status), m_sendFailures);
  }
  return false;
}

std::string NatsLink::connectedUrl() const {
  char url[256] = "";
  if (natsConnection_GetConnectedUrl(m_connection, url, sizeof url) != NATS_OK) url[0] = '\0';
  return url;
}

void NatsLink::take() {
  uint64_t count = 0;
  while (::read(m_wakeFd, &count, sizeof count) == static_cast<ssize_t>(sizeof count)) {
  }
  std::deque<Inbound> arrived;
  {
    std::lock_guard<std::mutex> lock(m_inboundMutex);
    arrived.swap(m_inbound);
  }
  // Outside the lock: destroying a subscription must not wait on a
  // delivery thread that waits for the lock.
  for (Inbound& inbound : arrived) {
    if (inbound.kind == Inbound::kStreamSubscribed) {
      const bool kept = adopt(inbound);
      inbound.made = nullptr;
      if (kept) m_taken.push_back(std::move(inbound));
    } else {
      if (inbound.kind == Inbound::kStreamNotSubscribed) m_streamPending.erase(inbound.streamSubscription);
      m_taken.push_back(std::move(inbound));
    }
  }
}

void NatsLink::pop() {
  m_waitingBytes -= m_taken.front().size();
  m_taken.pop_front();
}

bool NatsLink::queueMessage(uint64_t streamSubscription, natsMsg* msg) {
  const auto size = static_cast<std::size_t>(natsMsg_GetDataLength(msg));
  // Bounded like NATS's own queue for a slow consumer.
  if (m_waitingBytes.load() + size > kMaxWaitingBytes) {
    ++m_receiveDrops;
    natsMsg_Destroy(msg);
    return false;
  }
  m_waitingBytes += size;
  push(Inbound(Inbound::kMessage, msg, streamSubscription));
  return true;
}

void NatsLink::onMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
  // A message lost here shows its events' followers the gap.
  static_cast<NatsLink*>(closure)->queueMessage(0, msg);
}

void NatsLink::onSubscriptionComplete(void* closure) {
  auto* self = static_cast<NatsLink*>(closure);
  std::lock_guard<std::mutex> lock(self->m_completeMutex);
  --self->m_openSubscriptions;
  self->m_completed.notify_all();
}

void NatsLink::onConnected(natsConnection*, void* closure) {
  static_cast<NatsLink*>(closure)->push(Inbound(Inbound::kConnected));
}

void NatsLink::onDisconnected(natsConnection*, void* closure) {
  static_cast<NatsLink*>(closure)->push(Inbound(Inbound::kDisconnected));
}

void NatsLink::push(Inbound&& inbound) {
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(m_inboundMutex);
    if (m_closing) return;
    wake = m_inbound.empty();
    m_inbound.push_back(std::move(inbound));
  }
  const uint64_t one = 1;
  if (wake) evt::platform::retryInterrupted([&] { return ::write(m_wakeFd, &one, sizeof one); });
}

}  // namespace evt::service
