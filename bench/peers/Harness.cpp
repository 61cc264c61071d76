// The parties of peers_bench, each in a process of its own, talking to the
// benchmark's main process through their standard input and output:
//   pub  TRANSPORT ADDRESS SUBJECT INDEX COUNT SIZE
//        connects, says "ready", waits for "go", publishes COUNT events of
//        SIZE bytes ("INDEX:SEQ:" padded with 'x'), waits until they left,
//        says "result ...".
//   sub  TRANSPORT ADDRESS SUBJECT PUBLISHERS COUNT
//        subscribes, says "ready"; its handler checks every event against
//        each publisher's sequence and it says "result ..." once it has all,
//        or when after "done" nothing came for the drain time.
//   ping TRANSPORT ADDRESS ROUNDS SIZE / pong TRANSPORT ADDRESS
//        the round trip: ping publishes on "ping" and waits for the same
//        data back on "pong"; pong's handler sends back what it got, and
//        ping's handler sends the next round.
// Handlers run on the thread the transport delivers on; the main thread only
// starts and watches.
#include "bench/peers/Harness.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

namespace peers {

long long nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

const std::vector<const Transport*>& transports() {
  static const std::vector<const Transport*> all = {
      &eventdTransport(),
#ifdef EVT_PEER_ZMQ
      &zmqTransport(),
      &zmqDirectTransport(),
#endif
#ifdef EVT_PEER_NATS
      &natsTransport(),
#endif
#ifdef EVT_PEER_REDIS
      &redisTransport(),
#endif
#ifdef EVT_PEER_DBUS
      &dbusTransport(),
#endif
#ifdef EVT_PEER_NATS
      &jetStreamTransport(),
      &federatedTransport(),
      &federatedStreamTransport(),
#endif
  };
  return all;
}

const Transport* findTransport(const std::string& name) {
  for (const Transport* transport : transports()) {
    if (name == transport->name()) return transport;
  }
  return nullptr;
}

pid_t spawnProgram(const std::vector<std::string>& argv, const std::string& log) {
  std::string program = argv[0];
  if (program.find('/') == std::string::npos) {
    const char* path = std::getenv("PATH");
    std::string dirs = std::string(path != nullptr ? path : "/usr/bin:/bin") + ":/usr/sbin:/sbin";
    program.clear();
    for (std::size_t start = 0; start <= dirs.size();) {
      std::size_t end = dirs.find(':', start);
      if (end == std::string::npos) end = dirs.size();
      const std::string candidate = dirs.substr(start, end - start) + "/" + argv[0];
      if (access(candidate.c_str(), X_OK) == 0) {
        program = candidate;
        break;
      }
      start = end + 1;
    }
    if (program.empty()) return -1;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    const int in = open("/dev/null", O_RDONLY);
    if (out >= 0) {
      dup2(out, 1);
      dup2(out, 2);
    }
    if (in >= 0) dup2(in, 0);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(program.c_str(), args.data());
    _exit(127);
  }
  return pid;
}

long peakRssKb(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/status";
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return 0;
  char line[256];
  long kb = 0;
  while (std::fgets(line, sizeof line, file) != nullptr) {
    if (std::strncmp(line, "VmHWM:", 6) == 0) kb = std::atol(line + 6);
  }
  std::fclose(file);
  return kb;
}

bool retryFor(int ms, const std::function<bool()>& attempt) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (attempt()) return true;
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

namespace {

// ------------------------------------------------ talking to the main process

void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(line, sizeof line - 1, format, args);
  va_end(args);
  n = std::min<int>(n, static_cast<int>(sizeof line) - 2);
  line[n++] = '\n';
  for (int done = 0; done < n;) {
    const ssize_t wrote = write(1, line + done, static_cast<std::size_t>(n - done));
    if (wrote <= 0) return;
    done += static_cast<int>(wrote);
  }
}

// The next line from the main process, or "" on end of input; waits at most
// `ms` (negative: for ever); "?" when nothing came in time.
std::string hear(int ms) {
  static std::string buffer;
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const std::size_t newline = buffer.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffer.substr(0, newline);
      buffer.erase(0, newline + 1);
      return line;
    }
    int wait = -1;
    if (ms >= 0) {
      wait = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
      if (wait < 0) return "?";
    }
    pollfd in{0, POLLIN, 0};
    if (poll(&in, 1, wait) == 0) return "?";
    char chunk[256];
    const ssize_t n = read(0, chunk, sizeof chunk);
    if (n <= 0) return "";
    buffer.append(chunk, static_cast<std::size_t>(n));
  }
}

long ownPeakRssKb() { return peakRssKb(getpid()); }

