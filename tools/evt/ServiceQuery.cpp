#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <vector>

#include "Library/CEResultCodes.h"
#include "common/Json.h"
#include "protocol/Protocol.h"
#include "tools/evt/Commands.h"
#include "tools/evt/EvtClient.h"
#include "tools/evt/ServiceChannel.h"

namespace evt::tool {

int queryService(const QueryOptions& options) {
  const unsigned command = options.command;
  const bool json = options.json;
  ServiceChannel service;
  if (!service.connect("evt", std::chrono::milliseconds(static_cast<long>(options.waitSeconds * 1000)))) {
    return noService();
  }
  std::string answer;
  const bool jsonDump = json && command == evt::protocol::kCommandDump;
  const long result = service.command(command, jsonDump ? "json" : "", &answer);
  if (result < 0) {
    std::fprintf(stderr, "evt: the service did not answer (0x%08X)\n", ce::wordFromResult(result));
    return 1;
  }
  if (json && !jsonDump) answer = jsonObjectOfLines(answer);
  std::fwrite(answer.data(), 1, answer.size(), stdout);
  if (json) std::fputc('\n', stdout);
  return 0;
}

int completeRoundTrips(double waitSeconds, long count, double intervalSeconds) {
  const auto wait = std::chrono::milliseconds(static_cast<long>(waitSeconds * 1000));
  if (!serviceAppears(wait)) return noService();
  EvtClient client("evt-complete", nullptr);
  if (!client.waitRegistered(wait)) return noService();
  std::vector<long long> samples;
  for (long i = 0; i < count && !g_interrupted; ++i) {
    // The pause ends early on an interrupt.
    const auto resume = std::chrono::steady_clock::now() +
                        std::chrono::microseconds(static_cast<long long>(i > 0 ? intervalSeconds * 1e6 : 0));
    while (!g_interrupted && std::chrono::steady_clock::now() < resume) {
      std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(resume - std::chrono::steady_clock::now(),
                                                                                std::chrono::milliseconds(50)));
    }
    if (g_interrupted) break;
    const auto start = std::chrono::steady_clock::now();
    if (!client.flush(std::chrono::milliseconds(10000))) {
      if (g_interrupted) break;
      std::fprintf(stderr, "evt: the service did not confirm the completion\n");
      return 1;
    }
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    samples.push_back(took.count());
    std::printf("completed in %lld us\n", samples.back());
    std::fflush(stdout);
  }
  if (samples.size() > 1) {
    std::sort(samples.begin(), samples.end());
    long long sum = 0;
    for (long long sample : samples) sum += sample;
    auto at = [&](double share) { return samples[static_cast<std::size_t>(share * (samples.size() - 1) + 0.5)]; };
    std::printf("%zu round trips: min %lld us, avg %lld us, p50 %lld us, p99 %lld us, max %lld us\n", samples.size(),
                samples.front(), sum / static_cast<long long>(samples.size()), at(0.5), at(0.99), samples.back());
  }
  return samples.empty() ? 1 : 0;
}

}  // namespace evt::tool
