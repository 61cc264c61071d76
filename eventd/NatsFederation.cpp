#include "eventd/NatsFederation.h"

#include <nats/nats.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "Utilities/ByteEscape.h"
#include "Utilities/ParamsView.h"
#include "eventd/ForwardedForm.h"
#include "eventd/FederationBridge.h"
#include "eventd/ServiceLog.h"
#include "platform/linux/Interrupted.h"

namespace evt::service {
namespace {

using namespace std::chrono_literals;

// Announcements, refreshes and expiry are looked at this often.
constexpr auto kHousekeepingEvery = 100ms;
constexpr auto kHelloEvery = 1000ms;
constexpr auto kServerLostAfter = 3500ms;
constexpr auto kInterestEvery = 1000ms;
constexpr auto kInterestLostAfter = 3500ms;
// A pair's requests leave in messages of about this size, or at the end of
// the loop round that queued them.
constexpr std::size_t kBatchBytes = 64 * 1024;
// Bytes of messages received and not yet handled (waiting for a congested
// subscriber); beyond it messages are dropped.
constexpr std::size_t kMaxWaitingBytes = 64u * 1024u * 1024u;
// Categories per interest message, so that a refresh stays small.
constexpr std::size_t kInterestBytes = 32 * 1024;
// NATS bounds a protocol line (4 KiB by default); a subject stays well inside.
constexpr std::size_t kMaxSubject = 3000;

constexpr const char* kHelloSubject = "evt.fed.hello";
constexpr std::string_view kFollow = "follow";
constexpr std::string_view kUnfollow = "unfollow";

std::string interestSubject(uint32_t server) { return "evt.fed.interest." + std::to_string(server); }
std::string pairSubject(const Pair& pair) {
  return "evt.fed.pair." + std::to_string(pair.server) + "." + categoryToken(pair.category);
}

bool isPlain(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

uint64_t randomInstance() {
  std::random_device device;
  return (static_cast<uint64_t>(device()) << 32) ^ device();
}

uint64_t millisecondsSinceEpoch() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
}

class NatsFederation final : public Federation {
 public:
  // A pair's message being filled: its requests in the forwarded form.
  struct Batch {
    std::string text;
    unsigned long long lastSeqNo = 0;
  };

  NatsFederation(const FederationOptions& options, FederationBridge& bridge)
      : m_options(options), m_bridge(bridge), m_instance(randomInstance()), m_started(millisecondsSinceEpoch()) {}