void fillPayload(std::string& data, const char* prefix, long index, long seq) {
  char head[64];
  const int n = std::snprintf(head, sizeof head, "%s%ld:%ld:", prefix, index, seq);
  std::memcpy(&data[0], head, std::min<std::size_t>(static_cast<std::size_t>(n), data.size()));
}

// ------------------------------------------------ roles

// Takes nothing: a publisher receives no events.
class NoEvents : public Receiver {
 public:
  void onEvent(const char*, std::size_t) override {}
};

int publisher(const Transport& transport, const std::string& address, const std::string& subject, long index,
              long count, std::size_t size) {
  NoEvents none;
  Role role;
  role.index = index;
  std::unique_ptr<Endpoint> endpoint = transport.connect(address, none, role);
  if (!endpoint) {
    say("failed connect");
    return 1;
  }
  say("ready");
  std::string probe = "probe:" + std::to_string(index) + ":";
  for (;;) {
    const std::string line = hear(transport.needsProbe() ? 10 : -1);
    if (line == "go") break;
    if (line.empty()) return 1;
    if (transport.needsProbe()) endpoint->publish(subject, probe);
  }
  std::string data(std::max<std::size_t>(size, 24), 'x');
  long refused = 0;
  const long long start = nowNs();
  for (long seq = 0; seq < count; ++seq) {
    fillPayload(data, "", index, seq);
    if (!endpoint->publish(subject, data)) ++refused;
  }
  const long long sent = nowNs();
  const bool finished = endpoint->finish(60000);
  say("result sent_ns=%lld finished_ns=%lld finished=%d refused=%ld rss=%ld", sent - start, nowNs() - start,
      finished ? 1 : 0, refused, ownPeakRssKb());
  return 0;
}

// Counts and checks what one subscriber received, per publisher, in the
// handler. The main thread reads it under the same lock, which the handler
// takes once per event (uncontended but for the main thread's glances).
class Tally : public Receiver {
 public:
  Tally(long publishers, long count)
      : m_seen(static_cast<std::size_t>(publishers), std::vector<bool>(static_cast<std::size_t>(count))),
        m_last(static_cast<std::size_t>(publishers), -1),
        m_probed(static_cast<std::size_t>(publishers), false),
        m_expected(publishers * count) {}

  void onEvent(const char* data, std::size_t size) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lastEvent = Clock::now();
    take(data, size);
    if (!m_ready && std::find(m_probed.begin(), m_probed.end(), false) == m_probed.end()) {
      m_ready = true;
      m_changed.notify_all();
    }
    if (m_distinct == m_expected) m_changed.notify_all();
  }
  void onMissed() override {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_missed;
  }

  // Until a probe of every publisher came, at most `timeout`.
  void awaitProbes(std::chrono::seconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, timeout, [&] { return m_ready; });
  }
  // Until every event came, or (once `doneAt` is set) nothing came for
  // `drain` or `cap` passed since. `doneAt` is read under the lock too.
  void awaitAll(const std::atomic<long long>& doneNs, std::chrono::milliseconds drain, std::chrono::seconds cap) {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (m_distinct < m_expected) {
      m_changed.wait_for(lock, std::chrono::milliseconds(50));
      const long long done = doneNs.load();
      if (done == 0) continue;
      const auto doneAt = Clock::time_point(std::chrono::nanoseconds(done));
      const auto now = Clock::now();
      if (now - std::max(m_lastEvent, doneAt) > drain || now - doneAt > cap) break;
    }
  }
  std::string result() {
    std::lock_guard<std::mutex> lock(m_mutex);
    char line[512];
    std::snprintf(line, sizeof line,
                  "received=%ld duplicates=%ld gaps=%ld reordered=%ld missed=%ld foreign=%ld first_ns=%lld "
                  "last_ns=%lld",
                  m_distinct, m_duplicates, m_gaps, m_reordered, m_missed, m_foreign, m_firstNs, m_lastNs);
    return line;
  }

 private:
  // The first few go to standard error (the party's log).
  void unreadable(const char* data, std::size_t size) {
    if (++m_foreign <= 5) std::fprintf(stderr, "unreadable event (%zu bytes): %.40s\n", size, data);
  }

  void take(const char* data, std::size_t size) {
    // Every payload is "[probe:]INDEX:SEQ:" then padding; parsed within size.
    const char* text = data;
    const char* const end = data + size;
    const bool isProbe = size >= 6 && std::memcmp(text, "probe:", 6) == 0;
    if (isProbe) text += 6;
    long publisher = 0, seq = 0;
    if (!readNumber(&text, end, &publisher) || publisher >= static_cast<long>(m_seen.size())) {
      unreadable(data, size);
      return;
    }
    if (isProbe) {
      m_probed[static_cast<std::size_t>(publisher)] = true;
      return;
    }
    std::vector<bool>& marks = m_seen[static_cast<std::size_t>(publisher)];
    if (!readNumber(&text, end, &seq) || seq >= static_cast<long>(marks.size())) {
      unreadable(data, size);
      return;
    }
    m_lastNs = nowNs();
    if (m_firstNs == 0) m_firstNs = m_lastNs;
    if (marks[static_cast<std::size_t>(seq)]) {
      ++m_duplicates;
      return;
    }
    marks[static_cast<std::size_t>(seq)] = true;
    ++m_distinct;
    long& previous = m_last[static_cast<std::size_t>(publisher)];
    if (seq < previous) {
      ++m_reordered;
      return;
    }
    if (seq > previous + 1) ++m_gaps;
    previous = seq;
  }
  // Digits then ':' at *text, moving past them; false when there are none.
  static bool readNumber(const char** text, const char* end, long* value) {
    const char* at = *text;
    long number = 0;
    for (; at < end && *at >= '0' && *at <= '9' && number < (1l << 40); ++at) number = number * 10 + (*at - '0');
    if (at == *text || at == end || *at != ':') return false;
    *value = number;
    *text = at + 1;
    return true;
  }

  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<std::vector<bool>> m_seen;
  std::vector<long> m_last;
  std::vector<bool> m_probed;
  const long m_expected;
  bool m_ready = false;
  Clock::time_point m_lastEvent = Clock::now();
  long m_distinct = 0, m_duplicates = 0, m_gaps = 0, m_reordered = 0, m_missed = 0, m_foreign = 0;
  long long m_firstNs = 0, m_lastNs = 0;
};

