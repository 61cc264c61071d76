// The parties of peers_bench, each in a process of its own, talking to the
// benchmark's main process through their standard input and output:
//   pub  TRANSPORT ADDRESS SUBJECT INDEX COUNT SIZE
//        connects, says "ready", waits for "go", publishes COUNT events of
//        SIZE bytes ("INDEX:SEQ:" padded with 'x'), waits until they left,
//        says "result ...".
//   sub  TRANSPORT ADDRESS SUBJECT PUBLISHERS COUNT
//        subscribes, says "ready"; its consumer thread checks every event
//        against each publisher's sequence and it says "result ..." once it
//        has all, or when after "done" nothing came for the drain time.
//   ping TRANSPORT ADDRESS ROUNDS SIZE / pong TRANSPORT ADDRESS
//        the round trip: ping publishes on "ping" and waits for the same
//        data back on "pong"; pong's consumer thread sends back what it got.
#include "bench/peers/Harness.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace peers {

long long nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

void Inbox::push(const char* data, std::size_t size) {
  Item item{false, std::string(data, size)};  // copied before the lock is taken
  std::lock_guard<std::mutex> lock(m_mutex);
  m_items.push_back(std::move(item));
  if (m_consumerWaits) m_ready.notify_one();
}

void Inbox::pushMissed() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_items.push_back(Item{true, std::string()});
  if (m_consumerWaits) m_ready.notify_one();
}

bool Inbox::pop(Item& item, Clock::time_point deadline) {
  if (m_taken.empty()) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_consumerWaits = true;
    const bool any = m_ready.wait_until(lock, deadline, [&] { return !m_items.empty(); });
    m_consumerWaits = false;
    if (!any) return false;
    m_taken.swap(m_items);
  }
  item = std::move(m_taken.front());
  m_taken.pop_front();
  return true;
}

