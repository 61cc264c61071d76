// Delivery as applications see it: every host its own process, the service
// with its default options. Several publishers share one category's series,
// bursts outrun the subscribers, a publisher dies holding a number, a
// subscriber stops: nothing is lost without a report, nothing is reordered,
// and every gap is reported once.
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/FakeService.h"
#include "tests/support/ServiceProcess.h"
#include "tests/support/TestEnvironment.h"

namespace evt::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// Emulated or instrumented builds run the same cases on smaller loads.
bool slowBuild() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return true;
#else
  return !ownEmulator().empty();
#endif
}

// A host_helper process whose standard output goes to a file.
class Host {
 public:
  explicit Host(const std::vector<std::string>& args) {
    static int serial = 0;
    m_out = logDirectory() + "/host" + std::to_string(getpid()) + "-" + std::to_string(++serial) + ".out";
    std::vector<std::string> argv{hostHelperPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    m_pid = spawnRedirected(argv, ownEmulator(), m_out, m_out + ".err");
  }
  ~Host() {
    if (m_pid > 0) {
      ::kill(m_pid, SIGKILL);
      waitExit(m_pid);
    }
  }
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  bool printed(const std::string& text, milliseconds timeout = milliseconds(60000)) const {
    return eventually([&] { return output().find(text) != std::string::npos; }, timeout);
  }
  int wait() {
    const int status = waitExit(m_pid);
    m_pid = -1;
    return status;
  }
  void signal(int number) { ::kill(m_pid, number); }
  std::string output() const { return readFile(m_out); }

  // A subscriber's closing line.
  struct Result {
    long received = -1, missed = -1, disorder = -1;
  };
  Result result() const {
    Result r;
    const std::string text = output();
    const std::size_t at = text.find("received ");
    if (at != std::string::npos) std::sscanf(text.c_str() + at, "received %ld missed %ld disorder %ld", &r.received, &r.missed, &r.disorder);
    return r;
  }

 private:
  pid_t m_pid = -1;
  std::string m_out;
};

std::vector<std::string> subscriberArgs(const std::string& category, int ends, long timeoutMs = 120000) {
  return {"sub", category, std::to_string(ends), std::to_string(timeoutMs)};
}

std::vector<std::string> publisherArgs(const std::string& category, const std::string& name, long count,
                                       double rate, std::size_t size, bool end = true) {
  std::vector<std::string> args{"pub", category, name, std::to_string(count), std::to_string(rate),
                                std::to_string(size)};
  if (end) args.push_back("end");
  return args;
}

// Starts `subscribers` subscriber processes and waits until each is subscribed.
std::vector<std::unique_ptr<Host>> startSubscribers(const std::string& category, int subscribers, int ends) {
  std::vector<std::unique_ptr<Host>> hosts;
  for (int i = 0; i < subscribers; ++i) hosts.push_back(std::make_unique<Host>(subscriberArgs(category, ends)));
  for (auto& host : hosts) EXPECT_TRUE(host->printed("ready")) << host->output();
  return hosts;
}

long peakResidentKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

TEST(Delivery, SeveralPublisherProcessesIntoOneCategoryArriveWholeAndInOrder) {
  ServiceProcess service;
  ASSERT_TRUE(service.start());
  struct Load {
    long perPublisher;
    double rate;
  };
  const long big = slowBuild() ? 1000 : 5000;
  for (const Load load : {Load{60, 20}, Load{big, 2000}, Load{big, 0}}) {
    SCOPED_TRACE("rate " + std::to_string(load.rate));
    const std::string category = "shared" + std::to_string(static_cast<int>(load.rate));
    auto subscribers = startSubscribers(category, 4, 4);
    std::vector<std::unique_ptr<Host>> publishers;
    for (int p = 0; p < 4; ++p) {
      publishers.push_back(
          std::make_unique<Host>(publisherArgs(category, "p" + std::to_string(p), load.perPublisher, load.rate, 100)));
    }
    for (auto& publisher : publishers) EXPECT_EQ(publisher->wait(), 0) << publisher->output();
    for (auto& subscriber : subscribers) {
      EXPECT_EQ(subscriber->wait(), 0);
      const Host::Result r = subscriber->result();
      EXPECT_EQ(r.received, 4 * load.perPublisher) << subscriber->output();
      EXPECT_EQ(r.missed, 0);
      EXPECT_EQ(r.disorder, 0);
    }
  }
  const auto counters = service.status();
  EXPECT_EQ(counters.at("late-dropped"), 0);
  EXPECT_EQ(counters.at("dropped"), 0);
}

TEST(Delivery, TwoEvtPublishersIntoOneCategoryPrintEveryEventAndNoMissedLine) {
  ServiceProcess service;
  ASSERT_TRUE(service.start());
  const std::string out = logDirectory() + "/evt-sub.out";
  const pid_t sub = spawnRedirected({evtPath(), "sub", "tools", "--count", "200", "--timeout", "60"}, ownEmulator(),
                                    out, out + ".err");
  ASSERT_TRUE(eventually([&] { return readFile(out + ".err").find("subscribed") != std::string::npos; },
                         milliseconds(30000)));
  const pid_t a = spawn({evtPath(), "pub", "tools", "A", "--count", "100", "--rate", "20"}, ownEmulator());
  const pid_t b = spawn({evtPath(), "pub", "tools", "B", "--count", "100", "--rate", "20"}, ownEmulator());
  EXPECT_EQ(waitExit(a), 0);
  EXPECT_EQ(waitExit(b), 0);
  EXPECT_EQ(waitExit(sub), 0) << readFile(out + ".err");
  const std::string printed = readFile(out);
  EXPECT_EQ(printed.find("missed"), std::string::npos) << printed;
  long lines = 0;
  for (char c : printed) lines += c == '\n';
  EXPECT_EQ(lines, 200);
}

TEST(Delivery, NumberTakenByAKilledPublisherIsReportedOnceWithinTheHoldTime) {
  ServiceProcess service;
  ASSERT_TRUE(service.start());
  const long events = slowBuild() ? 1000 : 4000;
  auto subscribers = startSubscribers("killed", 2, 1);
  Host publisher(publisherArgs("killed", "p", events, 1000, 100));
  ASSERT_TRUE(eventually([&] { return service.status()["events-in"] > events / 4; }, milliseconds(60000)));
  Host taker({"take", "killed"});
  EXPECT_EQ(taker.wait(), 128 + SIGKILL);
  const auto died = std::chrono::steady_clock::now();
  for (auto& subscriber : subscribers) EXPECT_TRUE(subscriber->printed("missed", milliseconds(30000)));
  const auto heard = std::chrono::steady_clock::now();
  if (!slowBuild()) {
    EXPECT_LT(heard - died, milliseconds(2000));  // hold time 1 s, plus 1 s
  }
  EXPECT_EQ(publisher.wait(), 0);
  for (auto& subscriber : subscribers) {
    EXPECT_EQ(subscriber->wait(), 0);
    const Host::Result r = subscriber->result();
    EXPECT_EQ(r.received, events) << subscriber->output();
    EXPECT_EQ(r.missed, 1);
    EXPECT_EQ(r.disorder, 0);
  }
  EXPECT_EQ(service.status()["released-by-timeout"], 1);
}

TEST(Delivery, BurstsFasterThanTheSubscribersLoseNothing) {
  ServiceProcess service;
  ASSERT_TRUE(service.start());
  const long events = slowBuild() ? 20000 : 200000;
  int round = 0;
  for (const std::size_t size : {std::size_t{100}, std::size_t{1024}}) {
    for (const int subscriberCount : {1, 4}) {
      SCOPED_TRACE(std::to_string(size) + " B to " + std::to_string(subscriberCount));
      const std::string category = "burst" + std::to_string(++round);
      auto subscribers = startSubscribers(category, subscriberCount, 1);
      Host publisher(publisherArgs(category, "p", events, 0, size));
      EXPECT_EQ(publisher.wait(), 0) << publisher.output();
      for (auto& subscriber : subscribers) {
        EXPECT_EQ(subscriber->wait(), 0);
        const Host::Result r = subscriber->result();
        EXPECT_EQ(r.received, events);
        EXPECT_EQ(r.missed, 0);
        EXPECT_EQ(r.disorder, 0);
      }
    }
  }
  EXPECT_EQ(service.status()["dropped"], 0);
}

TEST(Delivery, StoppedSubscriberAloneLosesEventsAndHearsOfItOnceResumed) {
  if (slowBuild()) GTEST_SKIP() << "fills a stalled client's 64 MiB queue; run on the native build";
  ServiceProcess service;
  ASSERT_TRUE(service.start());
  auto running = startSubscribers("stall", 1, 1);
  auto stopped = startSubscribers("stall", 1, 1);
  stopped[0]->signal(SIGSTOP);
  // More than the stalled client's queue takes (64 MiB), so that its tail
  // is lost with no later event to reveal it.
  const long events = 90000;
  Host first(publisherArgs("stall", "a", events, 0, 1024, false));
  EXPECT_EQ(first.wait(), 0) << first.output();
  const auto counters = service.status();
  EXPECT_GT(counters.at("dropped"), 0);
  EXPECT_GE(counters.at("backpressure-ms"), 4000);  // waited for the stopped one, then went on
  stopped[0]->signal(SIGCONT);
  EXPECT_TRUE(stopped[0]->printed("missed"));
  // Events flow again, in order, after the one report.
  Host second(publisherArgs("stall", "b", 1000, 0, 100));
  EXPECT_EQ(second.wait(), 0);
  for (auto* host : {running[0].get(), stopped[0].get()}) EXPECT_EQ(host->wait(), 0);
  const Host::Result healthy = running[0]->result();
  EXPECT_EQ(healthy.received, events + 1000);
  EXPECT_EQ(healthy.missed, 0);
  EXPECT_EQ(healthy.disorder, 0);
  const Host::Result stalled = stopped[0]->result();
  EXPECT_EQ(stalled.missed, 1) << stopped[0]->output();
  EXPECT_EQ(stalled.disorder, 0);
  EXPECT_GE(stalled.received, 1000);
  EXPECT_LT(stalled.received, events + 1000);
  const long peakKb = peakResidentKb(service.pid());
  std::printf("eventd peak resident: %ld KiB\n", peakKb);
  EXPECT_LT(peakKb, 400 * 1024);
}

}  // namespace
}  // namespace evt::test
