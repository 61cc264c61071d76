// The service's client queue, pair reordering and router in one process (notices, completions and full client
// queues are checked with the real eventd in tests/e2e).
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Utilities/ParamsView.h"
#include "eventd/ClientTable.h"
#include "eventd/ForwardedForm.h"
#include "eventd/PairSequencer.h"
#include "eventd/Router.h"
#include "eventd/SeriesFloors.h"
#include "protocol/Protocol.h"
#include "tests/support/EngineFixture.h"

namespace evt::service {
namespace {

namespace protocol = evt::protocol;
using std::chrono::milliseconds;
using Lines = std::vector<std::string>;
using Arrival = PairSequencer::Arrival;
using evt::test::itemsOf;
using evt::test::eventRequest;
using evt::test::listOf;
using evt::test::publication;

std::string event(unsigned long long seqNo, const std::string& category = "c") {
  return evt::test::eventRequest(category, "", "d" + std::to_string(seqNo), 1, seqNo);
}

std::string subscribe(const std::string& category) {
  return protocol::subscriptionRequest(protocol::kSubscribe, protocol::subscriptionKey(1, category));
}

// A client's queue, one line a request: its name, with the number if any.
std::vector<std::string> drain(ClientSession& client) {
  std::vector<std::string> lines;
  while (client.hasPending()) {
    const ParamsView batch(client.takeBatch(1000, 1u << 20));
    for (std::size_t i = 0; i < batch.count(); ++i) {
      const ParamsView request(batch.itemAt(i));
      std::string line(protocol::nameOf(request));
      if (line == protocol::kEvent) line += " " + std::to_string(protocol::readEvent(request).seqNo);
      if (line == protocol::kCheckEventSeqNo) line += " " + std::to_string(protocol::readCheck(request).seqNo);
      lines.push_back(line);
    }
  }
  return lines;
}

class RouterTest : public ::testing::Test {
 protected:
  // A new client of `router`, `number` being its connection order.
  ClientSession& join(uint64_t number, Router& to, ClientTable& table) {
    ClientSession& client = table.add(std::make_unique<ClientSession>(number, -1, 0));
    to.addClient(&client);
    return client;
  }
  ClientSession& join(uint64_t number) { return join(number, router, clients); }
  // One queue text of `requests` from `from`.
  void queue(ClientSession& from, const Lines& requests, Router* to = nullptr) {
    (to != nullptr ? *to : router).handleQueue(from, listOf(requests));
  }
  Router::SeqNoReader store() {
    return [this](const std::string&) { return readable ? std::optional<unsigned long long>(issued) : std::nullopt; };
  }

