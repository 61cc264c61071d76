// Publications, their replay after a reconnection, and completions.
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Library/CEResultCodes.h"
#include "Library/CEventLib.h"
#include "Library/CEventLibImpl.h"
#include "tests/support/EngineFixture.h"

using evt::channel::Frame;
using evt::test::EngineTest;
using evt::test::eventually;
using evt::test::completedNotice;
using evt::test::publishNotice;
using evt::test::textOf;
using namespace std::chrono_literals;

TEST_F(EngineTest, PublishAndRetractQueueTheirRequests) {
  auto client = connectedClient();
  std::string all;
  EXPECT_EQ(0, client->publish("cat1"));
  EXPECT_EQ(0, client->publish("cat1"));  // already published: nothing more
  EXPECT_EQ(0, client->publish("A"));
  EXPECT_EQ(0, client->retract("A"));
  EXPECT_EQ(0, client->retract("never"));
  EXPECT_EQ(0, client->execute(7));
  ASSERT_TRUE(service.waitUntil([&] { return countOf(CECMD_QUEUE) == 2; }));
  EXPECT_EQ("24;7;publish;11;4;cat1;2;12;20;7;publish;8;1;A;2;12;20;7;retract;8;1;A;2;12;22;13;completion-id;3;1;7",
            service.commandsOf(CECMD_QUEUE)[1].text);
  // Publishing opened the categories in the shared store.
  EngineProbe::store(*client->engine()).getAllCategories(&all);
  EXPECT_NE(std::string::npos, all.find("4;cat1"));

  // While the service is away nothing is queued; the publications still held
  // are announced on the next connection, in one batch.
  service.stop();
  ASSERT_TRUE(eventually([&] { return !client->engine()->isConnected(); }));
  EXPECT_EQ(0, client->publish("pub0"));
  EXPECT_EQ(0, client->retract("pub0"));
  EXPECT_EQ(0, client->publish("pub1"));
  EXPECT_EQ(0, client->retract("cat1"));
  EXPECT_EQ(0u, EngineProbe::queuedRequests(*client->engine()));
  service.start();
  ASSERT_TRUE(service.waitUntil([&] {
    auto queued = service.commandsOf(CECMD_QUEUE);
    return queued.back().connection == 2;
  }));
  EXPECT_EQ("24;7;publish;11;4;pub1;2;12", service.commandsOf(CECMD_QUEUE).back().text);

  client->finalize();
  EXPECT_EQ(CE_E_STOPPING, client->publish("late"));
  EXPECT_EQ(CE_E_STOPPING, client->retract("pub1"));
}

// The service's notices reach the handlers with their numbers unchanged; a
// handler's failure is logged and nothing else; a missing handler is no harm.
TEST_F(EngineTest, NoticesReachTheHandlers) {
  auto client = connectedClient();
  handlers.setResult(CE_E_NOT_CONNECTED);
  uint32_t id = service.sendRequest(
      textOf({completedNotice(7, -5), publishNotice("publish", "cat", -1), publishNotice("retract", "cat", 5)}),
      false);
  Frame answer;
  ASSERT_TRUE(service.answerTo(id, &answer, 10s));
  EXPECT_EQ((std::vector<std::pair<long, long>>{{7, -5}}), handlers.completions());
  using Notice = std::tuple<std::string, long, int>;
  EXPECT_EQ((std::vector<Notice>{Notice{"cat", -1, 1}, Notice{"cat", 5, 0}}), handlers.publishes());
  std::string log = logText();
  EXPECT_NE(std::string::npos, log.find("(Error) CEventLibImpl::actionCompleted failed - 0xC11F0D4A"));
  EXPECT_NE(std::string::npos, log.find("(Error) CEventLibImpl::actionPublish failed - 0xC11F0D4A"));
  EXPECT_NE(std::string::npos, log.find("(Error) CEventLibImpl::actionRetract failed - 0xC11F0D4A"));

  CEventLib bare("bare", nullptr, nullptr, nullptr);
  bare.initialize();
  ASSERT_TRUE(eventually([&] { return bare.engine()->isConnected(); }));
  uint32_t ignored = service.sendRequest(textOf({completedNotice(7, -5), publishNotice("publish", "cat", -1)}), false);
  ASSERT_TRUE(service.answerTo(ignored, &answer, 10s));
}

