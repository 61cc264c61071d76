// Encode and parse speed of parameter lists, in items per second, beside a
// baseline that only appends the same bytes to a string.
#include <string>

#include <benchmark/benchmark.h>

#include "Utilities/CParamsX.h"
#include "protocol/Protocol.h"

namespace {

std::string eventText(int items, std::size_t valueSize) {
  CParamsX list;
  std::string value(valueSize, 'v');
  for (int i = 0; i < items; ++i) list.addParam(value);
  return list.paramListRef();
}

void BM_BaselineAppend(benchmark::State& state) {
  std::string value(static_cast<std::size_t>(state.range(1)), 'v');
  for (auto _ : state) {
    std::string text;
    for (int i = 0; i < state.range(0); ++i) {
      text += value;
      text += ';';
    }
    benchmark::DoNotOptimize(text);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_Encode(benchmark::State& state) {
  std::string value(static_cast<std::size_t>(state.range(1)), 'v');
  for (auto _ : state) {
    CParamsX list;
    for (int i = 0; i < state.range(0); ++i) list.addParam(value);
    benchmark::DoNotOptimize(list.paramListRef());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_ParseAndRead(benchmark::State& state) {
  std::string text = eventText(static_cast<int>(state.range(0)), static_cast<std::size_t>(state.range(1)));
  for (auto _ : state) {
    CParamsX list(text);
    for (unsigned long i = 0; i < list.count(); ++i) benchmark::DoNotOptimize(list.getstringParamAt(i));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_NestedEvent(benchmark::State& state) {
  // One "event" request as the engine queues it: [name, [category, keys, data, server], number].
  std::string data(100, 'd');
  for (auto _ : state) {
    CParamsX fields;
    fields.addParam("category");
    fields.addParam("key1,key2");
    fields.addParam(data);
    fields.addParam(12L);
    CParamsX request;
    request.addParam(std::string(evt::protocol::kEvent));
    request.addParam(fields.paramListRef());
    request.addParam(123456789ull);
    CParamsX back(request.paramListRef());
    CParamsX inner(back.getstringParamAt(1));
    benchmark::DoNotOptimize(inner.getstringParamAt(2));
  }
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_BaselineAppend)->Args({16, 8})->Args({16, 1000});
BENCHMARK(BM_Encode)->Args({16, 8})->Args({16, 1000});
BENCHMARK(BM_ParseAndRead)->Args({16, 8})->Args({16, 1000});
BENCHMARK(BM_NestedEvent);
BENCHMARK_MAIN();
