// End-to-end figures, the same workloads through three paths in one run:
//   eventd   publisher host -> eventd -> subscriber hosts (this library)
//   zeromq   PUB -> XSUB/XPUB proxy process -> SUB (high-water marks off)
//   raw      writer -> relay process copying a Unix-socket byte stream -> readers
// Workloads: 200,000 events of 100 B and of 1 KB to one subscriber, fan-out
// to four, and the completion round trip (execute with an id until the
// completion returns; for the others one message out and back through the
// middle process). Prints a table with eventd's ratios to the others.
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>
#include <zmq.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Library/CELibrary.h"
#include "bench/BenchIsolation.h"
#include "platform/linux/Frame.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

struct Throughput {
  double seconds = 0;
  long delivered = 0;  // events received over all subscribers
  long expected = 0;
};

struct Latency {
  double p50 = 0, p99 = 0, p999 = 0;  // microseconds
};

Latency percentiles(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  auto at = [&](double q) { return samples[std::min(samples.size() - 1, static_cast<std::size_t>(q * samples.size()))]; };
  return Latency{at(0.50), at(0.99), at(0.999)};
}

std::string g_workDir;

pid_t startChild(const std::vector<std::string>& argv) {
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

void stopChild(pid_t pid) {
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

// ---------------------------------------------------------------- eventd

class Host : public CEventHandler, public CPublishHandler, public CCompletionHandler {
 public:
  explicit Host(const std::string& name) : m_lib(name, this, this, this) { m_lib.initialize(); }
  ~Host() override { m_lib.finalize(); }

  bool registered() {
    for (int i = 0; i < 20000 && m_lib.execute(0) < 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return m_lib.execute(0) >= 0;
  }
  long onDeliverEvent(const std::string& category, const std::string&, const std::string&, unsigned long long,
                      unsigned long) override {
    if (category == "eventsystem") {
      ++missed;
      return 0;
    }
    const long now = ++received;
    if (now == target || now % 1000 == 0) {  // the publisher's window waits listen too
      std::lock_guard<std::mutex> hold(m_mutex);
      m_changed.notify_all();
    }
    return 0;
  }
  long onPublish(const std::string&, long, int) override { return 0; }
  long onCompleted(long first, long) override {
    std::lock_guard<std::mutex> hold(m_mutex);
    completed = first;
    m_changed.notify_all();
    return 0;
  }
  // execute(id) without waiting; the id of the request.
  long send() { return m_lib.execute(static_cast<unsigned long>(++m_lastId)) >= 0 ? m_lastId : -1; }
  void waitCompleted(long id, long slack = 0) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::seconds(30), [&] { return completed >= id - slack; });
  }
  bool waitReceived(long count) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::seconds(120), [&] { return received >= count; });
  }

  CEventLib& lib() { return m_lib; }
  std::atomic<long> received{0};
  std::atomic<long> missed{0};
  long target = 0;
  long completed = 0;

 private:
  long m_lastId = 0;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  CEventLib m_lib;
};

class EventdPath {
 public:
  EventdPath() {
    setenv("EVT_RUNTIME_DIR", (g_workDir + "/run").c_str(), 1);
    setenv("EVT_LOG_DIR", (g_workDir + "/log").c_str(), 1);
    m_service = startChild({EVT_BENCH_EVENTD, "--queue-limit", "10000000"});
    Host probe("probe");
    if (!probe.registered()) std::fprintf(stderr, "eventd did not come up\n");
  }
  ~EventdPath() { stopChild(m_service); }

  Throughput throughput(std::size_t size, long count, int subscribers) {
    std::vector<std::unique_ptr<Host>> subs;
    for (int i = 0; i < subscribers; ++i) {
      subs.push_back(std::make_unique<Host>("sub" + std::to_string(i)));
      subs.back()->registered();
      subs.back()->target = count;
      subs.back()->lib().subscribe(m_category, "", 0xFFFFFFFFul, nullptr);
      subs.back()->waitCompleted(subs.back()->send());
    }
    Host pub("pub");
    pub.registered();
    const std::string data(size, 'x');
    const auto start = Clock::now();
    // Windows of events, each closed with a completion id; at most a few
    // windows in flight to the service, and the subscribers at most ten
    // windows behind, so that no bounded queue of the service overflows.
    constexpr long kWindow = 2000;
    for (long i = 1; i <= count; ++i) {
      pub.lib().deliverEvent(m_category, "", data);
      if (i % kWindow == 0 || i == count) {
        pub.waitCompleted(pub.send(), 4);
        for (auto& sub : subs) sub->waitReceived(i - 10 * kWindow);
      }
    }
    Throughput result;
    for (auto& sub : subs) {
      sub->waitReceived(count);
      result.delivered += sub->received;
    }
    result.seconds = secondsSince(start);
    result.expected = count * subscribers;
    m_category += "+";  // a fresh category per run: no gaps across runs
    return result;
  }

