// What one hostile member of the access group can hold of the service: its memory, its log and its descriptors
// are bounded per client and per user, and the honest clients go on meanwhile.
#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "Library/CEResultCodes.h"
#include "protocol/Protocol.h"
#include "tests/support/ServiceProcess.h"

namespace evt::test {
namespace {

// A frame's first `sent` bytes, of a queue text of `size` bytes.
std::string frameStart(std::size_t size, std::size_t sent) {
  return channel::encodeFrame(clientRequest(CECMD_QUEUE, std::string(size, 'x'))).substr(0, sent);
}

std::size_t lineCount(const std::string& path) { return occurrences(readFile(path), "\n"); }

// Every number of `category` that `host` skipped was reported missed before the next event came.
void expectEveryLossReported(TestHost& host, const std::string& category) {
  unsigned long long last = 0;
  bool reported = false;
  for (const auto& event : host.handlers.events()) {
    if (event.category == "eventsystem" && event.keys == listOf({category})) {
      EXPECT_EQ(event.data, "missed-event");
      reported = true;
    } else if (event.category == category) {
      if (last != 0 && event.seqNo != last + 1) {
        EXPECT_TRUE(reported) << "unreported gap before " << event.seqNo;
      }
      last = event.seqNo;
      reported = false;
    }
  }
}

// Subscribers that never read and senders trickling unfinished frames fill a small budget. The readers lose their
// queued events, not their connection, and hear of the gap when they read again; the tricklers are disconnected
// by the deadline counted from their frame's first byte; the honest pair meanwhile gets every event or a report
// of each loss, and every event once the budget is clear.
TEST(ServiceHardening, MemoryHogsLoseTheirQueueOrConnectionAndReadersGoOn) {
  ServiceProcess service({"--max-memory", "16777216", "--stall-timeout", "200", "--partial-timeout", "1500"});
  ASSERT_TRUE(service.start());
  TestHost subscriber("subscriber");
  TestHost publisher("publisher");
  ASSERT_TRUE(subscriber.registered());
  ASSERT_TRUE(publisher.registered());
  ASSERT_TRUE(subscriber.subscribeTo("flood"));

  std::vector<std::unique_ptr<RawClient>> readers;  // subscribe, then stop reading
  channel::Frame reply;
  for (int i = 0; i < 8; ++i) {
    readers.push_back(std::make_unique<RawClient>());
    ASSERT_TRUE(readers.back()->command(CECMD_CLIENT_NAME, "hog", &reply));
    ASSERT_TRUE(readers.back()->command(CECMD_QUEUE, listOf({listOf({"subscribe", listOf({"1", "flood"})})}), &reply));
  }
  std::vector<std::unique_ptr<RawClient>> senders;  // 1.2 MiB of a 4 MiB frame each, then a byte now and then
  for (int i = 0; i < 6; ++i) {
    senders.push_back(std::make_unique<RawClient>());
    ASSERT_TRUE(senders.back()->command(CECMD_CLIENT_NAME, "trickler", &reply));
    ASSERT_TRUE(senders.back()->sendBytes(frameStart(4u << 20, 1200u << 10)));
  }
  struct Trickle {
    std::atomic<bool> on{true};
    std::thread thread;
    ~Trickle() {
      on = false;
      thread.join();
    }
  } trickle;
  trickle.thread = std::thread([&] {
    while (trickle.on) {
      for (auto& sender : senders) sender->sendBytes("x");  // fails once the service closed it
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });

  const std::string data(16 * 1024, 'd');
  auto publish = [&](int count) {
    for (int i = 0; i < count; ++i) {
      ASSERT_GE(publisher.lib().deliverEvent("flood", "", data), 0);
      if (i % 5 == 4) {
        ASSERT_TRUE(publisher.flush());
      }
    }
  };
  publish(600);
  for (auto& sender : senders) EXPECT_TRUE(sender->closedByService(10000)) << "a trickled frame outlives its deadline";
  // However slow this build, the stalled readers' queues outgrow a quarter of the budget in the end.
  for (int round = 0; round < 40 && service.status()["queues-shed"] == 0; ++round) publish(100);
  EXPECT_GT(service.status()["queues-shed"], 0);

  // With the frames gone and the readers' queues shed, every event arrives.
  EXPECT_TRUE(eventually([&] { return subscriber.received("flood") > 0; }));
  const std::size_t before = subscriber.received("flood");
  publish(100);
  EXPECT_TRUE(eventually([&] { return subscriber.received("flood") >= before + 100; }))
      << subscriber.received("flood") - before << " of 100";
  expectEveryLossReported(subscriber, "flood");
  // The stalled readers' queues are shed whenever they pass a quarter of the budget (4 MiB): they hold no more.
  EXPECT_LT(service.status()["memory-held"], 5 << 20) << "what the hogs held is given back";

  // A reader that reads again, still connected, is told where the series went on.
  std::vector<std::string> texts;
  ASSERT_TRUE(eventually([&] {
    readers.front()->answerTexts(&texts);
    return std::any_of(texts.begin(), texts.end(),
                       [](const std::string& text) { return text.find("check-event-seqno") != std::string::npos; });
  }));
  EXPECT_EQ(service.stop(), 0);
}

// A thousand dump requests in one text cost one dump. A client changing its name and pid, reporting connectivity
// and asking for dumps as fast as it can leaves a bounded number of lines in the log, and another client's status
// is answered within a second throughout.
TEST(ServiceHardening, FloodOfLoggedRequestsIsBoundedAndStatusStaysPrompt) {
  ServiceProcess service;
  ASSERT_TRUE(service.start());
  TestHost host("host");  // an honest client: a few subscriptions make a dump of some size
  ASSERT_TRUE(host.registered());
  for (const char* category : {"a", "b", "c", "d"}) ASSERT_TRUE(host.subscribeTo(category));
  const std::string log = logDirectory() + "/eventd.log";
  const std::size_t linesBefore = lineCount(log);

  RawClient flooder;
  channel::Frame reply;
  ASSERT_TRUE(flooder.command(CECMD_CLIENT_NAME, "flooder", &reply));
  ASSERT_TRUE(flooder.command(CECMD_QUEUE, "", &reply));  // now its doings are logged
  const auto dumped = std::chrono::steady_clock::now();
  ASSERT_TRUE(flooder.command(CECMD_QUEUE, listOf(std::vector<std::string>(1000, protocol::dumpRequest())), &reply));
  EXPECT_LT(std::chrono::steady_clock::now() - dumped, std::chrono::seconds(1));
  EXPECT_EQ(service.status()["dumps-skipped"], 999);
  EXPECT_EQ(occurrences(readFile(log), "dump requested by client"), 1u);
  std::string burst;
  for (int i = 0; i < 100; ++i) {
    channel::appendFrame(&burst, clientRequest(CECMD_CLIENT_NAME, "flooder-" + std::to_string(i % 2)));
    channel::appendFrame(&burst, clientRequest(CECMD_PROCESS_ID, std::to_string(1000000 + i % 2)));
    channel::appendFrame(&burst, clientRequest(CECMD_QUEUE, listOf({protocol::connectivityRequest(i % 2)})));
    channel::appendFrame(&burst, clientRequest(protocol::kCommandDump, ""));
    channel::appendFrame(&burst, clientRequest(CECMD_QUEUE, "not a list"));
  }
  std::atomic<bool> flooding{true};
  std::thread flood([&] {
    while (flooding && flooder.sendBytes(burst)) {
    }
  });

  RawClient watcher;
  ASSERT_TRUE(watcher.command(CECMD_CLIENT_NAME, "watcher", &reply));
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (std::chrono::steady_clock::now() < end) {
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(watcher.command(protocol::kCommandStatus, "", &reply, 1000)) << "status not answered in 1 s";
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  flooding = false;
  flood.join();
  ASSERT_TRUE(watcher.command(protocol::kCommandStatus, "", &reply, 1000));
  EXPECT_GT(service.status()["dumps-refused"], 0);

  // About ten entries a second for the flooder, a dump's some lines each, and a count of those left out.
  const std::string added = readFile(log);
  EXPECT_LT(lineCount(log) - linesBefore, 1500u);
  EXPECT_THAT(added, HasSubstr("lines of this client left out before"));
  EXPECT_EQ(service.stop(), 0);
}

// Connections that never send a command are closed after --register-timeout; one user's connections beyond
// --max-connections-per-user are refused, and evt says the service is at its connection limit, not that there is
// none.
TEST(ServiceHardening, SilentConnectionsAreClosedAndOneUserCannotTakeEveryConnection) {
  ServiceProcess service({"--register-timeout", "1500", "--max-connections-per-user", "6"});
  ASSERT_TRUE(service.start());
  RawClient named;
  channel::Frame reply;
  ASSERT_TRUE(named.command(CECMD_CLIENT_NAME, "named", &reply));
  std::vector<std::unique_ptr<RawClient>> silent;
  for (int i = 0; i < 5; ++i) silent.push_back(std::make_unique<RawClient>());

  RawClient seventh;
  ASSERT_TRUE(seventh.read(&reply, 5000) == 0) << "refused with an answer";
  EXPECT_EQ(reply.requestId, 0u);
  EXPECT_THAT(reply.text, HasSubstr("connection limit"));
  EXPECT_TRUE(seventh.closedByService(5000));
  ToolRun run = runTool("status-at-limit", {"status"});
  EXPECT_NE(run.status, 0);
  EXPECT_THAT(run.err, HasSubstr("at its connection limit"));
  EXPECT_THAT(run.err, Not(HasSubstr("no event service")));

  for (auto& client : silent) EXPECT_TRUE(client->closedByService(10000));
  EXPECT_TRUE(named.command(CECMD_SERVER_ID, "", &reply, 2000)) << "a client that named itself stays";
  EXPECT_THAT(readFile(logDirectory() + "/eventd.log"), HasSubstr("sent no command in time"));
  EXPECT_GE(service.status()["connections-refused"], 2);
  EXPECT_EQ(service.stop(), 0);
}

}  // namespace
}  // namespace evt::test
