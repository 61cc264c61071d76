// What the service does with the requests clients send: keeps who subscribes
// to and publishes which (server id, category) pair, routes each pair's
// events to its subscribers in number order, answers completions and tells
// subscribers where a pair's numbers stand and where they lost events. It
// queues requests on the sessions; the service loop sends them. Other
// servers' pairs come and go through its FederationBridge; StatusReport
// reads its tables. Single-threaded.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <functional>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "Utilities/ParamsView.h"
#include "eventd/ClientSession.h"
#include "eventd/ClientTable.h"
#include "eventd/FederationBridge.h"
#include "eventd/PairSequencer.h"
#include "eventd/SeriesFloors.h"
#include "protocol/Frame.h"

namespace evt::service {

class Router {
 public:
  struct Counters {
    uint64_t clientsTotal = 0;
    uint64_t eventsIn = 0;         // "event" requests received
    uint64_t eventsOut = 0;        // copies queued for subscribers
    uint64_t dropped = 0;          // requests a full client queue refused
    uint64_t malformed = 0;        // requests that could not be read
    uint64_t completions = 0;
    uint64_t held = 0;             // events held for a missing number
    uint64_t givenUp = 0;          // missing numbers given up (hold expired or full)
    uint64_t giveUps = 0;          // gaps they made
    uint64_t lateDropped = 0;      // events that came after their place was given up
    uint64_t madeUp = 0;           // events numbered beyond what the store had issued (also malformed)
    uint64_t beforeStart = 0;      // events numbered before their pair had subscribers
    uint64_t seriesRestarted = 0;  // series started again because the store's number went back
    uint64_t backpressureMs = 0;   // time answers to publishers waited
    uint64_t refused = 0;          // events in another server's name, or of the service's own category
    uint64_t refusedSubscriptions = 0;  // subscriptions or publications over a client's limits
    uint64_t monitorDropped = 0;        // copies a monitor's full queue refused
    uint64_t dumpsSkipped = 0;          // "dump" requests within a second of the client's last
  };

  // A request list must leave room for its length prefix in one frame.
  static constexpr std::size_t kMaxRequestSize = channel::kMaxFrameData - 64;

  // The last number the shared store issued for a category of this server
  // (0: none yet; nothing: the store could not be read); the series of a
  // pair that gets its first subscriber starts after it.
  using SeqNoReader = std::function<std::optional<unsigned long long>(const std::string& category)>;

  // Routes between the clients of `clients`, which outlives the router.
  Router(ClientTable& clients, uint32_t serverId, unsigned long long seqNoBase, QueueLimits limits,
         HoldLimits hold = HoldLimits(), SeqNoReader currentSeqNo = SeqNoReader());

  // A new client, already listed in the table.
  void addClient(ClientSession* client);
  // Forgets the client's subscriptions and publications; subscribers of a
  // pair it was the last publisher of get a "retract" notice. The router
  // passes over a client marked closing from then on.
  void removeClient(ClientSession* client);
  // Makes `client` a monitor (see ClientSession::monitor). It never holds a
  // publisher back.
  void addMonitor(ClientSession& client, bool notices);

  // The requests of one queue text, handled one by one in order. Unreadable
  // items are skipped and counted.
  void handleQueue(ClientSession& client, std::string_view text);

  // Whether some publisher's answer is held back (backpressure) now. Such a
  // publisher may carry the numbers held events wait for, so while any is,
  // no missing number is given up for its age, and afterwards each gets the
  // whole hold time again. The service loop tells this every round.
  void setPublishersHeldBack(bool heldBack, PairSequencer::Clock::time_point now);
  // Gives up missing numbers held for too long and routes the events held
  // behind them. True while events are still held.
  bool expireHolds(PairSequencer::Clock::time_point now);
  // Where this server's followed series stand is kept in `floors` (not
  // owned; null: nowhere). When they were inherited from an eventd that ran
  // before, for `window` after this router began its clients are taken to
  // be coming back: a library sends again what it had queued, before or
  // after the subscriptions it is owed to, and each series resumes after
  // the number where the last eventd left it rather than after the store's.
  void keepFloorsIn(SeriesFloors* floors, std::chrono::milliseconds window = std::chrono::milliseconds(0));
  // The link to other servers (null: this server alone); not owned.
  void setFederation(Federation* federation) { m_bridge.setLink(federation); }
  // The router's side of the link, which the link calls (FederationBridge.h).
  FederationBridge& federation() { return m_bridge; }
  // Another server's requests of `pair` (FederationBridge::routeRemote).
  void routeRemote(const Pair& pair, std::string_view requests, PairSequencer::Clock::time_point arrived) {
    m_bridge.routeRemote(pair, requests, arrived);
  }

