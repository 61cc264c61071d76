#include "eventd/Router.h"

#include <algorithm>
#include <cinttypes>

#include "Utilities/ParamsView.h"
#include "eventd/ServiceLog.h"
#include "eventd/StatusReport.h"
#include "protocol/Protocol.h"

namespace evt::service {
namespace {

// A "publish" or "retract" notice.
std::string notice(std::string_view name, const Pair& pair) {
  return evt::protocol::publicationRequest(name, pair.category, pair.server);
}

// The longest category a client may subscribe to or publish: a table entry
// lives as long as the client, so names are bounded one by one and, per
// client, together (QueueLimits::bytes).
constexpr std::size_t kMaxRegisteredCategory = 64u * 1024u;

}  // namespace

Router::Router(ClientTable& clients, uint32_t serverId, unsigned long long seqNoBase, QueueLimits limits,
               HoldLimits hold, SeqNoReader currentSeqNo)
    : m_clients(clients),
      m_serverId(serverId),
      m_seqNoBase(seqNoBase),
      m_limits(limits),
      m_hold(hold),
      m_currentSeqNo(std::move(currentSeqNo)),
      m_bridge(*this) {}

void Router::keepFloorsIn(SeriesFloors* floors, std::chrono::milliseconds window) {
  m_floors = floors;
  m_recoveryEnd = PairSequencer::Clock::now() + window;
  m_resentUpTo.clear();
  if (m_floors == nullptr) return;
  // What was issued before this start can only come from the libraries'
  // queues now; what is issued from here on comes live.
  if (m_floors->inherited() && m_currentSeqNo) {
    for (const std::string& category : m_floors->inheritedCategories()) {
      if (const std::optional<unsigned long long> issued = m_currentSeqNo(category)) m_resentUpTo[category] = *issued;
    }
  }
  for (auto& entry : m_sequencers) {
    if (entry.first.server != m_serverId) continue;
    entry.second.floorSlot = m_floors->claim(entry.first.category);
    noteFloor(entry.second);
  }
}

std::optional<unsigned long long> Router::resumedFloor(const Pair& pair, std::optional<unsigned long long> issued) {
  if (!recovering() || pair.server != m_serverId) return std::nullopt;
  const std::optional<unsigned long long> floor = m_floors->takeInherited(pair.category);
  if (!floor || *floor < m_seqNoBase || (issued && *floor > issued)) return std::nullopt;
  return floor;
}

void Router::addClient(ClientSession*) { ++m_counters.clientsTotal; }

void Router::removeClient(ClientSession* client) {
  for (const auto& subscription : client->routing.subscriptions) {
    forgetSubscriber(subscription.first, client->number());
  }
  client->routing.subscriptions.clear();
  const std::set<Pair> publications = client->routing.publications;
  m_monitors.erase(client->number());
  for (const Pair& pair : publications) {
    retract(*client, pair);
    // Monitors see the retraction its leaving makes.
    if (!m_monitors.empty()) copyToMonitors(*client, notice(evt::protocol::kRetract, pair), true);
  }
  client->routing.categoryBytes = 0;
}

bool Router::admits(ClientSession& client, const Pair& pair, std::size_t held, const char* kind) {
  std::size_t& bytes = client.routing.categoryBytes;
  const char* reason = nullptr;
  if (held >= m_limits.subscriptions) {
    reason = "holds the most a client may";
  } else if (pair.category.size() > kMaxRegisteredCategory) {
    reason = "named a category longer than 64 KiB";
  } else if (bytes + pair.category.size() > m_limits.bytes) {
    reason = "holds categories of as many bytes as a client may";
  }
  if (reason == nullptr) {
    bytes += pair.category.size();
    return true;
  }
  ++m_counters.refusedSubscriptions;
  if (m_counters.refusedSubscriptions == 1 || m_counters.refusedSubscriptions % 1000 == 0) {
    logError("client #%" PRIu64 " (%s) %s (%zu %ss, %zu bytes of names); one more %s refused (%" PRIu64 " so far)",
             client.number(), client.name.c_str(), reason, held, kind, bytes, kind, m_counters.refusedSubscriptions);
  }
  return false;
}

void Router::forgetRegistration(ClientSession& client, const Pair& pair) {
  std::size_t& bytes = client.routing.categoryBytes;
  bytes -= std::min(bytes, pair.category.size());
}

void Router::addMonitor(ClientSession& client, bool notices) {
  client.monitor.active = true;
  client.monitor.notices = notices;
  m_monitors.insert(client.number());
  logInfo("client #%" PRIu64 " (%s) monitors every event%s", client.number(), client.name.c_str(),
          notices ? " and notice" : "");
}

void Router::copyToMonitors(const ClientSession& from, std::string_view request, bool notice) {
  for (uint64_t number : m_monitors) {
    ClientSession& to = m_clients.at(number);
    if (&to == &from || (notice && !to.monitor.notices)) continue;
    evt::protocol::writeMonitoredRequest(&m_monitoredRequest, request, from.name, from.pid(), to.monitor.dropped);
    // A copy must fit a frame as the event did; one that cannot is lost
    // like one the queue has no room for.
    if (m_monitoredRequest.size() <= kMaxRequestSize && to.enqueue(m_monitoredRequest, true, m_limits)) continue;
    ++to.monitor.dropped;
    ++m_counters.monitorDropped;
  }
}

void Router::handleQueue(ClientSession& client, std::string_view text) {
  namespace protocol = evt::protocol;
  ParamsView& requests = m_queueRequests;
  requests.assign(text);
  client.fed.clear();
  ++client.counters.queueTexts;
  m_arrived = PairSequencer::Clock::now();  // one reading for all the text's events
  ++m_textsHandled;
  if (requests.count() == 0 && !text.empty()) {
    ++m_counters.malformed;
    logError("client #%" PRIu64 " (%s) sent an unreadable queue of %zu bytes", client.number(), client.name.c_str(),
             text.size());
    return;
  }
  for (std::size_t i = 0; i < requests.count(); ++i) {
    const std::string_view requestText = requests.itemAt(i);
    const ParamsView request(requestText);
    const protocol::RequestKind kind = protocol::kindOf(request);
    switch (kind) {
      case protocol::RequestKind::Event:
        routeEvent(client, requestText, request);
        break;
      case protocol::RequestKind::Subscribe:
      case protocol::RequestKind::Unsubscribe: {
        const protocol::Subscription subscription = protocol::readSubscription(request);
        if (!subscription.complete) {
          ++m_counters.malformed;
          break;
        }
        const Pair pair{resolve(subscription.server), std::string(subscription.category)};
        if (kind == protocol::RequestKind::Subscribe) {
          subscribe(client, pair);
        } else {
          unsubscribe(client, pair);
        }
        copyToMonitors(client, requestText, true);
        break;
      }
      case protocol::RequestKind::Publish:
      case protocol::RequestKind::Retract: {
        const protocol::Publication publication = protocol::readPublication(request);
        if (!publication.complete) {
          ++m_counters.malformed;
          break;
        }
        const Pair pair{resolve(publication.server), std::string(publication.category)};
        if (kind == protocol::RequestKind::Publish) {
          publish(client, pair);
        } else {
          retract(client, pair);
        }
        copyToMonitors(client, requestText, true);
        break;
      }
      case protocol::RequestKind::CompletionId:
        // Everything the client queued before this request has been routed by now.
        ++m_counters.completions;
        deliver(client, protocol::completedRequest(protocol::readCompletion(request).first, 0), false);
        copyToMonitors(client, requestText, true);
        break;
      case protocol::RequestKind::Dump: {
        // A dump costs time on the one thread and lines in the log: one a
        // second per client, the rest counted and skipped.
        PairSequencer::Clock::time_point& last = client.routing.dumpLogged;
        if (last != PairSequencer::Clock::time_point() && m_arrived - last < std::chrono::seconds(1)) {
          ++m_counters.dumpsSkipped;
          break;
        }
        last = m_arrived;
        logInfo("dump requested by client #%" PRIu64 " (%s)\n%s", client.number(), client.name.c_str(),
                dumpText().c_str());
        break;
      }
      case protocol::RequestKind::ReportConnectivity:
        client.connectivity = static_cast<int32_t>(protocol::readConnectivity(request));
        logInfo("client #%" PRIu64 " (%s) reports connectivity %d", client.number(), client.name.c_str(),
                static_cast<int>(*client.connectivity));
        break;
      default:  // a request only the service sends, or none
        ++m_counters.malformed;
        break;
    }
  }
}

void Router::subscribe(ClientSession& client, const Pair& pair) {
  // A set: the replay may repeat a subscription, and that changes nothing.
  if (client.routing.subscriptions.count(pair) != 0) return;
  if (!admits(client, pair, client.routing.subscriptions.size(), "subscription")) return;
  client.routing.subscriptions.emplace(pair, SubscriptionState());
  std::set<uint64_t>& subscribers = m_subscribers[pair];
  subscribers.insert(client.number());
  if (subscribers.size() == 1) {
    startSequencer(pair);
    if (pair.server != m_serverId) m_bridge.follow(pair, true);
  }
  if (published(pair)) deliver(client, notice(evt::protocol::kPublish, pair), false);
}

void Router::startSequencer(const Pair& pair) {
  if (m_sequencers.count(pair) != 0) return;
  // The pair's series starts after the last number issued so far: what
  // was numbered before anyone followed it is owed to nobody. While the
  // clients of an eventd that stopped come back, after where that eventd
  // left the series: what their libraries send again is owed to the
  // subscribers coming back. For another server's pair, or when the store
  // cannot be read, at the first number that arrives.
  unsigned long long next = 0;
  unsigned long long resentUpTo = 0;
  if (pair.server == m_serverId) {
    std::optional<unsigned long long> issued;
    if (m_currentSeqNo) {
      if ((issued = m_currentSeqNo(pair.category)) && *issued == 0) issued = m_seqNoBase;
    }
    // Taken whether or not the store can be read now: a series resumed
    // below where it already went would deliver events twice.
    const std::optional<unsigned long long> floor = resumedFloor(pair, issued);
    if (floor) {
      next = *floor + 1;
      auto cutOff = m_resentUpTo.find(pair.category);
      resentUpTo = cutOff != m_resentUpTo.end() ? std::max(cutOff->second, *floor) : *floor;
    } else if (issued) {
      next = *issued + 1;
    }
  }
  PairSequencer& sequencer = m_sequencers.emplace(pair, PairSequencer(next)).first->second;
  sequencer.resentUpTo = resentUpTo;
  if (pair.server == m_serverId && m_floors != nullptr) {
    sequencer.floorSlot = m_floors->claim(pair.category);
    noteFloor(sequencer);
  }
  claim(pair, sequencer);
}

void Router::dropSequencerIfUnfollowed(const Pair& pair) {
  if (m_subscribers.count(pair) != 0 || m_bridge.isFollowedRemotely(pair)) return;
  auto sequencer = m_sequencers.find(pair);
  if (sequencer == m_sequencers.end()) return;
  m_heldNow -= sequencer->second.heldCount();  // held events have nobody left to go to
  if (m_floors != nullptr) m_floors->release(sequencer->second.floorSlot);
  m_sequencers.erase(sequencer);
}

void Router::unsubscribe(ClientSession& client, const Pair& pair) {
  if (client.routing.subscriptions.erase(pair) == 0) return;
  forgetRegistration(client, pair);
  forgetSubscriber(pair, client.number());
}

void Router::forgetSubscriber(const Pair& pair, uint64_t client) {
  auto it = m_subscribers.find(pair);
  if (it == m_subscribers.end()) return;
  it->second.erase(client);
  if (!it->second.empty()) return;
  m_subscribers.erase(it);
  if (pair.server != m_serverId) m_bridge.follow(pair, false);
  dropSequencerIfUnfollowed(pair);
}

void Router::publish(ClientSession& client, const Pair& pair) {
  if (client.routing.publications.count(pair) != 0) return;
  if (!admits(client, pair, client.routing.publications.size(), "publication")) return;
  client.routing.publications.insert(pair);
  std::set<uint64_t>& publishers = m_publishers[pair];
  publishers.insert(client.number());
  if (publishers.size() == 1) notifyPublishers(pair, true, nullptr);
}

void Router::retract(ClientSession& client, const Pair& pair) {
  if (client.routing.publications.erase(pair) == 0) return;
  forgetRegistration(client, pair);
  auto it = m_publishers.find(pair);
  if (it == m_publishers.end()) return;
  it->second.erase(client.number());
  if (!it->second.empty()) return;
  m_publishers.erase(it);
  notifyPublishers(pair, false, &client);
}

void Router::notifyPublishers(const Pair& pair, bool published, ClientSession* leaving) {
  const std::string request = notice(published ? evt::protocol::kPublish : evt::protocol::kRetract, pair);
  m_bridge.sendNotice(pair, request);
  auto it = m_subscribers.find(pair);
  if (it == m_subscribers.end()) return;
  for (uint64_t number : it->second) {
    ClientSession* client = m_clients.byNumber(number);
    if (client != nullptr && client != leaving) deliver(*client, request, false);
  }
}

std::string Router::statusText() const { return StatusReport(*this).status(); }
std::string Router::dumpText() const { return StatusReport(*this).dumpText(); }
std::string Router::dumpJson() const { return StatusReport(*this).dumpJson(); }

}  // namespace evt::service
