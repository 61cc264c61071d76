// What the engine sends and receives: publications and the host's events on their way out, subscriptions,
// received events with gap detection and key matching, and the dump of its tables.
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "Library/CEResultCodes.h"
#include "Library/KeyPatterns.h"
#include "tests/support/EngineFixture.h"
#include "tests/support/TestEnvironment.h"

namespace evt::test {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

// The "event" requests of the batches, in order.
std::vector<CParamsX> eventsIn(const Lines& batches) {
  std::vector<CParamsX> events;
  for (const std::string& batch : batches)
    for (const std::string& item : itemsOf(batch))
      if (CParamsX(item).getstringParamAt(0) == "event") events.emplace_back(item);
  return events;
}

// Texts the service would refuse or misread are refused at the call, nothing queued or numbered. A category is
// published once (opened in the store); events leave whole, numbered in order, with this server's id. After
// finalize every call is refused as stopping.
TEST_F(EngineTest, HostRequestsLeaveNumberedAndBadTextsAreRefused) {
  auto client = connectedClient();
  CCategorySeqNo& store = EngineProbe::store(*client->engine());
  const unsigned long long base = store.getSeqNoBase();
  const std::string nul("a\0b", 3), reserved = CCategorySeqNo::kSeqNoBaseCategory;
  unsigned long long n = 0;
  // Keys that are not a list ("a,q") would arrive as no keys, patterns that are not ("a,*") match everything;
  // the system's category and an empty one would be refused by the service after being numbered.
  for (long refused : {client->deliverEvent("cat", "", nul), client->deliverEvent("cat", nul, "data"),
                       client->deliverEvent(nul, "", "data"), client->deliverEvent(reserved, "", "data"),
                       client->deliverEvent("eventsystem", "", "data"), client->deliverEvent("", "", "-"),
                       client->deliverEvent("cat", "a,q", "data"), client->publish(reserved),
                       client->publish("eventsystem"), client->publish(""), client->publish(nul),
                       client->retract(nul), client->subscribe("cat", nul, 0xFFFFFFFFul, nullptr),
                       client->subscribe("cat", "a,*", 0xFFFFFFFFul, nullptr),
                       client->subscribe("", "", 0xFFFFFFFFul, nullptr), client->unsubscribe(nul),
                       store.getNextSeqNo(reserved, &n), store.setSeqNo(reserved, 1)})
    EXPECT_EQ(CE_E_INVALID_TEXT, refused);
  EXPECT_EQ(base, store.getSeqNoBase());
  EXPECT_TRUE(logged("(Error) CEventLib::subscribe refused: "));

  // A second publish of "cat1" and a retract of what was never published queue nothing.
  for (long accepted : {client->publish("cat1"), client->publish("cat1"), client->publish("A"), client->retract("A"),
                        client->retract("never"), client->deliverEvent("cat", listOf({"k1"}), "d"),
                        client->deliverEvent("cat", "", std::string(200000, 'x'))})
    EXPECT_EQ(0, accepted);
  const Lines batch = itemsOf(flushed(*client, 9));
  ASSERT_EQ(6u, batch.size());  // three publications, two events and the completion id
  EXPECT_EQ((Lines{"7;publish;11;4;cat1;2;12", "7;publish;8;1;A;2;12", "7;retract;8;1;A;2;12"}),
            Lines(batch.begin(), batch.begin() + 3));
  EXPECT_EQ(listOf({"event", "3;cat;4;2;k1;1;d;2;12", std::to_string(base + 1)}), batch[3]);
  EXPECT_EQ(listOf({"event", listOf({"cat", "", std::string(200000, 'x'), "12"}), std::to_string(base + 2)}), batch[4]);
  std::string all;
  store.getAllCategories(&all);
  EXPECT_NE(std::string::npos, all.find("4;cat1"));

  // With the list of category names full, new categories are still numbered and sent; the full list is logged once.
  for (int i = 0; store.useCategory("filler-category-" + std::to_string(i)) == 0; ++i) {
  }
  for (int i = 0; i < 5; ++i) EXPECT_EQ(0, client->deliverEvent("unlisted" + std::to_string(i), "", "d"));
  const std::string unlisted = flushed(*client, 3);
  for (int i = 0; i < 5; ++i) EXPECT_NE(std::string::npos, unlisted.find("unlisted" + std::to_string(i)));
  EXPECT_EQ(1u, occurrences(logText(), "the list of all categories is full"));

  client->finalize();
  for (long refused : {client->publish("late"), client->retract("cat1"), client->subscribe("cat1", "", 12, nullptr),
                       client->unsubscribe("4;cat1;0;;2;12"), client->reportConnectivity(1)})
    EXPECT_EQ(CE_E_STOPPING, refused);
  client->dump();  // does nothing
}

// A queue too long for one frame leaves in several exchanges, cut between requests and in order, not refused.
TEST_F(EngineTest, LongQueueLeavesInSeveralExchanges) {
  auto client = connectedClient();
  const std::size_t before = countOf(CECMD_QUEUE);
  const std::string data(300 * 1024, 'd');
  constexpr int kEvents = 12;  // about 3.5 MiB queued
  for (int i = 0; i < kEvents; ++i) ASSERT_EQ(0, client->deliverEvent("big", "", data + std::to_string(i)));
  ASSERT_EQ(0, client->execute(9));
  // Through the sanitizer builds on a busy machine this may take a while.
  auto queued = batchesUntilCompletion(60s);
  ASSERT_GE(queued.size() - before, 2u);
  for (std::size_t i = before; i < queued.size(); ++i) EXPECT_LE(queued[i].size(), kMaxQueueText + data.size());
  int next = 0;
  for (CParamsX& event : eventsIn(queued))
    EXPECT_EQ(CParamsX(event.getstringParamAt(1)).getstringParamAt(2), data + std::to_string(next++)) << next;
  EXPECT_EQ(next, kEvents);
}

// Threads of one process publishing into one category: the events leave in number order, every number once.
TEST_F(EngineTest, ThreadsOfOneProcessPublishInNumberOrder) {
  auto client = connectedClient();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 500; ++i) {
        client->deliverEvent("shared", "", "d");
        if (i % 50 == 0) client->execute(0);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(0, client->execute(11));
  std::vector<unsigned long long> numbers;
  for (CParamsX& event : eventsIn(batchesUntilCompletion())) numbers.push_back(event.getULONGLONGParamAt(2));
  ASSERT_EQ(2000u, numbers.size());
  for (std::size_t i = 1; i < numbers.size(); ++i) ASSERT_EQ(numbers[i - 1] + 1, numbers[i]) << "at " << i;
}

// A host outrunning the service waits in deliverEvent once the queue is full; a lost service ends it with a refusal.
TEST_F(EngineTest, FullQueueHoldsTheHostUntilTheServiceTakesIt) {
  auto client = connectedClient();
  // Once a second exchange arrived the first was answered; from here the send thread waits for no answer.
  flushed(*client, 1);
  service.holdAnswersTo(CECMD_QUEUE);
  ASSERT_EQ(0, client->execute(2));
  const std::string data(64 * 1024, 'd');
  std::atomic<int> queued{0};
  std::atomic<long> last{0};
  std::thread host([&] {
    for (int i = 0; i < 1000 && last.load() == 0; ++i, ++queued) last = client->deliverEvent("big", "", data);
  });
  // The queue's bound (a quarter MiB) holds 4 of these events, the batch taken before the send thread blocked at
  // most as many again.
  ASSERT_TRUE(eventually([&] { return queued.load() >= 4; }));
  std::this_thread::sleep_for(100ms);  // time the host would need to overrun the bound
  const int stopped = queued.load();
  EXPECT_LT(stopped, 2 * 4 + 4);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(stopped, queued.load()) << "the host still queues";
  service.stop();
  host.join();
  EXPECT_EQ(CE_E_NOT_CONNECTED, last.load());
}

// One key per (server, category); the service hears of the first and last subscription only. Those made before
// registration move under the server id: counted right, announced once, cancellable with the text the host got.
// Legacy trigger categories take their server from the registry.
TEST_F(EngineTest, SubscriptionsAreCountedPerKey) {
  service.setAnswerTexts(CECMD_SERVER_ID, {""});
  auto client = std::make_unique<CEventLib>("early", &handlers, &handlers, &handlers);
  ASSERT_EQ(0, client->initialize());
  std::string early1, early2, explicit12, dropped;
  client->subscribe("cat", "", 0xFFFFFFFFul, &early1);
  client->subscribe("cat", listOf({"k"}), 0xFFFFFFFFul, &early2);
  client->subscribe("cat", "", 12, &explicit12);
  client->subscribe("gone", "", 0xFFFFFFFFul, &dropped);
  client->unsubscribe(dropped);
  EXPECT_EQ("3;cat;0;;2;-1", early1);
  service.setAnswerTexts(CECMD_SERVER_ID, {"12"});
  EXPECT_EQ(listOf({subscription("cat")}), batchOn(1));
  EXPECT_TRUE(EngineProbe::tablesAgree(*client->engine()));
  const std::string done = protocol::completionIdRequest(99);
  client->unsubscribe(early1);
  client->unsubscribe(early2);
  EXPECT_EQ(listOf({done}), flushed(*client, 99));
  client->unsubscribe(explicit12);
  EXPECT_EQ(listOf({subscription("cat", "unsubscribe"), done}), flushed(*client, 99));

  std::string first, second, keyed, own;
  EXPECT_EQ(0, client->subscribe("cat1", "", 12, &first));
  EXPECT_EQ("4;cat1;0;;2;12", first);
  client->subscribe("cat1", "", 12, &second);
  client->subscribe("cat1", listOf({"k1"}), 12, &keyed);
  client->subscribe("cat1", "", static_cast<unsigned long>(-1), &own);  // this server: 12
  EXPECT_EQ(first, own);
  EXPECT_EQ(listOf({"9;subscribe;11;2;12;4;cat1", done}), flushed(*client, 99));

  EXPECT_EQ(0, client->unsubscribe(first));
  EXPECT_EQ(0, client->unsubscribe(first + "x"));
  EXPECT_EQ(0, client->unsubscribe("not a list"));
  client->unsubscribe(second);
  client->unsubscribe(keyed);
  EXPECT_EQ(listOf({done}), flushed(*client, 99));
  client->unsubscribe(own);
  EXPECT_EQ(listOf({"11;unsubscribe;11;2;12;4;cat1", done}), flushed(*client, 99));
  EXPECT_TRUE(EngineProbe::tablesAgree(*client->engine()));

  // "trigger2" and "trigger3" take their server from the registry.
  std::string registry = logDirectory() + "/registry.conf";
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
}

// Per (server, category), a gap reaches the host as one "missed-event"; keys match as prefixes with "*"
// wildcards, following subscription changes; an event is delivered once.
TEST_F(EngineTest, ReceivedEventsAreCheckedAndMatched) {
  auto client = connectedClient();
  // The events handed over since the last call, one line each.
  std::size_t seen = 0;
  auto received = [&] {
    const auto events = handlers.events();
    Lines lines;
    for (auto e = events.begin() + seen; e != events.end(); ++e)
      lines.push_back(e->category + " " + e->keys + " " + e->data + " " + std::to_string(e->seqNo) + " " +
                      std::to_string(e->serverId));
    seen = events.size();
    return lines;
  };
  client->subscribe("cat1", "", 12, nullptr);
  client->subscribe("cat1", listOf({"k1"}), 12, nullptr);  // matches too: still one delivery
  client->subscribe("cat3", listOf({"*", "b"}), 5, nullptr);
  client->subscribe("cat4", listOf({"a", "*"}), 5, nullptr);
  deliver({eventRequest("cat1", listOf({"k1"}), "d1", 12, 1), eventRequest("cat1", "", "d5", 12, 5),
           eventRequest("cat1", "", "d6", 12, 6), eventRequest("cat1", "", "d6", 12, 6),
           eventRequest("cat1", "", "d9", 12, 9), eventRequest("cat1", "", "d0", 12, 0),
           eventRequest("other", "", "x", 12, 3), eventRequest("cat1", "", "srv", 13, 1)});
  // A repeat is in sequence, and 0 always is.
  EXPECT_EQ((Lines{"cat1 2;k1 d1 1 12", "eventsystem 4;cat1 missed-event 5 12", "cat1  d6 6 12", "cat1  d6 6 12",
                   "eventsystem 4;cat1 missed-event 9 12", "cat1  d0 0 12"}), received());

  // A base known for the server: a fresh key expects base + 1; checks compare with it or the last number, no event.
  deliver({protocol::setSeqNoBaseRequest(100, 5), eventRequest("cat3", listOf({"x", "b"}), "b1", 5, 101),
           eventRequest("cat3", listOf({"x", "c"}), "c", 5, 102), eventRequest("cat4", listOf({"a"}), "a", 5, 102),
           protocol::checkEventSeqNoRequest("cat3", 9, 5), protocol::checkEventSeqNoRequest("cat3", 100, 5)});
  // cat4 is fresh: 102 is not 101; the check of 9 reports 9.
  EXPECT_EQ((Lines{"cat3 1;x;1;b b1 101 5", "eventsystem 4;cat4 missed-event 102 5",
                   "eventsystem 4;cat3 missed-event 9 5"}), received());

  // A check for a key that has received nothing yet only says where the series stands, for a known server too.
  client->subscribe("cat5", "", 5, nullptr);
  deliver({protocol::checkEventSeqNoRequest("cat5", 500, 5), eventRequest("cat5", "", "e501", 5, 501)});
  EXPECT_EQ((Lines{"cat5  e501 501 5"}), received());

  // A pattern added, then removed: keys match as the subscriptions stand.
  std::string any;
  client->subscribe("cat6", listOf({"a"}), 5, nullptr);
  deliver({eventRequest("cat6", listOf({"a"}), "a", 5, 0), eventRequest("cat6", listOf({"b"}), "b", 5, 0)});
  client->subscribe("cat6", "", 5, &any);
  deliver({eventRequest("cat6", listOf({"b"}), "b", 5, 0)});
  client->unsubscribe(any);
  deliver({eventRequest("cat6", listOf({"b"}), "b", 5, 0), eventRequest("cat6", listOf({"a"}), "a", 5, 0)});
  EXPECT_EQ((Lines{"cat6 1;a a 0 5", "cat6 1;b b 0 5", "cat6 1;a a 0 5"}), received());

  // The service's own connection news need no subscription.
  deliver({eventRequest("eventsystem", "", "connected", 0, 0), eventRequest("eventsystem", "", "missed-event", 0, 0)});
  EXPECT_EQ((Lines{"eventsystem  connected 0 0"}), received());
}

// Threads change subscriptions and dump while events stream in, a handler subscribes from a delivery: no
// deadlock, no race (TSan), and every key's count equals its entries at the end.
TEST_F(EngineTest, SubscriptionsChangeWhileEventsStream) {
  struct Resubscriber : CEventHandler {
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
  hosts.emplace_back([&] {
    for (int i = 0; i < 200 && !done.load(); ++i) client.dump();
  });
  for (int batch = 0; batch < 40; ++batch) {
    std::vector<std::string> events = {protocol::setSeqNoBaseRequest(1000 + batch, batch % 7)};
    for (int i = 1; i <= 50; ++i) events.push_back(eventRequest("hot", "", "e", 12, batch * 50 + i));
    deliver(events);
  }
  done.store(true);
  for (auto& host : hosts) host.join();
  EXPECT_GE(handler.m_calls.load(), 2000);
  EXPECT_TRUE(EngineProbe::tablesAgree(*client.engine()));
}

// The dump's lines after "-- name" up to the last title's entries, from the column where that line's text starts.
Lines dumpLines(const std::string& log, const std::string& name) {
  const std::size_t at = log.rfind("-- " + name + "\n");
  if (at == std::string::npos) return {};
  const std::size_t column = at - (log.rfind('\n', at) + 1);
  std::istringstream rest(log.substr(log.find('\n', at) + 1));
  Lines lines;
  for (std::string line; std::getline(rest, line) && line.size() > column && line.compare(column, 3, "   ") == 0;)
    lines.push_back(line.substr(column));
  return lines;
}

// The dump writes the tables and asks the service for its own.
TEST_F(EngineTest, DumpWritesTheTablesAndAsksTheService) {
  auto client = connectedClient("dumper");
  client->subscribe("cat1", "", 12, nullptr);
  client->dump();
  EXPECT_EQ((Lines{"   publishings", "   subscriptions", "      2;12;4;cat1 4;cat1;0;;2;12",
                   "   subscription use counts", "      2;12;4;cat1 1", "   seqno sent", "   seqno base",
                   "   seqno rcvd", "      2;12;4;cat1 0"}), dumpLines(logText(), "dumper"));
  ASSERT_TRUE(eventually([&] { return countOf(CECMD_QUEUE) == 2; }));
  EXPECT_EQ(listOf({"9;subscribe;11;2;12;4;cat1", "4;dump"}), service.commands(CECMD_QUEUE)[1].text);
  EXPECT_EQ(0, client->reportConnectivity(0xFFFFFFFFul));
  EXPECT_EQ(listOf({"18;reportconnectivity;4;2;-1"}), flushed(*client));
}

// The host's item lists: a text that is no list, an index past the end, a list read again, a built list cleared.
TEST(ItemLists, ReadAndBuildTexts) {
  CEventLib::CParseList none, list("3;abc;2;de");
  EXPECT_FALSE(none.isValid());
  EXPECT_EQ(0ul, none.count());
  EXPECT_EQ("", none.getItem(0));
  EXPECT_TRUE(list.isValid());
  EXPECT_EQ((Lines{"abc", "de", ""}), (Lines{list.getItem(0), list.getItem(1), list.getItem(2)}));
  EXPECT_EQ(2ul, list.count());
  list.init("abc");
  EXPECT_TRUE(list.isValid());
  EXPECT_EQ(0ul, list.count());
  CEventLib::CGenList gen;
  gen.addItem("abc");
  gen.addItem("de");
  EXPECT_EQ("3;abc;2;de", gen.getList());
  gen.clear();
  EXPECT_EQ("", gen.getList());
}

// The key pattern tree against the rule it stands for: pattern i equals key i (a key past the end reads ""), "*"
// is any key, and a last "*" all the rest.
TEST(KeyPatterns, AgreeWithTheRuleOverRandomSubscriptions) {
  auto rule = [](const Lines& patterns, const Lines& keys) {
    for (std::size_t i = 0; i < patterns.size(); ++i) {
      if (patterns[i] == "*" && i + 1 == patterns.size()) return true;
      if (patterns[i] != "*" && patterns[i] != (i < keys.size() ? keys[i] : std::string())) return false;
    }
    return true;
  };
  std::mt19937 random(7);
  const Lines words = {"a", "b", "*", ""};
  auto draw = [&](std::size_t maxSize) {
    Lines items(random() % (maxSize + 1));
    for (auto& item : items) item = words[random() % words.size()];
    return items;
  };
  for (int round = 0; round < 2000; ++round) {
    KeyPatterns tree;
    std::vector<Lines> subscriptions(1 + random() % 4);
    for (auto& patterns : subscriptions) {
      patterns = draw(3);
      tree.add(patterns.empty() ? std::string() : listOf(patterns));
    }
    for (int probe = 0; probe < 8; ++probe) {
      Lines keys = draw(3);
      bool expected = false;
      for (const auto& patterns : subscriptions) expected = expected || rule(patterns, keys);
      ASSERT_EQ(expected, tree.matches(keys.empty() ? std::string() : listOf(keys))) << "round " << round;
    }
  }
}

}  // namespace
}  // namespace evt::test
