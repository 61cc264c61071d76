#include "eventd/Router.h"

#include <cinttypes>
#include <cstdio>

#include "Library/EngineText.h"
#include "Utilities/CParamsX.h"
#include "Utilities/ParamsView.h"
#include "eventd/ServiceLog.h"
#include "platform/linux/Frame.h"

namespace evt::service {
namespace {

using engine::addNumber;
using engine::numberAt;

// [name, [category, server]]: a "publish" or "retract" notice.
std::string notice(const char* name, const Pair& pair) {
  CParamsX fields;
  fields.addParam(pair.category);
  addNumber(fields, pair.server);
  CParamsX request;
  request.addParam(name);
  request.addParam(fields.paramListRef());
  return request.takeParamList();
}

// A request list must leave room for its length prefix in one frame.
constexpr std::size_t kMaxRequestSize = channel::kMaxFrameData - 64;

}  // namespace

Router::Router(uint32_t serverId, unsigned long long seqNoBase, QueueLimits limits)
    : m_serverId(serverId), m_seqNoBase(seqNoBase), m_limits(limits) {}

void Router::addClient(ClientSession* client) {
  m_clients[client->number()] = client;
  ++m_counters.clientsTotal;
}

void Router::removeClient(ClientSession* client) {
  for (const auto& subscription : client->subscriptions) {
    auto it = m_subscribers.find(subscription.first);
    if (it == m_subscribers.end()) continue;
    it->second.erase(client->number());
    if (it->second.empty()) m_subscribers.erase(it);
  }
  client->subscriptions.clear();
  const std::set<Pair> publications = client->publications;
  for (const Pair& pair : publications) retract(*client, pair);
  m_clients.erase(client->number());
}

void Router::handleQueue(ClientSession& client, const std::string& text) {
  const ParamsView requests(text);
  if (requests.count() == 0 && !text.empty()) {
    ++m_counters.malformed;
    logError("client #%" PRIu64 " (%s) sent an unreadable queue of %zu bytes", client.number(), client.name.c_str(),
             text.size());
    return;
  }
  for (std::size_t i = 0; i < requests.count(); ++i) {
    const std::string_view requestText = requests.itemAt(i);
    const ParamsView request(requestText);
    const std::string_view name = request.itemAt(0);
    if (name == "event") {
      routeEvent(client, requestText, request);
      continue;
    }
    const ParamsView fields(request.itemAt(1));
    if (name == "subscribe" || name == "unsubscribe") {
      if (fields.count() < 2) {
        ++m_counters.malformed;
        continue;
      }
      const Pair pair{resolve(numberAt(fields, 0)), fields.getstringParamAt(1)};
      if (name == "subscribe") {
        subscribe(client, pair);
      } else {
        unsubscribe(client, pair);
      }
    } else if (name == "publish" || name == "retract") {
      if (fields.count() < 2 || fields.itemAt(0).empty()) {
        ++m_counters.malformed;
        continue;
      }
      const Pair pair{resolve(numberAt(fields, 1)), fields.getstringParamAt(0)};
      if (name == "publish") {
        publish(client, pair);
      } else {
        retract(client, pair);
      }
    } else if (name == "completion-id") {
      completion(client, fields);
    } else if (name == "dump") {
      logInfo("dump requested by client #%" PRIu64 " (%s)\n%s", client.number(), client.name.c_str(),
              dumpText().c_str());
    } else if (name == "reportconnectivity") {
      client.hasConnectivity = true;
      client.connectivity = static_cast<int32_t>(numberAt(fields, 0));
      logInfo("client #%" PRIu64 " (%s) reports connectivity %d", client.number(), client.name.c_str(),
              static_cast<int>(client.connectivity));
    } else {
      ++m_counters.malformed;
    }
  }
}

void Router::subscribe(ClientSession& client, const Pair& pair) {
  // A set: the replay may repeat a subscription, and that changes nothing.
  if (!client.subscriptions.emplace(pair, false).second) return;
  m_subscribers[pair].insert(client.number());
  if (m_publishers.count(pair) != 0) deliver(client, notice("publish", pair), false);
}

void Router::unsubscribe(ClientSession& client, const Pair& pair) {
  if (client.subscriptions.erase(pair) == 0) return;
  auto it = m_subscribers.find(pair);
  if (it == m_subscribers.end()) return;
  it->second.erase(client.number());
  if (it->second.empty()) m_subscribers.erase(it);
}

void Router::publish(ClientSession& client, const Pair& pair) {
  if (!client.publications.insert(pair).second) return;
  std::set<uint64_t>& publishers = m_publishers[pair];
  publishers.insert(client.number());
  if (publishers.size() == 1) notifyPublishers(pair, true, nullptr);
}

void Router::retract(ClientSession& client, const Pair& pair) {
  if (client.publications.erase(pair) == 0) return;
  auto it = m_publishers.find(pair);
  if (it == m_publishers.end()) return;
  it->second.erase(client.number());
  if (!it->second.empty()) return;
  m_publishers.erase(it);
  notifyPublishers(pair, false, &client);
}

void Router::notifyPublishers(const Pair& pair, bool published, ClientSession* leaving) {
  auto it = m_subscribers.find(pair);
  if (it == m_subscribers.end()) return;
  const std::string request = notice(published ? "publish" : "retract", pair);
  for (uint64_t number : it->second) {
    auto client = m_clients.find(number);
    if (client != m_clients.end() && client->second != leaving) deliver(*client->second, request, false);
  }
}

void Router::routeEvent(ClientSession& from, std::string_view request, const ParamsView& list) {
  const ParamsView fields(list.itemAt(1));
  if (fields.count() < 4 || request.size() > kMaxRequestSize) {
    ++m_counters.malformed;
    return;
  }
  ++m_counters.eventsIn;
  ++from.counters.eventsIn;
  m_eventPair.server = resolve(numberAt(fields, 3));
  const std::string_view category = fields.itemAt(0);
  m_eventPair.category.assign(category.data(), category.size());
  const Pair& pair = m_eventPair;
  const unsigned long long seqNo = list.getULONGLONGParamAt(2);
  m_lastSeqNo[pair] = seqNo;
  auto subscribers = m_subscribers.find(pair);
  if (subscribers == m_subscribers.end()) return;
  for (uint64_t number : subscribers->second) {
    ClientSession& to = *m_clients.at(number);
    bool& told = to.subscriptions[pair];
    if (!told) {
      // The first event since subscribing (or since a drop): say where the
      // pair stood just before it, so that a fresh subscriber sees no gap
      // and one that lost events hears of it once and still gets this one.
      tellPosition(to, pair, seqNo);
      if (!told) continue;
    }
    if (deliver(to, request, true)) ++m_counters.eventsOut;
  }
}

void Router::tellBase(ClientSession& to, uint32_t server) {
  if (server != m_serverId || !to.basesSent.insert(server).second) return;
  CParamsX request;
  request.addParam("set-seqno-base");
  request.addParam(m_seqNoBase);
  addNumber(request, server);
  deliver(to, request.takeParamList(), false);
}

void Router::tellPosition(ClientSession& to, const Pair& pair, unsigned long long seqNo) {
  tellBase(to, pair.server);
  CParamsX fields;
  fields.addParam(pair.category);
  fields.addParam(seqNo > 0 ? seqNo - 1 : 0ULL);
  CParamsX request;
  request.addParam("check-event-seqno");
  request.addParam(fields.paramListRef());
  addNumber(request, pair.server);
  // Room for the event too, or the check waits for a later event.
  if (to.pendingCount() + 2 > m_limits.requests) {
    ++m_counters.dropped;
    ++to.counters.dropped;
    return;
  }
  deliver(to, request.takeParamList(), true);
  to.subscriptions[pair] = true;
}

bool Router::deliver(ClientSession& to, std::string_view request, bool droppable) {
  if (to.enqueue(request, droppable, m_limits)) return true;
  ++m_counters.dropped;
  if (to.counters.dropped == 1 || to.counters.dropped % 10000 == 0) {
    logError("client #%" PRIu64 " (%s) does not keep up: %" PRIu64 " requests dropped so far", to.number(),
             to.name.c_str(), to.counters.dropped);
  }
  // Every pair this client subscribes to may have lost an event: the next
  // event of each is preceded by a check that reports the gap.
  for (auto& subscription : to.subscriptions) subscription.second = false;
  return false;
}

void Router::completion(ClientSession& client, const ParamsView& fields) {
  // Everything the client queued before this request has been routed by now.
  CParamsX numbers;
  addNumber(numbers, numberAt(fields, 0));
  addNumber(numbers, 0);
  CParamsX request;
  request.addParam("completed");
  request.addParam(numbers.paramListRef());
  ++m_counters.completions;
  deliver(client, request.takeParamList(), false);
}

std::string Router::statusText() const {
  const auto uptime = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - m_started);
  std::size_t pending = 0;
  for (const auto& client : m_clients) pending += client.second->pendingCount();
  char text[1024];
  std::snprintf(text, sizeof text,
                "server-id %u\nseqno-base %llu\nuptime-ms %lld\nclients %zu\nclients-total %" PRIu64
                "\nsubscribed-pairs %zu\npublished-pairs %zu\nevents-in %" PRIu64 "\nevents-out %" PRIu64
                "\ncompletions %" PRIu64 "\npending %zu\ndropped %" PRIu64 "\nmalformed %" PRIu64 "\n",
                static_cast<unsigned>(m_serverId), m_seqNoBase, static_cast<long long>(uptime.count()),
                m_clients.size(), m_counters.clientsTotal, m_subscribers.size(), m_publishers.size(),
                m_counters.eventsIn, m_counters.eventsOut, m_counters.completions, pending, m_counters.dropped,
                m_counters.malformed);
  return text;
}