int subscriber(const Transport& transport, const std::string& address, const std::string& subject, long publishers,
               long count) {
  Tally tally(publishers, count);
  Role role;
  role.side = Side::kReceiving;
  role.publishers = publishers;
  std::unique_ptr<Endpoint> endpoint = transport.connect(address, tally, role);
  if (!endpoint || !endpoint->subscribe(subject)) {
    say("failed subscribe");
    return 1;
  }
  // The drain time: how long, once every publisher is done, the subscriber
  // waits for the next event before counting the rest as lost; and a cap on
  // the whole wait after that, for a transport that trickles.
  const char* drainText = std::getenv("EVT_BENCH_DRAIN_MS");
  const auto drain = std::chrono::milliseconds(std::atol(drainText != nullptr ? drainText : "10000"));
  if (transport.needsProbe()) tally.awaitProbes(std::chrono::seconds(30));
  say("ready");
  // "done" (or the main process gone) starts the drain time.
  std::atomic<long long> doneNs{0};
  std::atomic<bool> finished{false};
  std::thread listener([&] {
    while (!finished) {
      const std::string line = hear(200);
      if (line == "done" || line.empty()) {
        doneNs = nowNs();
        return;
      }
    }
  });
  tally.awaitAll(doneNs, drain, std::chrono::seconds(120));
  finished = true;
  listener.join();
  say("result %s rss=%ld", tally.result().c_str(), ownPeakRssKb());
  endpoint.reset();
  return 0;
}

// The ping side of the round trip, driven by its handler: each answer that
// matches the round in flight is timed and sends the next round from the
// handler's thread. The main thread sends the first, and another when an
// answer is overdue; the lock keeps the two from sending at once.
class PingRounds : public Receiver {
 public:
  PingRounds(long rounds, std::size_t size) : m_rounds(rounds), m_data(std::max<std::size_t>(size, 24), 'x') {}