  Latency completion(int rounds) {
    Host host("rtt");
    host.registered();
    std::vector<double> samples;
    for (int i = 0; i < rounds; ++i) {
      const auto start = Clock::now();
      host.waitCompleted(host.send());
      samples.push_back(secondsSince(start) * 1e6);
    }
    return percentiles(samples);
  }

 private:
  pid_t m_service;
  std::string m_category = "bench";
};

// ---------------------------------------------------------------- zeromq

class ZmqPath {
 public:
  ZmqPath() : m_context(zmq_ctx_new()) {
    m_in = "ipc://" + g_workDir + "/zmq-in";
    m_out = "ipc://" + g_workDir + "/zmq-out";
    m_proxy = fork();
    if (m_proxy == 0) {
      void* context = zmq_ctx_new();
      void* xsub = zmq_socket(context, ZMQ_XSUB);
      void* xpub = zmq_socket(context, ZMQ_XPUB);
      int unbounded = 0;
      for (void* s : {xsub, xpub}) {
        zmq_setsockopt(s, ZMQ_SNDHWM, &unbounded, sizeof unbounded);
        zmq_setsockopt(s, ZMQ_RCVHWM, &unbounded, sizeof unbounded);
      }
      zmq_bind(xsub, m_in.c_str());
      zmq_bind(xpub, m_out.c_str());
      zmq_proxy(xsub, xpub, nullptr);
      _exit(0);
    }
  }
  ~ZmqPath() {
    stopChild(m_proxy);
    zmq_ctx_term(m_context);
  }

  void* socket(int type, const std::string& endpoint) {
    void* s = zmq_socket(m_context, type);
    int unbounded = 0;
    zmq_setsockopt(s, ZMQ_SNDHWM, &unbounded, sizeof unbounded);
    zmq_setsockopt(s, ZMQ_RCVHWM, &unbounded, sizeof unbounded);
    int linger = 0;
    zmq_setsockopt(s, ZMQ_LINGER, &linger, sizeof linger);
    zmq_connect(s, endpoint.c_str());
    return s;
  }