  // Queues a check for every subscription of `client` whose last events
  // were dropped, so that it hears of the gap without a later event.
  void reportLostTails(ClientSession& client);
  // The client's queued events were shed (ClientSession::shedEvents): each
  // of its subscriptions hears of the loss as a gap.
  void eventsShed(ClientSession& client);
  Counters& mutableCounters() { return m_counters; }

  // The status and the dump in text and in JSON (see StatusReport.h). The
  // status ends with the lines `extras` gives (the service's own counters).
  void setStatusExtras(std::function<std::string()> extras) { m_statusExtras = std::move(extras); }
  std::string statusText() const;
  std::string dumpText() const;
  std::string dumpJson() const;

  uint32_t serverId() const { return m_serverId; }
  const Counters& counters() const { return m_counters; }

 private:
  friend class FederationBridge;  // routes other servers' pairs through the tables
  friend class StatusReport;      // reads them
  friend class MetricsReport;     // reads them too

  uint32_t resolve(uint32_t server) const { return server == 0xFFFFFFFFu ? m_serverId : server; }

  // Registrations and notices (Router.cpp).
  void subscribe(ClientSession& client, const Pair& pair);
  void unsubscribe(ClientSession& client, const Pair& pair);
  void publish(ClientSession& client, const Pair& pair);
  void retract(ClientSession& client, const Pair& pair);
  void forgetSubscriber(const Pair& pair, uint64_t client);
  // Whether `client`, holding `held` registrations of `kind` ("subscription",
  // "publication"), may hold one more, of `pair`: within the count, the name
  // length and its bytes of names; counted in the client's bytes when so,
  // else counted as refused and logged.
  bool admits(ClientSession& client, const Pair& pair, std::size_t held, const char* kind);
  void forgetRegistration(ClientSession& client, const Pair& pair);
  // The pair's sequencer, made when it gets its first follower (a local
  // subscriber or another server), dropped when the last one goes.
  void startSequencer(const Pair& pair);
  void dropSequencerIfUnfollowed(const Pair& pair);
  // The first seconds after a start, while the clients of an eventd that
  // stopped come back: a library sends again what it had queued, and its
  // events may come before or after the subscriptions they are owed to.
  bool recovering() const { return m_floors != nullptr && m_floors->inherited() && m_arrived < m_recoveryEnd; }
  // Where a local pair's series resumes after a restart: after the number
  // where the last eventd left it, when the store issued it (a floor above
  // the store's number belongs to objects made afresh). Said once a pair.
  std::optional<unsigned long long> resumedFloor(const Pair& pair, std::optional<unsigned long long> issued);
  // Records where the series stands, for the next eventd.
  void noteFloor(const PairSequencer& sequencer) {
    if (m_floors != nullptr && sequencer.next() > 0) m_floors->store(sequencer.floorSlot, sequencer.next() - 1);
  }
  // `seqNo`, just held, is the live stream's, past what a resumed series
  // may still get sent again: what has not come of that by now is lost
  // with the last eventd, and waiting for it would hold the live stream.
  void passResentRange(ClientSession* feeder, const Pair& pair, PairSequencer& sequencer, unsigned long long seqNo);
  // Counts and logs `givenUp` missing numbers of `pair` before `next`.
  void countGiveUp(const Pair& pair, unsigned long long givenUp, unsigned long long next);
  // An event of this server's pair that nobody follows yet, kept while
  // recovering for a follower that may return (RouterEvents.cpp).
  void keepUnclaimed(const Pair& pair, unsigned long long seqNo, std::string_view request);
  // Hands the kept events of `pair` to its new sequencer, in number order.
  void claim(const Pair& pair, PairSequencer& sequencer);
  bool published(const Pair& pair) const { return m_publishers.count(pair) != 0 || m_bridge.isPublishedRemotely(pair); }
  // Tells the subscribers of `pair` (but `leaving`) that it is published now, or no more.
  void notifyPublishers(const Pair& pair, bool published, ClientSession* leaving);
  // Queues a copy of `request` from `from` for every monitor (`notice`: only
  // for those that asked for notices).
  void copyToMonitors(const ClientSession& from, std::string_view request, bool notice);

