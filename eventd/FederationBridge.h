// The router's side of the federation: which of this server's pairs other
// servers follow, which of theirs are published there and their
// sequence-number bases; the requests of their pairs that come through the
// link are routed to the subscribers here as the router routes its own
// clients' (in their server's order; a hole is a loss). The router hands it
// what local clients follow and what other servers follow of this server;
// the link (Federation) calls the rest. Part of the router; single-threaded.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "Utilities/ParamsView.h"
#include "eventd/ClientSession.h"
#include "eventd/Federation.h"
#include "eventd/PairSequencer.h"
#include "protocol/Protocol.h"

namespace evt::service {

class Router;

class FederationBridge {
 public:
  struct Counters {
    uint64_t eventsIn = 0;   // events of other servers' pairs that came through the link
    uint64_t eventsOut = 0;  // events of this server's pairs sent to the link
    uint64_t late = 0;       // events of other servers that came twice or after a newer one
  };

  // `router` owns the bridge.
  explicit FederationBridge(Router& router) : m_router(router) {}
  FederationBridge(const FederationBridge&) = delete;
  FederationBridge& operator=(const FederationBridge&) = delete;

  // The link to other servers (null: this server alone); not owned.
  void setLink(Federation* link) { m_link = link; }

  // From the link. Other servers follow this server's `pair` (`any`), or
  // none does any more; `newcomer`: one began to, and learns whether the
  // pair is published.
  void followedRemotely(const Pair& pair, bool any, bool newcomer);
  // A list of requests of another server's `pair` that came through the
  // link: events (in their server's order; a hole is a loss) and notices.
  void routeRemote(const Pair& pair, std::string_view requests, PairSequencer::Clock::time_point arrived);
  // Another server is heard again (`connected`) or no more: the clients
  // that follow any of its pairs get the "eventsystem" event. Its pairs are
  // no longer published while it is gone. When it returns, their series go
  // on where they stood if the link replays what it sent meanwhile, else
  // they are taken up afresh (a loss between shows as a gap).
  void remoteServer(uint32_t server, bool connected);
  // True while a subscriber of `pair` is congested and not yet stalled:
  // another server's events for it then wait in the link.
  bool congested(const Pair& pair, PairSequencer::Clock::time_point now);
  // Another server's sequence-number base, for its followers.
  void setRemoteBase(uint32_t server, unsigned long long base);

  // From the link, every second: the state of each of this server's pairs
  // that other servers follow, sent after its events so far: published or
  // not, and the last number handed on. A follower that missed a notice, or
  // the events at the end of a stream, learns of it from the next state.
  void sendPairStates();

  // From the router. Local clients begin (`follow`) or cease to follow
  // `pair`, a pair of another server.
  void follow(const Pair& pair, bool follow) {
    if (m_link != nullptr) m_link->follow(pair, follow);
  }
  // An event of this server's `pair`, in number order (`event`: the request
  // read, or null), or a "publish" or "retract" notice of it: sent to the
  // other servers that follow the pair.
  void sendEvent(const Pair& pair, std::string_view request, const evt::protocol::Event* event);
  void sendNotice(const Pair& pair, std::string_view request);
  // Some other server follows this server's `pair`.
  bool isFollowedRemotely(const Pair& pair) const { return m_followedRemotely.count(pair) != 0; }
  // Another server's `pair` is published there.
  bool isPublishedRemotely(const Pair& pair) const { return m_remotePublished.count(pair) != 0; }
  // The link replays what other servers sent while they were cut off.
  bool replays() const { return m_link != nullptr && m_link->replays(); }
  // Another server's sequence-number base, once heard.
  std::optional<unsigned long long> remoteBase(uint32_t server) const;

  // "key value" lines for the status; none without a link.
  std::string statusLines() const;

 private:
  // The series of `server`'s pairs are taken up at the next number that arrives.
  void restartSeries(uint32_t server);

  Router& m_router;
  Federation* m_link = nullptr;
  Counters m_counters;
  std::set<Pair> m_followedRemotely;  // this server's pairs other servers follow
  std::set<Pair> m_remotePublished;   // other servers' pairs published there
  std::map<uint32_t, unsigned long long> m_remoteBases;
  std::string m_remoteEvent;     // another server's event, rebuilt; storage reused
  ParamsView m_remoteRequests;   // the list it came in; storage reused
};

}  // namespace evt::service
