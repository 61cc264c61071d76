// Queue texts a hostile client might send, handled by the service's router as the service loop would (and the
// same requests as another server's, through the federation), beside a subscriber of the pairs they can name:
// whatever they hold, the router neither crashes nor queues for the
// subscriber anything that does not read back as request lists.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "Utilities/ParamsView.h"
#include "eventd/ClientTable.h"
#include "eventd/Router.h"
#include "protocol/Protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace evt::service;
  namespace protocol = evt::protocol;
  QueueLimits limits;  // small, so that drops and lost tails are reached
  limits.requests = 64;
  limits.bytes = 1u << 16;
  limits.highWaterRequests = 16;
  HoldLimits hold;
  hold.events = 16;
  hold.bytes = 1u << 14;
  ClientTable clients;
  Router router(clients, 1, 100, limits, hold, [](const std::string&) { return 150ull; });
  ClientSession& hostile = clients.add(std::make_unique<ClientSession>(1, -1, 0));
  ClientSession& subscriber = clients.add(std::make_unique<ClientSession>(2, -1, 0));
  std::string subscriptions;
  for (uint32_t server : {1u, 0xFFFFFFFFu, 2u}) {
    const std::string key = protocol::subscriptionKey(server, server == 0xFFFFFFFFu ? "cat" : "c");
    params::appendItem(&subscriptions, protocol::subscriptionRequest(protocol::kSubscribe, key));
  }
  router.handleQueue(subscriber, subscriptions);

  const std::string text(reinterpret_cast<const char*>(data), size);
  router.handleQueue(hostile, text);
  router.routeRemote(Pair{2, "c"}, text, std::chrono::steady_clock::now());
  router.expireHolds(std::chrono::steady_clock::now() + std::chrono::hours(1));
  router.reportLostTails(subscriber);
  while (subscriber.hasPending()) {
    const ParamsView batch(subscriber.takeBatch(16, 1u << 20));
    if (batch.count() == 0) std::abort();
  }
  return 0;
}
