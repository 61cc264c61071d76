// Batched sends to the service and dispatch of the service's requests.
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "Library/CEResultCodes.h"
#include "Library/CEventLib.h"
#include "Library/CEventLibImpl.h"
#include "Utilities/CParamsX.h"
#include "tests/support/EngineFixture.h"

using evt::channel::Frame;
using evt::test::EngineTest;
using evt::test::eventually;
using evt::test::listOf;
using evt::test::requestList;
using namespace std::chrono_literals;

namespace {

void queueTestRequest(CEventLibImpl* engine, const std::string& name) {
  EngineProbe::queueRequest(*engine, requestList(name, ""));
}

// The service's notices, with any numbers.
std::string notice(const std::string& category, long server, const char* name = "publish") {
  return evt::protocol::publicationRequest(name, category, static_cast<uint32_t>(server));
}
std::string completed(long first, long second) {
  return evt::protocol::completedRequest(static_cast<uint32_t>(first), static_cast<uint32_t>(second));
}

}  // namespace

// Plain wakes within 200 ms of the first make one batch, sent when the
// window closes; an id is queued last and sent at once, even alone.
TEST_F(EngineTest, BatchesPlainWakesAndSendsCompletionsAtOnce) {
  auto client = connectedClient();
  CEventLibImpl* engine = client->engine();
  queueTestRequest(engine, "first");
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(0, client->execute(0));
  std::this_thread::sleep_for(50ms);
  queueTestRequest(engine, "second");
  EXPECT_EQ(0, client->execute(0));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(0, client->execute(0));
  ASSERT_TRUE(service.waitUntil([&] { return countOf(CECMD_QUEUE) == 2; }));
  auto batch = service.commandsOf(CECMD_QUEUE)[1];
  EXPECT_GE(batch.at - start, 190ms);
  CParamsX items(batch.text);
  ASSERT_EQ(2ul, items.count());
  EXPECT_EQ("first", CParamsX(items.getstringParamAt(0)).getstringParamAt(0));
  EXPECT_EQ("second", CParamsX(items.getstringParamAt(1)).getstringParamAt(0));

  queueTestRequest(engine, "third");
  EXPECT_EQ(0, client->execute(7));
  ASSERT_TRUE(service.waitUntil([&] { return countOf(CECMD_QUEUE) == 3; }));
  EXPECT_EQ(listOf({requestList("third", ""), "13;completion-id;3;1;7"}), service.commandsOf(CECMD_QUEUE)[2].text);

  // Nothing queued: the id still goes out, so its completion can come back.
  EXPECT_EQ(0, client->execute(0x80000001ul));
  ASSERT_TRUE(service.waitUntil([&] { return countOf(CECMD_QUEUE) == 4; }));
  EXPECT_EQ(listOf({requestList("completion-id", "11;-2147483647")}), service.commandsOf(CECMD_QUEUE)[3].text);
}