  unsigned long long issued = 150;  // the store's last number, as the router reads it
  bool readable = true;
  ClientTable clients;
  Router router{clients, 1, 100, QueueLimits(), HoldLimits(), store()};
  ClientSession& publisher = join(1);
  ClientSession& subscriber = join(2);
};

// An eventd killed and started again: the second router resumes each series it inherits where the first left
// it. What a publisher's library sends again is kept for the subscriber coming back, in number order; a number
// the first router had given up (its subscriber told of the gap, later ones delivered) comes too late, so nothing
// is delivered out of order. A series nobody followed any more has no floor; one of another store is not read.
TEST_F(RouterTest, ARestartedRouterResumesSeriesWhereTheLastOneLeftThem) {
  const std::string path = ::testing::TempDir() + "floors." + std::to_string(getpid());
  {
    SeriesFloors floors;
    std::string error;
    ASSERT_TRUE(floors.open(path, 100, &error)) << error;
    EXPECT_FALSE(floors.inherited());
    router.keepFloorsIn(&floors);
    queue(subscriber, {subscribe("c"), subscribe("gone")});
    queue(subscriber, {protocol::subscriptionRequest(protocol::kUnsubscribe, protocol::subscriptionKey(1, "gone"))});
    issued = 160;
    queue(publisher, {event(151), event(152), event(157), event(158), event(159), event(160)});
    router.expireHolds(std::chrono::steady_clock::now() + std::chrono::seconds(2));  // 153 to 156 given up
    EXPECT_EQ(drain(subscriber).back(), "event 160");
  }  // killed: nothing more is recorded
  {
    // Two more series the last eventd left at 150.
    SeriesFloors edit;
    std::string error;
    ASSERT_TRUE(edit.open(path, 100, &error)) << error;
    edit.store(edit.claim("w"), 150);
    edit.store(edit.claim("u"), 150);
  }

  SeriesFloors floors;
  std::string error;
  ASSERT_TRUE(floors.open(path, 100, &error)) << error;
  ASSERT_TRUE(floors.inherited());
  EXPECT_TRUE(floors.inherits("c"));
  EXPECT_FALSE(floors.inherits("gone"));
  ClientTable table;
  Router restarted{table, 1, 100, QueueLimits(), HoldLimits(), store()};
  issued = 163;  // at the restart: 161 to 163 of "c" can only come from the libraries' queues now
  restarted.keepFloorsIn(&floors, std::chrono::seconds(3));
  ClientSession& again = join(1, restarted, table);
  ClientSession& back = join(2, restarted, table);
  queue(again, {event(163), event(155), event(161), event(9999), event(162), event(7, "gone")}, &restarted);
  queue(back, {subscribe("c"), subscribe("gone")}, &restarted);
  EXPECT_EQ(drain(back), (Lines{"set-seqno-base", "check-event-seqno 160", "event 161", "event 162", "event 163"}));
  EXPECT_EQ(restarted.counters().madeUp, 1u);
  EXPECT_EQ(restarted.counters().lateDropped, 1u);  // 155
  EXPECT_EQ(restarted.counters().beforeStart, 0u);
  // Numbers issued after the restart come live, and wait for each other as ever.
  issued = 165;
  queue(again, {event(165)}, &restarted);
  EXPECT_TRUE(drain(back).empty());
  queue(again, {event(164)}, &restarted);
  EXPECT_EQ(drain(back), (Lines{"event 164", "event 165"}));

  // Numbers of "w" issued before the restart wait for what the libraries send again, until the live stream
  // passes them: then the missing ones are given up rather than holding it, and what came goes first. Live
  // numbers missing behind them still get the hold time.
  issued = 166;
  queue(back, {subscribe("w")}, &restarted);
  queue(again, {event(152, "w")}, &restarted);
  EXPECT_TRUE(drain(back).empty());
  queue(again, {event(166, "w")}, &restarted);
  EXPECT_EQ(drain(back), (Lines{"check-event-seqno 151", "event 152"}));
  restarted.expireHolds(std::chrono::steady_clock::now() + std::chrono::seconds(2));
  EXPECT_EQ(drain(back), (Lines{"check-event-seqno 165", "event 166"}));

  // A store that cannot be read when "u"'s subscriber comes back: the series still resumes where it was left.
  readable = false;
  queue(back, {subscribe("u")}, &restarted);
  readable = true;
  queue(again, {event(150, "u"), event(151, "u")}, &restarted);
  EXPECT_EQ(drain(back), (Lines{"check-event-seqno 150", "event 151"}));
  EXPECT_EQ(restarted.counters().lateDropped, 2u);  // 155 of "c", 150 of "u"

  // After the window, only the series followed again keep a floor, where they stand now.
  restarted.expireHolds(std::chrono::steady_clock::now() + std::chrono::seconds(4));
  EXPECT_FALSE(floors.inherited());
  {
    SeriesFloors next;
    ASSERT_TRUE(next.open(path, 100, &error)) << error;
    EXPECT_EQ(next.takeInherited("c"), 165u);
    EXPECT_EQ(next.takeInherited("gone"), 163u);
    EXPECT_EQ(next.takeInherited("w"), 166u);
    EXPECT_FALSE(next.takeInherited("c"));  // said once
  }
  // A file with a second name or behind a link may be someone else's choosing: not used.
  const std::string other = path + ".other";
  ASSERT_EQ(::link(path.c_str(), other.c_str()), 0);
  SeriesFloors linked;
  EXPECT_FALSE(linked.open(path, 100, &error));
  std::remove(other.c_str());
  ASSERT_EQ(::symlink(path.c_str(), other.c_str()), 0);
  EXPECT_FALSE(linked.open(other, 100, &error));
  std::remove(other.c_str());
  SeriesFloors ofAnotherStore;
  ASSERT_TRUE(ofAnotherStore.open(path, 101, &error)) << error;
  EXPECT_FALSE(ofAnotherStore.inherited());
  std::remove(path.c_str());
}

TEST_F(RouterTest, PairsLeaveInNumberOrderAndMissingNumbersAreGivenUpOnce) {
  queue(subscriber, {subscribe("c")});
  EXPECT_TRUE(drain(subscriber).empty());
  // Numbered before the subscription (store at 150), out of order, repeated.
  issued = 153;
  queue(publisher, {event(149), event(153), event(151), event(152), event(152)});
  EXPECT_EQ(drain(subscriber), (Lines{"set-seqno-base", "check-event-seqno 150", "event 151", "event 152", "event 153"}));
  EXPECT_EQ(publisher.fed.count(subscriber.number()), 1u);
  EXPECT_EQ(router.counters().beforeStart, 1u);
  EXPECT_EQ(router.counters().lateDropped, 1u);

  // 154 never comes: 155 waits for it, then goes after one check. 9999 was never issued: dropped, not waited for.
  issued = 160;
  queue(publisher, {event(155), event(9999)});
  const auto now = std::chrono::steady_clock::now();
  EXPECT_TRUE(router.expireHolds(now + milliseconds(500)));
  EXPECT_TRUE(drain(subscriber).empty());
  EXPECT_FALSE(router.expireHolds(now + milliseconds(1500)));
  EXPECT_EQ(drain(subscriber), (Lines{"check-event-seqno 154", "event 155"}));
  EXPECT_EQ(router.counters().givenUp, 1u);
  EXPECT_EQ(router.counters().malformed, 1u);
  EXPECT_EQ(router.counters().madeUp, 1u);
  queue(publisher, {event(154), event(156)});
  EXPECT_EQ(drain(subscriber), (Lines{"event 156"}));
  EXPECT_EQ(router.counters().lateDropped, 2u);
}

// A monitor gets every accepted event, followed or not, with its sender, and never holds the publisher back;
// notices only when it asked for them. Dumps stay bounded whatever the tables hold.
TEST_F(RouterTest, MonitorsSeeEveryEventWithItsSenderAndDumpsStayBounded) {
  ClientSession& monitor = join(3);
  router.addMonitor(monitor, false);
  publisher.name = "pub";
  publisher.reportedPid = 42;
  queue(publisher, {protocol::publicationRequest(protocol::kPublish, "c", 1), event(151, "unfollowed"), event(152)});
  const ParamsView batch(monitor.takeBatch(1000, 1u << 20));
  ASSERT_EQ(batch.count(), 2u);
  const ParamsView copy(batch.itemAt(0));
  const protocol::Monitored monitored = protocol::readMonitored(copy);
  EXPECT_EQ(monitored.senderName, "pub");
  EXPECT_EQ(monitored.senderPid, 42);
  EXPECT_EQ(protocol::readEvent(ParamsView(monitored.request)).category, "unfollowed");
  EXPECT_TRUE(publisher.fed.empty()) << "a monitor holds no publisher back";

  for (int i = 0; i < 12000; ++i) queue(subscriber, {subscribe(std::to_string(i))});
  const std::string text = router.dumpText();
  EXPECT_NE(text.find("more lines left out"), std::string::npos);
  EXPECT_LT(text.size(), 1u << 20);
  const std::string json = router.dumpJson();
  EXPECT_NE(json.find("\"omitted\":"), std::string::npos);
  EXPECT_EQ(json.find("\"omitted\":0"), std::string::npos);
}

TEST(ClientQueue, BatchesGiveBackEveryRequestOnceInOrderWithinItsLimits) {
  ClientSession client(1, -1, 0);
  const QueueLimits limits;
  Lines sent, received;
  int next = 0;
  auto queue = [&](int n) {
    for (int i = 0; i < n; ++i, ++next) {
      // Sizes that vary, an empty request and one with ';' and digits inside.
      std::string request = next % 7 == 0 ? "" : std::to_string(next) + ";x;" + std::string(next % 50, 'r');
      ASSERT_TRUE(client.enqueue(request, true, limits));
      sent.push_back(request);
    }
  };
  // Cut by count and bytes, queued between takes (compaction while non-empty).
  queue(100);
  for (int round = 0; round < 40; ++round) {
    std::string_view batch = client.takeBatch(round % 2 == 0 ? 7 : 1000, round % 3 == 0 ? 120 : 1u << 20);
    for (std::string& request : itemsOf(std::string(batch))) received.push_back(std::move(request));
    queue(round % 5);
  }
  while (client.hasPending()) {
    for (auto& request : itemsOf(std::string(client.takeBatch(3, 1u << 20)))) received.push_back(request);
  }
  EXPECT_EQ(received, sent);
  EXPECT_EQ(client.counters.requestsOut, sent.size());

  // A batch's text is the list of its requests, as the host parses it.
  ASSERT_TRUE(client.enqueue("5;event", true, limits));
  ASSERT_TRUE(client.enqueue("4;done", false, limits));
  EXPECT_EQ(client.takeBatch(10, 1u << 20), "7;5;event;6;4;done");

  // Limits refuse events first: notices have room up to twice the limit.
  ClientSession small(2, -1, 0);
  QueueLimits tight;
  tight.requests = 2;
  tight.bytes = 1000;
  EXPECT_TRUE(small.enqueue("a", true, tight));
  EXPECT_TRUE(small.enqueue("b", true, tight));
  EXPECT_FALSE(small.enqueue("c", true, tight));  // an event beyond the limit
  EXPECT_TRUE(small.enqueue("d", false, tight));  // a notice still has room
  EXPECT_TRUE(small.enqueue("e", false, tight));
  EXPECT_FALSE(small.enqueue("f", false, tight));  // up to twice the limit
  EXPECT_FALSE(small.enqueue(std::string(1001, 'x'), true, tight));
  EXPECT_EQ(small.counters.dropped, 3u);
  EXPECT_EQ(itemsOf(std::string(small.takeBatch(10, 1u << 20))), (Lines{"a", "b", "d", "e"}));
  EXPECT_TRUE(small.enqueue("g", true, tight));  // room again once sent
}

std::vector<unsigned long long> takeAll(PairSequencer& sequencer) {
  std::vector<unsigned long long> taken;
  unsigned long long seqNo = 0;
  std::string_view request;
  while (sequencer.takeReady(&seqNo, &request)) {
    EXPECT_EQ(request, "e" + std::to_string(seqNo));
    taken.push_back(seqNo);
  }
  return taken;
}

TEST(PairSequencer, GivesUpMissingNumbersAfterTheHoldTimeOrWhenTheHoldIsFull) {
  const auto start = PairSequencer::Clock::now();
  HoldLimits limits;
  limits.time = milliseconds(1000);
  limits.events = 3;

  PairSequencer sequencer(1);
  ASSERT_EQ(sequencer.arrive(4, "e4", start), Arrival::kHeld);
  ASSERT_EQ(sequencer.arrive(5, "e5", start + milliseconds(500)), Arrival::kHeld);
  EXPECT_FALSE(sequencer.giveUpDue(start + milliseconds(999), limits));
  EXPECT_TRUE(sequencer.giveUpDue(start + milliseconds(1000), limits));
  EXPECT_EQ(sequencer.giveUp(), 3u);  // 1, 2 and 3
  EXPECT_EQ(takeAll(sequencer), (std::vector<unsigned long long>{4, 5}));
  EXPECT_EQ(sequencer.arrive(2, "e2", start), Arrival::kLate);

  // Four held over a bound of three: the gap before them goes at once.
  for (unsigned long long seqNo : {8ull, 9ull, 10ull}) sequencer.arrive(seqNo, "e" + std::to_string(seqNo), start);
  EXPECT_FALSE(sequencer.giveUpDue(start, limits));
  sequencer.arrive(12, "e12", start);
  // A number never issued is discarded instead of moving the series on.
  sequencer.arrive(1000000, "e1000000", start);
  EXPECT_EQ(sequencer.discardAbove(12), 1u);
  EXPECT_TRUE(sequencer.giveUpDue(start, limits));
  EXPECT_EQ(sequencer.giveUp(), 2u);  // 6 and 7
  EXPECT_EQ(takeAll(sequencer), (std::vector<unsigned long long>{8, 9, 10}));
  EXPECT_EQ(sequencer.arrive(11, "e11", start), Arrival::kInOrder);
  EXPECT_EQ(takeAll(sequencer), (std::vector<unsigned long long>{12}));
  EXPECT_EQ(sequencer.heldBytes(), 0u);

  // Started at 0 (another server's pair): the first number to arrive begins it.
  PairSequencer fresh(0);
  EXPECT_EQ(fresh.arrive(500, "e500", start), Arrival::kInOrder);
  EXPECT_EQ(fresh.arrive(499, "e499", start), Arrival::kBeforeStart);
}

// Several publishers' batches interleave: every number comes once, in
// shuffled windows, with texts of many sizes, so the hold grows, wraps,
// compacts its texts and takes numbers far ahead, and still hands every
// event on once, in order, with its own text.
TEST(PairSequencer, PutsInterleavedBatchesBackInOrder) {
  const auto now = PairSequencer::Clock::now();
  auto text = [](unsigned long long seqNo) { return "e" + std::to_string(seqNo) + std::string(seqNo % 300, 'x'); };
  std::vector<unsigned long long> order;
  for (unsigned long long seqNo = 1; seqNo <= 60000; ++seqNo) order.push_back(seqNo);
  std::mt19937 random(7);
  for (std::size_t from = 0; from < order.size(); from += 5000) {
    std::shuffle(order.begin() + from, order.begin() + std::min(order.size(), from + 5000), random);
  }
  order.push_back(400000);  // far ahead of the ring

  PairSequencer sequencer(1);
  unsigned long long expected = 1;
  std::size_t held = 0;
  for (unsigned long long seqNo : order) {
    const Arrival arrival = sequencer.arrive(seqNo, text(seqNo), now);
    if (arrival == Arrival::kHeld) {
      ++held;
      ASSERT_EQ(sequencer.arrive(seqNo, text(seqNo), now), Arrival::kLate);  // a repeat
      continue;
    }
    ASSERT_EQ(arrival, Arrival::kInOrder);
    ASSERT_EQ(seqNo, expected++);
    unsigned long long ready = 0;
    std::string_view request;
    while (sequencer.takeReady(&ready, &request)) {
      ASSERT_EQ(ready, expected++);
      ASSERT_EQ(request, text(ready));
    }
  }
  EXPECT_EQ(expected, 60001u);
  EXPECT_GT(held, 50000u);
  EXPECT_EQ(sequencer.heldCount(), 1u);  // 400000
  EXPECT_EQ(sequencer.discardAbove(300000), 1u);
  EXPECT_EQ(sequencer.heldCount(), 0u);
  EXPECT_EQ(sequencer.heldBytes(), 0u);
}

// Another server gets a pair's events in the forwarded form and rebuilds
// exactly the requests its clients sent; numbers that step by one travel
// empty, and a message that cannot be read back is refused, not guessed at.
TEST(ForwardedForm, RebuildsEveryRequestOfAPair) {
  const Pair pair{7, "orders"};
  const std::vector<std::string> sent = {
      eventRequest("orders", "k1;k2", "first", 7, 100),
      eventRequest("orders", "", std::string(300, 'x'), 7, 101),
      eventRequest("orders", "", "", 7, 105),  // a gap
      publication("orders", "retract"),
      eventRequest("orders", "e", "1;e", 7, 106),
  };
  std::string message;
  unsigned long long last = 0;
  for (const std::string& request : sent) forwarded::append(&message, request, &last);
  std::string full;
  for (const std::string& request : sent) params::appendItem(&full, request);
  EXPECT_LT(message.size(), full.size());

  const ParamsView items(message);
  ASSERT_EQ(items.count(), sent.size());
  unsigned long long seen = 0;
  std::string rebuilt;
  for (std::size_t i = 0; i < sent.size(); ++i) {
    std::string_view request;
    evt::protocol::Event event{};
    ASSERT_TRUE(forwarded::expand(pair, items.itemAt(i), &seen, &rebuilt, &request, &event));
    EXPECT_EQ(request, sent[i]);
    // The fields handed out with an event are those its request holds.
    const ParamsView list(sent[i]);
    const evt::protocol::Event expected = evt::protocol::readEvent(list);
    EXPECT_EQ(event.complete, evt::protocol::nameOf(list) == evt::protocol::kEvent) << i;
    if (!event.complete) continue;
    EXPECT_EQ(event.category, expected.category);
    EXPECT_EQ(event.keys, expected.keys);
    EXPECT_EQ(event.data, expected.data);
    EXPECT_EQ(event.server, expected.server);
    EXPECT_EQ(event.seqNo, expected.seqNo);
  }

  std::string_view request;
  evt::protocol::Event event{};
  unsigned long long none = 0;
  const std::string stepAtStart = listOf({"e", "", "data", ""});
  EXPECT_FALSE(forwarded::expand(pair, stepAtStart, &none, &rebuilt, &request, &event));
  EXPECT_FALSE(forwarded::expand(pair, listOf({"e", "", "data", "0"}), &none, &rebuilt, &request, &event));
  EXPECT_FALSE(forwarded::expand(pair, listOf({"e", "data", "5"}), &none, &rebuilt, &request, &event));
}

}  // namespace
}  // namespace evt::service
