// The dump of the engine's tables, connectivity reports, and item lists.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "Library/CEResultCodes.h"
#include "Library/CEventLib.h"
#include "Library/CEventLibImpl.h"
#include "tests/support/EngineFixture.h"

using evt::test::EngineTest;
using evt::test::eventually;
using evt::test::listOf;

namespace {

// The lines after the dump's first line ("-- name"), up to the last title's entries.
std::vector<std::string> dumpLines(const std::string& log, const std::string& name) {
  std::vector<std::string> lines;
  std::size_t at = log.rfind("-- " + name + "\n");
  if (at == std::string::npos) return lines;
  // Every line's text starts in the column the first line's does.
  std::size_t column = at - (log.rfind('\n', at) + 1);
  std::size_t start = log.find('\n', at) + 1;
  while (start < log.size()) {
    std::size_t end = log.find('\n', start);
    std::string line = log.substr(start, end - start);
    if (line.size() <= column || line.compare(column, 3, "   ") != 0) break;
    lines.push_back(line.substr(column));
    start = end + 1;
  }
  return lines;
}

}  // namespace

TEST_F(EngineTest, DumpWritesTheTablesAndAsksTheService) {
  auto client = connectedClient("dumper");
  client->subscribe("cat1", "", 12, nullptr);
  client->dump();
  std::vector<std::string> expected = {"   publishings",   "   subscriptions",
                                       "      2;12;4;cat1 4;cat1;0;;2;12", "   subscription use counts",
                                       "      2;12;4;cat1 1", "   seqno sent", "   seqno base", "   seqno rcvd",
                                       "      2;12;4;cat1 0"};
  EXPECT_EQ(expected, dumpLines(logText(), "dumper"));
  ASSERT_TRUE(service.waitUntil([&] { return countOf(CECMD_QUEUE) == 2; }));
  EXPECT_EQ(listOf({"9;subscribe;11;2;12;4;cat1", "4;dump"}), service.commandsOf(CECMD_QUEUE)[1].text);

  EXPECT_EQ(0, client->reportConnectivity(0xFFFFFFFFul));
  client->execute(0);
  ASSERT_TRUE(service.waitUntil([&] { return countOf(CECMD_QUEUE) == 3; }));
  EXPECT_EQ(listOf({"18;reportconnectivity;4;2;-1"}), service.commandsOf(CECMD_QUEUE)[2].text);

  // A dump while disconnected (as before the first connection) keeps the
  // queue for the next connection instead of losing it in a flush that
  // cannot succeed.
  client->deliverEvent("kept", "", "e");
  service.stop();
  ASSERT_TRUE(eventually([&] { return !client->engine()->isConnected(); }));
  EXPECT_EQ(0, client->reportConnectivity(5));  // dropped: not connected
  client->dump();
  service.start();
  ASSERT_TRUE(service.waitUntil([&] {
    auto queued = service.commandsOf(CECMD_QUEUE);
    return !queued.empty() && queued.back().connection == 2;
  }));
  CParamsX replay(service.commandsOf(CECMD_QUEUE).back().text);
  // What waited leaves first, then the subscriptions are announced.
  ASSERT_EQ(3ul, replay.count());
  EXPECT_EQ("event", CParamsX(replay.getstringParamAt(0)).getstringParamAt(0));
  EXPECT_EQ("4;dump", replay.getstringParamAt(1));
  EXPECT_EQ("9;subscribe;11;2;12;4;cat1", replay.getstringParamAt(2));

  client->finalize();
  EXPECT_EQ(CE_E_STOPPING, client->reportConnectivity(1));
  client->dump();  // does nothing
}

TEST(ItemLists, ReadAndBuildTexts) {
  CEventLib::CParseList none;
  EXPECT_FALSE(none.isValid());
  EXPECT_EQ(0ul, none.count());
  EXPECT_EQ("", none.getItem(0));
  CEventLib::CParseList list("3;abc;2;de");
  EXPECT_TRUE(list.isValid());
  ASSERT_EQ(2ul, list.count());
  EXPECT_EQ("de", list.getItem(1));
  EXPECT_EQ("", list.getItem(2));
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

// A dump while the service keeps setting bases reads one consistent state
// (the ThreadSanitizer build checks the maps are never read while written).
TEST_F(EngineTest, DumpWhileBasesArrive) {
  auto client = connectedClient();
  std::atomic<bool> done{false};
  std::thread dumping([&] {
    for (int i = 0; i < 200 && !done; ++i) client->dump();
  });
  uint32_t last = 0;
  for (uint32_t i = 0; i < 200; ++i)
    last = service.sendRequest(listOf({evt::protocol::setSeqNoBaseRequest(1000 + i, i % 7)}), i < 199);
  evt::channel::Frame answer;
  EXPECT_TRUE(service.answerTo(last, &answer, std::chrono::seconds(10)));
  done = true;
  dumping.join();
  EXPECT_NE(std::string::npos, logText().find("   seqno base"));
}
