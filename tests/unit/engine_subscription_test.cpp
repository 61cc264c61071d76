// Subscriptions, event reception with gap detection, and subscriptions made
// before the server id was known.
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "Library/CEResultCodes.h"
#include "Library/CEventLib.h"
#include "Library/CEventLibImpl.h"
#include "tests/support/EngineFixture.h"
#include "tests/support/TestEnvironment.h"

using evt::channel::Frame;
using evt::test::EngineTest;
using evt::test::eventRequest;
using evt::test::eventually;
using evt::test::listOf;
using evt::test::publication;
using evt::test::subscription;
using namespace std::chrono_literals;

namespace {

// Sends the texts as one received text and waits until it was handled.
void deliver(evt::test::FakeService& service, const std::vector<std::string>& requests) {
  Frame answer;
  ASSERT_TRUE(service.answerTo(service.sendRequest(listOf(requests), false), &answer, 10s));
}

// The requests of the newest CECMD_QUEUE batch after execute(id), without
// its closing "completion-id".
std::vector<std::string> flushed(CEventLib& client, evt::test::FakeService& service) {
  std::size_t before = service.commandsOf(CECMD_QUEUE).size();
  EXPECT_EQ(0, client.execute(99));
  EXPECT_TRUE(service.waitUntil([&] { return service.commandsOf(CECMD_QUEUE).size() > before; }));
  CParamsX batch(service.commandsOf(CECMD_QUEUE).back().text);
  std::vector<std::string> requests;
  for (unsigned long i = 0; i + 1 < batch.count(); ++i) requests.push_back(batch.getstringParamAt(i));
  return requests;
}

using Requests = std::vector<std::string>;

}  // namespace

// One key per (server, category), however many subscriptions share it; the
// service hears of the first and the last only.
TEST_F(EngineTest, SubscriptionsAreCountedPerKey) {
  auto client = connectedClient();
  std::string first, second, keyed, own;
  EXPECT_EQ(0, client->subscribe("cat1", "", 12, &first));
  EXPECT_EQ("4;cat1;0;;2;12", first);
  client->subscribe("cat1", "", 12, &second);
  client->subscribe("cat1", listOf({"k1"}), 12, &keyed);
  client->subscribe("cat1", "", static_cast<unsigned long>(-1), &own);  // this server: 12
  EXPECT_EQ(first, own);
  EXPECT_EQ(Requests{"9;subscribe;11;2;12;4;cat1"}, flushed(*client, service));

  EXPECT_EQ(0, client->unsubscribe(first));
  EXPECT_EQ(0, client->unsubscribe(first + "x"));
  EXPECT_EQ(0, client->unsubscribe("not a list"));
  client->unsubscribe(second);
  client->unsubscribe(keyed);
  EXPECT_EQ(Requests{}, flushed(*client, service));
  client->unsubscribe(own);
  EXPECT_EQ(Requests{"11;unsubscribe;11;2;12;4;cat1"}, flushed(*client, service));
  EXPECT_TRUE(EngineProbe::tablesAgree(*client->engine()));

  // "trigger2" and "trigger3" take their server from the registry.
  std::string registry = evt::test::logDirectory() + "/registry.conf";
  std::ofstream(registry) << "LocalDBServerID = 7\n";
  setenv("EVT_REGISTRY_FILE", registry.c_str(), 1);
  std::string text;
  client->subscribe("trigger2", "", 3, &text);
  EXPECT_EQ("8;trigger2;0;;1;7", text);
  client->subscribe("Trigger2", "", 3, &text);
  EXPECT_EQ("8;Trigger2;0;;1;3", text);
  client->subscribe("trigger3", "", 0xFFFFFFFFul, &text);
  EXPECT_EQ("8;trigger3;0;;2;12", text);
  setenv("EVT_REGISTRY_FILE", (registry + ".missing").c_str(), 1);
  EXPECT_EQ(0, client->subscribe("trigger3", "", 3, &text));
  EXPECT_EQ("8;trigger3;0;;1;1", text);
  unsetenv("EVT_REGISTRY_FILE");

  client->finalize();
  EXPECT_EQ(CE_E_STOPPING, client->subscribe("cat1", "", 12, nullptr));
  EXPECT_EQ(CE_E_STOPPING, client->unsubscribe(first));
}