std::string Router::dumpText() const {
  std::string text = statusText();
  char line[512];
  for (const auto& entry : m_clients) {
    const ClientSession& client = *entry.second;
    std::snprintf(line, sizeof line,
                  "client #%" PRIu64 " name \"%s\" pid %d peer-pid %d pending %zu dropped %" PRIu64
                  " events-in %" PRIu64 " requests-out %" PRIu64 "%s\n",
                  client.number(), client.name.c_str(), client.reportedPid, client.peerPid(), client.pendingCount(),
                  client.counters.dropped, client.counters.eventsIn, client.counters.requestsOut,
                  client.awaitedAnswer != 0 ? " (awaiting answer)" : "");
    text += line;
    for (const auto& subscription : client.subscriptions) {
      std::snprintf(line, sizeof line, "  subscribes server %u category \"%s\"\n",
                    static_cast<unsigned>(subscription.first.server), subscription.first.category.c_str());
      text += line;
    }
    for (const Pair& pair : client.publications) {
      std::snprintf(line, sizeof line, "  publishes server %u category \"%s\"\n", static_cast<unsigned>(pair.server),
                    pair.category.c_str());
      text += line;
    }
  }
  for (const auto& last : m_lastSeqNo) {
    std::snprintf(line, sizeof line, "last event server %u category \"%s\" seqno %llu\n",
                  static_cast<unsigned>(last.first.server), last.first.category.c_str(), last.second);
    text += line;
  }
  return text;
}

}  // namespace evt::service
