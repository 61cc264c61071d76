// The link between this eventd and the eventd of other machines, each with
// its own server id. The router tells it which pairs of other servers local
// clients follow and hands it the requests of this server's pairs that
// other servers follow; the service loop watches its descriptor and gives
// it a turn every round. Everything here runs on the loop thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "eventd/ClientSession.h"
#include "protocol/Protocol.h"

namespace evt::service {

// With a stream (NATS JetStream), each server's pair messages are kept in
// a stream of its own, within these bounds, and a follower that was cut off
// takes them up again after the last one it handled.
struct FederationStream {
  bool enabled = false;
  int64_t maxBytes = int64_t{1} << 30;
  int64_t maxAgeSeconds = 3600;
};

class Federation {
 public:
  using Clock = std::chrono::steady_clock;
  virtual ~Federation() = default;

  // Local clients begin (`follow`) or cease to follow `pair`, a pair of
  // another server.
  virtual void follow(const Pair& pair, bool follow) = 0;
  // A request of this server's `pair`, which other servers follow: one of
  // its events, in number order, or a "publish" or "retract" notice.
  // `event` is the event already read, when the caller has it (else null).
  virtual void send(const Pair& pair, std::string_view request, const evt::protocol::Event* event) = 0;

  // Readable when messages of other servers wait; `receive` handles them.
  virtual int fd() const = 0;
  virtual void receive() = 0;
  // Once a loop round: sends what the round queued and does what is due
  // (announcements, expiry). Returns how long the loop may sleep before the
  // next turn is due.
  virtual std::chrono::milliseconds turn(Clock::time_point now) = 0;
  // The service closes: the clients' leaving that follows says nothing of
  // their coming back to the next eventd. With a stream, what other servers
  // send is no longer routed here: the next eventd takes it up from the
  // stream. What this server's clients publish still goes out.
  virtual void closing() = 0;
  // True when what another server sent while it was cut off from this one
  // comes through once it is back (a stream kept it): its series then go
  // on where they stood.
  virtual bool replays() const = 0;
  // True once another eventd turned out to serve this server id: this one
  // must stop.
  virtual bool mustStop() const = 0;
  // "key value" lines for the service's status.
  virtual std::string statusLines() const = 0;
};

}  // namespace evt::service
