// The engine's connection to a fake service on the real socket: registration, a stop that never hangs, batched
// sends, dispatch of the service's requests, and what every new connection announces.
#include <chrono>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "Library/CEResultCodes.h"
#include "tests/support/EngineFixture.h"
#include "tests/support/TestEnvironment.h"

namespace evt::test {
namespace {

using namespace std::chrono_literals;

// An empty server id is retried after 500 ms; answers to name and pid do not replace it; identification and a
// flush follow. The id is read as 32 bits in both builds; an id of 0 leaves "this server" subscriptions unresolved.
TEST_F(EngineTest, RegistersRetryingUntilTheServerIdComes) {
  service.setAnswerTexts(CECMD_SERVER_ID, {"", "12"});
  service.setAnswerTexts(CECMD_CLIENT_NAME, {"ok"});
  service.setAnswerTexts(CECMD_PROCESS_ID, {"ok"});
  auto client = connectedClient("registrar");
  EXPECT_EQ(12ul, client->engine()->thisServerId());
  auto commands = service.commands();
  std::vector<uint32_t> codes;
  for (const auto& command : commands) codes.push_back(command.cmd);
  ASSERT_EQ((std::vector<uint32_t>{CECMD_SERVER_ID, CECMD_SERVER_ID, CECMD_CLIENT_NAME, CECMD_PROCESS_ID,
                                   CECMD_CLIENT_NAME, CECMD_PROCESS_ID, CECMD_QUEUE}), codes);
  EXPECT_GE(commands[1].at - commands[0].at, 450ms);
  EXPECT_EQ("registrar", commands[2].text);
  EXPECT_EQ(std::to_string(getpid()), commands[3].text);
  EXPECT_EQ("", commands[6].text);
  client->finalize();

  for (const auto& [answer, id] : {std::pair<const char*, uint32_t>{"4294967294", 0xFFFFFFFEu}, {"-2", 0xFFFFFFFEu},
                                   {"0", 0}}) {
    service.setAnswerTexts(CECMD_SERVER_ID, {answer});
    CEventLib other("wide", nullptr, nullptr, nullptr);
    other.subscribe("cat", "", 0xFFFFFFFFul, nullptr);
    const int connection = service.connectionsAccepted() + 1;
    other.initialize();
    const std::string key = protocol::subscriptionKey(id == 0 ? 0xFFFFFFFFu : id, "cat");
    EXPECT_EQ(listOf({protocol::subscriptionRequest(protocol::kSubscribe, key)}), batchOn(connection)) << answer;
    EXPECT_EQ(id, other.engine()->thisServerId()) << answer;
  }
}

// finalize returns promptly with the service absent or never answering; then all is refused and nothing restarts.
// No channel is "not connected", never "stopping" (which would end the send thread for good).
TEST_F(EngineTest, FinalizeNeverHangs) {
  service.stop();
  CEventLib absent("absent", nullptr, nullptr, nullptr);
  std::string answer = "kept";
  EXPECT_EQ(CE_E_NOT_CONNECTED, EngineProbe::exchange(*absent.engine(), CECMD_QUEUE, "", &answer));
  EXPECT_EQ("kept", answer);
  ASSERT_EQ(0, absent.initialize());
  EXPECT_EQ(CE_E_NOT_CONNECTED, absent.execute(0));
  finishesWithin(3s, [&] { absent.finalize(); });

  service.holdAnswersTo(CECMD_SERVER_ID);  // accepts, never answers
  service.start();
  CEventLib blocked("blocked", nullptr, nullptr, nullptr);
  ASSERT_EQ(0, blocked.initialize());
  ASSERT_TRUE(eventually([&] { return countOf(CECMD_SERVER_ID) == 1; }));
  finishesWithin(3s, [&] { blocked.finalize(); });
  EXPECT_TRUE(EngineProbe::stopped(*blocked.engine()));

  EXPECT_EQ(CE_E_STOPPING, blocked.execute(7));
  finishesWithin(1s, [&] { EXPECT_EQ(0, blocked.finalize()); });
  // initialize after finalize opens no channel: its threads end at once.
  const int accepted = service.connectionsAccepted();
  EXPECT_EQ(0, blocked.initialize());
  EXPECT_TRUE(eventually([&] { return EngineProbe::stopped(*blocked.engine()); }));
  EXPECT_EQ(accepted, service.connectionsAccepted());
}

// From a handler (here: of its own "connected" event) finalize would wait for the thread it runs on.
TEST_F(EngineTest, FinalizeFromAHandlerIsRefused) {
  struct Finalizing : CEventHandler {
    std::atomic<CEventLib*> client{nullptr};
    std::atomic<long> result{1};
    long onDeliverEvent(const std::string&, const std::string&, const std::string&, unsigned long long,
                        unsigned long) override {
      if (CEventLib* own = client.exchange(nullptr)) result = own->finalize();
      return 0;
    }
  } finalizing;
  CEventLib self("self", &finalizing, nullptr, nullptr);
  finalizing.client = &self;
  ASSERT_EQ(0, self.initialize());
  ASSERT_TRUE(eventually([&] { return finalizing.result.load() != 1; }));
  EXPECT_EQ(CE_E_IN_HANDLER, finalizing.result.load());
  EXPECT_TRUE(self.isConnected()) << "nothing stopped";
  finishesWithin(3s, [&] { EXPECT_EQ(0, self.finalize()); });
}

// Many short lives, connected or not, beside a second client: the sanitizer builds' leak and race check.
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

// Plain wakes within 200 ms of the first make one batch, sent when the window closes; an id goes at once, even alone.
TEST_F(EngineTest, BatchesPlainWakesAndSendsCompletionsAtOnce) {
  auto client = connectedClient();
  client->publish("first");
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(0, client->execute(0));
  std::this_thread::sleep_for(50ms);
  client->publish("second");
  EXPECT_EQ(0, client->execute(0));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(0, client->execute(0));
  ASSERT_TRUE(eventually([&] { return countOf(CECMD_QUEUE) == 2; }));
  auto batch = service.commands(CECMD_QUEUE)[1];
  EXPECT_GE(batch.at - start, 190ms);
  EXPECT_EQ(listOf({publication("first"), publication("second")}), batch.text);

  client->publish("third");
  EXPECT_EQ(listOf({publication("third"), "13;completion-id;3;1;7"}), flushed(*client, 7));
  // Nothing queued: the id still goes out, so its completion can come back.
  EXPECT_EQ(listOf({listOf({"completion-id", "11;-2147483647"})}), flushed(*client, 0x80000001ul));
}

// The host hears of its own connection going and coming as "eventsystem" events of its server id, once each; an
// id the lost service took and never completed is completed with CE_E_NOT_CONNECTED, one it completed is not.
TEST_F(EngineTest, HostHearsOfItsConnectionAndOfTheIdsItLost) {
  auto client = connectedClient();
  ASSERT_TRUE(eventually([&] { return handlers.connections().size() == 1; }));
  EXPECT_TRUE(client->isConnected());
  EXPECT_EQ(12u, client->thisServerId());
  flushed(*client, 5);
  flushed(*client, 6);
  deliver({protocol::completedRequest(5, 0)});
  stopService(*client);
  EXPECT_FALSE(client->isConnected());
  ASSERT_TRUE(eventually([&] { return handlers.completions().size() == 2; }));
  EXPECT_EQ((std::vector<std::pair<long, long>>{{5, 0}, {6, CE_E_NOT_CONNECTED}}), handlers.completions());
  service.start();
  ASSERT_TRUE(eventually([&] { return handlers.connections().size() == 3; }));
  EXPECT_EQ((std::vector<std::string>{"connected", "disconnected", "connected"}), handlers.connections());
  stopService(*client);
  client->finalize();
  EXPECT_EQ(4u, handlers.connections().size());
  EXPECT_EQ(2u, handlers.completions().size());
}

// A text of several request lists: handled in order, numbers unchanged, answered once; unknown or miscased names
// skipped; no-response requests not answered; texts without data or NUL survived and answered. A handler's failure
// or exception is logged and changes nothing else; none is no harm.
TEST_F(EngineTest, DispatchesEveryRequestOfATextAndAnswersOnce) {
  auto client = connectedClient();
  auto notice = [](const std::string& category, long server, const char* name = "publish") {
    return protocol::publicationRequest(name, category, static_cast<uint32_t>(server));
  };
  std::string both = listOf({notice("cat1", 12), notice("cat1", -1, "retract")});
  uint32_t pair = service.sendRequest(both, false);
  channel::Frame answer;
  ASSERT_TRUE(service.answerTo(pair, &answer, 10s));
  EXPECT_EQ((std::vector<uint32_t>{0x11223344u, 6u, 0u, 0xA5A5A5A5u}),
            std::vector<uint32_t>(answer.header, answer.header + 4));  // echoed, with the answer mark
  EXPECT_EQ("", answer.text);
  using Notice = std::tuple<std::string, long, int>;
  EXPECT_EQ((std::vector<Notice>{Notice{"cat1", 12, 1}, Notice{"cat1", -1, 0}}), handlers.publishes());

  deliver({notice("x", 1, "Publish"), notice("x", 1, "nonsense"), "garbage"});
  EXPECT_EQ(2u, handlers.publishes().size());

  uint32_t silent = service.sendRequest(listOf({notice("quiet", 3)}), true);
  uint32_t empty = service.sendRequest("", false, false);
  uint32_t unterminated = service.sendRequest(listOf({protocol::completedRequest(7, -5)}), false, false);
  ASSERT_TRUE(service.answerTo(empty, &answer, 10s));
  ASSERT_TRUE(service.answerTo(unterminated, &answer, 10s));
  EXPECT_FALSE(service.answerTo(silent, &answer, 0ms));  // answers come in order
  EXPECT_EQ(3u, handlers.publishes().size());
  EXPECT_EQ((std::vector<std::pair<long, long>>{{7, -5}}), handlers.completions());
  EXPECT_TRUE(logged("CEventLibImpl::ipcClientRequestThread - request \"" + both + "\""));

  const std::vector<std::string> calls = {protocol::completedRequest(1, 2), notice("c", 5), notice("c", 5, "retract"),
                                          eventRequest("c", "", "e", 12, 0)};
  client->subscribe("c", "", 12, nullptr);
  for (const auto& [result, throws] : {std::pair<long, bool>{CE_E_CREATE, false}, {0, true}}) {
    handlers.setResult(result, throws);
    uint32_t failing = service.sendRequest(listOf(calls), false);
    ASSERT_TRUE(service.answerTo(failing, &answer, 10s));
    EXPECT_EQ(0u, answer.header[2]);  // handler results do not change the answer
    for (const char* action : {"Completed", "Publish", "Retract", "Event"})
      EXPECT_TRUE(logged(std::string("(Error) CEventLibImpl::action") + action + " failed - " +
                         (throws ? "0xC11F0D53" : "0xC11F0D48")));
  }
  deliver({eventRequest("c", "", "after", 12, 0)});  // the request thread goes on
  EXPECT_EQ(3u, handlers.eventCount());
  handlers.setResult(0);

  CEventLib bare("bare", nullptr, nullptr, nullptr);
  bare.initialize();
  ASSERT_TRUE(eventually([&] { return bare.engine()->isConnected(); }));
  deliver({protocol::completedRequest(7, -5), notice("c", 1)});
}

// Answers naming another command or carrying a failure fail the exchange; a late answer is not taken for the next.
TEST_F(EngineTest, TakesOnlyTheAnswerToItsOwnExchange) {
  service.setAnswerHeader(CECMD_SERVER_ID, CECMD_CLIENT_NAME);
  CEventLib client("mismatch", nullptr, nullptr, nullptr);
  ASSERT_EQ(0, client.initialize());
  ASSERT_TRUE(eventually([&] { return countOf(CECMD_SERVER_ID) >= 2; }));
  EXPECT_FALSE(client.engine()->isConnected());
  EXPECT_EQ(0u, countOf(CECMD_CLIENT_NAME));
  EXPECT_TRUE(logged("(Error) CEventLibImpl::sendReceiveIPC failed - 0xC11F0D51"));

  service.setAnswerHeader(CECMD_SERVER_ID, CECMD_SERVER_ID, 0xC0000022u);
  EXPECT_TRUE(eventually([&] { return logged("(Error) CEventLibImpl::sendReceiveIPC failed - 0xC0000022"); }));
  EXPECT_FALSE(client.engine()->isConnected());

  service.setAnswerHeader(CECMD_SERVER_ID, CECMD_SERVER_ID);
  EXPECT_TRUE(eventually([&] { return client.engine()->isConnected(); }));
  EXPECT_EQ(12ul, client.engine()->thisServerId());

  service.holdAnswersTo(CECMD_CLIENT_NAME);
  EXPECT_EQ(ZEBIPC_E_TIMEOUT, EngineProbe::exchange(*client.engine(), CECMD_CLIENT_NAME, "late", nullptr));
  service.setAnswerTexts(CECMD_PROCESS_ID, {"its own"});
  std::thread release([&] {
    std::this_thread::sleep_for(300ms);  // the next exchange waits by then
    service.holdAnswersTo(0);
  });
  std::string answer;
  EXPECT_EQ(0, EngineProbe::exchange(*client.engine(), CECMD_PROCESS_ID, "next", &answer));
  release.join();
  EXPECT_EQ("its own", answer);
}

// While the service is away, execute and events are refused (no number spent on them) and publications
// change without queueing. Every connection identifies itself and replays each publication and subscription key
// once, in one batch. What was queued before leaves first, even a dump's flush while disconnected (a stale
// "unsubscribe" cannot undo the renewal); what was queued while the announcement waited follows it (an event after
// its "publish", a completion after the subscriptions). A failed identification announces nothing; requests leave.
TEST_F(EngineTest, EveryConnectionReplaysEverything) {
  auto client = connectedClient("replayer");
  const unsigned long long base = EngineProbe::store(*client->engine()).getSeqNoBase();
  client->publish("pub1");
  client->publish("gone");
  client->subscribe("cat1", "", 12, nullptr);
  flushed(*client);
  client->deliverEvent("cat1", "", "kept");
  stopService(*client);
  EXPECT_EQ(CE_E_NOT_CONNECTED, client->execute(0));
  EXPECT_EQ(CE_E_NOT_CONNECTED, client->deliverEvent("cat1", "", "lost"));
  EXPECT_EQ(0, client->reportConnectivity(5));  // dropped: not connected
  client->dump();  // its flush, which cannot succeed, keeps the queue
  client->publish("pub0");
  client->retract("pub0");
  client->retract("gone");
  service.holdAnswersTo(CECMD_CLIENT_NAME);
  service.start();
  ASSERT_TRUE(eventually([&] { return !service.commands(CECMD_CLIENT_NAME, 2).empty(); }));
  ASSERT_TRUE(eventually([&] { return client->execute(77) >= 0; }));
  // Changes made while the announcement waits go with it, once each.
  client->publish("pub2");
  client->subscribe("cat2", "", 12, nullptr);
  service.holdAnswersTo(0);
  EXPECT_EQ(listOf({eventRequest("cat1", "", "kept", 12, base + 1), protocol::dumpRequest(), publication("pub1"),
                    publication("pub2"), subscription("cat1"), subscription("cat2"),
                    protocol::completionIdRequest(77)}),
            batchOn(2));
  EXPECT_TRUE(client->engine()->isConnected());
  EXPECT_EQ(0, client->deliverEvent("cat1", "", "after"));
  EXPECT_EQ(listOf({eventRequest("cat1", "", "after", 12, base + 2)}), flushed(*client));

  std::set<std::string> expected = {publication("pub1"), publication("pub2"), subscription("cat1")};
  for (int i = 3; i <= 10; ++i) {
    client->publish("pub" + std::to_string(i));
    expected.insert(publication("pub" + std::to_string(i)));
  }
  for (int i = 2; i <= 50; ++i) {
    std::string category = "cat" + std::to_string(i);
    client->subscribe(category, "", 12, nullptr);
    client->subscribe(category, "2;k1", 12, nullptr);  // same key: announced once
    expected.insert(subscription(category));
  }
  flushed(*client);
  const std::size_t after = countOf(CECMD_QUEUE);
  for (int connection = 3; connection <= 21; ++connection) {
    stopService(*client);
    service.start();
    const auto batch = itemsOf(batchOn(connection));
    ASSERT_EQ(60ul, batch.size()) << "connection " << connection;
    ASSERT_EQ(expected, std::set<std::string>(batch.begin(), batch.end())) << "connection " << connection;
  }
  // Connections 3 on saw no flush of the host's: only their replay.
  EXPECT_EQ(after + 19, countOf(CECMD_QUEUE));

  service.setAnswerHeader(CECMD_CLIENT_NAME, CECMD_CLIENT_NAME, 0xC1271001u);
  stopService(*client);
  service.start();
  ASSERT_TRUE(eventually([&] { return !service.commands(CECMD_CLIENT_NAME, 22).empty(); }));
  ASSERT_TRUE(eventually([&] { return client->execute(78) >= 0; }));
  ASSERT_TRUE(eventually([&] {
    for (const auto& command : service.commands(CECMD_QUEUE, 22))
      if (command.text.find("completion-id") != std::string::npos) return true;
    return false;
  })) << "the send thread is blocked";
}

}  // namespace
}  // namespace evt::test
