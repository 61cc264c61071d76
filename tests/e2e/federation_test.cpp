// Several machines on one: each "machine" is an eventd with its own server
// id, socket folder, log folder and shared-memory prefix, its hosts are
// processes of their own, and they are federated through nats-server
// processes on loopback started here.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "eventd/NatsFederation.h"
#include "eventd/NatsLink.h"
#include "tests/support/ServiceProcess.h"
#include "tests/support/TcpRelay.h"

namespace evt::test {
namespace {

using std::chrono::milliseconds;

// NATS subjects are dot-separated tokens where '*' and '>' are wildcards.
const std::string kCategory = "eu.orders >*~ \xC3\xA9";

// A loopback port nobody listens on just now.
int freePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), size);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  close(fd);
  return ntohs(address.sin_port);
}

bool accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return connected;
}

// One nats-server; with route ports, a member of a cluster; with a tag,
// running JetStream, its store kept across restarts.
class NatsServer {
 public:
  explicit NatsServer(std::string jetStreamTag = std::string())
      : m_port(freePort()), m_routePort(freePort()), m_tag(std::move(jetStreamTag)) {}
  ~NatsServer() { stop(SIGTERM); }

  bool start(const std::vector<const NatsServer*>& routes = {}) {
    std::vector<std::string> argv{"nats-server", "-a", "127.0.0.1", "-p", std::to_string(m_port)};
    if (!m_tag.empty()) argv = {"nats-server", "-c", writeJetStreamConfig(routes)};
    if (!routes.empty() && m_tag.empty()) {
      std::string list;
      for (const NatsServer* other : routes) list += (list.empty() ? "" : ",") + other->routeUrl();
      // Clients use the servers they were given, as on machines that reach
      // only their own: a member's death cuts its machine off.
      argv.insert(argv.end(),
                  {"--cluster_name", "evt", "--cluster", routeUrl(), "--routes", list, "--no_advertise=true"});
    }
    const std::string log = logDirectory() + "/nats-" + std::to_string(m_port) + ".log";
    m_pid = spawn(argv, "", log, log);
    return eventually([&] { return accepts(m_port); }, milliseconds(20000));
  }
  void stop(int signal) {
    if (m_pid <= 0) return;
    ::kill(m_pid, signal);
    waitExit(std::exchange(m_pid, -1));
  }
  std::string url() const { return "nats://127.0.0.1:" + std::to_string(m_port); }
  int routePort() const { return m_routePort; }
  // A JetStream member reaches the others' routes, and they reach its own,
  // only through `relays`: the one to `routes[i]` at relays[i], its own at `own`.
  void routeThrough(std::vector<const TcpRelay*> relays, const TcpRelay* own) {
    m_relays = std::move(relays);
    m_ownRelay = own;
  }

 private:
  std::string routeUrl() const { return "nats://127.0.0.1:" + std::to_string(m_routePort); }
  // A JetStream member needs a name, a store and a tag only a file can give.
  std::string writeJetStreamConfig(const std::vector<const NatsServer*>& routes) const {
    const std::string name = "nats-" + std::to_string(m_port);
    std::string config = "server_name: " + name + "\nlisten: \"127.0.0.1:" + std::to_string(m_port) +
                         "\"\nserver_tags: [\"" + m_tag + "\"]\njetstream { store_dir: \"" + logDirectory() + "/" +
                         name + "-store\" }\n";
    if (!routes.empty()) {
      config += "cluster { name: evt, listen: \"127.0.0.1:" + std::to_string(m_routePort) +
                "\", no_advertise: true, routes: [";
      for (std::size_t i = 0; i < routes.size(); ++i) {
        const std::string route = i < m_relays.size() ? "nats://127.0.0.1:" + std::to_string(m_relays[i]->port())
                                                       : routes[i]->routeUrl();
        config += "\"" + route + "\" ";
      }
      config += "]";
      if (m_ownRelay != nullptr) config += ", advertise: \"127.0.0.1:" + std::to_string(m_ownRelay->port()) + "\"";
      config += " }\n";
    }
    const std::string path = logDirectory() + "/" + name + ".conf";
    std::ofstream(path) << config;
    return path;
  }
  const int m_port, m_routePort;
  const std::string m_tag;
  std::vector<const TcpRelay*> m_relays;
  const TcpRelay* m_ownRelay = nullptr;
  pid_t m_pid = -1;
};

