// What the service does with the requests clients send: keeps who subscribes
// to and publishes which (server id, category) pair, routes events to the
// subscribers of their pair in the order they arrive, answers completions
// and tells subscribers where a pair's numbers stand. It queues requests on
// the sessions; the service loop sends them. Single-threaded.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "eventd/ClientSession.h"

class ParamsView;

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
  };

  Router(uint32_t serverId, unsigned long long seqNoBase, QueueLimits limits);

  void addClient(ClientSession* client);
  // Forgets the client's subscriptions and publications; subscribers of a
  // pair it was the last publisher of get a "retract" notice.
  void removeClient(ClientSession* client);

  // The requests of one queue text, handled one by one in order. Unreadable
  // items are skipped and counted.
  void handleQueue(ClientSession& client, const std::string& text);

  // "key value" lines; every client's state.
  std::string statusText() const;
  std::string dumpText() const;

  uint32_t serverId() const { return m_serverId; }
  const Counters& counters() const { return m_counters; }
  std::size_t clientCount() const { return m_clients.size(); }

 private:
  uint32_t resolve(uint32_t server) const { return server == 0xFFFFFFFFu ? m_serverId : server; }

  void subscribe(ClientSession& client, const Pair& pair);
  void unsubscribe(ClientSession& client, const Pair& pair);
  void publish(ClientSession& client, const Pair& pair);
  void retract(ClientSession& client, const Pair& pair);
  // `list` is `request` already read; the text is forwarded unchanged.
  void routeEvent(ClientSession& from, std::string_view request, const ParamsView& list);
  void completion(ClientSession& client, const ParamsView& fields);

  // Queues `request` for `to`; a refused droppable request marks the pair so
  // that the subscriber is told of the gap before its next event.
  bool deliver(ClientSession& to, std::string_view request, bool droppable);
  void tellBase(ClientSession& to, uint32_t server);
  void tellPosition(ClientSession& to, const Pair& pair, unsigned long long seqNo);
  void notifyPublishers(const Pair& pair, bool published, ClientSession* only);

  const uint32_t m_serverId;
  const unsigned long long m_seqNoBase;
  const QueueLimits m_limits;
  const std::chrono::steady_clock::time_point m_started = std::chrono::steady_clock::now();

  std::map<uint64_t, ClientSession*> m_clients;
  // Client numbers ascend with connection order, so routing order is stable.
  std::map<Pair, std::set<uint64_t>> m_subscribers;
  std::map<Pair, std::set<uint64_t>> m_publishers;
  std::map<Pair, unsigned long long> m_lastSeqNo;
  Counters m_counters;
  // The pair of the event being routed; kept so that its category's storage
  // is reused from event to event.
  Pair m_eventPair;
};

}  // namespace evt::service
