#include "eventd/NatsFederation.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Utilities/ParamsView.h"
#include "eventd/FederationBridge.h"
#include "eventd/FederationWire.h"
#include "eventd/ForwardedForm.h"
#include "eventd/NatsLink.h"
#include "eventd/SeriesFloors.h"
#include "eventd/StreamOutbox.h"
#include "eventd/ServiceLog.h"

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
// Categories per interest message, so that a refresh stays small.
constexpr std::size_t kInterestBytes = 32 * 1024;
// Bytes of messages of servers not heard yet kept for their hello; beyond,
// they are dropped and their followers see the gap.
constexpr std::size_t kMaxEarlyBytes = 16u * 1024u * 1024u;
// JetStream requests (making the stream, a subscription's consumer) wait
// this long for the cluster, on the link's JetStream thread. One that fails
// is tried again this much later.
constexpr auto kStreamWait = 1000ms;
constexpr auto kStreamRetryEvery = 1000ms;
// A restarted eventd takes a pair up where the one before left it this long
// after its start, once the subscribers that were its clients had time to
// come back (their libraries try again every 500 ms at most, and register
// within another 500 ms): each gets the replay, rather than the first alone
// and the others a report of it.
constexpr auto kInheritedGrace = 2000ms;
// The instance of a follower the eventd before this one heard: it follows
// still, until it is heard or its lease runs out. No run has it.
constexpr uint64_t kInheritedInstance = 0;
// How far the follower's clock may be ahead of the stream's.
constexpr int64_t kClockMarginNs = 2'000'000'000;
// Bytes of pair messages kept until this server's stream says it stored them.
constexpr std::size_t kMaxHeldForStreamBytes = 64u * 1024u * 1024u;
// Messages the stream has not acknowledged after this long are sent again;
// while it stays silent, after twice as long each time, up to the most.
constexpr std::chrono::milliseconds kStreamAckOverdue = 3000ms;
constexpr std::chrono::milliseconds kStreamAckOverdueMost = 30000ms;

uint64_t randomInstance() {
  std::random_device device;
  uint64_t instance = 0;
  while (instance == kInheritedInstance) instance = (static_cast<uint64_t>(device()) << 32) ^ device();
  return instance;
}