// One machine: its eventd and the environment its processes see.
class Machine {
 public:
  Machine(uint32_t id, std::string federation, std::vector<std::string> options = {})
      : m_id(id),
        m_federation(std::move(federation)),
        m_options(std::move(options)),
        m_prefix(std::string(getenv("EVT_SHM_PREFIX")) + "m" +
                                                                  std::to_string(id) + ".") {
    // Inside the test's log folder: kept with it, or removed with it.
    std::string dir = logDirectory() + "/machine-" + std::to_string(id) + "-XXXXXX";
    m_dir = mkdtemp(dir.data());
  }
  ~Machine() { m_service.reset(); }

  // Makes this machine's folders and store the ones processes started next use.
  void enter() const {
    setenv("EVT_RUNTIME_DIR", m_dir.c_str(), 1);
    setenv("EVT_SHM_PREFIX", m_prefix.c_str(), 1);
  }
  bool start() {
    enter();
    std::vector<std::string> args{"--server-id", std::to_string(m_id), "--federation", m_federation,
                                  "--log-dir", m_dir};
    args.insert(args.end(), m_options.begin(), m_options.end());
    m_service = std::make_unique<ServiceProcess>(args);
    return m_service->start();
  }
  ServiceProcess& service() { return *m_service; }
  long long status(const std::string& name) {
    enter();
    return m_service->status()[name];
  }
  std::unique_ptr<HostProcess> host(const std::vector<std::string>& args) const {
    enter();
    return std::make_unique<HostProcess>(args);
  }
  std::string log() const { return readFile(m_dir + "/eventd.log"); }
  const std::string& dir() const { return m_dir; }

 private:
  const uint32_t m_id;
  const std::string m_federation;
  const std::vector<std::string> m_options;
  const std::string m_prefix;
  std::string m_dir;
  std::unique_ptr<ServiceProcess> m_service;
};

std::vector<std::string> publisher(const std::string& name, long count, double rate) {
  return {"pub", kCategory, name, std::to_string(count), std::to_string(rate), "100", "end"};
}

// Machine 2 follows (1, kCategory) in a subscriber process, known to server 1.
std::unique_ptr<HostProcess> followFromTwo(Machine& one, Machine& two, int ends) {
  auto subscriber = two.host({"sub", kCategory, std::to_string(ends), "180000", "1"});
  EXPECT_TRUE(subscriber->printed("ready")) << subscriber->output();
  EXPECT_TRUE(eventually([&] { return one.status("federation-followed-here") == 1; }, milliseconds(20000)));
  return subscriber;
}

bool hear(Machine& machine, long long server) {
  return eventually([&] { return machine.status("federation-servers") == server; }, milliseconds(20000));
}

// Starts both machines' eventd; true once each hears the other.
bool startBoth(Machine& one, Machine& two) { return one.start() && two.start() && hear(one, 2) && hear(two, 1); }

// The same with --federation-stream; true once server 1's stream is kept too.
bool startWithStreams(Machine& one, Machine& two) {
  return startBoth(one, two) &&
         eventually([&] { return one.log().find("kept in stream EVT-FED-1") != std::string::npos; },
                    milliseconds(30000));
}

TEST(Federation, CategoriesSpellDistinctSubjectTokens) {
  const std::vector<std::string> categories{"", "a", "A", "a.b", "a b", "*", ">", "~41", "~", "a~", "\xFF\x01", "_-"};
  std::set<std::string> tokens;
  for (const std::string& category : categories) {
    const std::string token = service::categoryToken(category);
    EXPECT_EQ(token.find_first_of(". *>\t"), std::string::npos) << token;
    std::string back;
    EXPECT_TRUE(service::categoryFromToken(token, &back));
    EXPECT_EQ(back, category);
    tokens.insert(token);
  }
  EXPECT_EQ(tokens.size(), categories.size());
  std::string unused;
  for (const char* foreign : {"", "x", "c~4", "c~41", "c~zz", "c."}) {
    EXPECT_FALSE(service::categoryFromToken(foreign, &unused)) << foreign;
  }
}