// Numbers are checked per (server, category): a gap reaches the host as one
// "missed-event" event instead of the event that revealed it; keys are
// matched as prefixes with "*" wildcards; an event is delivered once.
TEST_F(EngineTest, ReceivedEventsAreCheckedAndMatched) {
  auto client = connectedClient();
  // The events handed over from the `from`th on, one line each.
  auto received = [&](std::size_t from = 0) {
    const auto events = handlers.events();
    Requests lines;
    for (std::size_t i = from; i < events.size(); ++i)
      lines.push_back(events[i].category + " " + events[i].keys + " " + events[i].data + " " +
                      std::to_string(events[i].seqNo) + " " + std::to_string(events[i].serverId));
    return lines;
  };
  client->subscribe("cat1", "", 12, nullptr);
  client->subscribe("cat1", listOf({"k1"}), 12, nullptr);  // matches too: still one delivery
  client->subscribe("cat3", listOf({"*", "b"}), 5, nullptr);
  client->subscribe("cat4", listOf({"a", "*"}), 5, nullptr);
  deliver(service, {eventRequest("cat1", listOf({"k1"}), "d1", 12, 1), eventRequest("cat1", "", "d5", 12, 5),
                    eventRequest("cat1", "", "d6", 12, 6), eventRequest("cat1", "", "d6", 12, 6),
                    eventRequest("cat1", "", "d9", 12, 9), eventRequest("cat1", "", "d0", 12, 0),
                    eventRequest("other", "", "x", 12, 3), eventRequest("cat1", "", "srv", 13, 1)});
  // A repeat is in sequence, and 0 always is.
  EXPECT_EQ((Requests{"cat1 2;k1 d1 1 12", "eventsystem 4;cat1 missed-event 5 12", "cat1  d6 6 12", "cat1  d6 6 12",
                      "eventsystem 4;cat1 missed-event 9 12", "cat1  d0 0 12"}),
            received());

  // A base known for the server: a fresh key expects base + 1. Checks
  // compare with the base or the last number, and deliver no event.
  deliver(service, {"14;set-seqno-base;3;100;1;5", eventRequest("cat3", listOf({"x", "b"}), "b1", 5, 101),
                    eventRequest("cat3", listOf({"x", "c"}), "c", 5, 102), eventRequest("cat4", listOf({"a"}), "a", 5, 102),
                    "17;check-event-seqno;10;4;cat3;1;9;1;5", "19;check-event-seqno;12;4;cat3;3;100;1;5"});
  // cat4 is fresh: 102 is not 101; the check of 9 reports 9.
  EXPECT_EQ((Requests{"cat3 1;x;1;b b1 101 5", "eventsystem 4;cat4 missed-event 102 5",
                      "eventsystem 4;cat3 missed-event 9 5"}),
            received(6));

  // A check for a key that has received nothing yet only says where the
  // series stands, from a server already seen too.
  client->subscribe("cat5", "", 5, nullptr);
  deliver(service, {"17;check-event-seqno;12;4;cat5;3;500;1;5", eventRequest("cat5", "", "e501", 5, 501)});
  EXPECT_EQ((Requests{"cat5  e501 501 5"}), received(9));

  // The service's own connection news need no subscription.
  deliver(service, {eventRequest("eventsystem", "", "connected", 0, 0),
                    eventRequest("eventsystem", "", "missed-event", 0, 0)});
  EXPECT_EQ((Requests{"eventsystem  connected 0 0"}), received(10));
  handlers.setResult(CE_E_CREATE);
  deliver(service, {eventRequest("cat1", "", "d1", 12, 1)});
  EXPECT_NE(std::string::npos, logText().find("(Error) CEventLibImpl::actionEvent failed - 0xC11F0D48"));
  EXPECT_NE(std::string::npos,
            logText().find("CEventLibImpl::checkForMissedEvent - missed event from serverid 12, category cat1, new "
                           "seqno 5, last seqno 1, seqno base 0, newevent 1"));
}

