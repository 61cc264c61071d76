// Hosts through the real service: events reach their (server, category) subscribers in order, notices and
// completions come back, forged events reach nobody, a fresh subscriber sees no gap, and a restarted service gets
// the subscriptions back and reports each loss once.
#include <gtest/gtest.h>

#include "protocol/Protocol.h"
#include "tests/support/ServiceProcess.h"

namespace evt::test {
namespace {

using Notices = std::vector<std::tuple<std::string, long, int>>;

class ServiceRouting : public ServiceWithHosts {
 protected:
  ServiceRouting() : ServiceWithHosts({"--server-id", "12"}) {}
};
using ServiceRestart = ServiceWithHosts;

// Events in another server's name or the service's category reach nobody, counted; a name cannot break a log line.
TEST_F(ServiceRouting, EventsReachSubscribersInOrderWithNoticesAndCompletions) {
  ASSERT_GE(subscriber.lib().subscribe("orders", "", kThisServer, nullptr), 0);
  ASSERT_GE(subscriber.lib().subscribe("orders", "", 99, nullptr), 0);
  ASSERT_TRUE(subscriber.flush());
  RawClient forger;
  channel::Frame reply;
  ASSERT_TRUE(forger.command(CECMD_CLIENT_NAME, "forger\n2026-01-01T00:00:00.000Z INF forged line", &reply));
  ASSERT_TRUE(forger.command(CECMD_PROCESS_ID, "1", &reply));  // not its own
  for (int i = 0; i < 2001; ++i) ASSERT_TRUE(forger.command(77, "", &reply));
  ASSERT_TRUE(forger.command(CECMD_QUEUE,
                             listOf({eventRequest("orders", "", "as server 99", 99, 1),
                                     eventRequest("eventsystem", "", "connected", 12, 0),
                                     eventRequest("eventsystem", "", "disconnected", kThisServer, 0)}),
                             &reply));
  // The publisher hears its own events of a category it subscribed to.
  ASSERT_GE(publisher.lib().subscribe("orders", "", kThisServer, nullptr), 0);
  ASSERT_GE(publisher.lib().publish("orders"), 0);

  constexpr int kEvents = 2000;
  for (int i = 0; i < kEvents; ++i) {
    ASSERT_GE(publisher.lib().deliverEvent("orders", listOf({"k"}), std::to_string(i)), 0);
  }
  ASSERT_TRUE(publisher.flush());
  ASSERT_TRUE(eventually([&] { return subscriber.received("orders") == kEvents; }));
  ASSERT_TRUE(eventually([&] { return publisher.received("orders") == kEvents; }));

  int nextOrder = 0;
  unsigned long long lastSeqNo = 0;
  for (const auto& event : subscriber.handlers.events()) {
    EXPECT_NE(event.category, "eventsystem") << "unexpected " << event.data;
    EXPECT_EQ(event.serverId, 12u);
    EXPECT_EQ(event.data, std::to_string(nextOrder++));
    EXPECT_TRUE(lastSeqNo == 0 || event.seqNo == lastSeqNo + 1) << event.seqNo << " after " << lastSeqNo;
    lastSeqNo = event.seqNo;
  }

  // The subscriber was told of the publication, and of its retraction.
  ASSERT_GE(publisher.lib().retract("orders"), 0);
  ASSERT_TRUE(publisher.flush());
  ASSERT_TRUE(eventually([&] { return subscriber.handlers.publishes().size() == 2; }));
  EXPECT_EQ(subscriber.handlers.publishes(), (Notices{{"orders", 12, 1}, {"orders", 12, 0}}));

  // Completions carry the host's id and come back in the order asked.
  ASSERT_GE(publisher.lib().execute(77), 0);
  ASSERT_GE(publisher.lib().execute(78), 0);
  ASSERT_TRUE(eventually([&] { return publisher.handlers.completions().size() >= 4; }));
  auto completions = publisher.handlers.completions();
  EXPECT_EQ(completions[completions.size() - 2], std::make_pair(77L, 0L));
  EXPECT_EQ(completions.back(), std::make_pair(78L, 0L));

  auto status = service.status();
  EXPECT_EQ(status["server-id"], 12);
  EXPECT_EQ(status["clients"], 4);  // the two hosts, the forger and the status query
  EXPECT_EQ(status["dropped"], 0);
  EXPECT_EQ(status["refused"], 3);
  const std::string log = readFile(logDirectory() + "/eventd.log");
  EXPECT_THAT(log, HasSubstr("is \"forger\\x0a2026-01-01T00:00:00.000Z INF forged line\""));
  EXPECT_THAT(log, Not(HasSubstr("\n2026-01-01T00:00:00.000Z INF forged line")));
  EXPECT_EQ(occurrences(log, "in the name of server"), 1u) << "one line for the first refusal, not one each";
  EXPECT_EQ(occurrences(log, "unknown command 77"), 3u) << "the first, the 1,000th and the 2,000th";
  EXPECT_NE(log.find("says it is pid 1, but its socket belongs to pid " + std::to_string(getpid())), std::string::npos);
  EXPECT_EQ(service.stop(), 0);
}

// A text of completions alone, sent while the client owes no answer, asks for none; a text of events does, and
// while its answer is owed a completion waits its turn and asks for one too.
TEST_F(ServiceRouting, CompletionsAloneAskForNoAnswer) {
  RawClient raw;
  uint32_t nextId = 100;
  auto queue = [&](const std::vector<std::string>& requests) {
    return raw.send(clientRequest(CECMD_QUEUE, listOf(requests), nextId++));
  };
  // The next text the service sends, skipping answers to this client's own commands.
  auto nextText = [&](channel::Frame* text) {
    return eventually([&] { return raw.read(text, 50) == 0 && text->kind == channel::FRAME_SERVICE_REQUEST; });
  };

  channel::Frame text;
  ASSERT_TRUE(queue({protocol::subscriptionRequest(protocol::kSubscribe, protocol::subscriptionKey(12, "orders")),
                     protocol::completionIdRequest(5)}));
  ASSERT_TRUE(nextText(&text));
  EXPECT_EQ(text.text, listOf({protocol::completedRequest(5, 0)}));
  EXPECT_EQ(text.noResponse, 1u);

  ASSERT_GE(publisher.lib().deliverEvent("orders", "", "first"), 0);
  ASSERT_TRUE(publisher.flush());
  channel::Frame events;
  ASSERT_TRUE(nextText(&events));
  EXPECT_THAT(events.text, HasSubstr("first"));
  EXPECT_EQ(events.noResponse, 0u);

  ASSERT_TRUE(queue({protocol::completionIdRequest(6)}));
  ASSERT_TRUE(nextText(&text));
  EXPECT_EQ(text.text, listOf({protocol::completedRequest(6, 0)}));
  EXPECT_EQ(text.noResponse, 0u) << "sent while the events' answer is owed";
  ASSERT_TRUE(raw.acknowledge(events));
  ASSERT_TRUE(raw.acknowledge(text));

  ASSERT_TRUE(queue({protocol::completionIdRequest(7)}));
  ASSERT_TRUE(nextText(&text));
  EXPECT_EQ(text.text, listOf({protocol::completedRequest(7, 0)}));
  EXPECT_EQ(text.noResponse, 1u);
  EXPECT_EQ(service.status()["clients"], 4);  // the hosts, the raw client and the status query
  EXPECT_EQ(occurrences(readFile(logDirectory() + "/eventd.log"), "does not owe"), 0u);
  EXPECT_EQ(service.stop(), 0);
}

// Killed publisher processes retract as closing ones: "retract" once the last goes.
TEST_F(ServiceRouting, KillingTheLastPublisherProcessRetractsItsCategory) {
  ASSERT_TRUE(subscriber.subscribeTo("quotes"));
  // Each publishes, sends one event, and waits 1000 s to send its second.
  HostProcess first({"pub", "quotes", "a", "2", "0.001", "10"});
  HostProcess last({"pub", "quotes", "b", "2", "0.001", "10"});
  ASSERT_TRUE(eventually([&] { return subscriber.received("quotes") == 2; }, std::chrono::seconds(60)));
  first.signal(SIGKILL);
  EXPECT_EQ(first.wait(), 128 + SIGKILL);
  // Gone: the two hosts, the last publisher and the status query remain.
  ASSERT_TRUE(eventually([&] { return service.status()["clients"] == 4; }));
  ASSERT_TRUE(subscriber.flush());
  EXPECT_EQ(subscriber.handlers.publishes(), (Notices{{"quotes", 12, 1}}));
  last.signal(SIGKILL);
  EXPECT_EQ(last.wait(), 128 + SIGKILL);
  ASSERT_TRUE(eventually([&] { return subscriber.handlers.publishes().size() == 2; }));
  EXPECT_EQ(subscriber.handlers.publishes(), (Notices{{"quotes", 12, 1}, {"quotes", 12, 0}}));
}

// Subscribed to ten categories with history and one without: no gap at first or after a restart that lost
// nothing; an event queued when the service was killed arrives after the restart. A subscription cancelled and
// renewed while down survives
// (the queue leaves before the announcement). Unsubscribed stops.
TEST_F(ServiceRestart, SubscriptionsComeBackWithNoFalseGapAndQueuedEventsArrive) {
  auto category = [](int c) { return c == 10 ? std::string("fresh") : "hist" + std::to_string(c); };
  auto publishRound = [&](const std::string& data, int categories = 11) {
    for (int c = 0; c < categories; ++c) ASSERT_GE(publisher.lib().deliverEvent(category(c), "", data), 0);
    ASSERT_TRUE(publisher.flush());
  };
  publishRound("history", 10);
  std::string first, fresh;
  for (int c = 0; c <= 10; ++c) {
    ASSERT_GE(subscriber.lib().subscribe(category(c), "", kThisServer, c == 0 ? &first : c == 10 ? &fresh : nullptr),
              0);
  }
  ASSERT_TRUE(subscriber.flush());
  publishRound("first");
  ASSERT_TRUE(eventually([&] { return subscriber.handlers.eventCount() >= 11; }));

  // Killed, restarted, both hosts announced again, then a round.
  auto restartThenPublish = [&](const std::string& data, std::size_t expected, void (*whileDown)(TestHost&)) {
    ASSERT_EQ(service.kill(SIGKILL), 128 + SIGKILL);
    whileDown(subscriber);
    ASSERT_TRUE(service.start());
    ASSERT_TRUE(subscriber.flush(std::chrono::seconds(30)));
    ASSERT_TRUE(publisher.flush(std::chrono::seconds(30)));
    publishRound(data);
    ASSERT_TRUE(eventually([&] { return subscriber.handlers.eventCount() >= expected; }));
  };
  restartThenPublish("after restart", 22, [](TestHost&) {});
  // Queued, not sent before the kill: the library sends it again, and the
  // restarted service keeps it for the subscription coming back.
  ASSERT_GE(publisher.lib().deliverEvent(category(3), "", "queued"), 0);
  ASSERT_GE(subscriber.lib().unsubscribe(fresh), 0);                    // the same
  restartThenPublish("last", 33 + 1, [](TestHost& host) {
    ASSERT_TRUE(eventually([&] { return host.lib().execute(0) < 0; }));
    ASSERT_GE(host.lib().subscribe("fresh", "", kThisServer, nullptr), 0);
  });
  ASSERT_GE(subscriber.lib().unsubscribe(first), 0);
  ASSERT_TRUE(subscriber.flush());
  publishRound("unwanted");
  ASSERT_TRUE(eventually([&] { return subscriber.handlers.eventCount() >= 34 + 10; }));
  ASSERT_TRUE(subscriber.flush());  // anything still on its way has arrived

  for (const auto& event : subscriber.handlers.events()) {
    EXPECT_NE(event.category, "eventsystem") << event.keys;
    EXPECT_NE(event.data, "history");
    EXPECT_FALSE(event.category == category(0) && event.data == "unwanted");
  }
  EXPECT_EQ(subscriber.handlers.eventCount(), 43u + 1);  // the queued event too
  EXPECT_EQ(subscriber.received(category(3)), 5u);
  EXPECT_EQ(subscriber.received("fresh"), 4u);
  EXPECT_EQ(service.stop(), 0);
}

}  // namespace
}  // namespace evt::test
