// Eight hosts, two publishing into each category, while the service is killed and restarted twenty times: no
// subscription is lost, every category arrives in number order, every gap is reported exactly once, and no gap is
// reported that the publishers did not lose.
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/ServiceProcess.h"

namespace evt::test {
namespace {

constexpr int kClients = 8;
constexpr int kCategories = 4;  // host h publishes into category h % kCategories
constexpr long kEvents = 5000;  // per client
constexpr long kDataSpan = 1000000;  // event data: host * kDataSpan + index
constexpr int kRestarts = 20;
constexpr long kPerRound = kEvents / (kRestarts + 1);

std::string categoryOf(int client) { return "fault" + std::to_string(client); }

// Checks what `host` got of `category`: numbers increasing, each publisher's events in its order, reports only
// between non-adjacent numbers, each later than the last and none beyond the next event (else a gap reported
// twice), every publisher's last event present. Returns the number of reports and the span of numbers seen.
struct Walked {
  int reports = 0;
  unsigned long long span = 0;  // the last event's number - the first's + 1
};
Walked walk(TestHost& host, const std::string& category, const std::string& where) {
  std::map<long, long> lastIndex;  // by publisher
  unsigned long long firstSeqNo = 0, lastSeqNo = 0;
  std::vector<unsigned long long> reports;
  int reported = 0;
  long delivered = 0;
  for (const auto& event : host.handlers.events()) {
    if (event.category == "eventsystem" && event.keys == listOf({category})) {
      EXPECT_EQ(event.data, "missed-event");
      reports.push_back(event.seqNo);  // the number the gap ends before
      continue;
    }
    if (event.category != category) continue;
    const long index = std::stol(event.data) % kDataSpan;
    long& last = lastIndex.emplace(std::stol(event.data) / kDataSpan, -1).first->second;
    EXPECT_GT(index, last) << where << ": out of order or repeated";
    if (delivered > 0) {
      EXPECT_GT(event.seqNo, lastSeqNo) << where << ": out of number order";
      EXPECT_EQ(!reports.empty(), event.seqNo != lastSeqNo + 1) << where << ": at number " << event.seqNo;
      unsigned long long previous = lastSeqNo;
      for (unsigned long long report : reports) {
        EXPECT_GT(report, previous) << where << ": a gap reported twice, at number " << event.seqNo;
        EXPECT_LE(report, event.seqNo) << where << ": a report beyond the next event, at number " << event.seqNo;
        previous = report;
      }
    } else {
      EXPECT_TRUE(reports.empty()) << where << ": a report before the first event";
      firstSeqNo = event.seqNo;
    }
    reported += static_cast<int>(reports.size());
    reports.clear();
    last = index;
    lastSeqNo = event.seqNo;
    ++delivered;
  }
  EXPECT_TRUE(reports.empty()) << where << ": a report after the last event";
  EXPECT_EQ(lastIndex.size(), static_cast<std::size_t>(kClients / kCategories)) << where;
  for (const auto& last : lastIndex) {
    EXPECT_EQ(last.second, kEvents - 1) << where << ": host " << last.first << "'s subscription did not survive";
  }
  // Only what was in flight at a kill may be missing, not whole rounds.
  EXPECT_GT(delivered, kEvents) << where;
  return Walked{reported, delivered > 0 ? lastSeqNo - firstSeqNo + 1 : 0};
}

TEST(ServiceFaults, TwentyRestartsUnderEightHostsLoseNoSubscriptionAndReportEveryGapOnce) {
  ServiceProcess service;
  ASSERT_TRUE(service.start());
  std::vector<std::unique_ptr<TestHost>> hosts;
  for (int c = 0; c < kClients; ++c) hosts.push_back(std::make_unique<TestHost>("client" + std::to_string(c)));
  for (int h = 0; h < kClients; ++h) {
    ASSERT_TRUE(hosts[h]->registered());
    for (int c = 0; c < kCategories; ++c)
      ASSERT_GE(hosts[h]->lib().subscribe(categoryOf(c), "", 0xFFFFFFFFul, nullptr), 0);
    ASSERT_GE(hosts[h]->lib().publish(categoryOf(h % kCategories)), 0);
  }
  for (auto& host : hosts) ASSERT_TRUE(host->flush());

  // Publishers run at most a round ahead of the restarts; each kill comes once every host got half a round more.
  std::mutex mutex;
  std::condition_variable changed;
  int restarted = 0;
  std::vector<std::thread> publishers;
  auto release = [&](int round) {
    std::lock_guard<std::mutex> lock(mutex);
    restarted = round;
    changed.notify_all();
  };
  // Whatever way the test leaves, the publishers are released and joined.
  struct Joined {
    std::function<void()> run;
    ~Joined() { run(); }
  } joined{[&] {
    release(kRestarts);
    for (auto& publisher : publishers)
      if (publisher.joinable()) publisher.join();
  }};
  // What each host had when the current round was released.
  std::vector<std::size_t> atRelease;
  std::atomic<long> accepted[kCategories] = {};  // events deliverEvent took, per category
  for (auto& host : hosts) atRelease.push_back(host->handlers.eventCount());
  for (int c = 0; c < kClients; ++c) {
    publishers.emplace_back([&, c] {
      CEventLib& lib = hosts[c]->lib();
      for (long i = 0; i < kEvents; ++i) {
        const long round = std::min<long>(i / kPerRound, kRestarts);
        if (i % kPerRound == 0) {
          std::unique_lock<std::mutex> lock(mutex);
          changed.wait(lock, [&] { return restarted >= round; });
        }
        if (lib.deliverEvent(categoryOf(c % kCategories), "", std::to_string(c * kDataSpan + i)) == 0)
          ++accepted[c % kCategories];  // refused while down: no number taken
        if (i % 16 == 15) {
          lib.execute(0);
          std::this_thread::sleep_for(std::chrono::milliseconds(1));  // pacing, not waiting
        }
      }
    });
  }

  for (int round = 1; round <= kRestarts; ++round) {
    for (int h = 0; h < kClients; ++h) {
      const std::size_t target = atRelease[h] + kClients * kPerRound / 2;
      ASSERT_TRUE(eventually([&] { return hosts[h]->handlers.eventCount() >= target; }, std::chrono::seconds(120)))
          << "round " << round;
    }
    ASSERT_EQ(service.kill(SIGKILL), 128 + SIGKILL);
    // Refused while down, and no number spent on it.
    for (int h = 0; h < kClients; ++h) {
      ASSERT_TRUE(eventually([&] { return hosts[h]->lib().execute(0) < 0; })) << "round " << round;
      ASSERT_LT(hosts[h]->lib().deliverEvent(categoryOf(h % kCategories), "", "while down"), 0);
    }
    ASSERT_TRUE(service.start()) << "restart " << round;
    // Completions back: subscriptions are in place for the next round.
    for (auto& host : hosts) ASSERT_TRUE(host->flush(std::chrono::seconds(60))) << "restart " << round;
    for (int h = 0; h < kClients; ++h) atRelease[h] = hosts[h]->handlers.eventCount();
    release(round);
  }
  for (auto& publisher : publishers) publisher.join();
  for (auto& host : hosts) ASSERT_TRUE(host->flush());
  // Behind a number lost with a killed service, what the hosts sent again
  // waits the hold time.
  ASSERT_TRUE(eventually([&] { return service.status()["held"] == 0; }));
  for (auto& host : hosts) ASSERT_TRUE(host->flush());  // the others' last events have arrived

  int reports = 0;
  for (int s = 0; s < kClients; ++s) {
    for (int c = 0; c < kCategories; ++c) {
      const std::string where = "client" + std::to_string(s) + "/" + categoryOf(c);
      const Walked walked = walk(*hosts[s], categoryOf(c), where);
      // Never more reports than restarts times publishers; every number seen carried an event that was sent.
      EXPECT_LE(walked.reports, kRestarts * kClients / kCategories) << where;
      EXPECT_LE(walked.span, static_cast<unsigned long long>(accepted[c].load())) << where;
      reports += walked.reports;
    }
  }
  RecordProperty("reports", reports);
  EXPECT_EQ(service.stop(), 0);
}

}  // namespace
}  // namespace evt::test
