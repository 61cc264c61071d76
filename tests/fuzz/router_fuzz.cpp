// Queue texts a hostile client might send, handled by the service's router as the service loop would (and the
// same requests as another server's, through the federation), beside a subscriber of the pairs they can name:
// whatever they hold, the router neither crashes nor queues for the
// subscriber anything that does not read back as request lists.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Utilities/ParamsView.h"
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
  Router router(1, 100, limits, hold, [](const std::string&) { return 150ull; });
  ClientSession hostile(1, -1, 0);
  ClientSession subscriber(2, -1, 0);
  router.addClient(&hostile);
  router.addClient(&subscriber);
  std::string subscriptions;
  params::appendItem(&subscriptions, protocol::subscriptionRequest(protocol::kSubscribe, protocol::subscriptionKey(1, "c")));
  params::appendItem(&subscriptions, protocol::subscriptionRequest(protocol::kSubscribe, protocol::subscriptionKey(0xFFFFFFFFu, "cat")));
  params::appendItem(&subscriptions, protocol::subscriptionRequest(protocol::kSubscribe, protocol::subscriptionKey(2, "c")));
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
  router.removeClient(&hostile);
  router.removeClient(&subscriber);
  return 0;
}