// Subscriptions made before registration move under the server id once it is
// known: counted right, announced once, and still cancellable with the text
// the host was given.
TEST_F(EngineTest, EarlySubscriptionsMoveUnderTheServerId) {
  service.setServerIdAnswers({""});
  CEventLib client("early", &handlers, &handlers, &handlers);
  ASSERT_EQ(0, client.initialize());
  std::string early1, early2, explicit12, dropped;
  client.subscribe("cat", "", 0xFFFFFFFFul, &early1);
  client.subscribe("cat", listOf({"k"}), 0xFFFFFFFFul, &early2);
  client.subscribe("cat", "", 12, &explicit12);
  client.subscribe("gone", "", 0xFFFFFFFFul, &dropped);
  client.unsubscribe(dropped);
  EXPECT_EQ("3;cat;0;;2;-1", early1);
  service.setServerIdAnswers({"12"});
  ASSERT_TRUE(service.waitUntil([&] { return countOf(CECMD_QUEUE) >= 1; }));
  EXPECT_EQ(listOf({subscription("cat")}), service.commandsOf(CECMD_QUEUE).back().text);
  EXPECT_TRUE(EngineProbe::tablesAgree(*client.engine()));

  client.unsubscribe(early1);
  client.unsubscribe(early2);
  EXPECT_EQ(Requests{}, flushed(client, service));
  client.unsubscribe(explicit12);
  EXPECT_EQ(Requests{subscription("cat", "unsubscribe")}, flushed(client, service));
}

// Host threads change subscriptions while events stream in and a handler
// subscribes from inside a delivery: no deadlock, no race, and every key's
// count equals its entries at the end.
TEST_F(EngineTest, SubscriptionsChangeWhileEventsStream) {
  class Resubscriber : public CEventHandler {
   public:
    long onDeliverEvent(const std::string& category, const std::string&, const std::string&, unsigned long long,
                        unsigned long) override {
      if (category == "hot" && ++m_calls % 50 == 0) m_client->subscribe("hot", "", 12, nullptr);
      return 0;
    }
    CEventLib* m_client = nullptr;
    std::atomic<int> m_calls{0};
  } handler;
  CEventLib client("stress", &handler, nullptr, nullptr);
  handler.m_client = &client;
  client.initialize();
  ASSERT_TRUE(eventually([&] { return client.engine()->isConnected(); }));
  client.subscribe("hot", "", 12, nullptr);

  std::atomic<bool> done{false};
  std::vector<std::thread> hosts;
  for (int t = 0; t < 4; ++t) {
    hosts.emplace_back([&, t] {
      for (int i = 0; !done.load(); ++i) {
        std::string text;
        client.subscribe(i % 2 ? "hot" : "cold", listOf({std::to_string(t)}), 12, &text);
        client.unsubscribe(text);
        if (i % 16 == 0) client.execute(0);
      }
    });
  }
  for (int batch = 0; batch < 40; ++batch) {
    std::vector<std::string> events;
    for (int i = 1; i <= 50; ++i) events.push_back(eventRequest("hot", "", "e", 12, batch * 50 + i));
    deliver(service, events);
  }
  done.store(true);
  for (auto& host : hosts) host.join();
  EXPECT_GE(handler.m_calls.load(), 2000);
  EXPECT_TRUE(EngineProbe::tablesAgree(*client.engine()));
}

// A handler that throws is a failed handler: logged, and the request thread
// goes on with the rest of the text and the texts after it.
TEST_F(EngineTest, HandlersThatThrowAreLoggedAndDeliveryGoesOn) {
  struct Throwing : CEventHandler, CPublishHandler, CCompletionHandler {
    std::atomic<int> calls{0};
    long onDeliverEvent(const std::string&, const std::string&, const std::string&, unsigned long long,
                        unsigned long) override {
      ++calls;
      throw std::runtime_error("event");
    }
    long onPublish(const std::string&, long, int) override {
      ++calls;
      throw 7;
    }
    long onCompleted(long, long) override {
      ++calls;
      throw std::runtime_error("completion");
    }
  } throwing;
  CEventLib client("thrower", &throwing, &throwing, &throwing);
  ASSERT_EQ(0, client.initialize());
  ASSERT_TRUE(service.waitUntil([&] { return countOf(CECMD_QUEUE) >= 1; }));
  ASSERT_TRUE(eventually([&] { return client.engine()->isConnected(); }));
  client.subscribe("cat", "", 12, nullptr);
  deliver(service, {eventRequest("cat", "", "a", 12, 0), publication("cat"), evt::protocol::completedRequest(1, 0),
                    eventRequest("cat", "", "b", 12, 0)});
  deliver(service, {eventRequest("cat", "", "c", 12, 0)});
  EXPECT_EQ(5, throwing.calls.load());
  EXPECT_NE(std::string::npos, logText().find("(Error) CEventLibImpl::actionEvent failed - 0xC11F0D53"));
  EXPECT_NE(std::string::npos, logText().find("(Error) CEventLibImpl::actionPublish failed - 0xC11F0D53"));
  EXPECT_NE(std::string::npos, logText().find("(Error) CEventLibImpl::actionCompleted failed - 0xC11F0D53"));
  client.finalize();
}
