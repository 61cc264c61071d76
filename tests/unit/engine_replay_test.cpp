// What a client announces on every connection.
#include <set>

#include <gtest/gtest.h>

#include "Library/CEventLib.h"
#include "Library/CEventLibImpl.h"
#include "tests/support/EngineFixture.h"

using evt::test::EngineTest;
using evt::test::eventually;

namespace {

void flushNow(CEventLib& client, evt::test::FakeService& service) {
  std::size_t before = service.commandsOf(CECMD_QUEUE).size();
  client.execute(0);
  ASSERT_TRUE(service.waitUntil([&] { return service.commandsOf(CECMD_QUEUE).size() > before; }));
}

// Restarts the service and returns the batch the client sent on the new
// connection.
std::string replayAfterRestart(CEventLib& client, evt::test::FakeService& service, int connection) {
  service.stop();
  EXPECT_TRUE(eventually([&] { return !client.engine()->isConnected(); }));
  service.start();
  std::string batch;
  EXPECT_TRUE(service.waitUntil([&] {
    for (const auto& command : service.commandsOf(CECMD_QUEUE))
      if (command.connection == connection) batch = command.text;
    return !batch.empty();
  }));
  return batch;
}

// Waits until connection `connection` has identified itself.
bool identified(evt::test::FakeService& service, int connection) {
  return service.waitUntil([&] {
    for (const auto& command : service.commandsOf(CECMD_CLIENT_NAME))
      if (command.connection == connection) return true;
    return false;
  });
}

}  // namespace

// Every connection replays every publication and every subscription key
// exactly once, in one batch, however often the service restarts.
TEST_F(EngineTest, EveryConnectionReplaysEverything) {
  auto client = connectedClient("replayer");
  client->publish("pub1");
  client->subscribe("cat1", "", 12, nullptr);
  flushNow(*client, service);
  EXPECT_EQ("24;7;publish;11;4;pub1;2;12;26;9;subscribe;11;2;12;4;cat1", replayAfterRestart(*client, service, 2));

  std::set<std::string> expected = {"7;publish;11;4;pub1;2;12", "9;subscribe;11;2;12;4;cat1"};
  for (int i = 2; i <= 10; ++i) {
    std::string category = "pub" + std::to_string(i);
    client->publish(category);
    expected.insert(evt::test::publishNotice("publish", category, 12));
  }
  for (int i = 2; i <= 50; ++i) {
    std::string category = "cat" + std::to_string(i);
    client->subscribe(category, "", 12, nullptr);
    client->subscribe(category, "2;k1", 12, nullptr);  // same key: announced once
    expected.insert(evt::test::requestList("subscribe", "2;12;" + std::to_string(category.size()) + ";" + category));
  }
  flushNow(*client, service);
  for (int connection = 3; connection <= 21; ++connection) {
    CParamsX batch(replayAfterRestart(*client, service, connection));
    std::set<std::string> items;
    for (unsigned long i = 0; i < batch.count(); ++i) items.insert(batch.getstringParamAt(i));
    ASSERT_EQ(60ul, batch.count()) << "connection " << connection;
    ASSERT_EQ(expected, items) << "connection " << connection;
  }
  // Connections 3 on saw no flush of the host's: only their replay.
  for (int connection = 3; connection <= 21; ++connection) {
    int batches = 0;
    for (const auto& command : service.commandsOf(CECMD_QUEUE)) batches += command.connection == connection;
    EXPECT_EQ(1, batches) << "connection " << connection;
  }
}

// What the host queued before a new connection is announced leaves first,
// in the announcement's batch: a stale "unsubscribe" cannot undo the renewed
// subscription, and the completion is in the same batch as the subscriptions.
// A connection whose identification fails announces nothing, but the host's
// requests still leave.
TEST_F(EngineTest, QueuedRequestsLeaveBeforeTheAnnouncementInItsBatch) {
  auto client = connectedClient("announcer");
  client->subscribe("cat1", "", 12, nullptr);
  flushNow(*client, service);
  service.stop();
  ASSERT_TRUE(eventually([&] { return !client->engine()->isConnected(); }));
  service.holdAnswersTo(CECMD_CLIENT_NAME);
  service.start();
  ASSERT_TRUE(identified(service, 2));
  ASSERT_TRUE(eventually([&] { return client->execute(77) >= 0; }));
  service.holdAnswersTo(0);
  std::vector<std::string> sent;
  ASSERT_TRUE(service.waitUntil([&] {
    sent.clear();
    for (const auto& command : service.commandsOf(CECMD_QUEUE))
      if (command.connection == 2) sent.push_back(command.text);
    return !sent.empty();
  }));
  ASSERT_EQ(1u, sent.size());
  CParamsX batch(sent.front());
  ASSERT_EQ(2ul, batch.count());
  EXPECT_EQ("completion-id", CParamsX(batch.getstringParamAt(0)).getstringParamAt(0));
  EXPECT_EQ("9;subscribe;11;2;12;4;cat1", batch.getstringParamAt(1));

  service.setResult(CECMD_CLIENT_NAME, 0xC1271001u);
  service.stop();
  ASSERT_TRUE(eventually([&] { return !client->engine()->isConnected(); }));
  service.start();
  ASSERT_TRUE(identified(service, 3));
  ASSERT_TRUE(eventually([&] { return client->execute(78) >= 0; }));
  ASSERT_TRUE(service.waitUntil([&] {
    for (const auto& command : service.commandsOf(CECMD_QUEUE))
      if (command.connection == 3 && command.text.find("completion-id") != std::string::npos) return true;
    return false;
  })) << "the send thread is blocked";
}

// A service that answers the server id with 0 leaves "this server"
// subscriptions unresolved rather than filing them under server 0.
TEST_F(EngineTest, NoServerIdKeepsSubscriptionsUnresolved) {
  service.setServerIdAnswers({"0"});
  CEventLib client("zero", nullptr, nullptr, nullptr);
  client.subscribe("cat", "", 0xFFFFFFFFul, nullptr);
  client.initialize();
  ASSERT_TRUE(service.waitUntil([&] { return countOf(CECMD_QUEUE) >= 1; }));
  EXPECT_TRUE(EngineProbe::key(*client.engine(), "2;-1;3;cat").unresolved);
  EXPECT_EQ(1ul, EngineProbe::key(*client.engine(), "2;-1;3;cat").uses);
  EXPECT_EQ(0u, EngineProbe::key(*client.engine(), "1;0;3;cat").filed);
}

// The server id answer is a 32-bit id however it is written, in both builds.
TEST_F(EngineTest, ServerIdAnswerIsRead32Bit) {
  for (const char* answer : {"4294967294", "-2"}) {
    service.setServerIdAnswers({answer});
    CEventLib client("wide", nullptr, nullptr, nullptr);
    client.initialize();
    ASSERT_TRUE(eventually([&] { return client.engine()->isConnected(); })) << answer;
    EXPECT_EQ(0xFFFFFFFEul, client.engine()->thisServerId()) << answer;
    client.finalize();
  }
}