// The next of what the link hands over that `wanted` takes, popped; none
// within 20 s.
std::optional<service::NatsLink::Inbound> awaitInbound(
    service::NatsLink& link, const std::function<bool(const service::NatsLink::Inbound&)>& wanted) {
  std::optional<service::NatsLink::Inbound> found;
  eventually(
      [&] {
        link.take();
        while (service::NatsLink::Inbound* inbound = link.front()) {
          const bool taken = wanted(*inbound);
          if (taken) found.emplace(std::move(*inbound));
          link.pop();
          if (taken) return true;
        }
        return false;
      },
      milliseconds(20000));
  return found;
}

// A subscription asked to begin at a time early in its second (whose
// fraction has leading zeros) begins there: neither later, losing what was
// stored in between, nor earlier, repeating what came before.
TEST(Federation, AStreamSubscriptionBeginsAtTheTimeAsked) {
  using Inbound = service::NatsLink::Inbound;
  NatsServer server(service::streamPlacementTag(1));
  ASSERT_TRUE(server.start());
  service::NatsLink link;
  std::string error;
  ASSERT_TRUE(link.start(server.url(), "test", 1 << 20, &error)) << error;
  ASSERT_TRUE(awaitInbound(link, [](const Inbound& in) { return in.kind == Inbound::kConnected; }));
  ASSERT_TRUE(link.startJetStream(milliseconds(5000), &error)) << error;
  link.ensureStream({"T", "t.>", 1 << 20, 600, service::streamPlacementTag(1)});
  ASSERT_TRUE(awaitInbound(link, [](const Inbound& in) {
    return in.kind == Inbound::kStreamKept || in.kind == Inbound::kStreamFailed;
  }).value().kind == Inbound::kStreamKept);

  // Each round stores "early" and "asked" within the first tenth of a
  // second, "late" half a second on; a busy machine may need another round.
  for (int round = 0; round < 5; ++round) {
    const std::string prefix = "r" + std::to_string(round) + "-";
    const auto second = std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now()) +
                        std::chrono::seconds(1);
    const std::vector<std::pair<std::string, milliseconds>> messages{
        {"early", milliseconds(5)}, {"asked", milliseconds(40)}, {"late", milliseconds(500)}};
    for (const auto& message : messages) {
      std::this_thread::sleep_until(second + message.second);
      const std::string id = prefix + message.first;
      ASSERT_TRUE(link.publishToStream("t.x", id, "_INBOX.test." + id, id));
    }
    std::map<std::string, Inbound::StreamPosition> stored;
    const uint64_t all = link.subscribeStream("t.x", "T", {1, 0});
    while (stored.size() < messages.size()) {
      auto message = awaitInbound(link, [&](const Inbound& in) {
        return in.kind == Inbound::kMessage && in.streamSubscription == all &&
               in.data().compare(0, prefix.size(), prefix) == 0;
      });
      ASSERT_TRUE(message);
      stored[std::string(message->data().substr(prefix.size()))] = message->streamPosition();
    }
    link.dropStreamSubscription(all);
    const int64_t askedNs = stored["asked"].storedNs;
    if (askedNs % 1'000'000'000 >= 100'000'000 || stored["early"].storedNs / 1'000'000'000 != askedNs / 1'000'000'000)
      continue;
    const uint64_t from = link.subscribeStream("t.x", "T", {0, askedNs});
    auto first = awaitInbound(
        link, [&](const Inbound& in) { return in.kind == Inbound::kMessage && in.streamSubscription == from; });
    ASSERT_TRUE(first);
    EXPECT_EQ(first->data(), prefix + "asked");
    return;
  }
  FAIL() << "no round stored its messages early enough in a second";
}

