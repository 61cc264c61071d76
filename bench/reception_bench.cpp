// Events through reception (gap check, key-range lookup, pattern matching,
// delivery) with 1, 100 and 10,000 subscriptions under the event's key, the
// matching one filed last; and the host's deliverEvent. Baselines measured in
// the same run: decoding the same event text alone, and issuing a number from
// the store alone. "x_baseline" is the ratio to the baseline.
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include <benchmark/benchmark.h>

#include "Library/CEventLib.h"
#include "Library/CEventLibImpl.h"
#include "Utilities/CParamsX.h"
#include "bench/BenchIsolation.h"
#include "tests/support/EngineProbe.h"
#include "protocol/Protocol.h"

namespace {

class CountingHandler : public CEventHandler {
 public:
  long onDeliverEvent(const std::string&, const std::string&, const std::string&, unsigned long long,
                      unsigned long) override {
    ++m_count;
    return 0;
  }
  long m_count = 0;
};

std::string eventText(const std::string& keys, unsigned long long seqNo) {
  std::string request;
  evt::protocol::writeEventRequest(&request, "cat", keys,
                                   "payload of an ordinary size, some sixty-four bytes or so......", 12, seqNo);
  return request;
}

std::string keysOf(const std::string& first) {
  CParamsX keys;
  keys.addParam(first);
  keys.addParam("second");
  return keys.paramList();
}

template <typename Op>
double nsPerOp(Op op, int iterations) {
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < iterations; ++i) op(i);
  return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() / iterations;
}

void BM_ReceiveEvent(benchmark::State& state) {
  evt::bench::isolate();
  const int subscriptions = static_cast<int>(state.range(0));
  CountingHandler handler;
  CEventLib client("bench", &handler, nullptr, nullptr);
  CEventLibImpl* engine = client.engine();
  for (int i = 0; i < subscriptions; ++i) {
    CParamsX patterns;
    patterns.addParam("k" + std::to_string(i));
    engine->subscribe("cat", patterns.paramList(), 12, nullptr);
  }
  const std::string keys = keysOf("k" + std::to_string(subscriptions - 1));
  double baseline = nsPerOp(
      [&](int i) {
        CParamsX list(eventText(keys, static_cast<unsigned long long>(i) + 1));
        CParamsX event(list.getstringParamAt(1));
        benchmark::DoNotOptimize(event.getstringParamAt(2));
      },
      20000);
  unsigned long long seqNo = 0;
  auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    const std::string text = eventText(keys, ++seqNo);
    EngineProbe::dispatch(*engine, text);
  }
  double own = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
               static_cast<double>(state.iterations());
  if (handler.m_count != static_cast<long>(state.iterations())) state.SkipWithError("events were not delivered");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.counters["baseline_ns"] = baseline;
  state.counters["x_baseline"] = own / baseline;
}

void BM_DeliverEvent(benchmark::State& state) {
  evt::bench::isolate();
  CEventLib client("bench", nullptr, nullptr, nullptr);
  CEventLibImpl* engine = client.engine();
  EngineProbe::markConnected(*engine);  // queue as a registered client would
  CCategorySeqNo store;
  double baseline = nsPerOp(
      [&](int) {
        unsigned long long n;
        store.getNextSeqNo("out", &n);
      },
      100000);
  const std::string keys = keysOf("k");
  long i = 0;
  auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    engine->deliverEvent("out", keys, "payload");
    if (++i % 1000 == 0) EngineProbe::dropQueue(*engine);
  }
  double own = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
               static_cast<double>(state.iterations());
  state.counters["baseline_ns"] = baseline;
  state.counters["x_baseline"] = own / baseline;
}

}  // namespace

BENCHMARK(BM_ReceiveEvent)->Arg(1)->Arg(100)->Arg(10000)->ArgName("subscriptions");
BENCHMARK(BM_DeliverEvent);

BENCHMARK_MAIN();