  // Events: their order, holds and give-ups, and delivery (RouterEvents.cpp).
  // `list` is `request` already read; the text is forwarded unchanged.
  void routeEvent(ClientSession& from, std::string_view request, const ParamsView& list);
  // True (counted and logged) when `seqNo` of this server's `pair` is above
  // the number the store has issued: made up, dropped before it moves the series.
  bool madeUp(const ClientSession& from, const Pair& pair, PairSequencer& sequencer, unsigned long long seqNo);
  // For an event of this server's `pair` that came late or before the
  // series began: true when the store's number went back below the series
  // (rewound, or its objects made afresh), the event being one it issued
  // since. The series then starts again at `seqNo`, and every subscriber
  // hears of a gap before it. The store is read once a text per pair.
  bool restartIfStoreWentBack(const Pair& pair, PairSequencer& sequencer, unsigned long long seqNo);
  void giveUpIfDue(ClientSession* feeder, const Pair& pair, PairSequencer& sequencer,
                   PairSequencer::Clock::time_point now);
  // Hands on the held events after a hole that will not be filled.
  void giveUpHole(ClientSession* feeder, const Pair& pair, PairSequencer& sequencer);
  // Every subscriber of `pair` hears of a gap before its next event.
  void markGap(const Pair& pair);
  // Another server's `pair` stands at `last`: everything up to it was sent.
  // Numbers its sequencer still waits for are given up, and a subscriber
  // whose last event is older hears of the gap now, even when no later
  // event comes.
  void passRemoteTail(const Pair& pair, unsigned long long last);
  // Queues one event of `pair` for each subscriber, in number order.
  // `event` is `request` already read, when the caller has it.
  void forward(ClientSession* feeder, const Pair& pair, unsigned long long seqNo, std::string_view request,
               const evt::protocol::Event* event = nullptr);
  void forwardReady(ClientSession* feeder, const Pair& pair, PairSequencer& sequencer);
  // The sequence-number base of `server`'s series; nothing for another
  // server not heard yet.
  std::optional<unsigned long long> baseOf(uint32_t server) const;
  // The number a check before event `seqNo` names to a subscriber whose
  // last event was `lastSeqNo`.
  unsigned long long checkBefore(const Pair& pair, unsigned long long seqNo, unsigned long long lastSeqNo) const;
  // Queues `request` for `to`; a refused droppable request marks the pair so
  // that the subscriber is told of the gap before its next event.
  bool deliver(ClientSession& to, std::string_view request, bool droppable);
  void countDrop(const ClientSession& to);
  void tellBase(ClientSession& to, uint32_t server);
  // "check-event-seqno" of `seqNo`: the number the subscriber's last event
  // had or should have had.
  bool tellPosition(ClientSession& to, const Pair& pair, unsigned long long seqNo);

  ClientTable& m_clients;
  const uint32_t m_serverId;
  const unsigned long long m_seqNoBase;
  const QueueLimits m_limits;
  const HoldLimits m_hold;
  const SeqNoReader m_currentSeqNo;
  std::function<std::string()> m_statusExtras;
  const std::chrono::steady_clock::time_point m_started = std::chrono::steady_clock::now();

  // Client numbers ascend with connection order, so routing order is stable.
  std::map<Pair, std::set<uint64_t>> m_subscribers;
  std::map<Pair, std::set<uint64_t>> m_publishers;
  std::map<Pair, unsigned long long> m_lastSeqNo;
  std::set<uint64_t> m_monitors;
  std::string m_monitoredRequest;  // storage reused from copy to copy
  // The order of every pair that has subscribers.
  std::map<Pair, PairSequencer> m_sequencers;
  static constexpr std::size_t kMaxUnclaimedBytes = 8u << 20;
  std::map<Pair, std::vector<std::pair<unsigned long long, std::string>>> m_unclaimed;  // while recovering
  std::size_t m_unclaimedBytes = 0;
  SeriesFloors* m_floors = nullptr;
  // For the series inherited, the store's number when this router began.
  std::map<std::string, unsigned long long> m_resentUpTo;
  PairSequencer::Clock::time_point m_recoveryEnd;  // of the window after a restart
  uint64_t m_lateLogged = 0;  // late events outside a connection's first text
  std::size_t m_heldNow = 0;   // events held over all pairs
  Counters m_counters;
  PairSequencer::Clock::time_point m_arrived;  // when the queue text being handled came
  uint64_t m_textsHandled = 0;                 // queue texts so far, the one being handled included
  ParamsView m_queueRequests;                  // its requests, in storage kept from text to text
  bool m_publishersHeldBack = false;
  PairSequencer::Clock::time_point m_heldBackUntil;  // when the last backpressure ended
  // The pair of the event being routed; kept so that its category's storage
  // is reused from event to event.
  Pair m_eventPair;
  FederationBridge m_bridge;
};

}  // namespace evt::service