TEST(Federation, EventsOfAnotherServerArriveInItsOrderOnlyWhileFollowed) {
  NatsServer nats;
  ASSERT_TRUE(nats.start());
  Machine one(1, nats.url()), two(2, nats.url());
  ASSERT_TRUE(startBoth(one, two));

  // Two publisher processes share server 1's series of "C".
  auto subscriber = followFromTwo(one, two, 2);
  auto first = one.host(publisher("p1", 5000, 0));
  auto second = one.host(publisher("p2", 5000, 0));
  EXPECT_EQ(first->wait(), 0) << first->output();
  EXPECT_EQ(second->wait(), 0) << second->output();
  subscriber->expectReceived(10000);
  // Once, or once per publisher when the first is done before the second begins.
  EXPECT_GE(occurrences(subscriber->output(), "notice publish 1"), 1) << subscriber->output();
  EXPECT_EQ(two.status("federation-events-in"), 10002);

  // Nobody follows the category any more, nor ever "D": server 1 sends nothing.
  ASSERT_TRUE(eventually([&] { return one.status("federation-followed-here") == 0; }, milliseconds(20000)));
  const long long sent = one.status("federation-events-out");
  EXPECT_EQ(sent, 10002);
  auto unfollowed = one.host({"pub", kCategory, "p3", "500", "0", "100", "end"});
  auto never = one.host({"pub", "D", "p4", "500", "0", "100", "end"});
  EXPECT_EQ(unfollowed->wait(), 0);
  EXPECT_EQ(never->wait(), 0);
  EXPECT_EQ(one.status("federation-events-out"), sent);
  EXPECT_EQ(one.status("events-in"), 11004);

  // A second eventd claiming server id 1 stops, saying why.
  Machine impostor(1, nats.url());
  impostor.enter();
  const pid_t pid = spawn({eventdPath(), "--server-id", "1", "--federation", nats.url(), "--log-dir", impostor.dir()});
  EXPECT_EQ(exitWithin(pid, milliseconds(20000)), 1);
  EXPECT_THAT(impostor.log(), HasSubstr("another eventd already serves server id 1"));
  EXPECT_EQ(one.status("server-id"), 1);  // the first one serves on
}

// A burst for a stopped subscriber waits on machine 2 instead of being lost.
TEST(Federation, BurstForAStoppedSubscriberWaitsInTheLink) {
  NatsServer nats;
  ASSERT_TRUE(nats.start());
  Machine one(1, nats.url()), two(2, nats.url());
  ASSERT_TRUE(startBoth(one, two));
  auto subscriber = followFromTwo(one, two, 1);
  subscriber->signal(SIGSTOP);
  EXPECT_EQ(one.host(publisher("p", 20000, 0))->wait(), 0);
  // Routed up to the subscriber's high-water mark; the rest waits.
  EXPECT_TRUE(eventually([&] { return two.status("federation-events-in") > 5000; }, milliseconds(20000)));
  EXPECT_LT(two.status("federation-events-in"), 20000);
  subscriber->signal(SIGCONT);
  subscriber->expectReceived(20000);
}

// eventd 1 and 2 on different members of a cluster of three; members and
// eventd 1 fail and return while a host on machine 2 follows server 1's category.
TEST(Federation, LossesOfNatsMembersAndOfTheOtherServerHealWithoutTheClients) {
  NatsServer a, b, c;
  ASSERT_TRUE(a.start({&b, &c}));
  ASSERT_TRUE(b.start({&a, &c}));
  ASSERT_TRUE(c.start({&a, &b}));
  Machine one(1, a.url() + "," + b.url()), two(2, c.url());
  ASSERT_TRUE(startBoth(one, two));
  auto subscriber = followFromTwo(one, two, 3);

  // The member eventd 1 uses dies mid-stream; it moves to another member.
  auto paced = one.host(publisher("p1", 8000, 4000));
  ASSERT_TRUE(eventually([&] { return one.status("federation-events-out") > 1000; }, milliseconds(30000)));
  a.stop(SIGKILL);
  EXPECT_EQ(paced->wait(), 0) << paced->output();
  EXPECT_TRUE(subscriber->printed("notice retract 1")) << subscriber->output();

  // NATS goes away under machine 2, and comes back.
  c.stop(SIGKILL);
  EXPECT_TRUE(subscriber->printed("eventsystem disconnected 1")) << subscriber->output();
  ASSERT_TRUE(c.start({&a, &b}));
  EXPECT_TRUE(subscriber->printed("eventsystem connected 1")) << subscriber->output();
  EXPECT_TRUE(eventually([&] { return one.status("federation-followed-here") == 1; }, milliseconds(20000)));
  EXPECT_EQ(one.host(publisher("p2", 1000, 0))->wait(), 0);

  // eventd 1 is killed and started again.
  one.service().kill(SIGKILL);
  EXPECT_TRUE(eventually([&] { return occurrences(subscriber->output(), "eventsystem disconnected 1") == 2; },
                         milliseconds(20000)))
      << subscriber->output();
  ASSERT_TRUE(one.start());
  EXPECT_TRUE(eventually([&] { return occurrences(subscriber->output(), "eventsystem connected 1") == 2; },
                         milliseconds(20000)))
      << subscriber->output();
  EXPECT_TRUE(eventually([&] { return one.status("federation-followed-here") == 1; }, milliseconds(20000)));
  EXPECT_EQ(one.host(publisher("p3", 1000, 0))->wait(), 0);

  EXPECT_EQ(subscriber->wait(), 0);
  const HostProcess::Result r = subscriber->result();
  // Whatever a failure cost is reported, once per gap; nothing twice.
  EXPECT_GE(r.received, 2000) << subscriber->output();
  EXPECT_LE(r.received, 10000);
  EXPECT_EQ(r.disorder, 0) << subscriber->output();
  EXPECT_EQ(r.unreported, 0) << subscriber->output();
}