  void start(Endpoint* endpoint) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_endpoint = endpoint;
    sendLocked();
  }
  void onEvent(const char* data, std::size_t size) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_endpoint == nullptr || size != m_data.size() || std::memcmp(data, m_data.data(), size) != 0) return;
    if (measuring()) m_micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - m_sentAt).count());
    ++(measuring() ? m_measured : m_warm);
    advanceLocked();
  }
  // Until every round was answered or given up; warm-up (500 answers, the
  // first ones also waiting for subscriptions on their way) ends after 30 s.
  void run() {
    const auto warmUpEnd = Clock::now() + std::chrono::seconds(30);
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!overLocked()) {
      const long before = m_sent;
      const auto overdue = std::chrono::milliseconds(measuring() ? 5000 : 200);
      if (m_changed.wait_for(lock, overdue, [&] { return m_sent != before || overLocked(); })) continue;
      if (!measuring() && Clock::now() > warmUpEnd) break;
      if (measuring()) ++m_lost;
      advanceLocked();
    }
  }
  std::string result() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_endpoint = nullptr;
    std::sort(m_micros.begin(), m_micros.end());
    auto at = [&](double q) {
      return m_micros.empty() ? 0.0
                              : m_micros[std::min(m_micros.size() - 1, static_cast<std::size_t>(q * m_micros.size()))];
    };
    char line[256];
    std::snprintf(line, sizeof line, "measured=%zu lost=%ld warm=%ld p50=%.1f p99=%.1f", m_micros.size(), m_lost,
                  m_warm, at(0.50), at(0.99));
    return line;
  }

 private:
  static constexpr long kWarmUp = 500;
  bool measuring() const { return m_warm >= kWarmUp; }
  bool overLocked() const { return m_measured + m_lost >= m_rounds; }
  void advanceLocked() {
    if (overLocked()) {
      m_changed.notify_all();
      return;
    }
    sendLocked();
  }
  void sendLocked() {
    const long round = measuring() ? m_measured + m_lost : m_sent;
    fillPayload(m_data, measuring() ? "m" : "w", 0, round);
    ++m_sent;
    m_changed.notify_all();
    m_sentAt = Clock::now();
    m_endpoint->publishNow("ping", m_data);
  }

  std::mutex m_mutex;
  std::condition_variable m_changed;
  Endpoint* m_endpoint = nullptr;
  const long m_rounds;
  std::string m_data;  // the round in flight
  Clock::time_point m_sentAt;
  long m_sent = 0, m_warm = 0, m_measured = 0, m_lost = 0;
  std::vector<double> m_micros;
};

int pinger(const Transport& transport, const std::string& address, long rounds, std::size_t size) {
  PingRounds ping(rounds, size);
  Role role;
  role.roundTrip = true;
  std::unique_ptr<Endpoint> endpoint = transport.connect(address, ping, role);
  if (!endpoint || !endpoint->subscribe("pong")) {
    say("failed subscribe");
    return 1;
  }
  say("ready");
  if (hear(-1) != "go") return 1;
  ping.start(endpoint.get());
  ping.run();
  say("result %s rss=%ld", ping.result().c_str(), ownPeakRssKb());
  endpoint.reset();
  return 0;
}

// The pong side: its handler sends back what it got, on the handler's thread.
class PongAnswers : public Receiver {
 public:
  void onEvent(const char* data, std::size_t size) override {
    Endpoint* endpoint = m_endpoint.load();
    if (endpoint == nullptr) return;
    m_reply.assign(data, size);
    endpoint->publishNow("pong", m_reply);
    ++m_answered;
  }
  std::atomic<Endpoint*> m_endpoint{nullptr};
  std::atomic<long> m_answered{0};

 private:
  std::string m_reply;  // the handler's own
};

int ponger(const Transport& transport, const std::string& address) {
  PongAnswers pong;
  Role role;
  role.side = Side::kReceiving;
  role.roundTrip = true;
  std::unique_ptr<Endpoint> endpoint = transport.connect(address, pong, role);
  if (!endpoint || !endpoint->subscribe("ping")) {
    say("failed subscribe");
    return 1;
  }
  pong.m_endpoint = endpoint.get();
  say("ready");
  for (std::string line = hear(-1); !line.empty() && line != "done";) line = hear(-1);
  say("result answered=%ld rss=%ld", pong.m_answered.load(), ownPeakRssKb());
  pong.m_endpoint = nullptr;
  endpoint.reset();
  return 0;
}

}  // namespace

#ifdef EVT_PEER_ZMQ
int zmqProxyMain(const std::string& dir);
#endif

int runRole(int argc, char** argv) {
  // argv: peers_bench --role ROLE ARGS...
  const std::vector<std::string> args(argv + 2, argv + argc);
  auto arg = [&](std::size_t i) { return i < args.size() ? args[i] : std::string(); };
  const std::string role = arg(0);
#ifdef EVT_PEER_ZMQ
  if (role == "zmq-proxy") return zmqProxyMain(arg(1));
#endif
  const Transport* transport = findTransport(arg(1));
  if (transport == nullptr) {
    say("failed unknown transport %s", arg(1).c_str());
    return 2;
  }
  if (role == "pub" && args.size() == 7) {
    return publisher(*transport, arg(2), arg(3), std::atol(arg(4).c_str()), std::atol(arg(5).c_str()),
                     static_cast<std::size_t>(std::atol(arg(6).c_str())));
  }
  if (role == "sub" && args.size() == 6) {
    return subscriber(*transport, arg(2), arg(3), std::atol(arg(4).c_str()), std::atol(arg(5).c_str()));
  }
  if (role == "ping" && args.size() == 5) {
    return pinger(*transport, arg(2), std::atol(arg(3).c_str()), static_cast<std::size_t>(std::atol(arg(4).c_str())));
  }
  if (role == "pong" && args.size() == 3) return ponger(*transport, arg(2));
  say("failed usage");
  return 2;
}

}  // namespace peers