// One received text with several request lists: handled in order, their
// numbers unchanged, answered once; unknown or differently cased names are
// skipped; a no-response request is handled but not answered; texts without
// data or without a NUL are survived and answered. A handler's failure is
// logged and changes nothing else; a missing handler is no harm.
TEST_F(EngineTest, DispatchesEveryRequestOfATextAndAnswersOnce) {
  auto client = connectedClient();
  std::string both = listOf({notice("cat1", 12), notice("cat1", -1, "retract")});
  uint32_t pair = service.sendRequest(both, false);
  Frame answer;
  ASSERT_TRUE(service.answerTo(pair, &answer, 10s));
  EXPECT_EQ(0x11223344u, answer.header[0]);
  EXPECT_EQ(6u, answer.header[1]);
  EXPECT_EQ(0u, answer.header[2]);
  EXPECT_EQ(0xA5A5A5A5u, answer.header[3]);
  EXPECT_EQ("", answer.text);
  using Notice = std::tuple<std::string, long, int>;
  EXPECT_EQ((std::vector<Notice>{Notice{"cat1", 12, 1}, Notice{"cat1", -1, 0}}), handlers.publishes());

  uint32_t ignored = service.sendRequest(
      listOf({notice("x", 1, "Publish"), notice("x", 1, "nonsense"), "garbage"}), false);
  ASSERT_TRUE(service.answerTo(ignored, &answer, 10s));
  EXPECT_EQ(2u, handlers.publishes().size());

  uint32_t silent = service.sendRequest(listOf({notice("quiet", 3)}), true);
  uint32_t empty = service.sendRequest("", false, false);
  uint32_t unterminated = service.sendRequest(listOf({completed(7, -5)}), false, false);
  ASSERT_TRUE(service.answerTo(empty, &answer, 10s));
  ASSERT_TRUE(service.answerTo(unterminated, &answer, 10s));
  EXPECT_FALSE(service.answerTo(silent, &answer, 0ms));  // answers come in order
  EXPECT_EQ(3u, handlers.publishes().size());
  EXPECT_EQ((std::vector<std::pair<long, long>>{{7, -5}}), handlers.completions());

  handlers.setResult(CE_E_CREATE);
  uint32_t failing =
      service.sendRequest(listOf({completed(1, 2), notice("c", 5), notice("c", 5, "retract")}), false);
  ASSERT_TRUE(service.answerTo(failing, &answer, 10s));
  EXPECT_EQ(0u, answer.header[2]);  // handler results do not change the answer
  const std::string log = logText();
  for (const char* action : {"Completed", "Publish", "Retract"})
    EXPECT_NE(std::string::npos, log.find(std::string("(Error) CEventLibImpl::action") + action + " failed - 0xC11F0D48"));
  EXPECT_NE(std::string::npos, log.find("CEventLibImpl::ipcClientRequestThread - request \"" + both + "\""));

  CEventLib bare("bare", nullptr, nullptr, nullptr);
  bare.initialize();
  ASSERT_TRUE(eventually([&] { return bare.engine()->isConnected(); }));
  ASSERT_TRUE(service.answerTo(service.sendRequest(listOf({completed(7, -5), notice("c", 1)}), false), &answer, 10s));
}

// Answers that name another command, or carry a failure, fail the exchange;
// the init thread keeps retrying and never registers. An answer that comes
// after its exchange gave up waiting is dropped, not taken for the answer to
// the next exchange.
TEST_F(EngineTest, TakesOnlyTheAnswerToItsOwnExchange) {
  service.setAnsweredCommand(CECMD_SERVER_ID, CECMD_CLIENT_NAME);
  CEventLib client("mismatch", nullptr, nullptr, nullptr);
  ASSERT_EQ(0, client.initialize());
  ASSERT_TRUE(service.waitUntil([&] { return countOf(CECMD_SERVER_ID) >= 2; }));
  EXPECT_FALSE(client.engine()->isConnected());
  EXPECT_EQ(0u, countOf(CECMD_CLIENT_NAME));
  EXPECT_NE(std::string::npos, logText().find("(Error) CEventLibImpl::sendReceiveIPC failed - 0xC11F0D51"));

  service.setAnsweredCommand(CECMD_SERVER_ID, CECMD_SERVER_ID);
  service.setResult(CECMD_SERVER_ID, 0xC0000022u);
  std::size_t before = countOf(CECMD_SERVER_ID);
  ASSERT_TRUE(service.waitUntil([&] { return countOf(CECMD_SERVER_ID) >= before + 1; }));
  EXPECT_TRUE(eventually([&] {
    return logText().find("(Error) CEventLibImpl::sendReceiveIPC failed - 0xC0000022") != std::string::npos;
  }));
  EXPECT_FALSE(client.engine()->isConnected());

  service.setResult(CECMD_SERVER_ID, 0);
  EXPECT_TRUE(eventually([&] { return client.engine()->isConnected(); }));
  EXPECT_EQ(12ul, client.engine()->thisServerId());

  service.holdAnswersTo(CECMD_CLIENT_NAME);
  EXPECT_EQ(ZEBIPC_E_TIMEOUT, EngineProbe::exchange(*client.engine(), CECMD_CLIENT_NAME, "late", nullptr));
  service.setAnswerText(CECMD_PROCESS_ID, "its own");
  std::thread release([&] {
    std::this_thread::sleep_for(300ms);  // the next exchange waits by then
    service.holdAnswersTo(0);
  });
  std::string answer;
  EXPECT_EQ(0, EngineProbe::exchange(*client.engine(), CECMD_PROCESS_ID, "next", &answer));
  release.join();
  EXPECT_EQ("its own", answer);
}