int64_t nanosecondsSinceEpoch() {
  return static_cast<int64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
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
      : m_options(options),
        m_bridge(bridge),
        m_instance(randomInstance()),
        m_started(millisecondsSinceEpoch()),
        // With a stream, a follower cut off for longer than its refreshes
        // last still gets what was kept for it while it was away.
        m_interestLostAfter(options.stream.enabled
                                ? std::max<std::chrono::milliseconds>(
                                      kInterestLostAfter, std::chrono::seconds(options.stream.maxAgeSeconds))
                                : kInterestLostAfter),
        m_ackPrefix("_INBOX.evt-stored." + std::to_string(options.serverId) + "." + std::to_string(m_instance)),
        m_outbox(kMaxHeldForStreamBytes) {}

  bool start(std::string* error) {
    // Room for several whole batches.
    if (!m_link.start(m_options.urls, "eventd server " + std::to_string(m_options.serverId), 8 * kBatchBytes,
                      error)) {
      return false;
    }
    if (m_options.stream.enabled && !m_link.startJetStream(kStreamWait, error)) return false;
    std::vector<std::string> subjects{std::string(kHelloSubject), interestSubject(m_options.serverId)};
    if (m_options.stream.enabled) subjects.push_back(m_ackPrefix + ".*");
    for (const std::string& subject : subjects) {
      const std::string failure = m_link.subscribe(subject);
      if (!failure.empty()) {
        *error = "cannot subscribe to " + subject + ": " + failure;
        return false;
      }
    }
    logInfo("federation: server id %u joins the NATS cluster at %s%s", static_cast<unsigned>(m_options.serverId),
            m_options.urls.c_str(), m_options.stream.enabled ? ", its events kept in a stream" : "");
    takeUpInheritedFollowers(Clock::now());
    return true;
  }

  void follow(const Pair& pair, bool follow) override {
    if (follow) {
      if (m_followed.count(pair) != 0) return;
      const std::string subject = pairSubject(pair);
      if (subject.size() > kMaxSubject) {
        logError("federation: category \"%s\" of server %u is too long to follow across servers",
                 printable(pair.category).c_str(), static_cast<unsigned>(pair.server));
        return;
      }
      if (m_options.stream.enabled) {
        // Subscribed once its server is heard (tendStream). A pair followed
        // afresh is asked of its server once its consumer exists: what the
        // server sends from then on, the consumer has.
        const StreamFollow& added = m_streamFollows.emplace(pair, inheritedFollow(pair)).first->second;
        m_streamDue.insert(pair);
        m_followed.insert(pair);
        if (!added.announced) return;
      } else {
        const std::string failure = m_link.subscribe(subject);
        if (!failure.empty()) {
          logError("federation: cannot follow \"%s\" of server %u: %s", printable(pair.category).c_str(),
                   static_cast<unsigned>(pair.server), failure.c_str());
          return;
        }
        m_followed.insert(pair);
      }
    } else {
      if (m_followed.erase(pair) == 0) return;
      // With a stream, the next eventd takes the pair up where this one
      // leaves it, and its server goes on keeping the pair's events meanwhile.
      if (m_closing && m_options.stream.enabled) return;
      if (m_options.stream.enabled) {
        auto followed = m_streamFollows.find(pair);
        if (followed != m_streamFollows.end()) {
          m_link.dropStreamSubscription(followed->second.subscription);
          if (m_options.streamPositions != nullptr) m_options.streamPositions->release(followed->second.slot);
          m_streamFollows.erase(followed);
        }
        m_streamDue.erase(pair);
      } else {
        m_link.unsubscribe(pairSubject(pair));
      }
    }
    tellInterest(pair, follow);
  }

  // Told at once rather than with the next refresh.
  void tellInterest(const Pair& pair, bool follow) {
    std::string message = interestHeader(m_options.serverId, m_instance, follow ? kFollow : kUnfollow);
    params::appendItem(&message, pair.category);
    m_link.publish(interestSubject(pair.server), message);
  }

  void send(const Pair& pair, std::string_view request, const evt::protocol::Event* event) override {
    auto batch = m_batches.try_emplace(pair).first;
    if (batch->second.text.empty()) m_unsent.push_back(batch);
    forwarded::append(&batch->second.text, request, &batch->second.lastSeqNo, event);
    if (batch->second.text.size() >= kBatchBytes) sendBatch(pair, &batch->second);
  }

  int fd() const override { return m_link.fd(); }

  void receive() override {
    m_link.take();
    handleTaken(Clock::now());
  }

  std::chrono::milliseconds turn(Clock::time_point now) override {
    handleTaken(now);
    if (m_options.stream.enabled) tendStream(now);
    sendUnsent();
    if (m_options.stream.enabled) resendOverdue(now);
    if (now < m_nextHousekeeping) {
      return m_link.holdsTaken() ? 20ms : std::chrono::ceil<std::chrono::milliseconds>(m_nextHousekeeping - now);
    }
    m_nextHousekeeping = now + kHousekeepingEvery;
    if (m_linked && now >= m_nextHello) {
      sayHello();
      m_bridge.sendPairStates();
      sendUnsent();
      m_nextHello = now + kHelloEvery;
    }
    if (m_linked && now >= m_nextInterest) {
      refreshInterest();
      m_nextInterest = now + kInterestEvery;
    }
    expireFollowers(now);
    expireEarly(now);
    forgetInheritedPositions(now);
    // While messages wait for a congested subscriber, so may announcements.
    for (auto& server : m_servers) {
      if (!m_link.holdsTaken() && server.second.heard && now - server.second.lastHeard > kServerLostAfter) {
        logInfo("federation: server %u not heard for %lld ms", static_cast<unsigned>(server.first),
                static_cast<long long>(kServerLostAfter.count()));
        lose(server.first, server.second);
      }
    }
    return m_link.holdsTaken() ? 20ms : kHousekeepingEvery;
  }

  void closing() override { m_closing = true; }

  bool replays() const override { return m_options.stream.enabled; }

  bool mustStop() const override { return m_mustStop; }

  std::string statusLines() const override {
    const std::string url = m_linked ? m_link.connectedUrl() : std::string();
    std::string heard;
    for (const auto& server : m_servers) {
      if (!server.second.heard) continue;
      if (!heard.empty()) heard += ',';
      heard += std::to_string(server.first);
    }
    return "federation " + m_options.urls + "\nfederation-connected " + (url.empty() ? "no" : url) +
           "\nfederation-servers " + (heard.empty() ? "none" : heard) + "\nfederation-followed-pairs " +
           std::to_string(m_followed.size()) + "\nfederation-messages-out " + std::to_string(m_link.messagesOut()) +
           "\nfederation-messages-in " + std::to_string(m_messagesIn) + "\nfederation-send-failures " +
           std::to_string(m_link.sendFailures()) + "\nfederation-receive-drops " +
           std::to_string(m_link.receiveDrops()) + "\n" +
           (m_options.stream.enabled ? "federation-stream " + std::string(m_streamReady ? "kept" : "not-yet") +
                                           "\nfederation-stream-resumes " + std::to_string(m_streamResumes) +
                                           "\nfederation-stream-unstored " + std::to_string(m_outbox.size()) + "\n"
                                     : std::string());
  }

 private:
  struct Server {
    uint64_t instance = 0;
    bool heard = false;
    Clock::time_point lastHeard;
  };
  // An eventd that follows a pair of this server: its server id and instance.
  using Follower = std::pair<uint32_t, uint64_t>;
  // A pair of another server followed through its stream.
  struct StreamFollow {
    uint64_t subscription = 0;  // the link's id of the current subscription; 0: none
    uint64_t lastSeq = 0;       // the stream's number of the last message routed; 0: none yet
    int64_t since = 0;          // where to take it up without a lastSeq: ns since the epoch, 0: from now
    int64_t lastStoredNs = 0;   // when the stream stored the last message routed
    bool announced = false;     // its server was asked for it
    bool inherited = false;     // taken up where the eventd before left it
    std::size_t slot = SeriesFloors::kNoSlot;  // where its position is kept for the next eventd
  };
  // A message of a pair whose server is not heard (yet), kept for its hello.
  struct Early {
    Pair pair;
    std::string data;
    Clock::time_point arrived;
  };

  void sendUnsent() {
    for (auto batch : m_unsent) {
      if (!batch->second.text.empty()) sendBatch(batch->first, &batch->second);
    }
    m_unsent.clear();
  }

  void sendBatch(const Pair& pair, Batch* batch) {
    const std::string subject = pairSubject(pair);
    if (subject.size() <= kMaxSubject) {
      if (m_options.stream.enabled) {
        keepForStream(subject, batch->text);
      } else {
        m_link.publish(subject, batch->text);
      }
    }
    batch->text.clear();
    batch->lastSeqNo = 0;  // the next message stands on its own
  }

  // With a stream, every pair message waits in the outbox until the stream
  // stored it. None goes while the stream may not be running (the link is
  // down, or the cluster has not yet answered for the stream since it
  // came): NATS would drop it unheard. Beyond the bound the newest are
  // dropped, and their followers see the gap.
  void keepForStream(const std::string& subject, std::string_view text) {
    if (!m_outbox.add(subject, text)) {
      if (m_droppedForStream++ % 1000 == 0) {
        logError("federation: %" PRIu64 " messages dropped while stream %s did not store them (over %zu bytes "
                 "waiting); their followers see the gap",
                 m_droppedForStream, streamName(m_options.serverId).c_str(), kMaxHeldForStreamBytes);
      }
      return;
    }
    sendToStream(Clock::now());
  }

  void sendToStream(Clock::time_point now) {
    if (!m_linked || !m_streamReady) return;
    m_outbox.sendDue(now, [this](const StreamOutbox::Message& message) {
      // The answer's subject names the message uniquely: it is its id too.
      const std::string reply = m_ackPrefix + "." + std::to_string(message.id);
      return m_link.publishToStream(message.subject, message.text, reply, reply);
    });
  }

  // Messages the stream did not answer for in time (its server went, or
  // NATS lost them) go again, under the ids they had.
  void resendOverdue(Clock::time_point now) {
    if (!m_linked || !m_streamReady || !m_outbox.overdue(now, m_ackOverdue)) return;
    if (m_streamResends++ % 100 == 0) {
      logError("federation: stream %s did not say it stored %zu messages within %lld ms; sent again (%" PRIu64
               " times so far)",
               streamName(m_options.serverId).c_str(), m_outbox.size(), static_cast<long long>(m_ackOverdue.count()),
               m_streamResends);
    }
    m_ackOverdue = std::min(2 * m_ackOverdue, kStreamAckOverdueMost);
    m_outbox.rewind();
    sendToStream(now);
  }

  // The stream's answer to a message sent to it: stored, or an error (the
  // message goes again when overdue).
  void streamStored(std::string_view subject, std::string_view data) {
    const std::string_view idText = subject.substr(m_ackPrefix.size() + 1);
    uint64_t id = 0;
    for (char c : idText) {
      if (c < '0' || c > '9') return;
      id = id * 10 + static_cast<uint64_t>(c - '0');
    }
    // A stored message's answer names its number in the stream; a refusal
    // (or "no responders", which comes with no data) does not.
    if (data.find("\"seq\"") == std::string_view::npos || data.find("\"error\"") != std::string_view::npos) {
      noteStreamFailure("stream " + streamName(m_options.serverId) + " did not store a message: " +
                        (data.empty() ? std::string("no answer from the stream") : printable(data)));
      return;
    }
    m_outbox.acknowledged(id);
    m_ackOverdue = kStreamAckOverdue;
  }

  void sayHello() {
    m_link.publish(kHelloSubject,
                   helloMessage(Hello{m_options.serverId, m_instance, m_started, m_options.seqNoBase, m_askHellos}));
    m_askHellos = false;
  }

  // Tells every server whose pairs local clients follow (or `only`) which.
  void refreshInterest(uint32_t only = 0) {
    uint32_t server = 0;
    std::string message;
    for (const Pair& pair : m_followed) {
      if (only != 0 && pair.server != only) continue;
      if (m_options.stream.enabled) {
        auto follow = m_streamFollows.find(pair);
        if (follow == m_streamFollows.end() || !follow->second.announced) continue;
      }
      if (pair.server != server || message.size() > kInterestBytes) {
        if (server != 0) m_link.publish(interestSubject(server), message);
        server = pair.server;
        message = interestHeader(m_options.serverId, m_instance, kFollow);
      }
      params::appendItem(&message, pair.category);
    }
    if (server != 0) m_link.publish(interestSubject(server), message);
  }

  void linkUp(Clock::time_point now) {
    if (m_linked) return;
    m_linked = true;
    m_streamReady = false;  // the stream is made, or checked, again
    m_streamAsked = false;
    m_nextStreamTry = now;
    logInfo("federation: connected to %s", m_link.connectedUrl().c_str());
    m_askHellos = true;
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
    if (!m_options.stream.enabled) return;
    // Taken up again, after the last message handled, once it is heard.
    for (auto follow = m_streamFollows.lower_bound(Pair{id, std::string()});
         follow != m_streamFollows.end() && follow->first.server == id; ++follow) {
      if (follow->second.subscription == 0) continue;
      m_link.dropStreamSubscription(follow->second.subscription);
      follow->second.subscription = 0;
      m_streamDue.insert(follow->first);
    }
  }

  // A pair followed anew: where the eventd before this one left it in its
  // stream, if it did. It is taken up from the first message stored after
  // the last one that eventd handled; what it held unsent when it stopped
  // its subscribers' libraries see as a gap.
  StreamFollow inheritedFollow(const Pair& pair) {
    StreamFollow follow;
    SeriesFloors* positions = m_options.streamPositions;
    if (positions == nullptr) return follow;
    const std::string key = positionKey(pair);
    if (auto storedNs = positions->takeInherited(key)) {
      // Its server still sends it: the eventd before asked for it.
      follow.since = static_cast<int64_t>(*storedNs) + 1;
      follow.announced = true;
      follow.inherited = true;
    }
    follow.slot = positions->claim(key);
    return follow;
  }

  static std::string positionKey(const Pair& pair) { return std::to_string(pair.server) + ":" + pair.category; }

  // Positions of the eventd before that no subscriber came back for go.
  void forgetInheritedPositions(Clock::time_point now) {
    SeriesFloors* positions = m_options.streamPositions;
    // As long as the servers go on sending for a follower that is away.
    if (positions == nullptr || !positions->inherited() || now - m_begun < m_interestLostAfter) return;
    positions->releaseAllBut([this](const std::string& key) {
      for (const auto& follow : m_streamFollows) {
        if (positionKey(follow.first) == key) return true;
      }
      return false;
    });
    positions->endInheritance();
  }

  // Stream mode, once a loop round: asks for this server's stream once the
  // link is up, and for the subscriptions due of servers heard.
  void tendStream(Clock::time_point now) {
    if (!m_linked || now < m_nextStreamTry) return;
    if (!m_streamReady && !m_streamAsked) {
      const uint32_t id = m_options.serverId;
      m_link.ensureStream(NatsLink::StreamSettings{streamName(id), streamSubjects(id), m_options.stream.maxBytes,
                                                   m_options.stream.maxAgeSeconds, streamPlacementTag(id)});
      m_streamAsked = true;
    }
    uint64_t resumed = 0;
    for (auto due = m_streamDue.begin(); due != m_streamDue.end();) {
      auto follow = m_streamFollows.find(*due);
      if (follow == m_streamFollows.end()) {
        due = m_streamDue.erase(due);
        continue;
      }
      if (!heard(due->server) || (follow->second.inherited && now < m_begun + kInheritedGrace)) {
        ++due;
        continue;
      }
      if (subscribeStream(follow->first, follow->second)) ++resumed;
      due = m_streamDue.erase(due);
    }
    if (resumed != 0) {
      logInfo("federation: %" PRIu64 " followed pairs taken up again in their server's stream, after the last "
              "message handled",
              resumed);
    }
  }

  // What came of asking for this server's stream.
  void streamAnswered(const NatsLink::Inbound& inbound, Clock::time_point now) {
    m_streamAsked = false;
    if (!m_linked) return;  // an answer from before the link went: asked again once it is back
    if (inbound.kind == NatsLink::Inbound::kStreamFailed) {
      noteStreamFailure("cannot keep stream " + streamName(m_options.serverId) + ": " + inbound.text);
      m_nextStreamTry = now + kStreamRetryEvery;
      return;
    }
    m_streamReady = true;
    // What the stream did not acknowledge before goes again, then the rest.
    m_outbox.rewind();
    sendToStream(now);
    if (!inbound.text.empty()) {
      logInfo("federation: %s; stream %s lives where the cluster put it, and takes this server's events only "
              "while this machine reaches that server",
              inbound.text.c_str(), streamName(m_options.serverId).c_str());
    }
    logInfo("federation: events of this server followed elsewhere are kept in stream %s (at most %lld bytes, "
            "%lld s)",
            streamName(m_options.serverId).c_str(), static_cast<long long>(m_options.stream.maxBytes),
            static_cast<long long>(m_options.stream.maxAgeSeconds));
  }

  // Asks for the pair's subscription, after the last message handled;
  // true when it is taken up again rather than begun.
  bool subscribeStream(const Pair& pair, StreamFollow& follow) {
    NatsLink::StreamStart start;
    if (follow.lastSeq != 0) {
      start.seq = follow.lastSeq + 1;
      // Should the stream have been made again, numbered from 1.
      start.timeNs = follow.lastStoredNs != 0 ? follow.lastStoredNs + 1 : 0;
    } else {
      start.timeNs = follow.since;
    }
    const bool resumed = follow.lastSeq != 0;
    if (follow.inherited && !resumed) {
      logInfo("federation: \"%s\" of server %u taken up in its stream after where the eventd before left it "
              "(stored %lld ms ago)",
              printable(pair.category).c_str(), static_cast<unsigned>(pair.server),
              static_cast<long long>((nanosecondsSinceEpoch() - follow.since) / 1'000'000));
    }
    follow.subscription = m_link.subscribeStream(pairSubject(pair), streamName(pair.server), start);
    if (resumed) ++m_streamResumes;
    return resumed;
  }

  // A subscription's consumer exists: a pair followed afresh is asked of
  // its server now. Taken up again before any message came, it begins a
  // little before this (the follower's clock against the stream's).
  void streamSubscribed(const NatsLink::Inbound& inbound) {
    for (auto& follow : m_streamFollows) {
      if (follow.second.subscription != inbound.streamSubscription) continue;
      if (follow.second.since == 0) follow.second.since = nanosecondsSinceEpoch() - kClockMarginNs;
      if (!follow.second.announced) {
        follow.second.announced = true;
        tellInterest(follow.first, true);
      }
      return;
    }
  }

  // The cluster did not make a subscription: asked again later.
  void streamNotSubscribed(const NatsLink::Inbound& inbound, Clock::time_point now) {
    for (auto& follow : m_streamFollows) {
      if (follow.second.subscription != inbound.streamSubscription) continue;
      const Pair& pair = follow.first;
      noteStreamFailure("cannot follow \"" + printable(pair.category) + "\" of server " +
                        std::to_string(pair.server) + " in its stream: " + inbound.text);
      follow.second.subscription = 0;
      m_streamDue.insert(pair);
      m_nextStreamTry = now + kStreamRetryEvery;
      return;
    }
  }

  // A stream subscription's message found no room: what follows it in the
  // queue is dropped, and the subscription taken up after the last one handled.
  void streamDropped(const NatsLink::Inbound& inbound) {
    Pair pair;
    if (!pairOfSubject(inbound.subject(), &pair)) return;
    auto follow = m_streamFollows.find(pair);
    if (follow == m_streamFollows.end() || follow->second.subscription != inbound.streamSubscription) return;
    m_link.dropStreamSubscription(follow->second.subscription);
    follow->second.subscription = 0;
    m_streamDue.insert(pair);
    m_nextStreamTry = Clock::now() + kStreamRetryEvery;  // the queue drains meanwhile
  }

  // Logged the first time and every 100th.
  void noteStreamFailure(const std::string& text) {
    if (m_streamFailures++ % 100 == 0) {
      logError("federation: %s (%" PRIu64 " such failures so far; tried again)", text.c_str(), m_streamFailures);
    }
  }

  bool heard(uint32_t server) const {
    auto found = m_servers.find(server);
    return found != m_servers.end() && found->second.heard;
  }

  // Handles what arrived, in order, up to a message for a congested
  // subscriber, which waits for a later turn.
  void handleTaken(Clock::time_point now) {
    if (m_closing && m_options.stream.enabled) return;  // for the next eventd to take up
    while (NatsLink::Inbound* inbound = m_link.front()) {
      if (!m_early.empty() && !routeEarly(now)) return;
      if (inbound->kind == NatsLink::Inbound::kConnected) {
        linkUp(now);
      } else if (inbound->kind == NatsLink::Inbound::kDisconnected) {
        linkDown();
      } else if (inbound->kind == NatsLink::Inbound::kDropped) {
        streamDropped(*inbound);
      } else if (inbound->kind == NatsLink::Inbound::kStreamKept ||
                 inbound->kind == NatsLink::Inbound::kStreamFailed) {
        streamAnswered(*inbound, now);
      } else if (inbound->kind == NatsLink::Inbound::kStreamNotSubscribed) {
        streamNotSubscribed(*inbound, now);
      } else if (inbound->kind == NatsLink::Inbound::kStreamSubscribed) {
        streamSubscribed(*inbound);
      } else if (!handleMessage(*inbound, now)) {
        return;
      }
      m_link.pop();
    }
    if (!m_early.empty()) routeEarly(now);
  }

  // A pair message that came before its server's hello (after this link or
  // the server came back) waits for it: its followers hear "connected"
  // first, and the hello's news (a restart) is applied before the events.
  void keepEarly(const Pair& pair, std::string_view data, Clock::time_point now) {
    if (m_earlyBytes + data.size() > kMaxEarlyBytes) {
      noteEarlyDropped(1);
      return;
    }
    m_earlyBytes += data.size();
    m_early[pair.server].push_back(Early{pair, std::string(data), now});
  }

  // Routes the kept messages of servers heard since, in order; false when
  // one must wait for a congested subscriber.
  bool routeEarly(Clock::time_point now) {
    for (auto server = m_early.begin(); server != m_early.end();) {
      if (!heard(server->first)) {
        ++server;
        continue;
      }
      std::deque<Early>& messages = server->second;
      while (!messages.empty()) {
        Early& early = messages.front();
        if (m_bridge.congested(early.pair, now)) return false;
        ++m_messagesIn;
        m_bridge.routeRemote(early.pair, early.data, early.arrived);
        m_earlyBytes -= early.data.size();
        messages.pop_front();
      }
      server = m_early.erase(server);
    }
    return true;
  }

  // A server whose messages came but whose hello did not within the time it
  // counts as gone: what it sent is lost, and its followers see the gap.
  void expireEarly(Clock::time_point now) {
    uint64_t expired = 0;
    for (auto server = m_early.begin(); server != m_early.end();) {
      std::deque<Early>& messages = server->second;
      while (!messages.empty() && !heard(server->first) && now - messages.front().arrived > kServerLostAfter) {
        m_earlyBytes -= messages.front().data.size();
        messages.pop_front();
        ++expired;
      }
      server = messages.empty() ? m_early.erase(server) : std::next(server);
    }
    if (expired != 0) noteEarlyDropped(expired);
  }

  // Counts kept messages dropped, logged the first time and every 1,000th.
  void noteEarlyDropped(uint64_t count) {
    const uint64_t before = m_earlyDropped;
    m_earlyDropped += count;
    if (before != 0 && before / 1000 == m_earlyDropped / 1000) return;
    logError("federation: %" PRIu64 " messages of servers not heard dropped so far (no hello within %lld ms, or "
             "over %zu bytes waiting); their followers see the gap",
             m_earlyDropped, static_cast<long long>(kServerLostAfter.count()), kMaxEarlyBytes);
  }

  // False when the message must wait.
  bool handleMessage(const NatsLink::Inbound& inbound, Clock::time_point now) {
    const std::string_view subject = inbound.subject();
    const std::string_view data = inbound.data();
    if (subject.size() > m_ackPrefix.size() && subject.compare(0, m_ackPrefix.size(), m_ackPrefix) == 0 &&
        subject[m_ackPrefix.size()] == '.') {
      streamStored(subject, data);
      return true;
    }
    if (isPairSubject(subject)) {
      Pair pair;
      if (!pairOfSubject(subject, &pair)) return true;
      if (pair.server == m_options.serverId || m_followed.count(pair) == 0) return true;
      if (inbound.streamSubscription != 0) return handleStreamMessage(inbound, pair, now);
      if (!heard(pair.server) || m_early.count(pair.server) != 0) {
        keepEarly(pair, data, now);  // after those kept before it
        return true;
      }
      if (m_bridge.congested(pair, now)) return false;
      ++m_messagesIn;
      m_bridge.routeRemote(pair, data, now);
      return true;
    }
    ++m_messagesIn;
    const ParamsView items(data);
    if (subject == kHelloSubject) {
      hello(items, now);
    } else if (isInterestSubject(subject)) {
      interest(items, now);
    }
    return true;
  }

  // A pair message from its server's stream; false when it must wait.
  bool handleStreamMessage(const NatsLink::Inbound& inbound, const Pair& pair, Clock::time_point now) {
    auto follow = m_streamFollows.find(pair);
    // Of a subscription given up since: the one that replaced it brings it again.
    if (follow == m_streamFollows.end() || follow->second.subscription != inbound.streamSubscription) return true;
    if (m_bridge.congested(pair, now)) return false;
    const NatsLink::Inbound::StreamPosition position = inbound.streamPosition();
    // Handled before libnats took its consumer up again.
    if (position.seq != 0 && position.seq <= follow->second.lastSeq) return true;
    ++m_messagesIn;
    m_bridge.routeRemote(pair, inbound.data(), now);
    if (position.seq == 0) return true;
    follow->second.lastSeq = position.seq;
    follow->second.lastStoredNs = position.storedNs;
    if (m_options.streamPositions != nullptr && position.storedNs > 0) {
      m_options.streamPositions->store(follow->second.slot, static_cast<unsigned long long>(position.storedNs));
    }
    return true;
  }

  void hello(const ParamsView& items, Clock::time_point now) {
    Hello hello;
    if (!readHello(items, &hello)) return;
    const uint32_t id = hello.server;
    const uint64_t instance = hello.instance;
    if (id == m_options.serverId) {
      if (instance != m_instance) claimed(instance, hello.started);
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
    if (hello.asks && m_linked) {
      // A server that came back: it hears this one's hello now, not within a second.
      m_nextHello = now;
      m_nextHousekeeping = now;
    }
    m_bridge.setRemoteBase(id, hello.seqNoBase);
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
    const Interest interest = readInterest(items);
    const Follower follower{interest.server, interest.instance};
    const std::string_view kind = interest.kind;
    if (follower.first == 0 || follower.first == m_options.serverId || follower.second == kInheritedInstance) return;
    // Heard, the server speaks for itself: what the eventd before knew of it goes.
    const Follower inherited{follower.first, kInheritedInstance};
    for (std::size_t i = Interest::kFirstCategory; i < items.count(); ++i) {
      const Pair pair{m_options.serverId, std::string(items.itemAt(i))};
      if (kind == kFollow) {
        auto& followers = m_followers[pair];
        followers.erase(inherited);
        const bool newcomer = followers.count(follower) == 0;
        followers[follower] = now + m_interestLostAfter;
        keepLease(follower.first, pair.category);
        if (newcomer) m_bridge.followedRemotely(pair, true, true);
      } else if (kind == kUnfollow) {
        auto it = m_followers.find(pair);
        if (it == m_followers.end()) continue;
        const bool inheritedGone = it->second.erase(inherited) != 0;
        if (it->second.erase(follower) == 0 && !inheritedGone) continue;
        dropLeaseIfGone(follower.first, pair.category, it->second);
        if (!it->second.empty()) continue;
        m_followers.erase(it);
        m_bridge.followedRemotely(pair, false, false);
      }
    }
  }

  // Where a server's interest in a pair of this one is kept for the next eventd.
  static std::string leaseKey(uint32_t follower, const std::string& category) {
    return std::to_string(follower) + ":" + category;
  }

  // The follower's interest lasts until m_interestLostAfter from now: so
  // the next eventd is told, should this one stop first.
  void keepLease(uint32_t follower, const std::string& category) {
    SeriesFloors* leases = m_options.followerLeases;
    if (leases == nullptr) return;
    leases->store(leases->claim(leaseKey(follower, category)),
                  millisecondsSinceEpoch() + static_cast<uint64_t>(m_interestLostAfter.count()));
  }

  // No run of `follower` follows the pair any more (`followers` are those left).
  void dropLeaseIfGone(uint32_t follower, const std::string& category,
                       const std::map<Follower, Clock::time_point>& followers) {
    if (m_options.followerLeases == nullptr) return;
    auto left = followers.lower_bound(Follower{follower, 0});
    if (left != followers.end() && left->first.first == follower) return;
    m_options.followerLeases->release(leaseKey(follower, category));
  }

  // The servers that followed this server's pairs when the eventd before
  // stopped follow them still, until each is heard again or its lease runs
  // out: what hosts send before then (again, or anew) goes into the stream
  // for a follower that may be away now, as that eventd would have sent it.
  // Before the loop serves a client, so the pairs' series begin where that
  // eventd left them.
  void takeUpInheritedFollowers(Clock::time_point now) {
    SeriesFloors* leases = m_options.followerLeases;
    if (leases == nullptr || !leases->inherited()) return;
    const uint64_t nowMs = millisecondsSinceEpoch();
    std::size_t taken = 0;
    for (const std::string& key : leases->inheritedCategories()) {
      const std::optional<unsigned long long> until = leases->takeInherited(key);
      const std::size_t colon = key.find(':');
      const unsigned long long follower = colon == std::string::npos ? 0 : std::strtoull(key.c_str(), nullptr, 10);
      if (!until || *until <= nowMs || follower == 0 || follower > UINT32_MAX || follower == m_options.serverId) {
        leases->release(std::string_view(key));
        continue;
      }
      const Pair pair{m_options.serverId, key.substr(colon + 1)};
      const auto left =
          std::min<std::chrono::milliseconds>(std::chrono::milliseconds(*until - nowMs), m_interestLostAfter);
      m_followers[pair][Follower{static_cast<uint32_t>(follower), kInheritedInstance}] = now + left;
      m_bridge.followedRemotely(pair, true, false);
      ++taken;
    }
    leases->endInheritance();
    if (taken != 0) {
      logInfo("federation: %zu pairs of this server followed elsewhere when the eventd before stopped go on into "
              "the stream until their followers are heard again",
              taken);
    }
  }

  void expireFollowers(Clock::time_point now) {
    for (auto pair = m_followers.begin(); pair != m_followers.end();) {
      for (auto follower = pair->second.begin(); follower != pair->second.end();) {
        if (follower->second >= now) {
          ++follower;
          continue;
        }
        const uint32_t server = follower->first.first;
        follower = pair->second.erase(follower);
        dropLeaseIfGone(server, pair->first.category, pair->second);
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
  const std::chrono::milliseconds m_interestLostAfter;  // a follower not heard for this long follows no more
  const Clock::time_point m_begun = Clock::now();

  NatsLink m_link;
  bool m_linked = false;  // the link is connected, as far as the loop has taken in
  bool m_askHellos = false;  // the next hello asks every server for theirs
  bool m_mustStop = false;
  bool m_closing = false;  // the service closes
  uint64_t m_claimsLogged = 0;
  Clock::time_point m_nextHello;
  Clock::time_point m_nextInterest;
  std::map<uint32_t, Server> m_servers;
  std::set<Pair> m_followed;                                           // other servers' pairs followed here
  std::map<Pair, std::map<Follower, Clock::time_point>> m_followers;  // this server's pairs followed elsewhere
  std::map<Pair, Batch> m_batches;
  std::vector<std::map<Pair, Batch>::iterator> m_unsent;  // batches this round began
  Clock::time_point m_nextHousekeeping;
  uint64_t m_messagesIn = 0;
  std::map<uint32_t, std::deque<Early>> m_early;  // by server; none empty
  std::size_t m_earlyBytes = 0;
  uint64_t m_earlyDropped = 0;
  // Stream mode.
  bool m_streamReady = false;  // this server's stream was made or checked since the link came
  bool m_streamAsked = false;  // asked for and not yet answered
  Clock::time_point m_nextStreamTry;
  std::map<Pair, StreamFollow> m_streamFollows;  // other servers' pairs followed here
  std::set<Pair> m_streamDue;                    // of those, the ones to subscribe once their server is heard
  uint64_t m_streamFailures = 0;
  uint64_t m_streamResumes = 0;  // subscriptions taken up again after the last message handled
  const std::string m_ackPrefix;  // the stream answers for message N on this subject + ".N"
  StreamOutbox m_outbox;           // pair messages not yet stored by this server's stream
  uint64_t m_droppedForStream = 0;
  uint64_t m_streamResends = 0;
  std::chrono::milliseconds m_ackOverdue = kStreamAckOverdue;  // unacknowledged this long: sent again
};

}  // namespace

std::unique_ptr<Federation> startNatsFederation(const FederationOptions& options, FederationBridge& bridge,
                                                std::string* error) {
  auto federation = std::make_unique<NatsFederation>(options, bridge);
  if (!federation->start(error)) return nullptr;
  return federation;
}

}  // namespace evt::service