  // Sends probes on `topic` until every subscriber has seen one, so that no
  // subscription is still on its way when measuring starts.
  void join(void* pub, std::vector<void*>& subs, const std::string& topic) {
    std::vector<bool> joined(subs.size(), false);
    while (std::find(joined.begin(), joined.end(), false) != joined.end()) {
      zmq_send(pub, topic.data(), topic.size(), ZMQ_SNDMORE);
      zmq_send(pub, "probe", 5, 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      for (std::size_t i = 0; i < subs.size(); ++i) {
        char buffer[16];
        while (zmq_recv(subs[i], buffer, sizeof buffer, ZMQ_DONTWAIT) >= 0) joined[i] = true;
      }
    }
  }

  Throughput throughput(std::size_t size, long count, int subscribers) {
    const std::string topic = "t" + std::to_string(m_round++);
    void* pub = socket(ZMQ_PUB, m_in);
    std::vector<void*> subs;
    for (int i = 0; i < subscribers; ++i) {
      subs.push_back(socket(ZMQ_SUB, m_out));
      zmq_setsockopt(subs.back(), ZMQ_SUBSCRIBE, topic.data(), topic.size());
    }
    join(pub, subs, topic);
    std::atomic<long> delivered{0};
    const auto start = Clock::now();
    std::vector<std::thread> readers;
    for (void* sub : subs) {
      readers.emplace_back([&, sub] {
        std::vector<char> buffer(size + 16);
        long got = 0;
        while (got < count) {
          int n = zmq_recv(sub, buffer.data(), buffer.size(), 0);
          int more = 0;
          size_t moreSize = sizeof more;
          zmq_getsockopt(sub, ZMQ_RCVMORE, &more, &moreSize);
          if (n == static_cast<int>(size) && !more) ++got;
        }
        delivered += got;
      });
    }
    const std::string data(size, 'x');
    for (long i = 0; i < count; ++i) {
      zmq_send(pub, topic.data(), topic.size(), ZMQ_SNDMORE);
      zmq_send(pub, data.data(), data.size(), 0);
    }
    for (auto& reader : readers) reader.join();
    Throughput result{secondsSince(start), delivered, count * subscribers};
    zmq_close(pub);
    for (void* sub : subs) zmq_close(sub);
    return result;
  }

  Latency roundTrip(int rounds) {
    void* pub = socket(ZMQ_PUB, m_in);
    std::vector<void*> subs{socket(ZMQ_SUB, m_out)};
    zmq_setsockopt(subs[0], ZMQ_SUBSCRIBE, "r", 1);
    join(pub, subs, "r");
    std::vector<double> samples;
    char buffer[64];
    for (int i = 0; i < rounds; ++i) {
      const auto start = Clock::now();
      zmq_send(pub, "r", 1, ZMQ_SNDMORE);
      zmq_send(pub, "ping", 4, 0);
      zmq_recv(subs[0], buffer, sizeof buffer, 0);
      zmq_recv(subs[0], buffer, sizeof buffer, 0);
      samples.push_back(secondsSince(start) * 1e6);
    }
    zmq_close(pub);
    zmq_close(subs[0]);
    return percentiles(samples);
  }

 private:
  void* m_context;
  std::string m_in, m_out;
  pid_t m_proxy;
  int m_round = 0;
};

// ---------------------------------------------------------------- raw

// The relay: accepts one writer and `readers` readers on a Unix socket, then
// copies the writer's bytes to every reader until the writer closes.
int relayMain(const std::string& path, int readers) {
  int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  unlink(path.c_str());
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 16) != 0) return 1;
  int writer = accept(listener, nullptr, nullptr);
  std::vector<int> out;
  for (int i = 0; i < readers; ++i) out.push_back(accept(listener, nullptr, nullptr));
  char go = 1;
  evt::channel::writeAll(writer, std::string(1, go));  // everyone is connected
  std::vector<char> buffer(256 * 1024);
  for (;;) {
    ssize_t n = recv(writer, buffer.data(), buffer.size(), 0);
    if (n <= 0) break;
    const std::string bytes(buffer.data(), static_cast<std::size_t>(n));
    for (int fd : out) evt::channel::writeAll(fd, bytes);
  }
  return 0;
}

class RawPath {
 public:
  Throughput throughput(std::size_t size, long count, int readers) {
    const std::string path = g_workDir + "/relay";
    pid_t relay = fork();
    if (relay == 0) _exit(relayMain(path, readers));
    int writer = connectTo(path);
    std::vector<int> in;
    for (int i = 0; i < readers; ++i) in.push_back(connectTo(path));
    char go = 0;
    recv(writer, &go, 1, MSG_WAITALL);
    std::atomic<long> delivered{0};
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int fd : in) {
      threads.emplace_back([&, fd] {
        // Length-prefixed messages: count whole ones.
        const std::size_t message = 4 + size;
        std::vector<char> buffer(256 * 1024);
        std::size_t bytes = 0;
        while (bytes < message * static_cast<std::size_t>(count)) {
          ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
          if (n <= 0) break;
          bytes += static_cast<std::size_t>(n);
        }
        delivered += static_cast<long>(bytes / message);
      });
    }
    std::string message(4 + size, 'x');
    const uint32_t length = static_cast<uint32_t>(size);
    std::memcpy(&message[0], &length, 4);
    std::string batch;
    for (long i = 0; i < count; ++i) {
      batch += message;
      if (batch.size() >= 64 * 1024 || i + 1 == count) {
        evt::channel::writeAll(writer, batch);
        batch.clear();
      }
    }
    for (auto& thread : threads) thread.join();
    Throughput result{secondsSince(start), delivered, count * readers};
    close(writer);
    for (int fd : in) close(fd);
    waitpid(relay, nullptr, 0);
    return result;
  }

  Latency roundTrip(int rounds) {
    const std::string path = g_workDir + "/relay";
    pid_t relay = fork();
    if (relay == 0) _exit(relayMain(path, 1));
    int writer = connectTo(path);
    int reader = connectTo(path);
    char go = 0;
    recv(writer, &go, 1, MSG_WAITALL);
    std::vector<double> samples;
    char buffer[8];
    for (int i = 0; i < rounds; ++i) {
      const auto start = Clock::now();
      evt::channel::writeAll(writer, "ping");
      recv(reader, buffer, 4, MSG_WAITALL);
      samples.push_back(secondsSince(start) * 1e6);
    }
    close(writer);
    close(reader);
    waitpid(relay, nullptr, 0);
    return percentiles(samples);
  }

 private:
  static int connectTo(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    for (int attempt = 0; attempt < 2000; ++attempt) {
      int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
      if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
      close(fd);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return -1;
  }
};

