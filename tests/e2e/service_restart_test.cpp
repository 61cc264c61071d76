// The service killed and restarted under hosts that keep publishing and
// subscribing: the subscriptions come back by themselves, every gap is
// reported once, and nothing but the gaps is missing or out of order.
#include <atomic>
#include <signal.h>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "Library/CEResultCodes.h"
#include "tests/support/FakeService.h"
#include "tests/support/ServiceProcess.h"
#include "tests/support/TestHost.h"

namespace evt::test {
namespace {

std::size_t ticksReceived(TestHost& host) {
  std::size_t count = 0;
  for (const auto& event : host.handlers.events()) count += event.category == "ticks";
  return count;
}

// The service and two registered hosts.
class ServiceRestart : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service.start());
    ASSERT_TRUE(subscriber.registered());
    ASSERT_TRUE(publisher.registered());
  }
  ServiceProcess service;
  TestHost subscriber{"subscriber"};
  TestHost publisher{"publisher"};
};

TEST_F(ServiceRestart, SubscriptionsComeBackAndEveryGapIsReportedOnce) {
  ASSERT_GE(subscriber.lib().subscribe("ticks", "", 0xFFFFFFFFul, nullptr), 0);
  ASSERT_TRUE(subscriber.flush());

  std::atomic<bool> stop{false};
  std::atomic<long> accepted{0};
  std::atomic<long> refused{0};
  std::thread publishing([&] {
    for (long i = 0; !stop; ++i) {
      long result = publisher.lib().deliverEvent("ticks", "", std::to_string(i));
      if (result >= 0) {
        ++accepted;
      } else {
        ++refused;  // not connected: the number is spent, a gap to report
      }
      if (i % 16 == 0) publisher.lib().execute(0);
      std::this_thread::sleep_for(std::chrono::microseconds(300));  // pacing, not waiting
    }
  });

  constexpr int kRestarts = 3;
  for (int round = 1; round <= kRestarts; ++round) {
    const std::size_t before = ticksReceived(subscriber);
    ASSERT_TRUE(eventually([&] { return ticksReceived(subscriber) >= before + 100; }, std::chrono::seconds(60)))
        << "round " << round;
    ASSERT_EQ(service.kill(SIGKILL), 128 + SIGKILL);
    ASSERT_TRUE(service.start()) << "restart " << round;
  }
  const std::size_t before = ticksReceived(subscriber);
  ASSERT_TRUE(eventually([&] { return ticksReceived(subscriber) >= before + 100; }, std::chrono::seconds(60)));
  stop = true;
  publishing.join();
  ASSERT_TRUE(publisher.flush());
  ASSERT_TRUE(subscriber.flush());

  // Walk what the subscriber got: events strictly in order, and between two
  // events whose numbers are not adjacent exactly one missed-event report.
  long lastData = -1;
  unsigned long long lastSeqNo = 0;
  int reportsSinceEvent = 0;
  int gaps = 0;
  for (const auto& event : subscriber.handlers.events()) {
    if (event.category == "eventsystem") {
      ASSERT_EQ(event.data, "missed-event");
      ASSERT_EQ(event.keys, listOf({"ticks"}));
      ++reportsSinceEvent;
      continue;
    }
    ASSERT_EQ(event.category, "ticks");
    const long data = std::stol(event.data);
    ASSERT_GT(data, lastData) << "out of order or repeated";
    if (lastSeqNo != 0) {
      ASSERT_GT(event.seqNo, lastSeqNo);
      const bool gap = event.seqNo != lastSeqNo + 1 || data != lastData + 1;
      ASSERT_EQ(reportsSinceEvent, gap ? 1 : 0) << "at data " << data << ", seqno " << event.seqNo;
      gaps += gap;
    }
    lastData = data;
    lastSeqNo = event.seqNo;
    reportsSinceEvent = 0;
  }
  EXPECT_EQ(reportsSinceEvent, 0);
  EXPECT_LE(gaps, kRestarts) << "a restart costs at most one gap";
  // The last event published reached the subscriber. How many a restart
  // costs depends on how soon each host is back (seconds under an emulator);
  // that every loss was reported, once, is what the walk above checks.
  EXPECT_EQ(lastData, accepted + refused - 1);
  EXPECT_EQ(service.stop(), 0);
}

// A subscription cancelled (not yet sent) and renewed while the service was
// down survives the restart: what was queued leaves before the announcement.
TEST_F(ServiceRestart, SubscriptionRenewedWhileDownOutlivesItsQueuedCancellation) {
  std::string subscription;
  ASSERT_GE(subscriber.lib().subscribe("renewed", "", 0xFFFFFFFFul, &subscription), 0);
  ASSERT_TRUE(subscriber.flush());
  ASSERT_GE(subscriber.lib().unsubscribe(subscription), 0);  // queued, not sent
  ASSERT_EQ(service.kill(SIGKILL), 128 + SIGKILL);
  ASSERT_TRUE(eventually([&] { return subscriber.lib().execute(0) < 0; }));
  ASSERT_GE(subscriber.lib().subscribe("renewed", "", 0xFFFFFFFFul, nullptr), 0);
  ASSERT_TRUE(service.start());
  ASSERT_TRUE(subscriber.flush());
  ASSERT_TRUE(publisher.flush());
  for (int i = 0; i < 3; ++i) ASSERT_GE(publisher.lib().deliverEvent("renewed", "", std::to_string(i)), 0);
  ASSERT_TRUE(publisher.flush());
  ASSERT_TRUE(eventually([&] {
    std::size_t count = 0;
    for (const auto& event : subscriber.handlers.events()) count += event.category == "renewed";
    return count == 3;
  }));
  EXPECT_EQ(service.stop(), 0);
}

}  // namespace
}  // namespace evt::test
