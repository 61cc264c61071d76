// The router's events: each pair's order through its PairSequencer, the
// holds and give-ups of missing numbers, and the delivery to subscribers
// with the checks that tell them where a series stands and where they lost
// events.
#include "eventd/Router.h"

#include <algorithm>
#include <cinttypes>
#include <optional>

#include "Utilities/ParamsView.h"
#include "eventd/ServiceLog.h"
#include "protocol/Protocol.h"

namespace evt::service {

void Router::routeEvent(ClientSession& from, std::string_view request, const ParamsView& list) {
  const evt::protocol::Event event = evt::protocol::readEvent(list);
  if (!event.complete || request.size() > kMaxRequestSize) {
    ++m_counters.malformed;
    return;
  }
  ++m_counters.eventsIn;
  ++from.counters.eventsIn;
  m_eventPair.server = resolve(event.server);
  m_eventPair.category.assign(event.category.data(), event.category.size());
  const Pair& pair = m_eventPair;
  // A client publishes in this server's name only, and the service's own
  // category is the service's: anything else would be a forgery.
  if (pair.server != m_serverId || event.category == evt::protocol::kEventSystemCategory) {
    ++m_counters.refused;
    if (m_counters.refused == 1 || m_counters.refused % 1000 == 0) {
      logError("client #%" PRIu64 " (%s) sent an event of \"%s\" in the name of server %u, refused; %" PRIu64
               " such events so far",
               from.number(), from.name.c_str(), printable(pair.category).c_str(), static_cast<unsigned>(pair.server),
               m_counters.refused);
    }
    return;
  }
  const unsigned long long seqNo = event.seqNo;
  auto found = m_sequencers.find(pair);
  if (found != m_sequencers.end() && seqNo != 0 && madeUp(from, pair, found->second, seqNo)) return;
  // Monitors see every accepted event as it arrives, subscribed to or not.
  copyToMonitors(from, request, false);
  m_lastSeqNo[pair] = seqNo;
  if (found == m_sequencers.end()) {  // no follower
    keepUnclaimed(pair, seqNo, request);
    return;
  }
  if (seqNo == 0) {
    // Not one of the series (the library takes 0 as "start again").
    forward(&from, pair, seqNo, request);
    return;
  }
  PairSequencer& sequencer = found->second;
  PairSequencer::Arrival arrival = sequencer.arrive(seqNo, request, m_arrived);
  if ((arrival == PairSequencer::Arrival::kLate || arrival == PairSequencer::Arrival::kBeforeStart) &&
      restartIfStoreWentBack(pair, sequencer, seqNo)) {
    arrival = sequencer.arrive(seqNo, request, m_arrived);  // the first of the new series
  }
  switch (arrival) {
    case PairSequencer::Arrival::kInOrder:
      forward(&from, pair, seqNo, request, &event);
      forwardReady(&from, pair, sequencer);
      break;
    case PairSequencer::Arrival::kHeld: {
      ++m_counters.held;
      ++m_heldNow;
      // Held for its subscribers all the same: while they are congested the
      // sender waits, rather than piling events up here.
      auto subscribers = m_subscribers.find(pair);
      if (subscribers != m_subscribers.end()) from.fed.insert(subscribers->second.begin(), subscribers->second.end());
      passResentRange(&from, pair, sequencer, seqNo);
      giveUpIfDue(&from, pair, sequencer, m_arrived);  // the hold may be full
      break;
    }
    case PairSequencer::Arrival::kLate:
      ++m_counters.lateDropped;
      // The first text of a connection repeats what the last one may have
      // handed on already: expected, counted, not logged.
      if (from.counters.queueTexts > 1 && (++m_lateLogged == 1 || m_lateLogged % 1000 == 0)) {
        logError("client #%" PRIu64 " (%s) sent event %llu of \"%s\" after its place had passed (given up, or a "
                 "repeat); %" PRIu64 " such events dropped so far",
                 from.number(), from.name.c_str(), seqNo, printable(pair.category).c_str(), m_counters.lateDropped);
      }
      break;
    case PairSequencer::Arrival::kBeforeStart:
      // In a resumed series: at or below where the last eventd left it.
      ++(sequencer.resentUpTo != 0 ? m_counters.lateDropped : m_counters.beforeStart);
      break;
  }
  noteFloor(sequencer);
}

bool Router::restartIfStoreWentBack(const Pair& pair, PairSequencer& sequencer, unsigned long long seqNo) {
  if (!m_currentSeqNo || sequencer.storeReadInText == m_textsHandled) return false;
  sequencer.storeReadInText = m_textsHandled;  // a flood of repeats costs one read
  const std::optional<unsigned long long> read = m_currentSeqNo(pair.category);
  if (!read) return false;  // unreadable: the event cannot be judged
  const unsigned long long issued = *read != 0 ? *read : m_seqNoBase;
  // The store at or past the series' last number: a repeat, or a number
  // whose place was given up. Numbers up to the base are never issued.
  if (issued + 1 >= sequencer.next() || seqNo > issued || seqNo <= m_seqNoBase) return false;
  const unsigned long long stood = sequencer.next() - 1;
  const std::size_t held = sequencer.heldCount();  // of the old series: their numbers are issued anew
  m_heldNow -= held;
  const std::size_t floorSlot = sequencer.floorSlot;
  sequencer = PairSequencer(seqNo);
  sequencer.floorSlot = floorSlot;
  sequencer.issuedSeen = issued;
  sequencer.storeReadInText = m_textsHandled;
  markGap(pair);
  ++m_counters.seriesRestarted;
  if (m_counters.seriesRestarted == 1 || m_counters.seriesRestarted % 1000 == 0) {
    logError("the store's number of \"%s\" went back to %llu, below %llu where its series stood (rewound, or "
             "its objects made afresh); the series starts again at %llu, %zu held events dropped, subscribers are "
             "told of a gap; %" PRIu64 " restarts so far",
             printable(pair.category).c_str(), issued, stood, seqNo, held, m_counters.seriesRestarted);
  }
  return true;
}

bool Router::madeUp(const ClientSession& from, const Pair& pair, PairSequencer& sequencer,
                    unsigned long long seqNo) {
  if (seqNo <= sequencer.issuedSeen || !m_currentSeqNo) return false;
  // Read again only when an event passes what was read last: a stream of
  // honest events reads the store about once per batch it sends.
  const std::optional<unsigned long long> issued = m_currentSeqNo(pair.category);
  if (!issued) return false;  // unreadable: the event cannot be judged
  sequencer.issuedSeen = *issued;
  if (seqNo <= *issued) return false;
  // Let through, an event the store never numbered would pass the honest
  // event of that number as late, which nobody would hear of.
  ++m_counters.malformed;
  ++m_counters.madeUp;
  if (m_counters.madeUp == 1 || m_counters.madeUp % 1000 == 0) {
    logError("client #%" PRIu64 " (%s) sent event %llu of \"%s\", a number the store has not issued (it stands at "
             "%llu), dropped; %" PRIu64 " such events so far",
             from.number(), from.name.c_str(), seqNo, printable(pair.category).c_str(), *issued, m_counters.madeUp);
  }
  return true;
}

void Router::forwardReady(ClientSession* feeder, const Pair& pair, PairSequencer& sequencer) {
  unsigned long long seqNo = 0;
  std::string_view request;
  while (sequencer.takeReady(&seqNo, &request)) {
    --m_heldNow;
    forward(feeder, pair, seqNo, request);
  }
}

void Router::setPublishersHeldBack(bool heldBack, PairSequencer::Clock::time_point now) {
  if (m_publishersHeldBack && !heldBack) m_heldBackUntil = now;
  m_publishersHeldBack = heldBack;
}

void Router::keepUnclaimed(const Pair& pair, unsigned long long seqNo, std::string_view request) {
  // Only for a series the last eventd routed: nobody else is owed them.
  if (seqNo == 0 || !recovering() || m_unclaimedBytes + request.size() > kMaxUnclaimedBytes ||
      pair.server != m_serverId || !m_floors->inherits(pair.category))
    return;
  m_unclaimed[pair].emplace_back(seqNo, std::string(request));
  m_unclaimedBytes += request.size();
}

void Router::claim(const Pair& pair, PairSequencer& sequencer) {
  auto unclaimed = m_unclaimed.find(pair);
  if (unclaimed == m_unclaimed.end()) return;
  std::vector<std::pair<unsigned long long, std::string>> events = std::move(unclaimed->second);
  m_unclaimed.erase(unclaimed);
  for (const auto& event : events) m_unclaimedBytes -= event.second.size();
  if (!recovering()) return;
  // Numbers the store never issued are dropped, as when they come live; at
  // or below the floor, the last eventd delivered them or reported them
  // missed: they are late.
  const std::optional<unsigned long long> issued = m_currentSeqNo ? m_currentSeqNo(pair.category) : std::nullopt;
  std::sort(events.begin(), events.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& event : events) {
    if (issued && event.first > *issued) {
      ++m_counters.malformed;
      ++m_counters.madeUp;
      continue;
    }
    switch (sequencer.arrive(event.first, event.second, m_arrived)) {
      case PairSequencer::Arrival::kInOrder:
        forward(nullptr, pair, event.first, event.second);
        forwardReady(nullptr, pair, sequencer);
        break;
      case PairSequencer::Arrival::kHeld:
        ++m_counters.held;
        ++m_heldNow;
        passResentRange(nullptr, pair, sequencer, event.first);
        break;
      case PairSequencer::Arrival::kLate:
      case PairSequencer::Arrival::kBeforeStart:
        ++m_counters.lateDropped;  // at or below the floor, or a repeat
        break;
    }
  }
  noteFloor(sequencer);
}

bool Router::expireHolds(PairSequencer::Clock::time_point now) {
  if (m_floors != nullptr && m_floors->inherited() && now >= m_recoveryEnd) {
    // Nobody came back for what is kept, nor for the series not followed
    // again: a later restart must not resume those where this one found them.
    m_unclaimed.clear();
    m_unclaimedBytes = 0;
    m_floors->releaseAllBut([&](const std::string& category) {
      return m_sequencers.count(Pair{m_serverId, category}) != 0;
    });
    m_floors->endInheritance();
    m_resentUpTo.clear();
  }
  // While recovering, the loop comes back to end the window on time.
  const bool inheriting = m_floors != nullptr && m_floors->inherited();
  if (m_heldNow == 0) return inheriting || !m_unclaimed.empty();
  for (auto& entry : m_sequencers) giveUpIfDue(nullptr, entry.first, entry.second, now);
  return m_heldNow != 0 || inheriting || !m_unclaimed.empty();
}

void Router::giveUpIfDue(ClientSession* feeder, const Pair& pair, PairSequencer& sequencer,
                         PairSequencer::Clock::time_point now) {
  if (!sequencer.giveUpDue(now, m_hold, m_publishersHeldBack ? now : m_heldBackUntil)) return;
  // Numbers the store never issued cannot be waited for, nor may they move
  // the series past the real ones. A store that cannot be read drops nothing.
  const std::optional<unsigned long long> issued =
      pair.server == m_serverId && m_currentSeqNo ? m_currentSeqNo(pair.category) : std::nullopt;
  if (issued) {
    const std::size_t madeUp = sequencer.discardAbove(*issued);
    if (madeUp != 0) {
      m_heldNow -= madeUp;
      m_counters.malformed += madeUp;
      logError("dropped %zu event%s of \"%s\" numbered beyond the last number issued", madeUp,
               madeUp == 1 ? "" : "s", printable(pair.category).c_str());
    }
  }
  const unsigned long long givenUp = sequencer.giveUp();
  if (givenUp == 0) return;
  countGiveUp(pair, givenUp, sequencer.next());
  giveUpHole(feeder, pair, sequencer);
}

void Router::passResentRange(ClientSession* feeder, const Pair& pair, PairSequencer& sequencer,
                             unsigned long long seqNo) {
  const unsigned long long upTo = sequencer.resentUpTo;
  if (seqNo <= upTo || sequencer.next() > upTo) return;
  // Held events of the range still go, in order, each behind its gap.
  while (sequencer.next() <= upTo) {
    const unsigned long long givenUp = sequencer.giveUp(upTo + 1);
    if (givenUp == 0) break;  // nothing held: cannot be, as seqNo is
    countGiveUp(pair, givenUp, sequencer.next());
    giveUpHole(feeder, pair, sequencer);
  }
}

void Router::countGiveUp(const Pair& pair, unsigned long long givenUp, unsigned long long next) {
  m_counters.givenUp += givenUp;
  ++m_counters.giveUps;
  if (m_counters.giveUps == 1 || m_counters.giveUps % 1000 == 0) {
    logError("gave up %llu missing event number%s of \"%s\" (server %u) before %llu; %" PRIu64 " gaps so far",
             givenUp, givenUp == 1 ? "" : "s", printable(pair.category).c_str(), static_cast<unsigned>(pair.server),
             next, m_counters.giveUps);
  }
}

void Router::giveUpHole(ClientSession* feeder, const Pair& pair, PairSequencer& sequencer) {
  markGap(pair);
  forwardReady(feeder, pair, sequencer);
  noteFloor(sequencer);
}

void Router::markGap(const Pair& pair) {
  auto subscribers = m_subscribers.find(pair);
  if (subscribers == m_subscribers.end()) return;
  for (uint64_t number : subscribers->second) m_clients.at(number).routing.subscriptions[pair].checkDue = true;
}

void Router::passRemoteTail(const Pair& pair, unsigned long long last) {
  auto found = m_sequencers.find(pair);
  if (found == m_sequencers.end() || last == 0) return;
  PairSequencer& sequencer = found->second;
  // Ahead of `last`: the series began anew there, which its events tell.
  if (sequencer.next() > last) return;
  if (sequencer.next() != 0) {
    const unsigned long long givenUp = last + 1 - sequencer.next();
    m_counters.givenUp += givenUp;
    ++m_counters.giveUps;
    if (m_counters.giveUps == 1 || m_counters.giveUps % 1000 == 0) {
      logError("gave up %llu missing event number%s of \"%s\" (server %u) up to %llu, its last; %" PRIu64
               " gaps so far",
               givenUp, givenUp == 1 ? "" : "s", printable(pair.category).c_str(), static_cast<unsigned>(pair.server),
               last, m_counters.giveUps);
    }
  }
  m_heldNow -= sequencer.heldCount();
  sequencer = PairSequencer(last + 1);
  auto subscribers = m_subscribers.find(pair);
  if (subscribers == m_subscribers.end()) return;
  for (uint64_t number : subscribers->second) {
    ClientSession& client = m_clients.at(number);
    SubscriptionState& state = client.routing.subscriptions[pair];
    // Nothing of the pair reached this subscriber yet: its first event tells
    // it where the series stands. Unless what was sent while it was away is
    // replayed: then it may be coming back from an eventd that stopped, and
    // its library, which knows the last number it had, learns of the loss
    // now rather than with the pair's next event.
    if (state.lastSeqNo >= last || (state.lastSeqNo == 0 && !state.positionTold && !m_bridge.replays())) continue;
    state.lastSeqNo = last;
    state.tailLost = true;
    client.routing.tailLost = true;
    reportLostTails(client);
  }
}

std::optional<unsigned long long> Router::baseOf(uint32_t server) const {
  return server == m_serverId ? std::optional<unsigned long long>(m_seqNoBase) : m_bridge.remoteBase(server);
}

void Router::forward(ClientSession* feeder, const Pair& pair, unsigned long long seqNo, std::string_view request,
                     const evt::protocol::Event* event) {
  if (pair.server == m_serverId) m_bridge.sendEvent(pair, request, event);
  auto subscribers = m_subscribers.find(pair);
  if (subscribers == m_subscribers.end()) return;
  for (uint64_t number : subscribers->second) {
    ClientSession& to = m_clients.at(number);
    if (feeder != nullptr) feeder->fed.insert(number);
    SubscriptionState& state = to.routing.subscriptions[pair];
    bool queued = false;
    // The check and the event go together, or neither: a check alone would
    // report the event itself as missed.
    if (!state.checkDue) {
      queued = deliver(to, request, true);
    } else if (to.pendingCount() + 2 <= m_limits.requests &&
               to.pendingBytes() + request.size() + 64 + pair.category.size() <= m_limits.bytes) {
      tellPosition(to, pair, checkBefore(pair, seqNo, state.lastSeqNo));
      queued = deliver(to, request, true);
    } else {
      ++to.counters.dropped;
      countDrop(to);
    }
    if (queued) {
      state.positionTold = true;
    } else if (!state.positionTold && state.firstLost == 0) {
      state.firstLost = seqNo;
    }
    state.lastSeqNo = seqNo;
    state.checkDue = !queued;
    state.tailLost = !queued;
    if (queued) {
      ++m_counters.eventsOut;
    } else {
      to.routing.tailLost = true;
    }
  }
}

void Router::eventsShed(ClientSession& client) {
  // The checks stay queued: each subscription that had events routed hears
  // of the loss from one check of its last number after them.
  for (auto& subscription : client.routing.subscriptions) {
    SubscriptionState& state = subscription.second;
    if (state.lastSeqNo == 0) continue;
    state.checkDue = true;
    state.tailLost = true;
    client.routing.tailLost = true;
  }
  reportLostTails(client);
}

unsigned long long Router::checkBefore(const Pair& pair, unsigned long long seqNo, unsigned long long lastSeqNo) const {
  if (seqNo == 0) return 0;
  const std::optional<unsigned long long> known = baseOf(pair.server);
  if (!known) return seqNo - 1;
  const unsigned long long base = *known;
  // The library takes a check of the base for a series not begun, never a
  // gap. A series that starts over from the base after the subscriber had
  // later numbers is told by a check of the event's own number, which the
  // event then repeats rather than passes.
  return seqNo - 1 == base && lastSeqNo >= seqNo ? seqNo : seqNo - 1;
}

void Router::reportLostTails(ClientSession& client) {
  if (!client.routing.tailLost) return;
  client.routing.tailLost = false;
  for (auto& subscription : client.routing.subscriptions) {
    SubscriptionState& state = subscription.second;
    if (!state.tailLost) continue;
    if (state.firstLost != 0) {
      // Nothing of the pair reached the queue yet: where the loss began goes first.
      if (!tellPosition(client, subscription.first, state.firstLost - 1)) {
        client.routing.tailLost = true;
        continue;
      }
      state.firstLost = 0;
      state.positionTold = true;
    }
    if (!tellPosition(client, subscription.first, state.lastSeqNo)) {
      client.routing.tailLost = true;  // tried again after the next batch
      continue;
    }
    state.tailLost = false;
    state.checkDue = false;
  }
}

void Router::tellBase(ClientSession& to, uint32_t server) {
  const std::optional<unsigned long long> base = baseOf(server);
  if (!base || !to.routing.basesSent.insert(server).second) return;
  deliver(to, evt::protocol::setSeqNoBaseRequest(*base, server), false);
}

bool Router::tellPosition(ClientSession& to, const Pair& pair, unsigned long long seqNo) {
  tellBase(to, pair.server);
  return deliver(to, evt::protocol::checkEventSeqNoRequest(pair.category, seqNo, pair.server), false);
}

bool Router::deliver(ClientSession& to, std::string_view request, bool droppable) {
  // Events are timed from their arrival, for the residence histogram.
  if (to.enqueue(request, droppable, m_limits, droppable ? m_arrived : ClientSession::Clock::time_point())) return true;
  countDrop(to);
  return false;
}

void Router::countDrop(const ClientSession& to) {
  ++m_counters.dropped;
  if (to.counters.dropped == 1 || to.counters.dropped % 10000 == 0) {
    logError("client #%" PRIu64 " (%s) does not keep up: %" PRIu64 " requests dropped so far", to.number(),
             to.name.c_str(), to.counters.dropped);
  }
}

}  // namespace evt::service
