// Peers that misbehave or ask too much (bad frames, garbage, half-sent frames, a client that never reads, too many
// subscriptions or connections, a full /dev/shm) never crash or stall the service for other hosts.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "Library/CEResultCodes.h"
#include "Service/CategorySeqNo.h"
#include "platform/CPortable.h"
#include "platform/linux/ObjectNames.h"
#include "protocol/Protocol.h"
#include "tests/support/ServiceProcess.h"

namespace evt::test {
namespace {

class ServiceRobustness : public ServiceWithHosts {
 protected:
  ServiceRobustness()
      : ServiceWithHosts({"--partial-timeout", "300", "--max-subscriptions", "3", "--max-memory", "16777216",
                          "--queue-limit", "2000"}) {}
};

// Bad frames close their connection, garbage is skipped, a half-sent frame ends after --partial-timeout (at once
// beyond --max-memory), subscriptions beyond --max-subscriptions are refused; the hosts notice none of it.
TEST_F(ServiceRobustness, BadFramesCloseOnlyTheirConnectionAndGarbageTextsAreSkipped) {
  RawClient half;  // begins a frame and never finishes it
  ASSERT_TRUE(half.sendBytes(channel::encodeFrame(clientRequest(CECMD_QUEUE, "4;dump")).substr(0, 20)));

  std::string badMagic = channel::encodeFrame(clientRequest(CECMD_QUEUE, ""));
  badMagic[0] ^= 0x55;
  std::string oversized = channel::encodeFrame(clientRequest(CECMD_QUEUE, ""));
  const uint32_t huge = channel::kMaxFrameData + 1;
  for (int i = 0; i < 4; ++i) oversized[32 + i] = static_cast<char>((huge >> (8 * i)) & 0xFF);
  channel::Frame answer = clientRequest(CECMD_QUEUE, "");
  answer.kind = channel::FRAME_CLIENT_ANSWER;  // the wrong direction
  for (const std::string& bytes : {badMagic, oversized, channel::encodeFrame(answer)}) {
    RawClient bad;
    ASSERT_TRUE(bad.sendBytes(bytes));
    EXPECT_TRUE(bad.closedByService(10000));
  }

  {
    RawClient greedy;  // an unfinished frame larger than the whole budget
    const std::string frame = channel::encodeFrame(clientRequest(CECMD_QUEUE, std::string(20u << 20, 'x')));
    greedy.sendBytes(frame.substr(0, 17u << 20));  // fails once the service closes the connection
    EXPECT_TRUE(greedy.closedByService(10000));
    EXPECT_THAT(readFile(logDirectory() + "/eventd.log"), HasSubstr("memory budget"));
  }

  // Unreadable content is skipped; the connection and the service go on.
  RawClient garbage;
  const std::vector<std::string> texts = {
      "not a list", "5;short", "-3;abc", "99999999999999999999;x", listOf({"subscribe"}),
      listOf({listOf({"subscribe", "garbage"})}), listOf({listOf({"event", listOf({"onlyone"})})}),
      listOf({listOf({"completion-id", ""})}), listOf({listOf({"no-such-request", "1;x"})}),
      listOf({listOf({"publish", listOf({"", "12"})})}), std::string(100000, ';')};
  channel::Frame reply;
  for (const std::string& text : texts) {
    ASSERT_TRUE(garbage.command(CECMD_QUEUE, text, &reply)) << text.substr(0, 40);
    EXPECT_EQ(reply.header[1], static_cast<uint32_t>(CECMD_QUEUE));
    EXPECT_EQ(reply.header[2], 0u);
  }
  ASSERT_TRUE(garbage.command(77, "", &reply));
  EXPECT_LT(static_cast<int32_t>(reply.header[2]), 0) << "an unknown command is refused, not ignored";

  // A client's subscriptions beyond the limit are refused.
  std::vector<std::string> subscriptions;
  for (int i = 0; i < 5; ++i) {
    subscriptions.push_back(protocol::subscriptionRequest(protocol::kSubscribe, "2;-1;1;" + std::to_string(i)));
  }
  ASSERT_TRUE(garbage.command(CECMD_QUEUE, listOf(subscriptions), &reply));

  // Hosts still work after all of that.
  ASSERT_TRUE(subscriber.subscribeTo("c"));
  ASSERT_GE(publisher.lib().deliverEvent("c", "", "d"), 0);
  ASSERT_TRUE(publisher.flush());
  ASSERT_TRUE(eventually([&] { return subscriber.handlers.events().size() == 1; }));
  EXPECT_TRUE(half.closedByService(10000));

  auto status = service.status();
  EXPECT_EQ(status["bad-frames"], 3);
  EXPECT_GE(status["malformed"], 5);
  EXPECT_EQ(status["refused-subscriptions"], 2);
  EXPECT_EQ(status["subscribed-pairs"], 4);  // three of the garbage client's, one of the subscriber's
  EXPECT_LT(status["memory-held"], 1 << 20) << "what a dropped client held is given back";
  EXPECT_EQ(service.stop(), 0);
}

TEST_F(ServiceRobustness, ClientThatNeverReadsLosesEventsAloneAndLearnsOfTheGap) {
  RawClient stalled;  // subscribes, then never reads again
  channel::Frame reply;
  ASSERT_TRUE(stalled.command(CECMD_QUEUE, listOf({listOf({"subscribe", listOf({"1", "flood"})})}), &reply));
  ASSERT_TRUE(stalled.command(CECMD_QUEUE, listOf({listOf({"subscribe", listOf({"1", "second"})})}), &reply));

  ASSERT_TRUE(subscriber.subscribeTo("flood"));

  constexpr int kEvents = 20000;
  const std::string data(1000, 'x');
  for (int i = 0; i < kEvents; ++i) {
    ASSERT_GE(publisher.lib().deliverEvent("flood", "", data), 0);
    if (i % 200 == 199) {
      // The good subscriber is let keep up, however slow this build is.
      ASSERT_TRUE(publisher.flush());
      ASSERT_TRUE(eventually([&] { return subscriber.handlers.eventCount() >= static_cast<std::size_t>(i + 1); }));
    }
  }
  ASSERT_TRUE(publisher.flush());
  ASSERT_TRUE(eventually([&] { return subscriber.handlers.eventCount() >= kEvents; }));
  for (const auto& event : subscriber.handlers.events()) ASSERT_EQ(event.category, "flood");

  // Events of a pair whose first ones found the queue full.
  for (int i = 0; i < 10; ++i) ASSERT_GE(publisher.lib().deliverEvent("second", "", "s"), 0);
  ASSERT_TRUE(publisher.flush());

  auto status = service.status();
  EXPECT_GT(status["dropped"], 0) << "the stalled client's queue is bounded";
  EXPECT_LE(status["pending"], 4000);

  // Reading again, it hears of the gap at once, then gets events again.
  std::vector<std::string> texts;
  ASSERT_TRUE(eventually([&] {
    stalled.answerTexts(&texts);
    return service.status()["pending"] == 0;
  }));
  ASSERT_FALSE(texts.empty());
  EXPECT_NE(texts.back().find("check-event-seqno"), std::string::npos) << texts.back().substr(0, 200);
  // Nothing of "second" reached it: it is told where the loss began, then where it ended, else its library would
  // take the one check as where the series stands and report nothing.
  std::size_t secondChecks = 0;
  for (const std::string& text : texts) secondChecks += occurrences(text, "6;second;");
  EXPECT_EQ(secondChecks, 2u);
  ASSERT_GE(publisher.lib().deliverEvent("flood", "", "after"), 0);
  ASSERT_TRUE(publisher.flush());
  ASSERT_TRUE(eventually([&] {
    stalled.answerTexts(&texts);
    return !texts.empty() && texts.back().find("after") != std::string::npos;
  }));
  EXPECT_EQ(texts.back().find("check-event-seqno"), std::string::npos) << "reported once";
  EXPECT_EQ(service.stop(), 0);
}

// A full /dev/shm: a category that no longer fits is refused with CE_E_CREATE and a logged reason (store and
// host), existing ones go on numbering, a service without a store says so and exits. No SIGBUS.
void fullSharedMemoryChecks() {
  ServiceProcess service;
  ASSERT_TRUE(service.start());
  TestHost host("filler");
  ASSERT_TRUE(host.registered());
  ASSERT_GE(host.lib().deliverEvent("kept", "", "first"), 0);

  CCategorySeqNo store;
  long result = 0;
  int used = 0;
  while (result == 0 && used < 1000) result = store.useCategory("fill" + std::to_string(used++));
  ASSERT_EQ(CE_E_CREATE, result) << "after " << used << " categories";

  unsigned long long before = 0, after = 0;
  ASSERT_EQ(0, store.getSeqNo("kept", &before));
  EXPECT_EQ(0, store.getNextSeqNo("kept", &after));
  EXPECT_EQ(before + 1, after);
  EXPECT_EQ(CE_E_CREATE, host.lib().deliverEvent("does-not-fit", "", "x"));
  EXPECT_GE(host.lib().deliverEvent("kept", "", "second"), 0);
  EXPECT_TRUE(host.flush());
  const std::string log = readFile(logDirectory() + "/evt.log");
  EXPECT_NE(log.find("No space left on device"), std::string::npos) << log.substr(0, 2000);
  EXPECT_EQ(service.stop(), 0);

  // A second service with a store of its own finds no room for it.
  setenv("EVT_SHM_PREFIX", (std::string(getenv("EVT_SHM_PREFIX")) + "second.").c_str(), 1);
  const std::string err = logDirectory() + "/second-eventd.err";
  pid_t second = spawn({eventdPath(), "--socket", logDirectory() + "/second.sock"}, ownEmulator(), "", err);
  EXPECT_EQ(1, exitWithin(second, std::chrono::seconds(30)));
  EXPECT_THAT(readFile(err), HasSubstr("eventd: cannot open the shared sequence-number store"));
}

// Run in a child with a 64 KiB tmpfs /dev/shm in a private mount namespace
// (exit 77: not privileged), leading a process group so its service dies too.
TEST(ServiceStore, FullSharedMemoryGivesClearErrors) {
  pid_t child = fork();
  if (child == 0) {
    setpgid(0, 0);
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("evttest", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "size=64k") != 0)
      _exit(77);
    fullSharedMemoryChecks();
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  setpgid(child, child);  // whichever of the two runs first
  const int status = waitExit(child);
  ::kill(-child, SIGKILL);
  if (status == 77) GTEST_SKIP() << "no private mount namespace here (needs root)";
  EXPECT_EQ(0, status);
}

// CPU seconds the process has used so far (user + system).
double cpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string field;
  for (int i = 1; i <= 13 && stat >> field; ++i) {
  }
  unsigned long long user = 0, system = 0;
  stat >> user >> system;
  return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Out of descriptors, eventd does not spin, says so once, and accepts after a close; SIGHUP only reopens the log.
TEST(ServiceTrust, DescriptorLimitAndSighupLeaveTheServiceRunning) {
  if (!ownEmulator().empty()) GTEST_SKIP() << "the descriptor limit would apply to the emulator, not to eventd";
  ServiceProcess service;
  ASSERT_TRUE(service.start());
  std::vector<std::unique_ptr<RawClient>> clients;
  auto answers = [](RawClient& client) {
    channel::Frame reply;
    return client.command(CECMD_SERVER_ID, "", &reply, 2000);
  };
  clients.push_back(std::make_unique<RawClient>());
  ASSERT_TRUE(answers(*clients.back()));

  // Room for one more connection, then none.
  rlimit limit{};
  const std::string fds = "/proc/" + std::to_string(service.pid()) + "/fd/";
  struct stat fd {};
  for (limit.rlim_cur = 0; lstat((fds + std::to_string(limit.rlim_cur)).c_str(), &fd) == 0;) ++limit.rlim_cur;
  limit.rlim_max = ++limit.rlim_cur;
  ASSERT_EQ(0, prlimit(service.pid(), RLIMIT_NOFILE, &limit, nullptr));
  for (int i = 0; i < 4; ++i) clients.push_back(std::make_unique<RawClient>());  // queued in the backlog
  const double before = cpuSeconds(service.pid());
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // what a spinning loop would burn
  EXPECT_LT(cpuSeconds(service.pid()) - before, 0.5);
  const std::string log = logDirectory() + "/eventd.log";
  const std::size_t said = occurrences(readFile(log), "cannot accept a client");
  EXPECT_GE(said, 1u) << "the limit was not reached";
  EXPECT_LE(said, 2u);

  // The one free descriptor went to the first in line; closing it frees it.
  EXPECT_TRUE(answers(*clients[1]));
  clients[1].reset();
  EXPECT_TRUE(answers(*clients[2]));
  clients.clear();

  ASSERT_EQ(0, kill(service.pid(), SIGHUP));
  ASSERT_TRUE(eventually([&] { return readFile(log).find("reopened its log on SIGHUP") != std::string::npos; }));
  EXPECT_FALSE(service.status().empty());
  EXPECT_EQ(service.stop(), 0);
}

// A member holding a category's lock for good, or cutting its block short, neither stalls the service's one thread
// nor kills it: subscribing to that category and asking for the status are answered at once, and the block that
// cannot be read is logged.
TEST(ServiceTrust, StoreLockHeldOrBlockCutShortNeverStallsOrKillsTheService) {
  ServiceProcess service;
  ASSERT_TRUE(service.start());
  TestHost host("host");
  ASSERT_TRUE(host.registered());
  {
    CCategorySeqNo store;
    unsigned long long number = 0;
    for (const char* category : {"stuck", "cut"}) ASSERT_EQ(0, store.getNextSeqNo(category, &number));
  }
  // The lock word names this process, stamped with its real start time: a live holder that never lets go.
  CPSharedMemory lock("Mutex-SeqNoInfo-stuck", 16);
  auto* words = static_cast<volatile uint32_t*>(lock.getAddress());
  words[1] = processStartTime(getpid());
  words[0] = static_cast<uint32_t>(getpid());
  auto quickly = [](auto work) {
    const auto start = std::chrono::steady_clock::now();
    const bool done = work();
    return done && std::chrono::steady_clock::now() - start < std::chrono::seconds(1);
  };
  EXPECT_TRUE(quickly([&] { return host.subscribeTo("stuck"); }));
  EXPECT_TRUE(quickly([&] { return !service.status().empty(); }));
  words[0] = 0;

  // Cut short after the service read it once; read again on the next first subscriber.
  std::string subscription;
  ASSERT_EQ(0, host.lib().subscribe("cut", "", kThisServer, &subscription));
  ASSERT_TRUE(host.flush());
  const int fd = shm_open(platform::osObjectName("Share-SeqNoInfo-cut").c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, ftruncate(fd, 4));
  close(fd);
  ASSERT_EQ(0, host.lib().unsubscribe(subscription));
  ASSERT_TRUE(host.flush());
  EXPECT_TRUE(quickly([&] { return host.subscribeTo("cut"); }));
  EXPECT_TRUE(quickly([&] { return !service.status().empty(); }));
  EXPECT_THAT(readFile(logDirectory() + "/eventd.log"), HasSubstr("cannot read the number of \"cut\""));
  EXPECT_EQ(service.stop(), 0);
}

// A member sending events with the next numbers the store has not issued yet (in this server's name, or as server
// -1) takes nobody's place: they are dropped, counted, and the honest publisher's events of those numbers arrive.
TEST(ServiceTrust, EventsNumberedAheadOfTheStoreAreDroppedBeforeTheyMoveTheSeries) {
  ServiceProcess service;
  ASSERT_TRUE(service.start());
  TestHost subscriber("subscriber"), publisher("publisher");
  ASSERT_TRUE(subscriber.registered() && publisher.registered());
  ASSERT_TRUE(subscriber.subscribeTo("ahead"));
  unsigned long long issued = 0;
  {
    CCategorySeqNo store;
    ASSERT_EQ(0, store.getSeqNo("ahead", &issued));
    if (issued == 0) issued = store.getSeqNoBase();
  }
  RawClient forger;
  channel::Frame reply;
  ASSERT_TRUE(forger.command(CECMD_CLIENT_NAME, "forger", &reply));
  const unsigned long server = static_cast<unsigned long>(service.status()["server-id"]);
  std::vector<std::string> forged;
  for (unsigned long long n = issued + 1; n <= issued + 10; ++n)
    forged.push_back(eventRequest("ahead", "", "forged", static_cast<long>(n % 2 == 0 ? server : kThisServer), n));
  ASSERT_TRUE(forger.command(CECMD_QUEUE, listOf(forged), &reply));  // answered once routed

  for (int i = 0; i < 10; ++i) ASSERT_EQ(0, publisher.lib().deliverEvent("ahead", "", "honest" + std::to_string(i)));
  ASSERT_TRUE(publisher.flush());
  ASSERT_TRUE(eventually([&] { return subscriber.received("ahead") == 10; })) << subscriber.received("ahead");
  for (const auto& event : subscriber.handlers.events()) {
    EXPECT_EQ(event.category, "ahead") << event.data;
    EXPECT_EQ(event.data.rfind("honest", 0), 0u) << event.data;
  }
  const auto status = service.status();
  EXPECT_EQ(status.at("made-up-dropped"), 10);
  EXPECT_EQ(status.at("late-dropped"), 0);
  EXPECT_EQ(status.at("released-by-timeout"), 0);
  EXPECT_THAT(readFile(logDirectory() + "/eventd.log"), HasSubstr("a number the store has not issued"));
  EXPECT_EQ(service.stop(), 0);
}

// A store that goes back, a category's number rewound by a member or its objects unlinked so that a fresh publisher
// numbers from the base again, starts the pair's series again: the subscriber hears of it once as a missed event and
// gets every event of the new series. A repeat of a number while the store is not behind is still dropped as late.
TEST(ServiceTrust, StoreGoingBackStartsTheSeriesAgainAndSubscribersHearOfIt) {
  ServiceProcess service;
  ASSERT_TRUE(service.start());
  TestHost subscriber("subscriber");
  ASSERT_TRUE(subscriber.registered());
  ASSERT_TRUE(subscriber.subscribeTo("rewound"));
  // Each round comes from a publisher of its own, which has issued no number of the category before.
  auto publish = [](const std::string& tag, int count) {
    TestHost publisher(tag);
    ASSERT_TRUE(publisher.registered());
    for (int i = 0; i < count; ++i) ASSERT_EQ(0, publisher.lib().deliverEvent("rewound", "", tag + std::to_string(i)));
    ASSERT_TRUE(publisher.flush());
  };
  auto receivedAll = [&](std::size_t count) {
    return eventually([&] { return subscriber.handlers.eventCount() == count; }, std::chrono::seconds(20));
  };
  CCategorySeqNo store;
  const unsigned long long base = store.getSeqNoBase();
  publish("first", 10);  // base + 1 to 10
  ASSERT_TRUE(receivedAll(10));

  ASSERT_EQ(0, store.setSeqNo("rewound", base + 4));
  publish("second", 3);  // base + 5 to 7
  ASSERT_TRUE(receivedAll(14)) << subscriber.handlers.eventCount();

  RawClient repeater;
  channel::Frame reply;
  ASSERT_TRUE(repeater.command(CECMD_CLIENT_NAME, "repeater", &reply));
  ASSERT_TRUE(repeater.command(CECMD_QUEUE, listOf({eventRequest("rewound", "", "repeat", kThisServer, base + 6)}),
                               &reply));

  ASSERT_TRUE(CPSharedMemory::remove(std::string(CCategorySeqNo::kRecordBlockPrefix) + "rewound"));
  ASSERT_TRUE(CPSharedMemory::remove("Mutex-SeqNoInfo-rewound"));
  publish("third", 3);  // base + 1 to 3
  ASSERT_TRUE(receivedAll(18)) << subscriber.handlers.eventCount();

  std::vector<std::pair<std::string, unsigned long long>> expected;
  for (int i = 0; i < 10; ++i) expected.emplace_back("first" + std::to_string(i), base + 1 + i);
  expected.emplace_back("missed-event", 0);
  for (int i = 0; i < 3; ++i) expected.emplace_back("second" + std::to_string(i), base + 5 + i);
  expected.emplace_back("missed-event", 0);
  for (int i = 0; i < 3; ++i) expected.emplace_back("third" + std::to_string(i), base + 1 + i);
  const auto events = subscriber.handlers.events();
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(events[i].data, expected[i].first) << "at " << i;
    if (expected[i].first == "missed-event") {
      EXPECT_EQ(events[i].category, "eventsystem");
      EXPECT_EQ(events[i].keys, listOf({"rewound"}));
    } else {
      EXPECT_EQ(events[i].category, "rewound");
      EXPECT_EQ(events[i].seqNo, expected[i].second) << expected[i].first;
    }
  }
  const auto status = service.status();
  EXPECT_EQ(status.at("series-restarted"), 2);
  EXPECT_EQ(status.at("late-dropped"), 1);
  EXPECT_EQ(occurrences(readFile(logDirectory() + "/eventd.log"), "went back"), 1u) << "the first restart is logged";
  EXPECT_EQ(service.stop(), 0);
}

// A socket folder eventd did not make is refused when someone other than its owner (this user or root) and the
// service's group may write it, or another user owns it: they could put a socket of their own in its place.
TEST(ServiceTrust, SocketFolderOthersMayWriteIsRefused) {
  const std::string folder = logDirectory() + "/sockets";
  struct Case {
    mode_t mode;
    uid_t owner;
    const char* problem;
  };
  std::vector<Case> cases = {{0777, geteuid(), "may be written by anyone"}, {01777, geteuid(), "may be written by anyone"}};
  if (geteuid() == 0) cases.push_back({0755, 65534, "belongs to another user"});
  for (const Case& c : cases) {
    ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
    ASSERT_EQ(0, chmod(folder.c_str(), c.mode));
    ASSERT_EQ(0, chown(folder.c_str(), c.owner, static_cast<gid_t>(-1)));
    const std::string errors = logDirectory() + "/eventd.err";
    const pid_t eventd = spawn({eventdPath(), "--socket", folder + "/eventd.sock"}, ownEmulator(), "", errors);
    EXPECT_EQ(1, exitWithin(eventd, std::chrono::seconds(20)));
    const std::string said = readFile(errors);
    EXPECT_THAT(said, HasSubstr("the socket folder " + folder + " " + c.problem));
    EXPECT_NE(access((folder + "/eventd.sock").c_str(), F_OK), 0) << "a socket was made";
    ASSERT_EQ(0, rmdir(folder.c_str()));
  }
  // Its own folder, writable by nobody else, serves.
  ASSERT_EQ(0, mkdir(folder.c_str(), 0750));
  ServiceProcess service({"--socket", folder + "/eventd.sock"}, folder + "/eventd.sock");
  EXPECT_TRUE(service.start());
  EXPECT_EQ(service.stop(), 0);
  rmdir(folder.c_str());
}

// Publications and subscriptions are bounded per client in number, in name length and in bytes of names together:
// what goes beyond is refused and counted, the service's memory stays small, and an honest host is served. However
// many categories are subscribed to, the service neither creates nor keeps shared objects for them: it reads a
// category's number only when it needs it, and maps nothing.
TEST(ServiceTrust, RegistrationsBeyondAClientsLimitsAreRefused) {
  ServiceProcess service({"--max-subscriptions", "1000", "--queue-bytes", "4194304"});
  ASSERT_TRUE(service.start());
  TestHost honest("honest");
  ASSERT_TRUE(honest.registered());
  const std::string maps = "/proc/" + std::to_string(service.pid()) + "/maps";
  const std::size_t objectsBefore = sharedObjects(), mappedBefore = occurrences(readFile(maps), "/dev/shm/");
  RawClient hoarder;
  channel::Frame reply;
  ASSERT_TRUE(hoarder.command(CECMD_CLIENT_NAME, "hoarder", &reply));
  auto send = [&](std::size_t count, std::size_t nameBytes, bool subscriptions) {
    std::vector<std::string> requests;
    for (std::size_t i = 0; i < count; ++i) {
      std::string category = std::to_string(i) + ":" + std::string(nameBytes, 'n');
      requests.push_back(subscriptions
                             ? protocol::subscriptionRequest(protocol::kSubscribe, protocol::subscriptionKey(1, category))
                             : protocol::publicationRequest(protocol::kPublish, category, 1));
    }
    return hoarder.command(CECMD_QUEUE, listOf(requests), &reply, 30000);
  };
  ASSERT_TRUE(send(3000, 8, false));             // 2,000 over the count
  ASSERT_TRUE(send(4, 1 << 20, false));           // each name over 64 KiB
  ASSERT_TRUE(send(200, 60 * 1024, true));        // 4 MiB of names hold about 68
  const auto status = service.status();
  EXPECT_EQ(status.at("published-pairs"), 1000);
  const long long subscribed = status.at("subscribed-pairs");
  EXPECT_GE(subscribed, 60);
  EXPECT_LE(subscribed, 70);
  EXPECT_EQ(status.at("refused-subscriptions"), 2000 + 4 + (200 - subscribed));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // their shadow memory counts as resident
  const std::string proc = readFile("/proc/" + std::to_string(service.pid()) + "/status");
  const std::size_t at = proc.find("VmRSS:");
  ASSERT_NE(at, std::string::npos);
  EXPECT_LT(std::atol(proc.c_str() + at + 6), 100 * 1024) << proc.substr(at, 40);
#endif

  for (int i = 0; i < 1000; ++i)
    ASSERT_EQ(0, honest.lib().subscribe("many" + std::to_string(i), "", kThisServer, nullptr));
  ASSERT_TRUE(honest.flush());
  EXPECT_EQ(service.status()["subscribed-pairs"], subscribed + 1000);
  EXPECT_EQ(sharedObjects(), objectsBefore);
  EXPECT_EQ(occurrences(readFile(maps), "/dev/shm/"), mappedBefore);
  EXPECT_EQ(service.stop(), 0);
}

}  // namespace
}  // namespace evt::test
