#include "eventd/StatusReport.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>

#include "common/Json.h"
#include "eventd/Router.h"
#include "eventd/ServiceLog.h"

namespace evt::service {
namespace {

// A dump stays readable and cheap whatever the tables hold: lines (entries
// in JSON) beyond kMaxDumpEntries are counted, not written.
constexpr std::size_t kMaxDumpEntries = 10000;

struct DumpRoom {
  std::size_t entries = 0;
  std::size_t omitted = 0;
  // Whether one more entry may be written; counts it as left out if not.
  bool operator()() { return entries++ < kMaxDumpEntries || (++omitted, false); }
};

}  // namespace

std::string StatusReport::status() const {
  const Router& router = m_router;
  const Router::Counters& counters = router.m_counters;
  const auto uptime =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - router.m_started);
  std::size_t clients = 0, pending = 0;
  for (const ClientSession& client : router.m_clients) {
    if (client.closing) continue;
    ++clients;
    pending += client.pendingCount();
  }
  char text[1536];
  std::snprintf(text, sizeof text,
                "server-id %u\nseqno-base %llu\nuptime-ms %lld\nclients %zu\nclients-total %" PRIu64
                "\nsubscribed-pairs %zu\npublished-pairs %zu\nevents-in %" PRIu64 "\nevents-out %" PRIu64
                "\ncompletions %" PRIu64 "\npending %zu\ndropped %" PRIu64 "\nmalformed %" PRIu64
                "\nheld %zu\nheld-total %" PRIu64 "\nreleased-by-timeout %" PRIu64 "\ngaps-given-up %" PRIu64
                "\nlate-dropped %" PRIu64 "\nmade-up-dropped %" PRIu64 "\nbefore-subscription %" PRIu64
                "\nseries-restarted %" PRIu64 "\nbackpressure-ms %" PRIu64
                "\nrefused %" PRIu64 "\nrefused-subscriptions %" PRIu64 "\nmonitors %zu\nmonitor-dropped %" PRIu64
                "\ndumps-skipped %" PRIu64 "\n",
                static_cast<unsigned>(router.m_serverId), router.m_seqNoBase, static_cast<long long>(uptime.count()),
                clients, counters.clientsTotal, router.m_subscribers.size(), router.m_publishers.size(),
                counters.eventsIn, counters.eventsOut, counters.completions, pending, counters.dropped,
                counters.malformed, router.m_heldNow, counters.held, counters.givenUp, counters.giveUps,
                counters.lateDropped, counters.madeUp, counters.beforeStart, counters.seriesRestarted,
                counters.backpressureMs, counters.refused, counters.refusedSubscriptions, router.m_monitors.size(),
                counters.monitorDropped, counters.dumpsSkipped);
  std::string lines = text + router.m_bridge.statusLines();
  return router.m_statusExtras ? lines + router.m_statusExtras() : lines;
}

std::string StatusReport::dumpText() const {
  std::string text = status();
  char line[512];
  DumpRoom room;
  for (const ClientSession& client : m_router.m_clients) {
    if (client.closing) continue;
    if (room()) {
      std::snprintf(line, sizeof line,
                    "client #%" PRIu64 " name \"%s\" pid %d peer-pid %d pending %zu dropped %" PRIu64
                    " events-in %" PRIu64 " requests-out %" PRIu64 " backpressure-ms %" PRIu64 "%s%s%s\n",
                    client.number(), client.name.c_str(), client.reportedPid, client.peerPid(), client.pendingCount(),
                    client.counters.dropped, client.counters.eventsIn, client.counters.requestsOut,
                    client.counters.backpressureMs, client.awaitsAnswer() ? " (awaiting answer)" : "",
                    client.answersHeld() ? " (answer held back)" : "", client.monitor.active ? " (monitor)" : "");
      text += line;
    }
    for (const auto& subscription : client.routing.subscriptions) {
      if (!room()) continue;
      std::snprintf(line, sizeof line, "  subscribes server %u category \"%s\" last-seqno %llu%s\n",
                    static_cast<unsigned>(subscription.first.server), printable(subscription.first.category).c_str(),
                    subscription.second.lastSeqNo, subscription.second.tailLost ? " (gap to report)" : "");
      text += line;
    }
    for (const Pair& pair : client.routing.publications) {
      if (!room()) continue;
      std::snprintf(line, sizeof line, "  publishes server %u category \"%s\"\n", static_cast<unsigned>(pair.server),
                    printable(pair.category).c_str());
      text += line;
    }
  }
  for (const auto& last : m_router.m_lastSeqNo) {
    if (!room()) continue;
    std::snprintf(line, sizeof line, "last event server %u category \"%s\" seqno %llu\n",
                  static_cast<unsigned>(last.first.server), printable(last.first.category).c_str(), last.second);
    text += line;
  }
  for (const auto& entry : m_router.m_sequencers) {
    if (!room()) continue;
    std::snprintf(line, sizeof line, "order server %u category \"%s\" next %llu held %zu held-bytes %zu\n",
                  static_cast<unsigned>(entry.first.server), printable(entry.first.category).c_str(),
                  entry.second.next(), entry.second.heldCount(), entry.second.heldBytes());
    text += line;
  }
  if (room.omitted != 0) text += std::to_string(room.omitted) + " more lines left out\n";
  return text;
}

