// A histogram of durations with fixed bucket bounds from 5 µs to 10 s, as
// the metrics endpoint shows it: counts per bucket (not cumulative here),
// the count and the sum. Observing costs a few comparisons and no
// allocation. Used on the service loop's thread only.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>

namespace evt::service {

class LatencyHistogram {
 public:
  // Upper bounds in nanoseconds; a last bucket takes what lies above.
  static constexpr std::array<int64_t, 20> kBoundsNs = {
      5'000,       10'000,      25'000,      50'000,        100'000,       250'000,      500'000,
      1'000'000,   2'500'000,   5'000'000,   10'000'000,    25'000'000,    50'000'000,   100'000'000,
      250'000'000, 500'000'000, 1'000'000'000, 2'500'000'000, 5'000'000'000, 10'000'000'000};

  void observe(std::chrono::nanoseconds duration) {
    const int64_t ns = duration.count() < 0 ? 0 : duration.count();
    std::size_t bucket = 0;
    while (bucket < kBoundsNs.size() && ns > kBoundsNs[bucket]) ++bucket;
    ++m_counts[bucket];
    ++m_count;
    m_sumNs += static_cast<uint64_t>(ns);
  }

  // Observations in bucket `i` alone (i == kBoundsNs.size(): above the last bound).
  uint64_t bucketCount(std::size_t i) const { return m_counts[i]; }
  uint64_t count() const { return m_count; }
  double sumSeconds() const { return static_cast<double>(m_sumNs) / 1e9; }

 private:
  std::array<uint64_t, kBoundsNs.size() + 1> m_counts{};
  uint64_t m_count = 0;
  uint64_t m_sumNs = 0;
};

}  // namespace evt::service