const std::vector<const Transport*>& transports() {
  static const std::vector<const Transport*> all = {
      &eventdTransport(),
#ifdef EVT_PEER_ZMQ
      &zmqTransport(),
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
      &federatedTransport(),
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

int publisher(const Transport& transport, const std::string& address, const std::string& subject, long index,
              long count, std::size_t size) {
  Inbox unused;
  std::unique_ptr<Endpoint> endpoint = transport.connect(address, unused, false, Side::kSending);
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

// Counts and checks what one subscriber received, per publisher.
struct Tally {
  explicit Tally(long publishers, long count)
      : seen(static_cast<std::size_t>(publishers), std::vector<bool>(static_cast<std::size_t>(count))),
        last(static_cast<std::size_t>(publishers), -1),
        probed(static_cast<std::size_t>(publishers), false) {}
  std::vector<std::vector<bool>> seen;
  std::vector<long> last;
  std::vector<bool> probed;
  long distinct = 0, duplicates = 0, gaps = 0, reordered = 0, missed = 0, foreign = 0;
  long long firstNs = 0, lastNs = 0;

  // The first few go to standard error (the party's log).
  void unreadable(const std::string& data) {
    if (++foreign <= 5) std::fprintf(stderr, "unreadable event (%zu bytes): %.40s\n", data.size(), data.c_str());
  }

  bool allProbed() const { return std::find(probed.begin(), probed.end(), false) == probed.end(); }

  void take(const Inbox::Item& item) {
    if (item.missed) {
      ++missed;
      return;
    }
    const char* text = item.data.c_str();
    const bool isProbe = std::strncmp(text, "probe:", 6) == 0;
    if (isProbe) text += 6;
    char* end = nullptr;
    const long publisher = std::strtol(text, &end, 10);
    if (end == text || *end != ':' || publisher < 0 || publisher >= static_cast<long>(seen.size())) {
      unreadable(item.data);
      return;
    }
    if (isProbe) {
      probed[static_cast<std::size_t>(publisher)] = true;
      return;
    }
    const char* seqText = end + 1;
    const long seq = std::strtol(seqText, &end, 10);
    std::vector<bool>& marks = seen[static_cast<std::size_t>(publisher)];
    if (end == seqText || *end != ':' || seq < 0 || seq >= static_cast<long>(marks.size())) {
      unreadable(item.data);
      return;
    }
    lastNs = nowNs();
    if (firstNs == 0) firstNs = lastNs;
    if (marks[static_cast<std::size_t>(seq)]) {
      ++duplicates;
      return;
    }
    marks[static_cast<std::size_t>(seq)] = true;
    ++distinct;
    long& previous = last[static_cast<std::size_t>(publisher)];
    if (seq < previous) {
      ++reordered;
      return;
    }
    if (seq > previous + 1) ++gaps;
    previous = seq;
  }
};

int subscriber(const Transport& transport, const std::string& address, const std::string& subject, long publishers,
               long count) {
  Inbox inbox;
  std::unique_ptr<Endpoint> endpoint = transport.connect(address, inbox, false, Side::kReceiving);
  if (!endpoint || !endpoint->subscribe(subject)) {
    say("failed subscribe");
    return 1;
  }
  const long expected = publishers * count;
  // The drain time: how long, once every publisher is done, the consumer
  // waits for the next event before counting the rest as lost; and a cap on
  // the whole wait after that, for a transport that trickles.
  const auto drain = std::chrono::milliseconds(std::atol(std::getenv("EVT_BENCH_DRAIN_MS") != nullptr
                                                             ? std::getenv("EVT_BENCH_DRAIN_MS")
                                                             : "10000"));
  const auto cap = std::chrono::seconds(120);
  std::atomic<bool> done{false}, finished{false};
  std::atomic<long long> doneNs{0};
  std::mutex mutex;
  std::condition_variable probed;
  bool ready = false;
  Tally tally(publishers, count);
  std::thread consumer([&] {
    Inbox::Item item;
    Clock::time_point lastEvent = Clock::now();
    for (;;) {
      if (tally.distinct >= expected) break;
      if (done) {
        const auto doneAt = Clock::time_point(std::chrono::nanoseconds(doneNs.load()));
        const auto now = Clock::now();
        if (now - std::max(lastEvent, doneAt) > drain || now - doneAt > cap) break;
      }
      if (!inbox.pop(item, Clock::now() + std::chrono::milliseconds(50))) continue;
      lastEvent = Clock::now();
      tally.take(item);
      if (!ready && tally.allProbed()) {
        std::lock_guard<std::mutex> lock(mutex);
        ready = true;
        probed.notify_all();
      }
    }
    say("result received=%ld duplicates=%ld gaps=%ld reordered=%ld missed=%ld foreign=%ld first_ns=%lld "
        "last_ns=%lld rss=%ld",
        tally.distinct, tally.duplicates, tally.gaps, tally.reordered, tally.missed, tally.foreign, tally.firstNs,
        tally.lastNs, ownPeakRssKb());
    finished = true;
  });
  if (transport.needsProbe()) {
    std::unique_lock<std::mutex> lock(mutex);
    probed.wait_for(lock, std::chrono::seconds(30), [&] { return ready; });
  }
  say("ready");
  // "done" (or the main process gone) starts the drain time.
  std::thread listener([&] {
    for (;;) {
      const std::string line = hear(200);
      if (line == "done" || line.empty()) {
        doneNs = nowNs();
        done = true;
        return;
      }
      if (finished) return;  // all arrived before "done"
    }
  });
  consumer.join();
  listener.join();
  return 0;
}

int pinger(const Transport& transport, const std::string& address, long rounds, std::size_t size) {
  Inbox inbox;
  std::unique_ptr<Endpoint> endpoint = transport.connect(address, inbox, true, Side::kSending);
  if (!endpoint || !endpoint->subscribe("pong")) {
    say("failed subscribe");
    return 1;
  }
  say("ready");
  if (hear(-1) != "go") return 1;
  std::string data(std::max<std::size_t>(size, 24), 'x');
  Inbox::Item item;
  // Sends data and waits for it back for up to `ms`; other data is stale.
  auto roundTrip = [&](int ms) {
    if (!endpoint->publishNow("ping", data)) return false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (inbox.pop(item, deadline)) {
      if (!item.missed && item.data == data) return true;
    }
    return false;
  };
  // Warm-up: until 500 round trips came back (the first ones also wait for
  // subscriptions still on their way), at most 30 s.
  const auto warmUpEnd = Clock::now() + std::chrono::seconds(30);
  long warm = 0;
  for (long i = 0; warm < 500 && Clock::now() < warmUpEnd; ++i) {
    fillPayload(data, "w", 0, i);
    if (roundTrip(200)) ++warm;
  }
  std::vector<double> micros;
  long lost = 0;
  for (long i = 0; i < rounds && warm >= 500; ++i) {
    fillPayload(data, "m", 0, i);
    const auto start = Clock::now();
    if (roundTrip(5000)) {
      micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    } else {
      ++lost;
    }
  }
  std::sort(micros.begin(), micros.end());
  auto at = [&](double q) {
    return micros.empty() ? 0.0 : micros[std::min(micros.size() - 1, static_cast<std::size_t>(q * micros.size()))];
  };
  say("result measured=%zu lost=%ld warm=%ld p50=%.1f p99=%.1f rss=%ld", micros.size(), lost, warm, at(0.50),
      at(0.99), ownPeakRssKb());
  return 0;
}

int ponger(const Transport& transport, const std::string& address) {
  Inbox inbox;
  std::unique_ptr<Endpoint> endpoint = transport.connect(address, inbox, true, Side::kReceiving);
  if (!endpoint || !endpoint->subscribe("ping")) {
    say("failed subscribe");
    return 1;
  }
  std::atomic<bool> done{false};
  long answered = 0;
  std::thread consumer([&] {
    Inbox::Item item;
    while (!done) {
      if (!inbox.pop(item, Clock::now() + std::chrono::milliseconds(50)) || item.missed) continue;
      endpoint->publishNow("pong", item.data);
      ++answered;
    }
  });
  say("ready");
  for (std::string line = hear(-1); !line.empty() && line != "done";) line = hear(-1);
  done = true;
  consumer.join();
  say("result answered=%ld rss=%ld", answered, ownPeakRssKb());
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