  ~NatsFederation() override {
    {
      std::lock_guard<std::mutex> lock(m_inboundMutex);
      m_closing = true;  // what libnats still delivers is dropped at once
      m_inbound.clear();
    }
    m_taken.clear();  // messages go back to libnats while it is open
    for (auto& followed : m_followed) natsSubscription_Destroy(followed.second);
    for (natsSubscription* sub : m_ownSubscriptions) natsSubscription_Destroy(sub);
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

  bool start(std::string* error) {
    m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_wakeFd < 0) return fail(error, "cannot make an eventfd");
    std::vector<std::string> urls;
    std::size_t begin = 0;
    while (begin <= m_options.urls.size()) {
      std::size_t end = m_options.urls.find(',', begin);
      if (end == std::string::npos) end = m_options.urls.size();
      if (end > begin) urls.push_back(m_options.urls.substr(begin, end - begin));
      begin = end + 1;
    }
    if (urls.empty()) return fail(error, "no NATS server named");
    for (const std::string& url : urls) {
      if (url.rfind("nats://", 0) != 0) return fail(error, "not a nats:// URL: " + url);
    }
    std::vector<const char*> servers;
    for (const std::string& url : urls) servers.push_back(url.c_str());
    const std::string name = "eventd server " + std::to_string(m_options.serverId);
    natsStatus status = nats_Open(-1);
    if (status == NATS_OK) status = natsOptions_Create(&m_natsOptions);
    if (status == NATS_OK) {
      status = natsOptions_SetServers(m_natsOptions, servers.data(), static_cast<int>(servers.size()));
    }
    if (status == NATS_OK) status = natsOptions_SetName(m_natsOptions, name.c_str());
    if (status == NATS_OK) status = natsOptions_SetMaxReconnect(m_natsOptions, -1);
    if (status == NATS_OK) status = natsOptions_SetReconnectWait(m_natsOptions, 250);
    if (status == NATS_OK) status = natsOptions_SetPingInterval(m_natsOptions, 1000);
    if (status == NATS_OK) status = natsOptions_SetMaxPingsOut(m_natsOptions, 3);
    if (status == NATS_OK) status = natsOptions_SetNoEcho(m_natsOptions, true);
    // A message leaves when it is published, not after the library's flusher
    // thread wakes: requests are already batched per loop round.
    if (status == NATS_OK) status = natsOptions_SetSendAsap(m_natsOptions, true);
    // Room for several whole batches: a message larger than the buffer is
    // gathered piecewise, a copy for each piece.
    if (status == NATS_OK) status = natsOptions_SetIOBufSize(m_natsOptions, static_cast<int>(8 * kBatchBytes));
    // One pool of delivery threads instead of one thread per followed pair.
    if (status == NATS_OK) status = natsOptions_UseGlobalMessageDelivery(m_natsOptions, true);
    if (status == NATS_OK) status = natsOptions_SetDisconnectedCB(m_natsOptions, onDisconnected, this);
    if (status == NATS_OK) status = natsOptions_SetReconnectedCB(m_natsOptions, onConnected, this);
    if (status == NATS_OK) status = natsOptions_SetRetryOnFailedConnect(m_natsOptions, true, onConnected, this);
    if (status != NATS_OK) return fail(error, std::string("cannot set up libnats: ") + natsStatus_GetText(status));
    status = natsConnection_Connect(&m_connection, m_natsOptions);
    if (status == NATS_OK) {
      push(Inbound{Inbound::kConnected, nullptr});
    } else if (status == NATS_NOT_YET_CONNECTED) {
      // Said once: the library keeps trying in the background, and the log
      // says when it got through.
      tellOperator("federation: cannot reach the NATS server at %s; eventd serves this machine meanwhile and keeps "
                   "trying",
                   m_options.urls.c_str());
    } else {
      return fail(error, std::string("cannot connect: ") + natsStatus_GetText(status));
    }
    for (const std::string& subject : {std::string(kHelloSubject), interestSubject(m_options.serverId)}) {
      natsSubscription* sub = nullptr;
      status = subscribe(&sub, subject);
      if (status != NATS_OK) return fail(error, "cannot subscribe to " + subject + ": " + natsStatus_GetText(status));
      m_ownSubscriptions.push_back(sub);
    }
    logInfo("federation: server id %u joins the NATS cluster at %s", static_cast<unsigned>(m_options.serverId),
            m_options.urls.c_str());
    return true;
  }

  void follow(const Pair& pair, bool follow) override {
    if (follow) {
      if (m_followed.count(pair) != 0) return;
      const std::string subject = pairSubject(pair);
      natsSubscription* sub = nullptr;
      if (subject.size() > kMaxSubject) {
        logError("federation: category \"%s\" of server %u is too long to follow across servers",
                 printable(pair.category).c_str(), static_cast<unsigned>(pair.server));
        return;
      }
      const natsStatus status = subscribe(&sub, subject);
      if (status != NATS_OK) {
        logError("federation: cannot follow \"%s\" of server %u: %s", printable(pair.category).c_str(),
                 static_cast<unsigned>(pair.server), natsStatus_GetText(status));
        return;
      }
      m_followed.emplace(pair, sub);
    } else {
      auto it = m_followed.find(pair);
      if (it == m_followed.end()) return;
      natsSubscription_Unsubscribe(it->second);
      natsSubscription_Destroy(it->second);
      m_followed.erase(it);
    }
    // Told at once rather than with the next refresh.
    std::string message = interestHeader(follow ? kFollow : kUnfollow);
    params::appendItem(&message, pair.category);
    publish(interestSubject(pair.server), message);
  }

