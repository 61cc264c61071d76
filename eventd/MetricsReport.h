// The service's state as Prometheus text (exposition format 0.0.4): every
// line of the status as a counter or gauge with its HELP and TYPE, gauges of
// the pairs that hold the most events (at most kMetricsPairs of them), and
// the histograms of how long events stay in eventd and how long publishers
// are held back. Built on the service loop's thread; the metrics endpoint
// serves the text from its own.
#pragma once

#include <cstddef>
#include <string>

#include "eventd/LatencyHistogram.h"

namespace evt::service {

class Router;

// How many pairs get gauges of their own: those with the most events held,
// then the most subscribers. The rest are counted in eventd_pairs_omitted.
inline constexpr std::size_t kMetricsPairs = 50;

// What the service loop times besides the router's counters.
struct ServiceTimings {
  // From an event's arrival to its being written to a subscriber, one
  // observation per copy delivered.
  LatencyHistogram residence;
  // How long each held-back answer made its publisher wait.
  LatencyHistogram backpressure;
};

class MetricsReport {
 public:
  // Both outlive the report.
  MetricsReport(const Router& router, const ServiceTimings& timings) : m_router(router), m_timings(timings) {}

  std::string text() const;

 private:
  void appendStatus(std::string* out) const;
  void appendPairs(std::string* out) const;

  const Router& m_router;
  const ServiceTimings& m_timings;
};

}  // namespace evt::service
