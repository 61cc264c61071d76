// What eventd does about clients and operators that ask too much or lie:
// forged events, names that would forge log lines, the descriptor limit,
// SIGHUP, and a socket path that is not a socket.
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/linux/Endpoint.h"
#include "protocol/Protocol.h"
#include "tests/support/EngineFixture.h"
#include "tests/support/ServiceProcess.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/TestHost.h"

namespace evt::test {
namespace {

std::string serviceLog() { return readFile(logDirectory() + "/eventd.log"); }
std::string outputPath(const std::string& name) { return logDirectory() + "/" + name; }

// The lowest descriptor number the process does not have open: the one its
// next descriptor gets.
unsigned long lowestFreeDescriptor(pid_t pid) {
  std::vector<unsigned long> open;
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (dir == nullptr) return 0;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') open.push_back(std::stoul(entry->d_name));
  }
  closedir(dir);
  unsigned long free = 0;
  while (std::find(open.begin(), open.end(), free) != open.end()) ++free;
  return free;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
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

// A client may publish only in this server's name and never in the
// service's own category; what it sends otherwise reaches nobody, is
// counted, and its name cannot break a log line.
TEST(ServiceTrust, ForgedEventsAreRefusedAndNamesCannotForgeLogLines) {
  ServiceProcess service({"--server-id", "12"});
  ASSERT_TRUE(service.start());
  TestHost subscriber("subscriber");
  TestHost publisher("publisher");
  ASSERT_TRUE(subscriber.registered());
  ASSERT_TRUE(publisher.registered());
  ASSERT_GE(subscriber.lib().subscribe("cat", "", 12, nullptr), 0);
  ASSERT_GE(subscriber.lib().subscribe("cat", "", 99, nullptr), 0);
  ASSERT_TRUE(subscriber.flush());

  RawClient forger;
  channel::Frame reply;
  ASSERT_TRUE(forger.command(CECMD_CLIENT_NAME, "forger\n2026-01-01T00:00:00.000Z INF forged line", &reply));
  ASSERT_TRUE(forger.command(CECMD_QUEUE,
                             queueText({eventRequest("cat", "", "as server 99", 99, 1),
                                        eventRequest("eventsystem", "", "connected", 12, 0),
                                        eventRequest("eventsystem", "", "disconnected", 0xFFFFFFFFul, 0)}),
                             &reply));
  ASSERT_GE(publisher.lib().deliverEvent("cat", "", "real"), 0);
  ASSERT_TRUE(publisher.flush());
  ASSERT_TRUE(eventually([&] { return subscriber.handlers.eventCount() >= 1; }));
  ASSERT_TRUE(subscriber.flush());

  const auto events = subscriber.handlers.events();
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ("real", events[0].data);
  EXPECT_EQ(3, service.status()["refused"]);
  const std::string log = serviceLog();
  EXPECT_NE(std::string::npos, log.find("is \"forger\\x0a2026-01-01T00:00:00.000Z INF forged line\""));
  EXPECT_EQ(std::string::npos, log.find("\n2026-01-01T00:00:00.000Z INF forged line"));
  EXPECT_EQ(1u, occurrences(log, "in the name of server")) << "one line for the first refusal, not one each";
  EXPECT_EQ(service.stop(), 0);
}

// Out of descriptors, eventd stops accepting instead of spinning on the
// connection it cannot take, says so once, and takes it once a client
// closes. SIGHUP reopens the log and stops nothing.
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
  limit.rlim_cur = limit.rlim_max = lowestFreeDescriptor(service.pid()) + 1;
  ASSERT_EQ(0, prlimit(service.pid(), RLIMIT_NOFILE, &limit, nullptr));
  for (int i = 0; i < 4; ++i) clients.push_back(std::make_unique<RawClient>());  // queued in the backlog
  const double before = cpuSeconds(service.pid());
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // what a spinning loop would burn
  EXPECT_LT(cpuSeconds(service.pid()) - before, 0.5);
  const std::size_t said = occurrences(serviceLog(), "cannot accept a client");
  EXPECT_GE(said, 1u) << "the limit was not reached";
  EXPECT_LE(said, 2u);

  // The one descriptor below the limit went to the first in line; closing
  // that client frees it for the next.
  EXPECT_TRUE(answers(*clients[1]));
  clients[1].reset();
  EXPECT_TRUE(answers(*clients[2]));
  clients.clear();

  ASSERT_EQ(0, kill(service.pid(), SIGHUP));
  ASSERT_TRUE(eventually([&] { return serviceLog().find("reopened its log on SIGHUP") != std::string::npos; }));
  EXPECT_FALSE(service.status().empty());
  EXPECT_EQ(service.stop(), 0);
}

// eventd replaces a stale socket, but never a file that happens to be at the
// socket path.
TEST(ServiceTrust, SocketPathThatIsNotASocketIsLeftAlone) {
  const std::string path = channel::runtimeDirectory() + "/not-a-socket";
  std::ofstream(path) << "precious";
  pid_t eventd = spawnRedirected({eventdPath(), "--socket", path}, ownEmulator(), "", outputPath("file.err"));
  int status = 0;
  const bool exited = eventually([&] { return waitpid(eventd, &status, WNOHANG) == eventd; });
  if (!exited) {
    kill(eventd, SIGKILL);
    waitpid(eventd, &status, 0);
  }
  ASSERT_TRUE(exited) << "eventd took the path";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0);
  EXPECT_EQ("precious", readFile(path));
  EXPECT_NE(std::string::npos, readFile(outputPath("file.err")).find("File exists"));
  unlink(path.c_str());
}

// One client can hold neither a frame half sent for ever nor subscriptions
// without end.
TEST(ServiceTrust, ClientsHaveLimits) {
  ServiceProcess service({"--partial-timeout", "300", "--max-subscriptions", "3"});
  ASSERT_TRUE(service.start());
  RawClient half;
  channel::Frame frame;
  frame.kind = channel::FRAME_CLIENT_REQUEST;
  frame.header[0] = CECMD_QUEUE;
  frame.text = "4;dump";
  ASSERT_TRUE(half.sendBytes(channel::encodeFrame(frame).substr(0, 20)));
  EXPECT_TRUE(half.closedByService(10000));

  RawClient greedy;
  std::vector<std::string> subscriptions;
  for (int i = 0; i < 5; ++i) {
    subscriptions.push_back(protocol::subscriptionRequest(protocol::kSubscribe, "2;-1;1;" + std::to_string(i)));
  }
  channel::Frame reply;
  ASSERT_TRUE(greedy.command(CECMD_QUEUE, queueText(subscriptions), &reply));
  auto status = service.status();
  EXPECT_EQ(2, status["refused-subscriptions"]);
  EXPECT_EQ(3, status["subscribed-pairs"]);
  EXPECT_EQ(service.stop(), 0);
}

}  // namespace
}  // namespace evt::test
