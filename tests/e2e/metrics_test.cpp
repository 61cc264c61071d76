// eventd's metrics endpoint, scraped over HTTP as Prometheus does: what it
// serves matches evt status, stays bounded, and neither a slow scraper nor
// a stuck loop makes it lie or hold events up.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/ServiceProcess.h"

namespace evt::test {
namespace {

using namespace std::chrono_literals;

// A connection to `address`: a Unix socket path, or HOST:PORT on IPv4.
int connectToAddress(const std::string& address) {
  if (address.find('/') != std::string::npos) {
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    address.copy(where.sun_path, sizeof where.sun_path - 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) == 0) return fd;
    close(fd);
    return -1;
  }
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(static_cast<uint16_t>(std::stoi(address.substr(address.rfind(':') + 1))));
  inet_pton(AF_INET, address.substr(0, address.rfind(':')).c_str(), &where.sin_addr);
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) == 0) return fd;
  close(fd);
  return -1;
}

struct HttpAnswer {
  int status = 0;  // 0: no answer
  std::string body;
};

// Sends `request` whole and reads the answer until the server closes.
HttpAnswer sendRequest(const std::string& address, const std::string& request) {
  HttpAnswer answer;
  const int fd = connectToAddress(address);
  if (fd < 0) return answer;
  std::string text;
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    char buffer[65536];
    pollfd one{fd, POLLIN, 0};
    while (poll(&one, 1, 10000) > 0) {
      const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      text.append(buffer, static_cast<std::size_t>(got));
    }
  }
  close(fd);
  if (text.rfind("HTTP/1.1 ", 0) == 0) answer.status = std::atoi(text.c_str() + 9);
  const std::size_t body = text.find("\r\n\r\n");
  if (body != std::string::npos) answer.body = text.substr(body + 4);
  return answer;
}

HttpAnswer get(const std::string& address, const std::string& path, const std::string& method = "GET") {
  return sendRequest(address, method + " " + path + " HTTP/1.1\r\nHost: eventd\r\nConnection: close\r\n\r\n");
}

// The samples of a metrics text: "name{labels}" to value, and the families
// declared by TYPE lines; a sample of an undeclared family, a family
// declared twice or a TYPE without HELP fails the test.
struct Scrape {
  std::map<std::string, double> samples;
  std::vector<std::pair<std::string, double>> served;  // the samples in the order served
  std::map<std::string, std::string> types;
};

Scrape parse(const std::string& text) {
  Scrape scrape;
  std::set<std::string> helped;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    // name{labels} value, the labels optional (values hold no '}' here).
    const std::size_t nameEnd = line.find_first_of("{ ");
    const std::size_t labelsEnd = nameEnd != std::string::npos && line[nameEnd] == '{' ? line.find('}', nameEnd) + 1 : nameEnd;
    const bool sample = !line.empty() && line[0] != '#' && labelsEnd != 0 && labelsEnd != std::string::npos &&
                        labelsEnd < line.size() && line[labelsEnd] == ' ' && line.find(' ', labelsEnd + 1) == std::string::npos;
    if (line.rfind("# HELP ", 0) == 0) {
      helped.insert(line.substr(7, line.find(' ', 7) - 7));
    } else if (line.rfind("# TYPE ", 0) == 0) {
      const std::string name = line.substr(7, line.find(' ', 7) - 7);
      EXPECT_TRUE(helped.count(name)) << "no HELP before " << line;
      EXPECT_TRUE(scrape.types.emplace(name, line.substr(line.rfind(' ') + 1)).second) << "declared twice: " << name;
    } else if (sample) {
      const std::string key = line.substr(0, labelsEnd);
      const double value = std::stod(line.substr(labelsEnd + 1));
      std::string family = line.substr(0, nameEnd);
      for (const char* suffix : {"_bucket", "_sum", "_count"}) {
        const std::size_t at = family.size() - std::strlen(suffix);
        if (family.size() > std::strlen(suffix) && family.compare(at, std::string::npos, suffix) == 0 &&
            scrape.types.count(family.substr(0, at)) && scrape.types[family.substr(0, at)] == "histogram") {
          family = family.substr(0, at);
        }
      }
      EXPECT_TRUE(scrape.types.count(family)) << "sample of an undeclared family: " << line;
      scrape.samples[key] = value;
      scrape.served.emplace_back(key, value);
    } else {
      ADD_FAILURE() << "not a metrics line: '" << line << "'";
    }
  }
  return scrape;
}

