#include "eventd/FederationBridge.h"

#include "eventd/ForwardedForm.h"
#include "eventd/Router.h"

namespace evt::service {

namespace protocol = evt::protocol;

void FederationBridge::followedRemotely(const Pair& pair, bool any, bool newcomer) {
  if (pair.server != m_router.m_serverId) return;
  if (!any) {
    if (m_followedRemotely.erase(pair) != 0) m_router.dropSequencerIfUnfollowed(pair);
    return;
  }
  m_followedRemotely.insert(pair);
  m_router.startSequencer(pair);
  if (newcomer && m_router.m_publishers.count(pair) != 0) {
    m_link->send(pair, protocol::publicationRequest(protocol::kPublish, pair.category, pair.server), nullptr);
  }
}

void FederationBridge::routeRemote(const Pair& pair, std::string_view requests,
                                   PairSequencer::Clock::time_point arrived) {
  Router& router = m_router;
  Router::Counters& counters = router.m_counters;
  router.m_arrived = arrived;  // the events' time in this eventd counts from here
  m_remoteRequests.assign(requests);
  auto found = router.m_sequencers.find(pair);  // gone: nobody here follows the pair any more
  unsigned long long lastSeqNo = 0;
  unsigned long long formSeqNo = 0;  // the last number the message's events were written against
  for (std::size_t i = 0; i < m_remoteRequests.count(); ++i) {
    std::string_view request;
    protocol::Event event{};
    if (!forwarded::expand(pair, m_remoteRequests.itemAt(i), &formSeqNo, &m_remoteEvent, &request, &event)) {
      ++counters.malformed;
      continue;
    }
    if (!event.complete) {
      // Not in the short form: a notice, or an event as clients send it.
      const ParamsView list(request);
      const std::string_view name = protocol::nameOf(list);
      if (name == protocol::kPublish || name == protocol::kRetract) {
        const protocol::Publication publication = protocol::readPublication(list);
        if (!publication.complete || publication.server != pair.server || publication.category != pair.category) {
          ++counters.malformed;
          continue;
        }
        const bool publishing = name == protocol::kPublish;
        const bool changed =
            publishing ? m_remotePublished.insert(pair).second : m_remotePublished.erase(pair) != 0;
        if (changed) router.notifyPublishers(pair, publishing, nullptr);
        continue;
      }
      if (name == protocol::kCheckEventSeqNo) {
        // Where the pair stands: its events up to here were all sent.
        const protocol::Check check = protocol::readCheck(list);
        if (check.server != pair.server || check.category != pair.category) {
          ++counters.malformed;
          continue;
        }
        router.passRemoteTail(pair, check.seqNo);
        continue;
      }
      if (name != protocol::kEvent) {
        ++counters.malformed;
        continue;
      }
      event = protocol::readEvent(list);
    }
    if (!event.complete || event.server != pair.server || event.category != pair.category ||
        event.category == protocol::kEventSystemCategory || request.size() > Router::kMaxRequestSize) {
      ++counters.malformed;
      continue;
    }
    ++m_counters.eventsIn;
    lastSeqNo = event.seqNo;
    if (found == router.m_sequencers.end()) continue;
    PairSequencer& sequencer = found->second;
    if (event.seqNo == 0) {
      router.forward(nullptr, pair, 0, request);
      continue;
    }
    switch (sequencer.arrive(event.seqNo, request, arrived)) {
      case PairSequencer::Arrival::kInOrder:
        router.forward(nullptr, pair, event.seqNo, request);
        router.forwardReady(nullptr, pair, sequencer);
        break;
      case PairSequencer::Arrival::kHeld:
        // Its server sends in order: what is missing was lost on the way.
        ++router.m_heldNow;
        counters.givenUp += sequencer.giveUp();
        ++counters.giveUps;
        router.giveUpHole(nullptr, pair, sequencer);
        break;
      case PairSequencer::Arrival::kLate:
      case PairSequencer::Arrival::kBeforeStart:
        ++m_counters.late;
        break;
    }
  }
  if (lastSeqNo != 0) router.m_lastSeqNo[pair] = lastSeqNo;
}

void FederationBridge::remoteServer(uint32_t server, bool connected) {
  Router& router = m_router;
  if (server == router.m_serverId) return;
  std::string request;
  protocol::writeEventRequest(&request, protocol::kEventSystemCategory, "", connected ? "connected" : "disconnected",
                              server, 0);
  for (ClientSession& client : router.m_clients) {
    if (client.closing) continue;
    auto first = client.routing.subscriptions.lower_bound(Pair{server, std::string()});
    if (first != client.routing.subscriptions.end() && first->first.server == server) {
      router.deliver(client, request, false);
    }
  }
  if (!connected) {
    for (auto it = m_remotePublished.lower_bound(Pair{server, std::string()});
         it != m_remotePublished.end() && it->server == server;) {
      const Pair pair = *it;
      it = m_remotePublished.erase(it);
      router.notifyPublishers(pair, false, nullptr);
    }
    return;
  }
  // What a stream kept while the server was away comes next: its series go on.
  if (!replays()) restartSeries(server);
}

void FederationBridge::restartSeries(uint32_t server) {
  Router& router = m_router;
  for (auto it = router.m_sequencers.lower_bound(Pair{server, std::string()});
       it != router.m_sequencers.end() && it->first.server == server; ++it) {
    router.m_heldNow -= it->second.heldCount();
    it->second = PairSequencer(0);
    router.markGap(it->first);
  }
}

void FederationBridge::sendPairStates() {
  if (m_link == nullptr) return;
  for (const Pair& pair : m_followedRemotely) {
    const bool published = m_router.m_publishers.count(pair) != 0;
    m_link->send(pair,
                 protocol::publicationRequest(published ? protocol::kPublish : protocol::kRetract, pair.category,
                                              pair.server),
                 nullptr);
    auto sequencer = m_router.m_sequencers.find(pair);
    if (sequencer != m_router.m_sequencers.end() && sequencer->second.next() > 1) {
      m_link->send(pair, protocol::checkEventSeqNoRequest(pair.category, sequencer->second.next() - 1, pair.server),
                   nullptr);
    }
  }
}

bool FederationBridge::congested(const Pair& pair, PairSequencer::Clock::time_point now) {
  auto subscribers = m_router.m_subscribers.find(pair);
  if (subscribers == m_router.m_subscribers.end()) return false;
  for (uint64_t number : subscribers->second) {
    ClientSession& client = m_router.m_clients.at(number);
    client.updateCongestion(now, m_router.m_limits);
    if (client.holdsPublishers(now, m_router.m_limits)) return true;
  }
  return false;
}

void FederationBridge::setRemoteBase(uint32_t server, unsigned long long base) {
  if (server == m_router.m_serverId) return;
  auto known = m_remoteBases.find(server);
  if (known != m_remoteBases.end() && known->second == base) return;
  // A new base is a new store there: its series begin afresh.
  if (known != m_remoteBases.end() && replays()) restartSeries(server);
  m_remoteBases[server] = base;
  for (ClientSession& client : m_router.m_clients) {
    if (!client.closing && client.routing.basesSent.erase(server) != 0) m_router.tellBase(client, server);
  }
}

void FederationBridge::sendEvent(const Pair& pair, std::string_view request, const evt::protocol::Event* event) {
  if (m_link == nullptr || !isFollowedRemotely(pair)) return;
  m_link->send(pair, request, event);
  ++m_counters.eventsOut;
}

void FederationBridge::sendNotice(const Pair& pair, std::string_view request) {
  if (m_link != nullptr && isFollowedRemotely(pair)) m_link->send(pair, request, nullptr);
}

std::optional<unsigned long long> FederationBridge::remoteBase(uint32_t server) const {
  auto known = m_remoteBases.find(server);
  if (known == m_remoteBases.end()) return std::nullopt;
  return known->second;
}

std::string FederationBridge::statusLines() const {
  if (m_link == nullptr) return std::string();
  return "federation-events-in " + std::to_string(m_counters.eventsIn) + "\nfederation-events-out " +
         std::to_string(m_counters.eventsOut) + "\nfederation-late " + std::to_string(m_counters.late) +
         "\nfederation-followed-here " + std::to_string(m_followedRemotely.size()) + "\n" + m_link->statusLines();
}

}  // namespace evt::service
