// Hosts talking through the real service: events reach the subscribers of
// their (server, category) in order, key filters apply at the receiver,
// notices and completions come back, and a fresh subscriber sees no gap.
#include <signal.h>

#include <algorithm>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "Library/CEventLib.h"
#include "tests/support/FakeService.h"
#include "tests/support/ServiceProcess.h"
#include "tests/support/TestHost.h"

namespace evt::test {
namespace {

constexpr unsigned long kThisServer = 0xFFFFFFFFul;

std::string keys(const std::vector<std::string>& items) { return listOf(items); }

std::size_t countData(const std::vector<RecordingHandlers::Event>& events, const std::string& category) {
  return static_cast<std::size_t>(std::count_if(events.begin(), events.end(), [&](const RecordingHandlers::Event& e) {
    return e.category == category;
  }));
}

TEST(ServiceRouting, EventsReachSubscribersInOrderWithNoticesAndCompletions) {
  ServiceProcess service({"--server-id", "12"});
  ASSERT_TRUE(service.start());
  TestHost subscriber("subscriber");
  TestHost publisher("publisher");
  ASSERT_TRUE(subscriber.registered());
  ASSERT_TRUE(publisher.registered());

  ASSERT_GE(subscriber.lib().subscribe("orders", "", kThisServer, nullptr), 0);
  ASSERT_GE(subscriber.lib().subscribe("prices", keys({"eur", "*"}), 12, nullptr), 0);
  ASSERT_TRUE(subscriber.flush());
  // The publisher hears its own events of a category it subscribed to.
  ASSERT_GE(publisher.lib().subscribe("orders", "", kThisServer, nullptr), 0);
  ASSERT_GE(publisher.lib().publish("orders"), 0);

  constexpr int kEvents = 2000;
  for (int i = 0; i < kEvents; ++i) {
    ASSERT_GE(publisher.lib().deliverEvent("orders", keys({"k"}), std::to_string(i)), 0);
    if (i % 10 == 0) {
      ASSERT_GE(publisher.lib().deliverEvent("prices", keys({i % 20 == 0 ? "eur" : "usd", "x"}), std::to_string(i)), 0);
    }
  }
  ASSERT_TRUE(publisher.flush());
  ASSERT_TRUE(eventually([&] { return countData(subscriber.handlers.events(), "orders") == kEvents; }));
  ASSERT_TRUE(eventually([&] { return countData(publisher.handlers.events(), "orders") == kEvents; }));

  const auto received = subscriber.handlers.events();
  int nextOrder = 0;
  unsigned long long lastSeqNo = 0;
  std::size_t prices = 0;
  for (const auto& event : received) {
    EXPECT_NE(event.category, "eventsystem") << "unexpected " << event.data;
    EXPECT_EQ(event.serverId, 12u);
    if (event.category == "orders") {
      EXPECT_EQ(event.data, std::to_string(nextOrder++));
      if (lastSeqNo != 0) {
        EXPECT_EQ(event.seqNo, lastSeqNo + 1);
      }
      lastSeqNo = event.seqNo;
    } else {
      EXPECT_EQ(event.category, "prices");
      EXPECT_EQ(std::stoi(event.data) % 20, 0) << "the key filter let " << event.keys << " through";
      ++prices;
    }
  }
  EXPECT_EQ(prices, static_cast<std::size_t>(kEvents / 20));

  // The subscriber was told of the publication, and of its retraction.
  ASSERT_TRUE(eventually([&] { return !subscriber.handlers.publishes().empty(); }));
  EXPECT_EQ(subscriber.handlers.publishes()[0], std::make_tuple(std::string("orders"), 12L, 1));
  ASSERT_GE(publisher.lib().retract("orders"), 0);
  ASSERT_TRUE(publisher.flush());
  ASSERT_TRUE(eventually([&] { return subscriber.handlers.publishes().size() == 2; }));
  EXPECT_EQ(subscriber.handlers.publishes()[1], std::make_tuple(std::string("orders"), 12L, 0));

  // Completions carry the host's id and come back in the order asked.
  ASSERT_GE(publisher.lib().execute(77), 0);
  ASSERT_GE(publisher.lib().execute(78), 0);
  ASSERT_TRUE(eventually([&] { return publisher.handlers.completions().size() >= 4; }));
  auto completions = publisher.handlers.completions();
  EXPECT_EQ(completions[completions.size() - 2], std::make_pair(77L, 0L));
  EXPECT_EQ(completions.back(), std::make_pair(78L, 0L));

  auto status = service.status();
  EXPECT_EQ(status["server-id"], 12);
  EXPECT_EQ(status["clients"], 3);  // the two hosts and the status query
  EXPECT_EQ(status["dropped"], 0);
  EXPECT_EQ(service.stop(), 0);
}

TEST(ServiceRouting, LateSubscriberSeesNoFalseGapAndUnsubscribeStopsEvents) {
  ServiceProcess service;
  ASSERT_TRUE(service.start());
  TestHost publisher("publisher");
  ASSERT_TRUE(publisher.registered());
  for (int i = 0; i < 50; ++i) ASSERT_GE(publisher.lib().deliverEvent("early", "", "before"), 0);
  ASSERT_TRUE(publisher.flush());

  TestHost subscriber("late");
  ASSERT_TRUE(subscriber.registered());
  std::string subscription;
  ASSERT_GE(subscriber.lib().subscribe("early", "", kThisServer, &subscription), 0);
  // A second, brand-new category of the same server: no gap either.
  ASSERT_GE(subscriber.lib().subscribe("fresh", "", kThisServer, nullptr), 0);
  ASSERT_TRUE(subscriber.flush());
  ASSERT_GE(publisher.lib().deliverEvent("early", "", "after"), 0);
  ASSERT_GE(publisher.lib().deliverEvent("fresh", "", "first"), 0);
  ASSERT_TRUE(publisher.flush());
  ASSERT_TRUE(eventually([&] { return subscriber.handlers.events().size() >= 2; }));

  ASSERT_GE(subscriber.lib().unsubscribe(subscription), 0);
  ASSERT_TRUE(subscriber.flush());
  ASSERT_GE(publisher.lib().deliverEvent("early", "", "unwanted"), 0);
  ASSERT_GE(publisher.lib().deliverEvent("fresh", "", "second"), 0);
  ASSERT_TRUE(publisher.flush());
  ASSERT_TRUE(eventually([&] { return subscriber.handlers.events().size() >= 3; }));
  ASSERT_TRUE(subscriber.flush());  // anything still on its way has arrived

  const auto events = subscriber.handlers.events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].data, "after");
  EXPECT_EQ(events[1].data, "first");
  EXPECT_EQ(events[2].data, "second");
  EXPECT_EQ(service.stop(), 0);
}