std::string StatusReport::dumpJson() const {
  using evt::tool::jsonString;
  auto number = [](uint64_t value) { return std::to_string(value); };
  auto seqNo = [](unsigned long long value) { return "\"" + std::to_string(value) + "\""; };
  auto pairFields = [&](const Pair& pair) {
    return "\"server\":" + number(pair.server) + ",\"category\":" + jsonString(pair.category);
  };
  std::string text = "{\"status\":" + evt::tool::jsonObjectOfLines(status()) + ",\"clients\":[";
  DumpRoom room;
  for (const ClientSession& client : m_router.m_clients) {
    if (client.closing || !room()) continue;
    if (text.back() != '[') text += ',';
    text += "{\"number\":" + number(client.number()) + ",\"name\":" + jsonString(client.name) +
            ",\"pid\":" + std::to_string(client.reportedPid) + ",\"peer-pid\":" + std::to_string(client.peerPid()) +
            ",\"pending\":" + number(client.pendingCount()) + ",\"dropped\":" + number(client.counters.dropped) +
            ",\"events-in\":" + number(client.counters.eventsIn) +
            ",\"requests-out\":" + number(client.counters.requestsOut) +
            ",\"backpressure-ms\":" + number(client.counters.backpressureMs) +
            ",\"awaiting-answer\":" + (client.awaitsAnswer() ? "true" : "false") +
            ",\"answer-held\":" + (client.answersHeld() ? "true" : "false") +
            ",\"monitor\":" + (client.monitor.active ? "true" : "false") + ",\"subscribes\":[";
    for (const auto& subscription : client.routing.subscriptions) {
      if (!room()) continue;
      if (text.back() != '[') text += ',';
      text += "{" + pairFields(subscription.first) + ",\"last-seqno\":" + seqNo(subscription.second.lastSeqNo) +
              ",\"gap-to-report\":" + (subscription.second.tailLost ? "true" : "false") + "}";
    }
    text += "],\"publishes\":[";
    for (const Pair& pair : client.routing.publications) {
      if (room()) text += (text.back() != '[' ? ",{" : "{") + pairFields(pair) + "}";
    }
    text += "]}";
  }
  text += "],\"last-events\":[";
  for (const auto& last : m_router.m_lastSeqNo) {
    if (!room()) continue;
    text += (text.back() != '[' ? ",{" : "{") + pairFields(last.first) + ",\"seqno\":" + seqNo(last.second) + "}";
  }
  text += "],\"order\":[";
  for (const auto& entry : m_router.m_sequencers) {
    if (!room()) continue;
    text += (text.back() != '[' ? ",{" : "{") + pairFields(entry.first) + ",\"next\":" + seqNo(entry.second.next()) +
            ",\"held\":" + number(entry.second.heldCount()) + ",\"held-bytes\":" + number(entry.second.heldBytes()) +
            "}";
  }
  return text + "],\"omitted\":" + number(room.omitted) + "}";
}

}  // namespace evt::service
