#include "eventd/MetricsReport.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <optional>
#include <string_view>
#include <vector>

#include "eventd/Router.h"
#include "eventd/ServiceLog.h"

namespace evt::service {
namespace {

enum class Kind { kCounter, kGauge, kMsCounter, kMsGauge };

// A status line and the metric it is shown as. Counters get "_total";
// lines in milliseconds are shown in seconds, as Prometheus names expect.
struct StatusMetric {
  std::string_view key;
  const char* name;
  Kind kind;
  const char* help;
};

constexpr StatusMetric kStatusMetrics[] = {
    {"uptime-ms", "eventd_uptime_seconds", Kind::kMsGauge, "Time since eventd started."},
    {"clients", "eventd_clients", Kind::kGauge, "Clients connected now."},
    {"clients-total", "eventd_clients_connected", Kind::kCounter, "Clients that connected."},
    {"subscribed-pairs", "eventd_subscribed_pairs", Kind::kGauge, "Pairs (server, category) with subscribers."},
    {"published-pairs", "eventd_published_pairs", Kind::kGauge, "Pairs with publishers on this machine."},
    {"events-in", "eventd_events_in", Kind::kCounter, "Events received from publishers."},
    {"events-out", "eventd_events_out", Kind::kCounter, "Event copies queued for subscribers."},
    {"completions", "eventd_completions", Kind::kCounter, "Completion requests answered."},
    {"pending", "eventd_pending_requests", Kind::kGauge, "Requests queued for clients, not yet sent."},
    {"dropped", "eventd_dropped_requests", Kind::kCounter, "Requests a full client queue refused."},
    {"malformed", "eventd_malformed_requests", Kind::kCounter, "Requests that could not be read."},
    {"held", "eventd_events_held", Kind::kGauge, "Events held now for a missing number."},
    {"held-total", "eventd_holds", Kind::kCounter, "Events that were held for a missing number."},
    {"released-by-timeout", "eventd_numbers_given_up", Kind::kCounter, "Missing numbers given up."},
    {"gaps-given-up", "eventd_gaps_given_up", Kind::kCounter, "Gaps the given-up numbers made."},
    {"late-dropped", "eventd_late_dropped", Kind::kCounter, "Events that came after their number was given up."},
    {"made-up-dropped", "eventd_made_up_dropped", Kind::kCounter,
     "Events numbered beyond what the store had issued."},
    {"before-subscription", "eventd_before_subscription", Kind::kCounter,
     "Events numbered before their pair had subscribers."},
    {"series-restarted", "eventd_series_restarted", Kind::kCounter,
     "Series started again because the store's number went back."},
    {"backpressure-ms", "eventd_backpressure_seconds", Kind::kMsCounter,
     "Time publishers' answers were held back for congested subscribers."},
    {"refused", "eventd_refused_events", Kind::kCounter,
     "Events in another server's name or of the service's own category."},
    {"refused-subscriptions", "eventd_refused_registrations", Kind::kCounter,
     "Subscriptions and publications over a client's limits."},
    {"monitors", "eventd_monitors", Kind::kGauge, "Monitors connected now."},
    {"monitor-dropped", "eventd_monitor_dropped", Kind::kCounter, "Copies a monitor's full queue refused."},
    {"dumps-skipped", "eventd_dumps_skipped", Kind::kCounter, "Dump requests within a second of the client's last."},
    {"bad-frames", "eventd_bad_frames", Kind::kCounter, "Frames that could not be read."},
    {"memory-held", "eventd_memory_held_bytes", Kind::kGauge, "Bytes queued for and received from clients."},
    {"memory-limit", "eventd_memory_limit_bytes", Kind::kGauge, "The bound on memory-held (--max-memory)."},
    {"memory-refused", "eventd_memory_refused_events", Kind::kCounter, "Events refused for the memory bound."},
    {"connections-refused", "eventd_connections_refused", Kind::kCounter, "Connections refused for a limit."},
    {"dumps-refused", "eventd_dumps_refused", Kind::kCounter, "Dumps refused while the last was being sent."},
    {"queues-shed", "eventd_queues_shed", Kind::kCounter,
     "Times a stalled client's queued events were shed for memory."},
    {"federation-events-in", "eventd_federation_events_in", Kind::kCounter, "Events of other servers received."},
    {"federation-events-out", "eventd_federation_events_out", Kind::kCounter,
     "Events of this server sent to other servers."},
    {"federation-late", "eventd_federation_late", Kind::kCounter, "Events of other servers that came too late."},
    {"federation-followed-here", "eventd_federation_followed_here", Kind::kGauge,
     "Pairs of this server that other servers follow."},
    {"federation-followed-pairs", "eventd_federation_followed_pairs", Kind::kGauge,
     "Pairs of other servers followed here."},
    {"federation-messages-out", "eventd_federation_messages_out", Kind::kCounter, "Messages sent to NATS."},
    {"federation-messages-in", "eventd_federation_messages_in", Kind::kCounter, "Messages received from NATS."},
    {"federation-send-failures", "eventd_federation_send_failures", Kind::kCounter, "Messages NATS did not take."},
    {"federation-receive-drops", "eventd_federation_receive_drops", Kind::kCounter,
     "Messages NATS dropped before eventd read them."},
    {"federation-stream-resumes", "eventd_federation_stream_resumes", Kind::kCounter,
     "Followed pairs taken up again in their server's stream after the last message handled."},
    {"federation-stream-unstored", "eventd_federation_stream_unstored", Kind::kGauge,
     "Messages of this server its stream has not yet said it stored."},
};

void appendHeader(std::string* out, std::string_view name, const char* type, const char* help) {
  out->append("# HELP ").append(name).append(" ").append(help).append("\n# TYPE ").append(name);
  out->append(" ").append(type).append("\n");
}

// A label value: printable ASCII (as the dump shows names) with '\' and '"' escaped.
std::string labelValue(std::string_view text) {
  std::string value;
  for (char c : printable(text)) {
    if (c == '\\' || c == '"') value += '\\';
    value += c;
  }
  return value;
}

std::string seconds(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", value);
  return text;
}

void appendHistogram(std::string* out, const char* name, const char* help, const LatencyHistogram& histogram) {
  appendHeader(out, name, "histogram", help);
  uint64_t cumulative = 0;
  char line[160];
  for (std::size_t i = 0; i <= LatencyHistogram::kBoundsNs.size(); ++i) {
    cumulative += histogram.bucketCount(i);
    const std::string bound = i < LatencyHistogram::kBoundsNs.size()
                                  ? seconds(static_cast<double>(LatencyHistogram::kBoundsNs[i]) / 1e9)
                                  : std::string("+Inf");
    std::snprintf(line, sizeof line, "%s_bucket{le=\"%s\"} %" PRIu64 "\n", name, bound.c_str(), cumulative);
    out->append(line);
  }
  out->append(name).append("_sum ").append(seconds(histogram.sumSeconds())).append("\n");
  out->append(name).append("_count ").append(std::to_string(histogram.count())).append("\n");
}

}  // namespace

std::string MetricsReport::text() const {
  std::string out;
  out.reserve(16384);
  appendStatus(&out);
  appendPairs(&out);
  appendHistogram(&out, "eventd_event_residence_seconds",
                  "Time from an event's arrival to its being written to a subscriber, per copy.", m_timings.residence);
  appendHistogram(&out, "eventd_backpressure_wait_seconds",
                  "Time each held-back answer made its publisher wait.", m_timings.backpressure);
  return out;
}

void MetricsReport::appendStatus(std::string* out) const {
  const std::string status = m_router.statusText();
  std::string serverId, seqNoBase, federation, federationUrl;
  std::string_view rest = status;
  while (!rest.empty()) {
    const std::size_t end = std::min(rest.find('\n'), rest.size());
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos) continue;
    const std::string_view key = line.substr(0, space);
    const std::string_view value = line.substr(space + 1);
    if (key == "server-id") {
      serverId = value;
    } else if (key == "seqno-base") {
      seqNoBase = value;  // beyond a double's exact range: a label, not a sample
    } else if (key == "federation") {
      federation = value;
    } else if (key == "federation-connected") {
      federationUrl = value == "no" ? std::string() : std::string(value);
      appendHeader(out, "eventd_federation_connected", "gauge", "1 while eventd is connected to a NATS server.");
      out->append("eventd_federation_connected{url=\"" + labelValue(federationUrl) + "\"} " +
                  (federationUrl.empty() ? "0" : "1") + "\n");
    } else if (key == "federation-stream") {
      appendHeader(out, "eventd_federation_stream_kept", "gauge",
                   "1 once the cluster made or confirmed this server's stream.");
      out->append(std::string("eventd_federation_stream_kept ") + (value == "kept" ? "1" : "0") + "\n");
    } else if (key == "federation-servers") {
      const std::size_t heard = value == "none" ? 0 : 1 + std::count(value.begin(), value.end(), ',');
      appendHeader(out, "eventd_federation_servers_heard", "gauge", "Other servers heard on the federation.");
      out->append("eventd_federation_servers_heard " + std::to_string(heard) + "\n");
    } else {
      const auto known = std::find_if(std::begin(kStatusMetrics), std::end(kStatusMetrics),
                                      [&](const StatusMetric& metric) { return metric.key == key; });
      // A line without an entry of its own still shows, as a gauge.
      std::string generic = "eventd_" + std::string(key);
      std::replace(generic.begin(), generic.end(), '-', '_');
      const StatusMetric metric = known != std::end(kStatusMetrics)
                                      ? *known
                                      : StatusMetric{key, generic.c_str(), Kind::kGauge, "A line of evt status."};
      const bool counter = metric.kind == Kind::kCounter || metric.kind == Kind::kMsCounter;
      const bool inMs = metric.kind == Kind::kMsCounter || metric.kind == Kind::kMsGauge;
      const std::string name = std::string(metric.name) + (counter ? "_total" : "");
      const double number = std::strtod(std::string(value).c_str(), nullptr);
      appendHeader(out, name, counter ? "counter" : "gauge", metric.help);
      out->append(name).append(" ").append(inMs ? seconds(number / 1000) : std::string(value)).append("\n");
    }
  }
  appendHeader(out, "eventd_info", "gauge",
               "Always 1; the labels tell the version, server id, sequence-number base and federation.");
  out->append("eventd_info{version=\"" + labelValue(EVT_VERSION) + "\",server_id=\"" + serverId +
              "\",seqno_base=\"" + seqNoBase + "\",federation=\"" + labelValue(federation) + "\"} 1\n");
}

