// The service's per-client queue: what goes in comes out once, whole and in
// order, however batches are cut and whatever is queued between them.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Utilities/CParamsX.h"
#include "eventd/ClientSession.h"

namespace {

using evt::service::ClientSession;
using evt::service::QueueLimits;

std::vector<std::string> requestsOf(std::string_view batch) {
  CParamsX list{std::string(batch)};
  std::vector<std::string> requests;
  for (unsigned long i = 0; i < list.count(); ++i) requests.push_back(list.getstringParamAt(i));
  return requests;
}

TEST(ClientQueue, BatchesGiveBackEveryRequestOnceInOrder) {
  ClientSession client(1, -1, 0);
  const QueueLimits limits;
  std::vector<std::string> sent, received;
  int next = 0;
  auto queue = [&](int n) {
    for (int i = 0; i < n; ++i, ++next) {
      // Sizes that vary, an empty request and one with ';' and digits inside.
      std::string request = next % 7 == 0 ? "" : std::to_string(next) + ";x;" + std::string(next % 50, 'r');
      ASSERT_TRUE(client.enqueue(request, true, limits));
      sent.push_back(request);
    }
  };
  // Batches cut by count and by bytes, with requests queued between takes,
  // so that the queue's storage is compacted while requests remain.
  queue(100);
  for (int round = 0; round < 40; ++round) {
    std::string_view batch = client.takeBatch(round % 2 == 0 ? 7 : 1000, round % 3 == 0 ? 120 : 1u << 20);
    for (std::string& request : requestsOf(batch)) received.push_back(std::move(request));
    queue(round % 5);
  }
  while (client.hasPending()) {
    for (std::string& request : requestsOf(client.takeBatch(3, 1u << 20))) received.push_back(std::move(request));
  }
  EXPECT_EQ(received, sent);
  EXPECT_EQ(client.counters.requestsOut, sent.size());

  // A batch's text is the list of its requests, as the host parses it.
  ASSERT_TRUE(client.enqueue("5;event", true, limits));
  ASSERT_TRUE(client.enqueue("4;done", false, limits));
  EXPECT_EQ(client.takeBatch(10, 1u << 20), "7;5;event;6;4;done");
}

TEST(ClientQueue, LimitsRefuseEventsFirst) {
  ClientSession client(1, -1, 0);
  QueueLimits limits;
  limits.requests = 2;
  limits.bytes = 1000;
  EXPECT_TRUE(client.enqueue("a", true, limits));
  EXPECT_TRUE(client.enqueue("b", true, limits));
  EXPECT_FALSE(client.enqueue("c", true, limits));  // an event beyond the limit
  EXPECT_TRUE(client.enqueue("d", false, limits));  // a notice still has room
  EXPECT_TRUE(client.enqueue("e", false, limits));
  EXPECT_FALSE(client.enqueue("f", false, limits));  // up to twice the limit
  EXPECT_FALSE(client.enqueue(std::string(1001, 'x'), true, limits));
  EXPECT_EQ(client.counters.dropped, 3u);
  EXPECT_EQ(requestsOf(client.takeBatch(10, 1u << 20)), (std::vector<std::string>{"a", "b", "d", "e"}));
  EXPECT_TRUE(client.enqueue("g", true, limits));  // room again once sent
}

}  // namespace