// Machine 2's NATS server dies twice while a host there follows server 1's
// category: briefly mid-stream, then for as long as a publisher takes to
// send its last events and stop.
TEST(Federation, TheFollowersNatsServerDyingCostsOnlyReportedEvents) {
  NatsServer a, c;
  ASSERT_TRUE(a.start({&c}));
  ASSERT_TRUE(c.start({&a}));
  // The servers are tried in the order listed, the machine's own first.
  Machine one(1, a.url() + "," + c.url()), two(2, c.url());
  ASSERT_TRUE(startBoth(one, two));
  EXPECT_THAT(one.log(), HasSubstr("connected to " + a.url()));
  auto subscriber = followFromTwo(one, two, 2);

  // A short drop mid-stream: the publication is known again afterwards
  // (the real retract at the end passes on), and nothing of server 1
  // arrives between "disconnected" and "connected".
  auto paced = one.host(publisher("p1", 8000, 4000));
  ASSERT_TRUE(eventually([&] { return two.status("federation-events-in") > 1000; }, milliseconds(30000)));
  c.stop(SIGKILL);
  EXPECT_TRUE(subscriber->printed("eventsystem disconnected 1")) << subscriber->output();
  ASSERT_TRUE(c.start({&a}));
  EXPECT_TRUE(subscriber->printed("eventsystem connected 1")) << subscriber->output();
  EXPECT_TRUE(eventually([&] { return occurrences(subscriber->output(), "notice publish 1") >= 2; },
                         milliseconds(20000)))
      << subscriber->output();
  EXPECT_EQ(paced->wait(), 0) << paced->output();
  EXPECT_TRUE(eventually([&] { return occurrences(subscriber->output(), "notice retract 1") >= 2; },
                         milliseconds(20000)))
      << subscriber->output();

  // The last events of a stream sent while machine 2 is cut off: reported
  // once it is back, though no later event comes to show the gap.
  c.stop(SIGKILL);
  EXPECT_TRUE(eventually([&] { return occurrences(subscriber->output(), "eventsystem disconnected 1") == 2; },
                         milliseconds(20000)));
  EXPECT_EQ(one.host(publisher("p2", 1000, 0))->wait(), 0);
  const std::size_t missedBefore = occurrences(subscriber->output(), "missed ");
  ASSERT_TRUE(c.start({&a}));
  EXPECT_TRUE(eventually([&] { return occurrences(subscriber->output(), "missed ") == missedBefore + 1; },
                         milliseconds(20000)))
      << subscriber->output();

  // The report named the tail's last number: the next stream follows it
  // without another report.
  EXPECT_TRUE(eventually([&] { return one.status("federation-followed-here") == 1; }, milliseconds(20000)));
  EXPECT_EQ(one.host(publisher("p3", 500, 0))->wait(), 0);
  EXPECT_EQ(subscriber->wait(), 0) << subscriber->output();
  const HostProcess::Result r = subscriber->result();
  EXPECT_EQ(r.missed, static_cast<long>(missedBefore) + 1) << subscriber->output();
  EXPECT_GE(r.received, 500) << subscriber->output();
  EXPECT_EQ(r.disorder, 0) << subscriber->output();
  EXPECT_EQ(r.unreported, 0) << subscriber->output();
  EXPECT_EQ(r.away, 0) << subscriber->output();
}