// One subscriber of ten categories that all have history hears of no gap,
// neither at first nor after a service restart that lost nothing; a
// restart that lost events is reported once per category that lost them.
TEST(ServiceRouting, ManyCategoriesWithHistoryShowNoFalseGap) {
  ServiceProcess service;
  ASSERT_TRUE(service.start());
  TestHost publisher("publisher");
  ASSERT_TRUE(publisher.registered());
  auto category = [](int c) { return "hist" + std::to_string(c); };
  auto publishRound = [&](const std::string& data) {
    for (int c = 0; c < 10; ++c) ASSERT_GE(publisher.lib().deliverEvent(category(c), "", data), 0);
    ASSERT_TRUE(publisher.flush());
  };
  publishRound("history");
  TestHost subscriber("many");
  ASSERT_TRUE(subscriber.registered());
  for (int c = 0; c < 10; ++c) ASSERT_GE(subscriber.lib().subscribe(category(c), "", kThisServer, nullptr), 0);
  ASSERT_TRUE(subscriber.flush());
  publishRound("first");
  ASSERT_TRUE(eventually([&] { return subscriber.handlers.eventCount() >= 10; }));

  // Killed and restarted; once both hosts' completions come back, both are
  // announced again, and a round follows.
  auto restartThenPublish = [&](const std::string& data, std::size_t expected) {
    ASSERT_EQ(service.kill(SIGKILL), 128 + SIGKILL);
    ASSERT_TRUE(service.start());
    ASSERT_TRUE(subscriber.flush(std::chrono::seconds(30)));
    ASSERT_TRUE(publisher.flush(std::chrono::seconds(30)));
    publishRound(data);
    ASSERT_TRUE(eventually([&] { return subscriber.handlers.eventCount() >= expected; }));
  };
  restartThenPublish("after restart", 20);
  // Numbers spent while nobody routes them: one report per category.
  ASSERT_GE(publisher.lib().deliverEvent(category(3), "", "lost"), 0);  // queued, never sent
  restartThenPublish("last", 30);
  ASSERT_TRUE(subscriber.flush());

  int missed = 0;
  std::size_t delivered = 0;
  for (const auto& event : subscriber.handlers.events()) {
    if (event.category == "eventsystem") {
      ++missed;
      EXPECT_EQ(event.keys, listOf({category(3)}));
    } else {
      EXPECT_NE(event.data, "history");
      ++delivered;
    }
  }
  EXPECT_EQ(delivered, 30u);
  EXPECT_EQ(missed, 1);
  EXPECT_EQ(service.stop(), 0);
}

}  // namespace
}  // namespace evt::test
