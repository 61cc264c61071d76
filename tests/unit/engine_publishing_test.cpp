// Publications, and the host's events on their way to the service.
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Library/CEResultCodes.h"
#include "Library/CEventLib.h"
#include "Library/CEventLibImpl.h"
#include "tests/support/EngineFixture.h"

using evt::test::EngineTest;
using evt::test::eventually;
using namespace std::chrono_literals;

namespace {

// The texts of every batch received, once one holds a completion id.
std::vector<std::string> batchesUntilCompletion(evt::test::FakeService& service, std::chrono::milliseconds timeout = 10s) {
  std::vector<std::string> texts;
  EXPECT_TRUE(service.waitUntil(
      [&] {
        texts.clear();
        for (const auto& command : service.commandsOf(CECMD_QUEUE)) texts.push_back(command.text);
        return !texts.empty() && texts.back().find("completion-id") != std::string::npos;
      },
      timeout));
  return texts;
}

}  // namespace

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
  client->finalize();
  EXPECT_EQ(CE_E_STOPPING, client->publish("late"));
  EXPECT_EQ(CE_E_STOPPING, client->retract("cat1"));
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
  auto queued = batchesUntilCompletion(service, 60s);
  ASSERT_GE(queued.size() - before, 2u);
  int next = 0;
  for (std::size_t i = before; i < queued.size(); ++i) {
    EXPECT_LE(queued[i].size(), kMaxQueueText + data.size());
    CParamsX requests(queued[i]);
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
// call: nothing is queued or numbered and the base stays. The host's events
// then leave whole, numbered from the store in order, with this server's id
// (0 without a category).
TEST_F(EngineTest, OwnEventsAreNumberedAndBadTextsRefused) {
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


  EXPECT_EQ(0, client->deliverEvent("cat", evt::test::listOf({"k1"}), "d"));
  EXPECT_EQ(0, client->deliverEvent("cat", "", std::string(200000, 'x')));
  EXPECT_EQ(0, client->deliverEvent("", "", "no category"));
  EXPECT_EQ(0, client->execute(9));
  CParamsX batch(batchesUntilCompletion(service).back());
  ASSERT_EQ(4ul, batch.count());  // the three events and the completion id
  CParamsX first(batch.getstringParamAt(0));
  EXPECT_EQ("event", first.getstringParamAt(0));
  EXPECT_EQ("3;cat;4;2;k1;1;d;2;12", first.getstringParamAt(1));
  EXPECT_EQ(base + 1, first.getULONGLONGParamAt(2));
  CParamsX second(batch.getstringParamAt(1));
  EXPECT_EQ(base + 2, second.getULONGLONGParamAt(2));
  EXPECT_EQ(200000u, CParamsX(second.getstringParamAt(1)).getstringParamAt(2).size());
  EXPECT_EQ(0u, CParamsX(batch.getstringParamAt(2)).getULONGLONGParamAt(2));
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
  const std::string batch = batchesUntilCompletion(service).back();
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
  std::vector<unsigned long long> numbers;
  for (const auto& text : batchesUntilCompletion(service)) {
    CParamsX batch(text);
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
  // 1 MiB holds about 16 of these events, and the batch the send thread
  // took before it blocked at most as many again: the host stops there.
  ASSERT_TRUE(eventually([&] { return queued.load() >= 16; }));
  std::this_thread::sleep_for(100ms);  // time the host would need to overrun the bound
  const int stopped = queued.load();
  EXPECT_LT(stopped, 2 * 16 + 8);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(stopped, queued.load()) << "the host still queues";
  service.stop();
  host.join();
  EXPECT_EQ(CE_E_NOT_CONNECTED, last.load());
}
