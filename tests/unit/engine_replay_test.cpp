// What a client announces on every connection, and what it does while the
// service is away.
#include <set>

#include <gtest/gtest.h>

#include "Library/CEResultCodes.h"
#include "Library/CEventLib.h"
#include "Library/CEventLibImpl.h"
#include "tests/support/EngineFixture.h"

using evt::test::EngineTest;
using evt::test::eventually;
using evt::test::listOf;
using evt::test::publication;
using evt::test::subscription;

namespace {

void flushNow(CEventLib& client, evt::test::FakeService& service) {
  std::size_t before = service.commandsOf(CECMD_QUEUE).size();
  client.execute(0);
  ASSERT_TRUE(service.waitUntil([&] { return service.commandsOf(CECMD_QUEUE).size() > before; }));
}

void stopService(CEventLib& client, evt::test::FakeService& service) {
  service.stop();
  EXPECT_TRUE(eventually([&] { return !client.engine()->isConnected(); }));
}

// The first batch the client sent on connection `connection`.
std::string batchOn(evt::test::FakeService& service, int connection) {
  std::string batch;
  EXPECT_TRUE(service.waitUntil([&] {
    for (const auto& command : service.commandsOf(CECMD_QUEUE))
      if (command.connection == connection) return batch = command.text, true;
    return false;
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

// While the service is away, execute and the host's events are refused (the
// refused event still used its number), and publications change without
// queueing anything. Every connection then identifies itself again and
// replays every publication held and every subscription key exactly once, in
// one batch, however often the service restarts.
TEST_F(EngineTest, EveryConnectionReplaysEverything) {
  auto client = connectedClient("replayer");
  const unsigned long long base = EngineProbe::store(*client->engine()).getSeqNoBase();
  client->publish("pub1");
  client->publish("gone");
  client->subscribe("cat1", "", 12, nullptr);
  flushNow(*client, service);
  stopService(*client, service);
  EXPECT_EQ(CE_E_NOT_CONNECTED, client->execute(0));
  EXPECT_EQ(CE_E_NOT_CONNECTED, client->deliverEvent("cat1", "", "lost"));
  client->publish("pub0");
  client->retract("pub0");
  client->retract("gone");
  service.start();
  EXPECT_EQ(listOf({publication("pub1"), subscription("cat1")}), batchOn(service, 2));
  EXPECT_TRUE(identified(service, 2));
  EXPECT_TRUE(client->engine()->isConnected());
  EXPECT_EQ(0, client->deliverEvent("cat1", "", "after"));
  flushNow(*client, service);
  CParamsX sent(service.commandsOf(CECMD_QUEUE).back().text);
  EXPECT_EQ(base + 2, CParamsX(sent.getstringParamAt(0)).getULONGLONGParamAt(2));

  std::set<std::string> expected = {publication("pub1"), subscription("cat1")};
  for (int i = 2; i <= 10; ++i) {
    client->publish("pub" + std::to_string(i));
    expected.insert(publication("pub" + std::to_string(i)));
  }
  for (int i = 2; i <= 50; ++i) {
    std::string category = "cat" + std::to_string(i);
    client->subscribe(category, "", 12, nullptr);
    client->subscribe(category, "2;k1", 12, nullptr);  // same key: announced once
    expected.insert(subscription(category));
  }
  flushNow(*client, service);
  const int after = static_cast<int>(countOf(CECMD_QUEUE));
  for (int connection = 3; connection <= 21; ++connection) {
    stopService(*client, service);
    service.start();
    CParamsX batch(batchOn(service, connection));
    std::set<std::string> items;
    for (unsigned long i = 0; i < batch.count(); ++i) items.insert(batch.getstringParamAt(i));
    ASSERT_EQ(60ul, batch.count()) << "connection " << connection;
    ASSERT_EQ(expected, items) << "connection " << connection;
  }
  // Connections 3 on saw no flush of the host's: only their replay.
  EXPECT_EQ(after + 19, static_cast<int>(countOf(CECMD_QUEUE)));
}

// What the host queues while a new connection's announcement waits leaves
// after it, in its batch: an event follows its "publish", and the completion
// is in the same batch as the subscriptions.
// A connection whose identification fails announces nothing, but the host's
// requests still leave.
TEST_F(EngineTest, QueuedRequestsLeaveBeforeTheAnnouncementInItsBatch) {
  auto client = connectedClient("announcer");
  client->subscribe("cat1", "", 12, nullptr);
  flushNow(*client, service);
  stopService(*client, service);
  service.holdAnswersTo(CECMD_CLIENT_NAME);
  service.start();
  ASSERT_TRUE(identified(service, 2));
  ASSERT_TRUE(eventually([&] { return client->execute(77) >= 0; }));
  // Changes made while the announcement waits go with it, once each.
  client->publish("pub2");
  client->subscribe("cat2", "", 12, nullptr);
  service.holdAnswersTo(0);
  EXPECT_EQ(listOf({publication("pub2"), subscription("cat1"), subscription("cat2"),
                    evt::protocol::completionIdRequest(77)}),
            batchOn(service, 2));

  service.setResult(CECMD_CLIENT_NAME, 0xC1271001u);
  stopService(*client, service);
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
// subscriptions unresolved (announced as such) rather than filing them
// under server 0.
TEST_F(EngineTest, NoServerIdKeepsSubscriptionsUnresolved) {
  service.setServerIdAnswers({"0"});
  CEventLib client("zero", nullptr, nullptr, nullptr);
  client.subscribe("cat", "", 0xFFFFFFFFul, nullptr);
  client.initialize();
  const std::string unresolved = evt::protocol::subscriptionKey(0xFFFFFFFFu, "cat");
  EXPECT_EQ(listOf({evt::protocol::subscriptionRequest(evt::protocol::kSubscribe, unresolved)}), batchOn(service, 1));
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