// The buckets of `name` are cumulative and end in +Inf, which is _count.
void expectHistogram(const Scrape& scrape, const std::string& name) {
  std::vector<std::pair<std::string, double>> buckets;
  for (const auto& sample : scrape.served) {
    if (sample.first.rfind(name + "_bucket{", 0) == 0) buckets.push_back(sample);
  }
  ASSERT_GT(buckets.size(), 10u) << name;
  for (std::size_t i = 1; i < buckets.size(); ++i) EXPECT_LE(buckets[i - 1].second, buckets[i].second) << buckets[i].first;
  EXPECT_EQ(buckets.back().first, name + "_bucket{le=\"+Inf\"}");
  EXPECT_EQ(buckets.back().second, scrape.samples.at(name + "_count"));
}

std::string metricsSocket() { return logDirectory() + "/metrics.sock"; }

class MetricsTest : public ServiceWithHosts {
 protected:
  MetricsTest() : ServiceWithHosts({"--metrics", metricsSocket()}) {}
  void SetUp() override {
    ServiceWithHosts::SetUp();
    ASSERT_TRUE(eventually([] { return get(metricsSocket(), "/").status == 200; }));
  }
};

TEST_F(MetricsTest, ServesTheStatusPairsAndHistogramsAsPrometheusText) {
  // More followed pairs than get gauges of their own; one of them busy.
  for (int i = 0; i < 60; ++i) ASSERT_GE(subscriber.lib().subscribe("quiet" + std::to_string(i), "", kThisServer, nullptr), 0);
  ASSERT_TRUE(subscriber.subscribeTo("busy"));
  for (int i = 0; i < 500; ++i) ASSERT_GE(publisher.lib().deliverEvent("busy", "", "data"), 0);
  ASSERT_TRUE(publisher.flush());
  ASSERT_TRUE(eventually([&] { return subscriber.received("busy") == 500; }));

  const HttpAnswer answer = get(metricsSocket(), "/metrics");
  ASSERT_EQ(answer.status, 200);
  const Scrape scrape = parse(answer.body);
  const std::map<std::string, long long> status = service.status();
  ASSERT_FALSE(status.empty());
  // Nothing moves between the two readings but the status request itself.
  EXPECT_EQ(scrape.samples.at("eventd_events_in_total"), status.at("events-in"));
  EXPECT_EQ(scrape.samples.at("eventd_events_out_total"), status.at("events-out"));
  EXPECT_EQ(scrape.samples.at("eventd_clients") + 1, status.at("clients"));  // the status query is one more
  EXPECT_EQ(scrape.samples.at("eventd_subscribed_pairs"), 61);
  EXPECT_EQ(scrape.types.at("eventd_events_in_total"), "counter");
  EXPECT_EQ(scrape.types.at("eventd_clients"), "gauge");
  // Every status line shows: the server id and base as labels of
  // eventd_info, each other line as a family of its own.
  std::size_t statusFamilies = 0;
  for (const auto& [name, type] : scrape.types) {
    if (name.rfind("eventd_pair", 0) != 0 && type != "histogram" && name != "eventd_info") ++statusFamilies;
  }
  EXPECT_EQ(statusFamilies, status.size() - 2);
  const std::string info = answer.body.substr(answer.body.find("\neventd_info{") + 1);
  EXPECT_THAT(info.substr(0, info.find('\n')), HasSubstr("seqno_base=\"" + std::to_string(status.at("seqno-base"))));

  // Pairs: the busiest first, at most 50, the rest counted.
  const std::string busy = "{server=\"" + std::to_string(status.at("server-id")) + "\",category=\"busy\"}";
  EXPECT_EQ(scrape.samples.at("eventd_pair_subscribers" + busy), 1);
  EXPECT_EQ(scrape.samples.at("eventd_pair_numbered_total" + busy), 500);
  std::size_t pairGauges = 0;
  for (const auto& [key, value] : scrape.samples) pairGauges += key.rfind("eventd_pair_subscribers{", 0) == 0;
  EXPECT_EQ(pairGauges, 50u);
  EXPECT_EQ(scrape.samples.at("eventd_pairs_omitted"), 11);

  // One residence observation per event copy written.
  expectHistogram(scrape, "eventd_event_residence_seconds");
  expectHistogram(scrape, "eventd_backpressure_wait_seconds");
  EXPECT_EQ(scrape.samples.at("eventd_event_residence_seconds_count"), status.at("events-out"));
  EXPECT_GT(scrape.samples.at("eventd_event_residence_seconds_sum"), 0);

  // What else a client may ask.
  EXPECT_EQ(get(metricsSocket(), "/metrics", "HEAD").status, 200);
  EXPECT_TRUE(get(metricsSocket(), "/metrics", "HEAD").body.empty());
  EXPECT_EQ(get(metricsSocket(), "/metrics?x=1").status, 200);
  EXPECT_EQ(get(metricsSocket(), "/other").status, 404);
  EXPECT_EQ(get(metricsSocket(), "/metrics", "POST").status, 405);
  EXPECT_EQ(sendRequest(metricsSocket(), "GET /metrics HTTP/1.1\r\nX: " + std::string(20000, 'a')).status, 431);
}

