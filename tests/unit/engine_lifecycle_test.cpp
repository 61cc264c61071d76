// The engine's life against a fake service on the real socket: registration
// and a stop that never hangs.
#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "Library/CEResultCodes.h"
#include "Library/CEventLib.h"
#include "Library/CEventLibImpl.h"
#include "tests/support/EngineFixture.h"

using evt::test::EngineTest;
using evt::test::eventually;
using evt::test::FakeService;
using namespace std::chrono_literals;

namespace {

std::vector<uint32_t> commandCodes(const FakeService& service) {
  std::vector<uint32_t> codes;
  for (const auto& command : service.commands()) codes.push_back(command.cmd);
  return codes;
}

// Runs `work` and fails the test instead of hanging when it takes too long.
template <typename Work>
void finishesWithin(std::chrono::milliseconds bound, Work work) {
  auto done = std::async(std::launch::async, work);
  ASSERT_EQ(std::future_status::ready, done.wait_for(bound)) << "did not return in time";
  done.get();
}

}  // namespace

// An empty server id is a failed attempt, retried after 500 ms; texts
// answered to the name and pid commands do not replace the id; the first
// connection is followed by identification and a flush of the queue.
TEST_F(EngineTest, RegistersRetryingUntilTheServerIdComes) {
  service.setServerIdAnswers({"", "12"});
  service.setAnswerText(CECMD_CLIENT_NAME, "ok");
  service.setAnswerText(CECMD_PROCESS_ID, "ok");
  auto client = connectedClient("registrar");
  EXPECT_EQ(12ul, client->engine()->thisServerId());

  auto commands = service.commands();
  std::vector<uint32_t> expected = {CECMD_SERVER_ID, CECMD_SERVER_ID, CECMD_CLIENT_NAME, CECMD_PROCESS_ID,
                                    CECMD_CLIENT_NAME, CECMD_PROCESS_ID, CECMD_QUEUE};
  ASSERT_EQ(expected, commandCodes(service));
  EXPECT_GE(commands[1].at - commands[0].at, 450ms);
  EXPECT_EQ("registrar", commands[2].text);
  EXPECT_EQ(std::to_string(getpid()), commands[3].text);
  EXPECT_EQ("", commands[6].text);
}

// finalize returns promptly whether the service is absent, or accepts and
// never answers; afterwards every operation is refused and nothing restarts.
// An exchange with no channel fails as "not connected", never as "stopping"
// (which would end the send thread for good).
TEST_F(EngineTest, FinalizeNeverHangs) {
  service.stop();
  CEventLib absent("absent", nullptr, nullptr, nullptr);
  std::string answer = "kept";
  EXPECT_EQ(CE_E_NOT_CONNECTED, EngineProbe::exchange(*absent.engine(), CECMD_QUEUE, "", &answer));
  EXPECT_EQ("kept", answer);
  ASSERT_EQ(0, absent.initialize());
  EXPECT_EQ(CE_E_NOT_CONNECTED, absent.execute(0));
  finishesWithin(3s, [&] { absent.finalize(); });

  service.setSilent(true);
  service.start();
  CEventLib blocked("blocked", nullptr, nullptr, nullptr);
  ASSERT_EQ(0, blocked.initialize());
  ASSERT_TRUE(service.waitUntil([&] { return countOf(CECMD_SERVER_ID) == 1; }));
  finishesWithin(3s, [&] { blocked.finalize(); });
  EXPECT_TRUE(EngineProbe::stopped(*blocked.engine()));

  EXPECT_EQ(CE_E_STOPPING, blocked.execute(7));
  finishesWithin(1s, [&] { EXPECT_EQ(0, blocked.finalize()); });
  // initialize after finalize opens no channel.
  int accepted = service.connectionsAccepted();
  EXPECT_EQ(0, blocked.initialize());
  EXPECT_TRUE(eventually([&] { return !EngineProbe::initThreadRunning(*blocked.engine()); }));
  EXPECT_FALSE(EngineProbe::hasChannel(*blocked.engine()));
  EXPECT_EQ(accepted, service.connectionsAccepted());
}

// Many short lives, connected or not, with a second client beside them:
// under the sanitizer builds this is the leak and race check.
TEST_F(EngineTest, ManyLifecycles) {
  auto witness = connectedClient("witness");
  for (int i = 0; i < 200; ++i) {
    CEventLib client("cycle", &handlers, &handlers, &handlers);
    ASSERT_EQ(0, client.initialize());
    if (i % 4 == 0) {
      ASSERT_TRUE(eventually([&] { return client.engine()->isConnected(); }));
      client.execute(9);
    }
    if (i % 2 == 0) client.finalize();
  }
  EXPECT_TRUE(witness->engine()->isConnected());
}
