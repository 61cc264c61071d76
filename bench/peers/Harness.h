// What peers_bench's processes share: the receiver a transport hands what
// arrives to, the client-side face of every transport (eventd and its peers),
// and the roles a process of the benchmark plays.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace peers {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC: comparable across processes

long long nowNs();

// Which end of a row a party's process is: a publisher or the pinger
// sends first, a subscriber or the ponger receives first. A transport
// spanning two machines puts the sides on different ones.
enum class Side { kSending, kReceiving };

// What a party does with what it receives, called on the thread the
// transport delivers on (its library's callback thread, or the thread that
// reads the connection): the work is done there, as a user's handler would
// do it, with no hand-off to another thread. Calls come from one thread at a
// time.
class Receiver {
 public:
  virtual ~Receiver() = default;
  virtual void onEvent(const char* data, std::size_t size) = 0;
  // A missed-event report (eventd only).
  virtual void onMissed() {}
};

// What a party's process is in its row, for transports whose shape depends
// on it (ZeroMQ without a broker binds a socket per publisher).
struct Role {
  Side side = Side::kSending;
  bool roundTrip = false;  // the ping-pong: a client that would batch sends at once
  long index = 0;          // of this publisher
  long publishers = 1;     // that a subscriber hears from
};

// One process's connection to a transport. Its operations are called from
// one thread at a time (a handler may publish, serialised with the party's
// main thread); received events go to the receiver.
class Endpoint {
 public:
  virtual ~Endpoint() = default;
  // Returns once the transport confirmed the subscription (as far as it can).
  virtual bool subscribe(const std::string& subject) = 0;
  // One event, sent the way the transport's users stream events.
  virtual bool publish(const std::string& subject, const std::string& data) = 0;
  // One event, sent at once (round trips).
  virtual bool publishNow(const std::string& subject, const std::string& data) = 0;
  // Everything published has left this process (and, where the transport
  // says so, was accepted); false after `timeoutMs`.
  virtual bool finish(int timeoutMs) = 0;
};

// The middle process a transport runs: its pid and what clients connect to.
struct Broker {
  pid_t pid = -1;
  std::string address;
};

class Transport {
 public:
  virtual ~Transport() = default;
  virtual const char* name() const = 0;
  // The one-line description printed under the table.
  virtual const char* shape() const = 0;
  // In the benchmark's own process: starts the middle process with its
  // files under `dir`; pid -1 when it cannot.
  virtual Broker start(const std::string& dir) const = 0;
  // In a party's process: connects (retrying while the middle process comes
  // up); null when it could not within 30 s.
  virtual std::unique_ptr<Endpoint> connect(const std::string& address, Receiver& receiver,
                                            const Role& role) const = 0;
  // Whether a subscription may still be on its way when subscribe returned,
  // so that publishers send probes until every subscriber saw one of each.
  virtual bool needsProbe() const { return false; }
  // Spans two machines: measured in a table of its own, beside the peer
  // named by beside().
  virtual bool acrossMachines() const { return false; }
  virtual const char* beside() const { return "nats"; }
  // Measured only beside a transport that spans two machines.
  virtual bool onlyBeside() const { return false; }
};

// A host of the eventd at the environment's endpoint, subscribing to the
// categories of server `server` (0xFFFFFFFF: its own).
std::unique_ptr<Endpoint> eventdEndpoint(Receiver& receiver, unsigned long server);

// The transports this build has, eventd first.
const std::vector<const Transport*>& transports();
const Transport* findTransport(const std::string& name);

const Transport& eventdTransport();
#ifdef EVT_PEER_ZMQ
const Transport& zmqTransport();
// ZeroMQ without a broker: each publisher binds, subscribers connect to all.
const Transport& zmqDirectTransport();
#endif
#ifdef EVT_PEER_NATS
const Transport& natsTransport();
// Two eventd, server ids 1 and 2, federated through one nats-server.
const Transport& federatedTransport();
// The same with --federation-stream, through one nats-server with JetStream.
const Transport& federatedStreamTransport();
// NATS JetStream: a stream over the subjects, libnats's JetStream publish
// and push subscription.
const Transport& jetStreamTransport();
#endif
#ifdef EVT_PEER_REDIS
const Transport& redisTransport();
#endif
#ifdef EVT_PEER_DBUS
const Transport& dbusTransport();
#endif

// Process helpers for starting middle processes.
// Runs argv[0] (looked up in PATH and the sbin folders) with standard output
// and error going to `log`; -1 when it cannot start.
pid_t spawnProgram(const std::vector<std::string>& argv, const std::string& log);
// The peak resident set of a live process in KiB (VmHWM), 0 when unknown.
long peakRssKb(pid_t pid);
// Waits up to `ms` for a connection attempt to succeed.
bool retryFor(int ms, const std::function<bool()>& attempt);

// A party's process: `peers_bench --role ROLE ...`. Returns the exit status.
int runRole(int argc, char** argv);

}  // namespace peers