  void send(const Pair& pair, std::string_view request, const evt::protocol::Event* event) override {
    auto batch = m_batches.try_emplace(pair).first;
    if (batch->second.text.empty()) m_unsent.push_back(batch);
    forwarded::append(&batch->second.text, request, &batch->second.lastSeqNo, event);
    if (batch->second.text.size() >= kBatchBytes) sendBatch(pair, &batch->second);
  }

  int fd() const override { return m_wakeFd; }

  void receive() override {
    uint64_t count = 0;
    while (::read(m_wakeFd, &count, sizeof count) == static_cast<ssize_t>(sizeof count)) {
    }
    {
      std::lock_guard<std::mutex> lock(m_inboundMutex);
      for (Inbound& inbound : m_inbound) m_taken.push_back(std::move(inbound));
      m_inbound.clear();
    }
    handleTaken(Clock::now());
  }

  std::chrono::milliseconds turn(Clock::time_point now) override {
    handleTaken(now);
    for (auto batch : m_unsent) {
      if (!batch->second.text.empty()) sendBatch(batch->first, &batch->second);
    }
    m_unsent.clear();
    if (now < m_nextHousekeeping) {
      return m_taken.empty() ? std::chrono::ceil<std::chrono::milliseconds>(m_nextHousekeeping - now) : 20ms;
    }
    m_nextHousekeeping = now + kHousekeepingEvery;
    if (m_linked && now >= m_nextHello) {
      sayHello();
      m_nextHello = now + kHelloEvery;
    }
    if (m_linked && now >= m_nextInterest) {
      refreshInterest();
      m_nextInterest = now + kInterestEvery;
    }
    expireFollowers(now);
    // While messages wait for a congested subscriber, so may announcements.
    for (auto& server : m_servers) {
      if (m_taken.empty() && server.second.heard && now - server.second.lastHeard > kServerLostAfter) {
        logInfo("federation: server %u not heard for %lld ms", static_cast<unsigned>(server.first),
                static_cast<long long>(kServerLostAfter.count()));
        lose(server.first, server.second);
      }
    }
    return m_taken.empty() ? kHousekeepingEvery : 20ms;
  }

  bool mustStop() const override { return m_mustStop; }

  std::string statusLines() const override {
    char url[256] = "";
    if (!m_linked || natsConnection_GetConnectedUrl(m_connection, url, sizeof url) != NATS_OK) url[0] = '\0';
    std::string heard;
    for (const auto& server : m_servers) {
      if (!server.second.heard) continue;
      if (!heard.empty()) heard += ',';
      heard += std::to_string(server.first);
    }
    return "federation " + m_options.urls + "\nfederation-connected " + (url[0] != '\0' ? url : "no") +
           "\nfederation-servers " + (heard.empty() ? "none" : heard) + "\nfederation-followed-pairs " +
           std::to_string(m_followed.size()) + "\nfederation-messages-out " + std::to_string(m_messagesOut) +
           "\nfederation-messages-in " + std::to_string(m_messagesIn) + "\nfederation-send-failures " +
           std::to_string(m_sendFailures) + "\nfederation-receive-drops " + std::to_string(m_receiveDrops.load()) +
           "\n";
  }

 private:
  // What libnats's threads hand to the loop.
  struct MessageDestroyer {
    void operator()(natsMsg* msg) const { natsMsg_Destroy(msg); }
  };
  struct Inbound {
    enum Kind { kMessage, kConnected, kDisconnected } kind;
    std::unique_ptr<natsMsg, MessageDestroyer> msg;  // kMessage: kept as libnats made it, not copied
    std::size_t size() const { return msg ? static_cast<std::size_t>(natsMsg_GetDataLength(msg.get())) : 0; }
  };
  struct Server {
    uint64_t instance = 0;
    bool heard = false;
    Clock::time_point lastHeard;
  };
  // An eventd that follows a pair of this server: its server id and instance.
  using Follower = std::pair<uint32_t, uint64_t>;

  static bool fail(std::string* error, std::string text) {
    *error = std::move(text);
    return false;
  }

