// Cost of issuing a sequence number, alone and with a second process
// issuing numbers of the same category, beside a baseline measured in the
// same run: a bare robust process-shared pthread mutex guarding an increment
// in shared memory. The "x_baseline" counter is the ratio to that baseline
// under the same contention (goal: within 2x).
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <benchmark/benchmark.h>

#include "Service/CategorySeqNo.h"
#include "bench/BenchIsolation.h"
#include "platform/CPortable.h"

namespace {

struct SharedCounter {
  pthread_mutex_t mutex;
  uint64_t value;
  std::atomic<int> stop;
};

SharedCounter* newSharedCounter() {
  void* memory = mmap(nullptr, sizeof(SharedCounter), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) std::abort();
  auto* counter = new (memory) SharedCounter();
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_init(&counter->mutex, &attributes);
  return counter;
}

void bareIncrement(SharedCounter* counter) {
  if (pthread_mutex_lock(&counter->mutex) == EOWNERDEAD) pthread_mutex_consistent(&counter->mutex);
  ++counter->value;
  pthread_mutex_unlock(&counter->mutex);
}

// Runs `work` in a forked child until stopChild() is called.
class Contender {
 public:
  Contender(bool active, SharedCounter* flag, void (*work)(SharedCounter*)) : m_flag(flag) {
    if (!active) return;
    m_flag->stop.store(0);
    m_pid = fork();
    if (m_pid == 0) {
      while (m_flag->stop.load() == 0) work(m_flag);
      _exit(0);
    }
  }
  ~Contender() {
    if (m_pid <= 0) return;
    m_flag->stop.store(1);
    waitpid(m_pid, nullptr, 0);
  }

 private:
  SharedCounter* m_flag;
  pid_t m_pid = -1;
};

CCategorySeqNo* g_store = nullptr;
void storeIncrement(SharedCounter*) {
  unsigned long long n;
  g_store->getNextSeqNo("bench", &n);
}

double nsPerOp(void (*op)(SharedCounter*), SharedCounter* counter, int iterations) {
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < iterations; ++i) op(counter);
  return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() / iterations;
}

// range(0): 1 with a second process contending, 0 alone.
void BM_BaselineRobustMutexIncrement(benchmark::State& state) {
  SharedCounter* counter = newSharedCounter();
  {
    Contender contender(state.range(0) != 0, counter, bareIncrement);
    for (auto _ : state) bareIncrement(counter);
  }
  benchmark::DoNotOptimize(counter->value);
  munmap(counter, sizeof(SharedCounter));
}

void BM_GetNextSeqNo(benchmark::State& state) {
  evt::bench::isolate();
  CCategorySeqNo store;
  g_store = &store;
  SharedCounter* counter = newSharedCounter();
  double baseline = 0, own = 0;
  {
    Contender contender(state.range(0) != 0, counter, bareIncrement);
    baseline = nsPerOp(bareIncrement, counter, 200000);
  }
  {
    Contender contender(state.range(0) != 0, counter, storeIncrement);
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) storeIncrement(counter);
    own = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
          static_cast<double>(state.iterations());
  }
  state.counters["baseline_ns"] = baseline;
  state.counters["x_baseline"] = own / baseline;
  munmap(counter, sizeof(SharedCounter));
  g_store = nullptr;
}

}  // namespace

BENCHMARK(BM_BaselineRobustMutexIncrement)->Arg(0)->Arg(1)->ArgName("contended");
BENCHMARK(BM_GetNextSeqNo)->Arg(0)->Arg(1)->ArgName("contended")->Iterations(200000);

BENCHMARK_MAIN();
