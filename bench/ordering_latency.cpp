// What ordering events by number costs a round trip: an event ping-pong
// between two processes through eventd at its default options, first with
// the pinger alone publishing into "ping", then with a second process
// publishing into "ping" too (1,000 events a second, execute(0) after each,
// as a host would). Prints p50 and p99 in microseconds for each.
//   ordering_latency [ROUND_TRIPS]   (default 2000)
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Library/CEventLib.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned long kThisServer = 0xFFFFFFFFul;

class Host : public CEventHandler, public CPublishHandler, public CCompletionHandler {
 public:
  explicit Host(const char* name, bool echo) : m_echo(echo), m_lib(name, this, this, this) { m_lib.initialize(); }
  ~Host() override { m_lib.finalize(); }

  long onDeliverEvent(const std::string& category, const std::string&, const std::string& data, unsigned long long,
                      unsigned long) override {
    if (m_echo && category == "ping" && data != "noise") {
      m_lib.deliverEvent("pong", "", data);
      m_lib.execute(++m_completion);
      return 0;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_last = data;
    m_changed.notify_all();
    return 0;
  }
  long onPublish(const std::string&, long, int) override { return 0; }
  long onCompleted(long, long) override { return 0; }

  bool waitRegistered() {
    for (int i = 0; i < 3000 && m_lib.execute(0) < 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return m_lib.execute(0) >= 0;
  }
  bool waitFor(const std::string& data) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_last == data; });
  }
  CEventLib& lib() { return m_lib; }

 private:
  bool m_echo;
  CEventLib m_lib;
  long m_completion = 0;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::string m_last;
};

pid_t child(void (*body)()) {
  pid_t pid = fork();
  if (pid == 0) {
    body();
    _exit(0);
  }
  return pid;
}

void ponger() {
  Host host("ponger", true);
  host.waitRegistered();
  host.lib().subscribe("ping", "", kThisServer, nullptr);
  host.lib().execute(1);
  pause();
}

void noise() {
  Host host("noise", false);
  host.waitRegistered();
  host.lib().publish("ping");
  for (;;) {
    host.lib().deliverEvent("ping", "", "noise");
    host.lib().execute(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void measure(const char* label, int rounds) {
  Host host("pinger", false);
  host.waitRegistered();
  host.lib().subscribe("pong", "", kThisServer, nullptr);
  host.lib().publish("ping");
  host.lib().execute(1);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the ponger's subscription settles
  std::vector<double> micros;
  for (int i = 0; i < rounds + 200; ++i) {
    const std::string data = std::to_string(i);
    const auto start = Clock::now();
    host.lib().deliverEvent("ping", "", data);
    host.lib().execute(static_cast<unsigned long>(i + 2));
    if (!host.waitFor(data)) {
      std::printf("%-34s round %d lost\n", label, i);
      return;
    }
    if (i >= 200) micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  std::sort(micros.begin(), micros.end());
  std::printf("%-34s p50 %8.0f us   p99 %8.0f us\n", label, micros[micros.size() / 2], micros[micros.size() * 99 / 100]);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 2000;
  char dir[] = "/tmp/evt-latency-XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  setenv("EVT_RUNTIME_DIR", dir, 1);
  setenv("EVT_SHM_PREFIX", (std::string("lat") + std::to_string(getpid()) + ".").c_str(), 1);
  setenv("EVT_LOG_DIR", dir, 1);
  const pid_t eventd = fork();
  if (eventd == 0) {
    execl(EVT_BENCH_EVENTD, "eventd", static_cast<char*>(nullptr));
    _exit(127);
  }
  const pid_t pong = child(ponger);
  measure("one publisher into ping", rounds);
  const pid_t other = child(noise);
  measure("two publishers into ping", rounds);
  for (pid_t pid : {other, pong, eventd}) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
  std::string cleanup = std::string("rm -rf ") + dir + " /dev/shm/lat" + std::to_string(getpid()) + ".*";
  return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