// With a stream, what machine 2 missed while cut off comes afterwards, in
// order and once: its NATS server killed while server 1 sends, then server
// 1's own, whose stream holds what came before.
TEST(Federation, AStreamReplaysWhatAFollowerMissedWhileCutOff) {
  NatsServer a(service::streamPlacementTag(1)), c(service::streamPlacementTag(2));
  ASSERT_TRUE(a.start({&c}));
  ASSERT_TRUE(c.start({&a}));
  Machine one(1, a.url(), {"--federation-stream"}), two(2, c.url(), {"--federation-stream"});
  ASSERT_TRUE(startWithStreams(one, two));
  auto subscriber = followFromTwo(one, two, 5);
  auto second = followFromTwo(one, two, 5);
  EXPECT_EQ(one.host(publisher("p1", 2000, 0))->wait(), 0);

  // Sent while machine 2 has no NATS server, and ending there.
  c.stop(SIGKILL);
  EXPECT_TRUE(subscriber->printed("eventsystem disconnected 1")) << subscriber->output();
  EXPECT_EQ(one.host(publisher("p2", 3000, 0))->wait(), 0);
  ASSERT_TRUE(c.start({&a}));
  EXPECT_TRUE(subscriber->printed("eventsystem connected 1")) << subscriber->output();
  EXPECT_TRUE(eventually([&] { return two.status("federation-stream-resumes") >= 1; }, milliseconds(30000)));

  // Machine 1's server is killed while server 1 sends, and returns: what
  // its stream had not stored, and what eventd 1 sent meanwhile, go once
  // it is back.
  auto p3 = one.host(publisher("p3", 1000, 1000));
  ASSERT_TRUE(eventually([&] { return two.status("federation-events-in") > 5302; }, milliseconds(30000)));
  a.stop(SIGKILL);
  EXPECT_EQ(p3->wait(), 0) << p3->output();
  ASSERT_TRUE(a.start({&c}));

  // eventd 1 is killed mid-stream, once its stream stored all it had sent
  // (what it held beyond that is reported missed, as its answer to the host
  // let the library forget it), and started again: what its hosts send
  // meanwhile goes into the stream after what it had sent.
  ASSERT_TRUE(eventually([&] { return two.status("federation-events-in") >= 6003; }, milliseconds(30000)));
  std::vector<std::string> retrying = publisher("p4", 4000, 2000);
  retrying[0] = "retry";  // while eventd is away
  auto paced = one.host(retrying);
  ASSERT_TRUE(eventually([&] { return two.status("federation-events-in") > 7003; }, milliseconds(30000)));
  paced->signal(SIGSTOP);
  long long sent = -1;
  ASSERT_TRUE(eventually(
      [&] {
        const long long before = std::exchange(sent, one.status("federation-events-out"));
        return sent == before && one.status("federation-stream-unstored") == 0;
      },
      milliseconds(30000)));
  one.service().kill(SIGKILL);
  paced->signal(SIGCONT);
  ASSERT_TRUE(one.start());
  EXPECT_EQ(paced->wait(), 0) << paced->output();

  // eventd 2 is killed once it has handed everything on: what server 1
  // sends until it is back comes to each subscriber once it has
  // reconnected, the second coming back after server 1 is heard.
  ASSERT_TRUE(eventually([&] { return two.status("federation-events-in") >= 10004; }, milliseconds(30000)));
  second->signal(SIGSTOP);
  two.service().kill(SIGKILL);
  EXPECT_EQ(one.host(publisher("p5", 1000, 0))->wait(), 0);
  ASSERT_TRUE(two.start());
  EXPECT_TRUE(hear(two, 1));
  second->signal(SIGCONT);
  subscriber->expectReceived(11000);
  second->expectReceived(11000);
}