  static void onMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
    auto* self = static_cast<NatsFederation*>(closure);
    const auto size = static_cast<std::size_t>(natsMsg_GetDataLength(msg));
    // Bounded like NATS's own queue for a slow consumer: beyond it a
    // message is lost, and its events' followers see the gap.
    if (self->m_waitingBytes.load() + size <= kMaxWaitingBytes) {
      self->m_waitingBytes += size;
      self->push(Inbound{Inbound::kMessage, std::unique_ptr<natsMsg, MessageDestroyer>(msg)});
    } else {
      ++self->m_receiveDrops;
      natsMsg_Destroy(msg);
    }
  }
  static void onSubscriptionComplete(void* closure) {
    auto* self = static_cast<NatsFederation*>(closure);
    std::lock_guard<std::mutex> lock(self->m_completeMutex);
    --self->m_openSubscriptions;
    self->m_completed.notify_all();
  }
  static void onConnected(natsConnection*, void* closure) {
    static_cast<NatsFederation*>(closure)->push(Inbound{Inbound::kConnected, nullptr});
  }
  static void onDisconnected(natsConnection*, void* closure) {
    static_cast<NatsFederation*>(closure)->push(Inbound{Inbound::kDisconnected, nullptr});
  }

  // Any thread.
  void push(Inbound&& inbound) {
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

  // Subscribes to `subject`, counting the subscription open until libnats
  // says its last message was delivered.
  natsStatus subscribe(natsSubscription** sub, const std::string& subject) {
    const natsStatus status = natsConnection_Subscribe(sub, m_connection, subject.c_str(), onMessage, this);
    if (status != NATS_OK) return status;
    if (natsSubscription_SetOnCompleteCB(*sub, onSubscriptionComplete, this) == NATS_OK) {
      std::lock_guard<std::mutex> lock(m_completeMutex);
      ++m_openSubscriptions;
    }
    return status;
  }

  void publish(const std::string& subject, std::string_view data) {
    const natsStatus status =
        natsConnection_Publish(m_connection, subject.c_str(), data.data(), static_cast<int>(data.size()));
    if (status == NATS_OK) {
      ++m_messagesOut;
      return;
    }
    ++m_sendFailures;
    if (m_sendFailures == 1 || m_sendFailures % 1000 == 0) {
      logError("federation: cannot send on %s: %s (%" PRIu64 " messages lost so far; events lost show as gaps)",
               subject.c_str(), natsStatus_GetText(status), m_sendFailures);
    }
  }

  void sendBatch(const Pair& pair, Batch* batch) {
    const std::string subject = pairSubject(pair);
    if (subject.size() <= kMaxSubject) publish(subject, batch->text);
    batch->text.clear();
    batch->lastSeqNo = 0;  // the next message stands on its own
  }

  std::string interestHeader(std::string_view kind) const {
    std::string message;
    params::appendNumberItem(&message, m_options.serverId);
    params::appendNumberItem(&message, m_instance);
    params::appendItem(&message, kind);
    return message;
  }

  void sayHello() {
    std::string message;
    params::appendNumberItem(&message, m_options.serverId);
    params::appendNumberItem(&message, m_instance);
    params::appendNumberItem(&message, m_started);
    params::appendNumberItem(&message, m_options.seqNoBase);
    publish(kHelloSubject, message);
  }

  // Tells every server whose pairs local clients follow (or `only`) which.
  void refreshInterest(uint32_t only = 0) {
    uint32_t server = 0;
    std::string message;
    for (const auto& followed : m_followed) {
      const Pair& pair = followed.first;
      if (only != 0 && pair.server != only) continue;
      if (pair.server != server || message.size() > kInterestBytes) {
        if (server != 0) publish(interestSubject(server), message);
        server = pair.server;
        message = interestHeader(kFollow);
      }
      params::appendItem(&message, pair.category);
    }
    if (server != 0) publish(interestSubject(server), message);
  }

  void linkUp(Clock::time_point now) {
    if (m_linked) return;
    m_linked = true;
    char url[256] = "";
    natsConnection_GetConnectedUrl(m_connection, url, sizeof url);
    logInfo("federation: connected to %s", url);
    m_nextHello = now;
    m_nextInterest = now;
  }

  void linkDown() {
    if (!m_linked) return;
    m_linked = false;
    logError("federation: lost the NATS server; reconnecting");
    for (auto& server : m_servers) {
      if (server.second.heard) lose(server.first, server.second);
    }
  }

  void lose(uint32_t id, Server& server) {
    server.heard = false;
    m_bridge.remoteServer(id, false);
  }

  // Handles what arrived, in order, up to a message for a congested
  // subscriber, which waits for a later turn.
  void handleTaken(Clock::time_point now) {
    while (!m_taken.empty()) {
      Inbound& inbound = m_taken.front();
      if (inbound.kind == Inbound::kConnected) {
        linkUp(now);
      } else if (inbound.kind == Inbound::kDisconnected) {
        linkDown();
      } else if (!handleMessage(inbound.msg.get(), now)) {
        return;
      } else {
        m_waitingBytes -= inbound.size();
      }
      m_taken.pop_front();
    }
  }

  // False when the message must wait.
  bool handleMessage(natsMsg* msg, Clock::time_point now) {
    const std::string_view subject = natsMsg_GetSubject(msg);
    const std::string_view data(natsMsg_GetData(msg), static_cast<std::size_t>(natsMsg_GetDataLength(msg)));
    if (subject.rfind("evt.fed.pair.", 0) == 0) {
      // evt.fed.pair.S.TOKEN
      const std::size_t dot = subject.find('.', 13);
      Pair pair;
      if (dot == std::string::npos) return true;
      pair.server = static_cast<uint32_t>(params::toULongLong(subject.substr(13, dot - 13)));
      if (!categoryFromToken(subject.substr(dot + 1), &pair.category)) return true;
      if (pair.server == m_options.serverId || m_followed.count(pair) == 0) return true;
      if (m_bridge.congested(pair, now)) return false;
      ++m_messagesIn;
      m_bridge.routeRemote(pair, data, now);
      return true;
    }
    ++m_messagesIn;
    const ParamsView items(data);
    if (subject == kHelloSubject) {
      hello(items, now);
    } else if (subject.rfind("evt.fed.interest.", 0) == 0) {
      interest(items, now);
    }
    return true;
  }

  void hello(const ParamsView& items, Clock::time_point now) {
    const auto id = static_cast<uint32_t>(items.getULONGLONGParamAt(0));
    const uint64_t instance = items.getULONGLONGParamAt(1);
    const uint64_t started = items.getULONGLONGParamAt(2);
    if (id == 0 || items.count() < 4) return;
    if (id == m_options.serverId) {
      if (instance != m_instance) claimed(instance, started);
      return;
    }
    Server& server = m_servers[id];
    const bool restarted = server.heard && server.instance != instance;
    if (restarted) {
      logInfo("federation: server %u restarted", static_cast<unsigned>(id));
      lose(id, server);
    }
    server.instance = instance;
    server.lastHeard = now;
    m_bridge.setRemoteBase(id, items.getULONGLONGParamAt(3));
    if (!server.heard) {
      server.heard = true;
      logInfo("federation: server %u heard", static_cast<unsigned>(id));
      m_bridge.remoteServer(id, true);
      refreshInterest(id);  // a server that returns learns at once what is followed here
    }
  }

  // Another eventd announces this server id: the one that started later stops.
  void claimed(uint64_t instance, uint64_t started) {
    if (std::make_pair(started, instance) < std::make_pair(m_started, m_instance)) {
      logError("federation: another eventd already serves server id %u on the NATS cluster; this one stops (give "
               "each machine its own --server-id)",
               static_cast<unsigned>(m_options.serverId));
      m_mustStop = true;
    } else if (m_claimsLogged++ % 60 == 0) {
      logError("federation: an eventd started later claims server id %u on the NATS cluster; it will stop",
               static_cast<unsigned>(m_options.serverId));
    }
  }

  void interest(const ParamsView& items, Clock::time_point now) {
    const Follower follower{static_cast<uint32_t>(items.getULONGLONGParamAt(0)), items.getULONGLONGParamAt(1)};
    const std::string_view kind = items.itemAt(2);
    if (follower.first == 0 || follower.first == m_options.serverId) return;
    for (std::size_t i = 3; i < items.count(); ++i) {
      const Pair pair{m_options.serverId, std::string(items.itemAt(i))};
      if (kind == kFollow) {
        auto& followers = m_followers[pair];
        const bool newcomer = followers.count(follower) == 0;
        followers[follower] = now + kInterestLostAfter;
        if (newcomer) m_bridge.followedRemotely(pair, true, true);
      } else if (kind == kUnfollow) {
        auto it = m_followers.find(pair);
        if (it == m_followers.end() || it->second.erase(follower) == 0 || !it->second.empty()) continue;
        m_followers.erase(it);
        m_bridge.followedRemotely(pair, false, false);
      }
    }
  }

  void expireFollowers(Clock::time_point now) {
    for (auto pair = m_followers.begin(); pair != m_followers.end();) {
      for (auto follower = pair->second.begin(); follower != pair->second.end();) {
        follower = follower->second < now ? pair->second.erase(follower) : std::next(follower);
      }
      if (!pair->second.empty()) {
        ++pair;
        continue;
      }
      const Pair gone = pair->first;
      pair = m_followers.erase(pair);
      m_bridge.followedRemotely(gone, false, false);
    }
  }

  const FederationOptions m_options;
  FederationBridge& m_bridge;
  const uint64_t m_instance;  // tells this run from an earlier or a duplicate one
  const uint64_t m_started;   // ms since the epoch

  natsOptions* m_natsOptions = nullptr;
  natsConnection* m_connection = nullptr;
  std::vector<natsSubscription*> m_ownSubscriptions;
  std::mutex m_completeMutex;
  std::condition_variable m_completed;
  int m_openSubscriptions = 0;  // guarded by m_completeMutex
  int m_wakeFd = -1;

  std::mutex m_inboundMutex;
  std::deque<Inbound> m_inbound;  // guarded by m_inboundMutex
  bool m_closing = false;         // guarded by m_inboundMutex
  std::deque<Inbound> m_taken;    // loop thread: taken from m_inbound, not yet handled
  std::atomic<std::size_t> m_waitingBytes{0};  // message bytes in both
  std::atomic<uint64_t> m_receiveDrops{0};

  bool m_linked = false;
  bool m_mustStop = false;
  uint64_t m_claimsLogged = 0;
  Clock::time_point m_nextHello;
  Clock::time_point m_nextInterest;
  std::map<uint32_t, Server> m_servers;
  std::map<Pair, natsSubscription*> m_followed;                         // other servers' pairs followed here
  std::map<Pair, std::map<Follower, Clock::time_point>> m_followers;  // this server's pairs followed elsewhere
  std::map<Pair, Batch> m_batches;
  std::vector<std::map<Pair, Batch>::iterator> m_unsent;  // batches this round began
  Clock::time_point m_nextHousekeeping;
  uint64_t m_messagesOut = 0, m_messagesIn = 0, m_sendFailures = 0;
};

}  // namespace

std::string categoryToken(std::string_view category) {
  std::string token = "c";
  text::appendEscaped(&token, category, text::EscapeForm{isPlain, "~", false});
  return token;
}

bool categoryFromToken(std::string_view token, std::string* category) {
  if (token.empty() || token[0] != 'c') return false;
  category->clear();
  for (std::size_t i = 1; i < token.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(token[i]);
    if (isPlain(c)) {
      *category += static_cast<char>(c);
      continue;
    }
    if (c != '~' || i + 2 >= token.size() || hexValue(token[i + 1]) < 0 || hexValue(token[i + 2]) < 0) return false;
    const int value = hexValue(token[i + 1]) * 16 + hexValue(token[i + 2]);
    if (isPlain(static_cast<unsigned char>(value))) return false;  // one category, one token
    *category += static_cast<char>(value);
    i += 2;
  }
  return true;
}

std::unique_ptr<Federation> startNatsFederation(const FederationOptions& options, FederationBridge& bridge,
                                                std::string* error) {
  auto federation = std::make_unique<NatsFederation>(options, bridge);
  if (!federation->start(error)) return nullptr;
  return federation;
}

}  // namespace evt::service