// A queue too long for one frame leaves in several exchanges, cut between
// requests and in order, instead of being refused and lost.
TEST_F(EngineTest, LongQueueLeavesInSeveralExchanges) {
  auto client = connectedClient();
  const std::size_t before = countOf(CECMD_QUEUE);
  const std::string data(300 * 1024, 'd');
  constexpr int kEvents = 12;  // about 3.5 MiB queued
  for (int i = 0; i < kEvents; ++i) ASSERT_EQ(0, client->deliverEvent("big", "", data + std::to_string(i)));
  ASSERT_EQ(0, client->execute(9));
  // Through the sanitizer builds on a busy machine this may take a while.
  ASSERT_TRUE(service.waitUntil(
      [&] {
        auto queued = service.commandsOf(CECMD_QUEUE);
        return !queued.empty() && queued.back().text.find("completion-id") != std::string::npos;
      },
      60s));
  auto queued = service.commandsOf(CECMD_QUEUE);
  ASSERT_GE(queued.size() - before, 2u);
  int next = 0;
  for (std::size_t i = before; i < queued.size(); ++i) {
    EXPECT_LE(queued[i].text.size(), kMaxQueueText + data.size());
    CParamsX requests(queued[i].text);
    for (unsigned long r = 0; r < requests.count(); ++r) {
      CParamsX request(requests.getstringParamAt(r));
      if (request.getstringParamAt(0) != "event") continue;
      EXPECT_EQ(CParamsX(request.getstringParamAt(1)).getstringParamAt(2), data + std::to_string(next)) << next;
      ++next;
    }
  }
  EXPECT_EQ(next, kEvents);
}

// A NUL in any text, or the store's reserved category, is refused at the
// call: nothing is queued or numbered, the base stays, and what the host
// queues next travels whole.
TEST_F(EngineTest, TextsWithNulAndTheReservedCategoryAreRefused) {
  auto client = connectedClient();
  CCategorySeqNo& store = EngineProbe::store(*client->engine());
  const unsigned long long base = store.getSeqNoBase();
  const std::string nul("a\0b", 3);
  const std::string reserved = CCategorySeqNo::kSeqNoBaseCategory;
  EXPECT_EQ(CE_E_INVALID_TEXT, client->deliverEvent("cat", "", nul));
  EXPECT_EQ(CE_E_INVALID_TEXT, client->deliverEvent("cat", nul, "data"));
  EXPECT_EQ(CE_E_INVALID_TEXT, client->deliverEvent(nul, "", "data"));
  EXPECT_EQ(CE_E_INVALID_TEXT, client->deliverEvent(reserved, "", "data"));
  EXPECT_EQ(CE_E_INVALID_TEXT, client->publish(reserved));
  EXPECT_EQ(CE_E_INVALID_TEXT, client->publish(nul));
  EXPECT_EQ(CE_E_INVALID_TEXT, client->retract(nul));
  EXPECT_EQ(CE_E_INVALID_TEXT, client->subscribe("cat", nul, 0xFFFFFFFFul, nullptr));
  EXPECT_EQ(CE_E_INVALID_TEXT, client->unsubscribe(nul));
  unsigned long long n = 0;
  EXPECT_EQ(CE_E_INVALID_TEXT, store.getNextSeqNo(reserved, &n));
  EXPECT_EQ(CE_E_INVALID_TEXT, store.setSeqNo(reserved, 1));
  EXPECT_EQ(base, store.getSeqNoBase());

  EXPECT_EQ(0, client->deliverEvent("cat", "", "after"));
  EXPECT_EQ(0, client->execute(9));
  std::string sent;
  ASSERT_TRUE(service.waitUntil([&] {
    auto queued = service.commandsOf(CECMD_QUEUE);
    sent = queued.empty() ? std::string() : queued.back().text;
    return sent.find("completion-id") != std::string::npos;
  }));
  EXPECT_NE(std::string::npos, sent.find("5;after"));
  EXPECT_EQ(std::string::npos, sent.find('\0'));
}