// ---------------------------------------------------------------- table

void row(const char* name, double eventd, double zeromq, double raw, const char* unit, bool higherIsBetter) {
  const double toZmq = higherIsBetter ? eventd / zeromq : zeromq / eventd;
  const double toRaw = higherIsBetter ? eventd / raw : raw / eventd;
  std::printf("%-26s %12.0f %12.0f %12.0f  %-7s %8.2f %8.2f\n", name, eventd, zeromq, raw, unit, toZmq, toRaw);
}

void throughputRows(const char* name, std::size_t size, const Throughput& e, const Throughput& z, const Throughput& r) {
  char label[64];
  std::snprintf(label, sizeof label, "%s msgs/s", name);
  row(label, e.delivered / e.seconds, z.delivered / z.seconds, r.delivered / r.seconds, "", true);
  std::snprintf(label, sizeof label, "%s MB/s", name);
  row(label, e.delivered * size / e.seconds / 1e6, z.delivered * size / z.seconds / 1e6,
      r.delivered * size / r.seconds / 1e6, "", true);
  std::printf("%-26s %12ld %12ld %12ld\n", "  lost", e.expected - e.delivered, z.expected - z.delivered,
              r.expected - r.delivered);
}

}  // namespace

int main(int argc, char** argv) {
  long count = 200000;
  int rounds = 10000;
  if (argc > 1) count = std::atol(argv[1]);
  if (argc > 2) rounds = std::atoi(argv[2]);
  evt::bench::isolate();
  char dir[] = "/tmp/evt-e2e-bench-XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  g_workDir = dir;
  signal(SIGPIPE, SIG_IGN);

  ZmqPath zmq;
  RawPath raw;
  EventdPath eventd;
  std::printf("%ld events per run, %d round trips; ratios: eventd over the other (higher is better for eventd)\n\n",
              count, rounds);
  std::printf("%-26s %12s %12s %12s  %-7s %8s %8s\n", "workload", "eventd", "zeromq", "raw", "", "/zeromq", "/raw");
  struct Case {
    const char* name;
    std::size_t size;
    int subscribers;
  };
  // For a profiler: EVT_BENCH_EVENTD_ONLY=1 runs eventd's workloads alone,
  // EVT_BENCH_ONLY=TEXT runs only the throughput workloads whose name holds
  // TEXT (e.g. "1->4") and skips the round trips.
  const bool alone = std::getenv("EVT_BENCH_EVENTD_ONLY") != nullptr;
  const char* only = std::getenv("EVT_BENCH_ONLY");
  for (const Case& c : {Case{"1->1 100 B", 100, 1}, Case{"1->1 1 KB", 1024, 1}, Case{"1->4 100 B", 100, 4}}) {
    if (only != nullptr && std::strstr(c.name, only) == nullptr) continue;
    Throughput e = eventd.throughput(c.size, count, c.subscribers);
    Throughput z = alone ? Throughput{} : zmq.throughput(c.size, count, c.subscribers);
    Throughput r = alone ? Throughput{} : raw.throughput(c.size, count, c.subscribers);
    throughputRows(c.name, c.size, e, z, r);
  }
  if (only != nullptr) return 0;
  Latency e = eventd.completion(rounds);
  Latency z = zmq.roundTrip(rounds);
  Latency r = raw.roundTrip(rounds);
  row("round trip p50", e.p50, z.p50, r.p50, "us", false);
  row("round trip p99", e.p99, z.p99, r.p99, "us", false);
  row("round trip p99.9", e.p999, z.p999, r.p999, "us", false);
  std::printf("\ntargets: throughput >= 1.5x zeromq; round trip p50 <= zeromq's\n");
  return 0;
}
