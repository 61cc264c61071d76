// What peers_bench's processes share: the queue a subscriber's handler fills
// and its consumer thread empties, the client-side face of every transport
// (eventd and its peers), and the roles a process of the benchmark plays.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace peers {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC: comparable across processes

long long nowNs();

// What a subscriber's handler (or receiving thread) hands to its consumer
// thread: a copy of each event's data, or a missed-event report.
class Inbox {
 public:
  struct Item {
    bool missed = false;
    std::string data;
  };
  void push(const char* data, std::size_t size);
  void pushMissed();
  // The next item, waiting until `deadline`; false when none came. One
  // consumer thread only.
  bool pop(Item& item, Clock::time_point deadline);

 private:
  // The consumer takes everything pushed in one hold of the lock, and the
  // handler signals only a consumer that sleeps: handler and consumer do not
  // queue up on the lock once per event, whichever transport feeds them.
  std::mutex m_mutex;
  std::condition_variable m_ready;
  std::deque<Item> m_items;     // pushed, under m_mutex
  bool m_consumerWaits = false;  // under m_mutex
  std::deque<Item> m_taken;     // the consumer's own
};

// One process's connection to a transport, called from one thread at a time
// (the subscriber's handler or receiving thread only touches the inbox);
// received events go to the inbox.
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

// Which end of a row a party's process is: a publisher or the pinger
// sends first, a subscriber or the ponger receives first. A transport
// spanning two machines puts the sides on different ones.
enum class Side { kSending, kReceiving };

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
  // up); null when it could not within 30 s. `roundTrip`: for the ping-pong,
  // where a client that would batch is told to send at once.
  virtual std::unique_ptr<Endpoint> connect(const std::string& address, Inbox& inbox, bool roundTrip,
                                            Side side) const = 0;
  // Whether a subscription may still be on its way when subscribe returned,
  // so that publishers send probes until every subscriber saw one of each.
  virtual bool needsProbe() const { return false; }
  // Spans two machines: measured in a table of its own, beside its peer.
  virtual bool acrossMachines() const { return false; }
};

// A host of the eventd at the environment's endpoint, subscribing to the
// categories of server `server` (0xFFFFFFFF: its own).
std::unique_ptr<Endpoint> eventdEndpoint(Inbox& inbox, unsigned long server);

// The transports this build has, eventd first.
const std::vector<const Transport*>& transports();
const Transport* findTransport(const std::string& name);

const Transport& eventdTransport();
#ifdef EVT_PEER_ZMQ
const Transport& zmqTransport();
#endif
#ifdef EVT_PEER_NATS
const Transport& natsTransport();
// Two eventd, server ids 1 and 2, federated through one nats-server.
const Transport& federatedTransport();
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