// The publishing eventd is restarted while a pair is followed and the
// follower is killed before it is heard again: the restarted one goes on
// keeping what its hosts send for the follower, which gets it on return.
TEST(Federation, AServerBackFirstKeepsItsEventsForAFollowerStillAway) {
  NatsServer a(service::streamPlacementTag(1)), c(service::streamPlacementTag(2));
  ASSERT_TRUE(a.start({&c}));
  ASSERT_TRUE(c.start({&a}));
  Machine one(1, a.url(), {"--federation-stream"}), two(2, c.url(), {"--federation-stream"});
  ASSERT_TRUE(startWithStreams(one, two));
  auto subscriber = followFromTwo(one, two, 2);
  EXPECT_EQ(one.host(publisher("p1", 1000, 0))->wait(), 0);
  ASSERT_TRUE(eventually([&] { return two.status("federation-events-in") >= 1001; }, milliseconds(30000)));

  // eventd 2 is killed before the restarted eventd 1 has heard it follow.
  one.service().kill(SIGKILL);
  ASSERT_TRUE(one.start());
  two.service().kill(SIGKILL);
  EXPECT_EQ(one.host(publisher("p2", 1000, 0))->wait(), 0);
  // eventd 1 keeps what nobody follows for 3 s after its start; eventd 2
  // comes back after that, so only eventd 1's knowing it follows still
  // brings it the events. Time, not a state, ends the window: it is awaited.
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));
  ASSERT_TRUE(two.start());
  subscriber->expectReceived(2000);
}

// With a stream, a partition between the machines' NATS servers costs
// nothing: what server 1 sent meanwhile, kept on its own side, comes once
// the cluster heals, before what it sends next.
TEST(Federation, AStreamReplaysWhatAPartitionHeldBack) {
  NatsServer a(service::streamPlacementTag(1)), c(service::streamPlacementTag(2));
  TcpRelay toA(a.routePort()), toC(c.routePort());
  a.routeThrough({&toC}, &toA);
  c.routeThrough({&toA}, &toC);
  ASSERT_TRUE(a.start({&c}));
  ASSERT_TRUE(c.start({&a}));
  Machine one(1, a.url(), {"--federation-stream"}), two(2, c.url(), {"--federation-stream"});
  ASSERT_TRUE(startWithStreams(one, two));
  auto subscriber = followFromTwo(one, two, 3);
  EXPECT_EQ(one.host(publisher("p1", 2000, 0))->wait(), 0);

  const char* seconds = getenv("EVT_TEST_PARTITION_SECONDS");  // a longer one in soaks
  const auto partition = std::chrono::seconds(seconds != nullptr ? std::atoi(seconds) : 10);
  toA.cut();
  toC.cut();
  const auto cutAt = std::chrono::steady_clock::now();
  EXPECT_TRUE(subscriber->printed("eventsystem disconnected 1")) << subscriber->output();
  // A paced stream runs through the partition and past its end.
  auto paced = one.host(publisher("p2", 4000, 4000.0 / (std::chrono::duration<double>(partition).count() + 2)));
  std::this_thread::sleep_until(cutAt + partition);  // the partition's length is the point here
  const long long sentBeforeHeal = one.status("federation-events-out");
  toA.heal();
  toC.heal();
  const auto healedAt = std::chrono::steady_clock::now();
  EXPECT_TRUE(subscriber->printed("eventsystem connected 1")) << subscriber->output();
  // What was sent during the partition has come through.
  EXPECT_TRUE(eventually([&] { return two.status("federation-events-in") >= sentBeforeHeal; }, milliseconds(60000)));
  std::printf("caught up on %lld events %lld ms after a %lld s partition healed\n", sentBeforeHeal,
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - healedAt)
                                         .count()),
              static_cast<long long>(partition.count()));
  EXPECT_EQ(paced->wait(), 0) << paced->output();

  EXPECT_EQ(one.host(publisher("p3", 1000, 0))->wait(), 0);
  subscriber->expectReceived(7000);
}

}  // namespace
}  // namespace evt::test