// Once the machine-wide list of category names is full, events of new
// categories are still numbered and sent, reported as sent, and the full
// list is logged once, not per category.
TEST_F(EngineTest, FullCategoryListStillSendsEventsAndSaysSoOnce) {
  auto client = connectedClient();
  CCategorySeqNo& store = EngineProbe::store(*client->engine());
  for (int i = 0; store.useCategory("filler-category-" + std::to_string(i)) == 0; ++i) {
  }
  for (int i = 0; i < 5; ++i) EXPECT_EQ(0, client->deliverEvent("unlisted" + std::to_string(i), "", "d"));
  EXPECT_EQ(0, client->execute(3));
  ASSERT_TRUE(service.waitUntil([&] {
    auto queued = service.commandsOf(CECMD_QUEUE);
    return !queued.empty() && queued.back().text.find("completion-id") != std::string::npos;
  }));
  const std::string batch = service.commandsOf(CECMD_QUEUE).back().text;
  for (int i = 0; i < 5; ++i) EXPECT_NE(std::string::npos, batch.find("unlisted" + std::to_string(i)));
  const std::string log = logText();
  const std::size_t first = log.find("the list of all categories is full");
  ASSERT_NE(std::string::npos, first);
  EXPECT_EQ(std::string::npos, log.find("the list of all categories is full", first + 1));
}

// Several threads of one process publishing into one category: the events
// leave in number order, every number once.
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
  ASSERT_TRUE(service.waitUntil([&] {
    auto queued = service.commandsOf(CECMD_QUEUE);
    return !queued.empty() && queued.back().text.find("completion-id") != std::string::npos;
  }));
  std::vector<unsigned long long> numbers;
  for (const auto& command : service.commandsOf(CECMD_QUEUE)) {
    CParamsX batch(command.text);
    for (unsigned long i = 0; i < batch.count(); ++i) {
      CParamsX request(batch.getstringParamAt(i));
      if (request.getstringParamAt(0) == "event") numbers.push_back(request.getULONGLONGParamAt(2));
    }
  }
  ASSERT_EQ(2000u, numbers.size());
  for (std::size_t i = 1; i < numbers.size(); ++i) ASSERT_EQ(numbers[i - 1] + 1, numbers[i]) << "at " << i;
}

// A host that queues faster than the service takes its events waits in
// deliverEvent once the queue is full, so memory stays bounded; losing the
// service releases it with a refusal rather than leaving it stuck.
TEST_F(EngineTest, FullQueueHoldsTheHostUntilTheServiceTakesIt) {
  auto client = connectedClient();
  // Once a second exchange arrived the first was answered; from here the
  // send thread waits for an answer that does not come.
  ASSERT_EQ(0, client->execute(1));
  ASSERT_TRUE(service.waitUntil([&] { return countOf(CECMD_QUEUE) >= 2; }));
  service.holdAnswersTo(CECMD_QUEUE);
  ASSERT_EQ(0, client->execute(2));
  const std::string data(64 * 1024, 'd');
  std::atomic<int> queued{0};
  std::atomic<long> last{0};
  std::thread host([&] {
    for (int i = 0; i < 1000 && last.load() == 0; ++i, ++queued) last = client->deliverEvent("big", "", data);
  });
  // 8 MiB hold about 128 of these events; the host must stop near there.
  ASSERT_TRUE(eventually([&] { return queued.load() >= 128; }));
  std::this_thread::sleep_for(100ms);  // time the host would need to overrun the bound
  EXPECT_LT(queued.load(), 140);
  EXPECT_LT(EngineProbe::queuedRequests(*client->engine()), 140ul);
  service.stop();
  host.join();
  EXPECT_EQ(CE_E_NOT_CONNECTED, last.load());
}