void MetricsReport::appendPairs(std::string* out) const {
  struct PairState {
    const Pair* pair;
    std::size_t subscribers = 0;
    std::size_t held = 0;
    std::size_t heldBytes = 0;
    uint64_t numbered = 0;  // the last number less the server's base
  };
  std::vector<PairState> pairs;
  pairs.reserve(m_router.m_sequencers.size());
  // Every pair with a follower has a sequencer; its subscribers and last
  // number are looked up beside it.
  for (const auto& entry : m_router.m_sequencers) {
    PairState state{&entry.first};
    state.held = entry.second.heldCount();
    state.heldBytes = entry.second.heldBytes();
    const auto subscribers = m_router.m_subscribers.find(entry.first);
    if (subscribers != m_router.m_subscribers.end()) state.subscribers = subscribers->second.size();
    const auto last = m_router.m_lastSeqNo.find(entry.first);
    const std::optional<unsigned long long> base = m_router.baseOf(entry.first.server);
    if (last != m_router.m_lastSeqNo.end() && base && last->second > *base) {
      state.numbered = last->second - *base;
    }
    pairs.push_back(state);
  }
  const std::size_t shown = std::min(pairs.size(), kMetricsPairs);
  std::partial_sort(pairs.begin(), pairs.begin() + static_cast<std::ptrdiff_t>(shown), pairs.end(),
                    [](const PairState& a, const PairState& b) {
                      if (a.held != b.held) return a.held > b.held;
                      if (a.subscribers != b.subscribers) return a.subscribers > b.subscribers;
                      return *a.pair < *b.pair;
                    });
  pairs.resize(shown);
  std::sort(pairs.begin(), pairs.end(), [](const PairState& a, const PairState& b) { return *a.pair < *b.pair; });
  const struct {
    const char* name;
    const char* help;
    std::size_t PairState::*field;
  } gauges[] = {
      {"eventd_pair_subscribers", "Subscribers of the pair.", &PairState::subscribers},
      {"eventd_pair_held_events", "Events of the pair held for a missing number.", &PairState::held},
      {"eventd_pair_held_bytes", "Bytes of the pair's held events.", &PairState::heldBytes},
  };
  std::vector<std::string> labels;
  for (const PairState& state : pairs) {
    labels.push_back("{server=\"" + std::to_string(state.pair->server) + "\",category=\"" +
                     labelValue(state.pair->category) + "\"}");
  }
  for (const auto& gauge : gauges) {
    appendHeader(out, gauge.name, "gauge", gauge.help);
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      out->append(gauge.name).append(labels[i]).append(" ").append(std::to_string(pairs[i].*gauge.field)).append("\n");
    }
  }
  appendHeader(out, "eventd_pair_numbered_total", "counter",
               "The pair's last number routed, less its server's base; its rate is the pair's events per second.");
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    out->append("eventd_pair_numbered_total").append(labels[i]).append(" ");
    out->append(std::to_string(pairs[i].numbered)).append("\n");
  }
  appendHeader(out, "eventd_pairs_omitted", "gauge", "Followed pairs left out of the eventd_pair_ metrics.");
  out->append("eventd_pairs_omitted " + std::to_string(m_router.m_sequencers.size() - shown) + "\n");
}

}  // namespace evt::service