TEST_F(MetricsTest, ASlowScraperHoldsNothingUp) {
  ASSERT_TRUE(subscriber.subscribeTo("flow"));
  // A scraper that connects and says nothing occupies the endpoint, not the service.
  const int silent = connectToAddress(metricsSocket());
  ASSERT_GE(silent, 0);
  for (int i = 0; i < 2000; ++i) ASSERT_GE(publisher.lib().deliverEvent("flow", "", "data"), 0);
  ASSERT_TRUE(publisher.flush());
  EXPECT_TRUE(eventually([&] { return subscriber.received("flow") == 2000; }, 5s));
  // It is let go after its deadline, and the next scrape is served.
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(get(metricsSocket(), "/metrics").status, 200);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 6s);
  char byte;
  EXPECT_EQ(recv(silent, &byte, 1, 0), 0) << "the silent scraper was closed";
  close(silent);
}

TEST(MetricsOptions, RefusesAddressesBeyondLoopbackAndSocketsInUse) {
  const std::string socket = logDirectory() + "/refusals.sock";
  const ToolRun open = runTool("metrics-open", {"--socket", socket, "--metrics", "0.0.0.0:9464"}, eventdPath());
  EXPECT_EQ(open.status, 2);
  EXPECT_THAT(open.err, HasSubstr("is not a loopback address"));
  const ToolRun bad = runTool("metrics-bad", {"--socket", socket, "--metrics", "9464"}, eventdPath());
  EXPECT_EQ(bad.status, 2);
  EXPECT_THAT(bad.err, HasSubstr("expected HOST:PORT or a socket path"));

  // A live socket at the path is not taken over; a stale one is replaced.
  ServiceProcess first({"--metrics", metricsSocket()});
  ASSERT_TRUE(first.start());
  const ToolRun second = runTool("metrics-in-use", {"--socket", socket, "--metrics", metricsSocket()}, eventdPath());
  EXPECT_EQ(second.status, 2);
  EXPECT_THAT(second.err, HasSubstr("is in use by another process"));
  EXPECT_EQ(first.kill(SIGKILL), 128 + SIGKILL);  // leaves its socket file behind
  ServiceProcess again({"--metrics", metricsSocket()});
  ASSERT_TRUE(again.start());
  // The endpoint opens just after the service's socket: await it.
  EXPECT_TRUE(eventually([] { return get(metricsSocket(), "/metrics").status == 200; }));
  EXPECT_EQ(again.stop(), 0);
  EXPECT_NE(access(metricsSocket().c_str(), F_OK), 0) << "a clean stop removes the socket";
}

// A free port on loopback, for a server that cannot pick its own and say so.
int freePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof where;
  bind(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where);
  getsockname(fd, reinterpret_cast<sockaddr*>(&where), &length);
  close(fd);
  return ntohs(where.sin_port);
}

std::string eventdLog() { return readFile(logDirectory() + "/eventd.log"); }

// The address the log says eventd serves metrics at, in what it wrote past `from`.
std::string loggedMetricsAddress(std::size_t from) {
  const std::string log = eventdLog();
  const std::string mark = "metrics served at http://";
  const std::size_t at = log.find(mark, from);
  if (at == std::string::npos) return std::string();
  const std::size_t begin = at + mark.size();
  return log.substr(begin, log.find("/metrics", begin) - begin);
}

double epochSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Prometheus's answer to an instant query at `time`: the first result's value, or -1.
double promQuery(const std::string& address, const std::string& encodedQuery, double time) {
  const HttpAnswer answer = get(address, "/api/v1/query?query=" + encodedQuery + "&time=" + std::to_string(time));
  if (answer.status != 200) return -1;
  const nlohmann::json result = nlohmann::json::parse(answer.body, nullptr, false);
  if (result.is_discarded() || result["data"]["result"].empty()) return -1;
  return std::stod(result["data"]["result"][0]["value"][1].get<std::string>());
}

TEST(PrometheusScrape, ARealPrometheusSeesTheRateEvtStatusShows) {
  const std::string prometheus = "/usr/bin/prometheus";
  if (access(prometheus.c_str(), X_OK) != 0) GTEST_SKIP() << "prometheus is not installed (scripts/bootstrap installs it)";
  ServiceProcess service({"--metrics", "127.0.0.1:0"});
  const std::size_t logged = eventdLog().size();  // earlier tests' eventd logged their own
  ASSERT_TRUE(service.start());
  std::string target;
  ASSERT_TRUE(eventually([&] { return !(target = loggedMetricsAddress(logged)).empty(); }));
  ASSERT_EQ(target.rfind("127.0.0.1:", 0), 0u) << target;

  const std::string dir = logDirectory() + "/prometheus";
  ASSERT_EQ(system(("mkdir -p " + dir).c_str()), 0);
  std::ofstream(dir + "/prometheus.yml") << "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                                         << "scrape_configs:\n  - job_name: eventd\n    static_configs:\n"
                                         << "      - targets: ['" << target << "']\n";
  const std::string web = "127.0.0.1:" + std::to_string(freePort());
  const pid_t server = spawn({prometheus, "--config.file=" + dir + "/prometheus.yml", "--storage.tsdb.path=" + dir + "/data",
                              "--web.listen-address=" + web, "--log.level=warn"},
                             "", dir + "/prometheus.out", dir + "/prometheus.err");
  struct Stop {
    pid_t pid;
    std::string dir;
    ~Stop() {
      kill(pid, SIGTERM);
      waitExit(pid);
      // Its database is folders deep; the test's own cleanup takes one level.
      EXPECT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
    }
  } stopServer{server, dir};
  // Prometheus takes a few seconds to begin scraping a new target.
  ASSERT_TRUE(eventually([&] { return promQuery(web, "up", epochSeconds()) == 1; }, 60s))
      << readFile(dir + "/prometheus.err");

  // 2,000 events a second for 8 seconds, and evt status read every half second meanwhile.
  const pid_t load = spawn({evtPath(), "pub", "load", "--rate", "2000", "--count", "16000", "-q", "x"}, ownEmulator(),
                           outputPath("load.out"), outputPath("load.err"));
  std::vector<std::pair<double, long long>> samples;
  while (waitpid(load, nullptr, WNOHANG) == 0) {
    samples.emplace_back(epochSeconds(), service.status().at("events-in"));
    std::this_thread::sleep_for(500ms);
  }
  const long long total = service.status().at("events-in");
  ASSERT_EQ(total, 16000);

  // Prometheus has the last value once it scraped after the load...
  EXPECT_TRUE(eventually([&] { return promQuery(web, "eventd_events_in_total", epochSeconds()) == total; }, 20s));
  // ...and the rate it computes at the middle of the load is the one evt status showed around then.
  const double middle = (samples.front().first + samples.back().first) / 2;
  const double rate = promQuery(web, "rate(eventd_events_in_total%5B3s%5D)", middle);
  auto countAt = [&](double time) {  // events-in at `time`, between the samples around it
    for (std::size_t i = 1; i < samples.size(); ++i) {
      if (samples[i].first < time) continue;
      const auto& [t0, c0] = samples[i - 1];
      const auto& [t1, c1] = samples[i];
      return c0 + (c1 - c0) * (time - t0) / (t1 - t0);
    }
    return static_cast<double>(samples.back().second);
  };
  const double shown = (countAt(middle) - countAt(middle - 3)) / 3;
  EXPECT_GT(shown, 1000);
  EXPECT_NEAR(rate, shown, shown * 0.25) << "prometheus " << rate << "/s, evt status " << shown << "/s";
}

}  // namespace
}  // namespace evt::test
