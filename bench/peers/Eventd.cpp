// eventd through this project's client library, the way a host uses it:
// deliverEvent + execute(0) per event, execute(id) when a completion is
// wanted (and for the round trip, to send at once). The service runs at its
// default options; only its socket folder, log folder and shared-memory
// prefix are its own (EVT_RUNTIME_DIR, EVT_LOG_DIR, EVT_SHM_PREFIX, set by
// the benchmark's main process for each run).
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <set>

#include "Library/CELibrary.h"
#include "bench/peers/Harness.h"

namespace peers {
namespace {

constexpr unsigned long kThisServer = 0xFFFFFFFFul;

class EventdEndpoint : public Endpoint, CEventHandler, CPublishHandler, CCompletionHandler {
 public:
  EventdEndpoint(Receiver& receiver, unsigned long server)
      : m_sink(receiver), m_server(server), m_lib("peers-bench-" + std::to_string(getpid()), this, this, this) {
    m_lib.initialize();
  }
  ~EventdEndpoint() override { m_lib.finalize(); }

  bool registered() {
    return retryFor(30000, [&] { return m_lib.execute(0) >= 0; });
  }

  bool subscribe(const std::string& subject) override {
    if (m_lib.subscribe(subject, "", m_server, nullptr) < 0) return false;
    return finish(30000);
  }
  bool publish(const std::string& subject, const std::string& data) override {
    announce(subject);
    if (m_lib.deliverEvent(subject, "", data) < 0) return false;
    m_lib.execute(0);
    return true;
  }
  bool publishNow(const std::string& subject, const std::string& data) override {
    announce(subject);
    if (m_lib.deliverEvent(subject, "", data) < 0) return false;
    return m_lib.execute(static_cast<unsigned long>(++m_lastId)) >= 0;
  }
  bool finish(int timeoutMs) override {
    const long id = ++m_lastId;
    if (m_lib.execute(static_cast<unsigned long>(id)) < 0) return false;
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_completed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_lastCompleted >= id; });
  }

 private:
  void announce(const std::string& subject) {
    if (m_published.insert(subject).second) m_lib.publish(subject);
  }
  long onDeliverEvent(const std::string& category, const std::string&, const std::string& data, unsigned long long,
                      unsigned long) override {
    if (category == "eventsystem") {
      if (data == "missed-event") m_sink.onMissed();
      return 0;
    }
    m_sink.onEvent(data.data(), data.size());
    return 0;
  }
  long onPublish(const std::string&, long, int) override { return 0; }
  long onCompleted(long first, long) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lastCompleted = std::max(m_lastCompleted, first);
    m_completed.notify_all();
    return 0;
  }

  Receiver& m_sink;
  const unsigned long m_server;
  CEventLib m_lib;
  std::set<std::string> m_published;
  long m_lastId = 0;
  std::mutex m_mutex;
  std::condition_variable m_completed;
  long m_lastCompleted = 0;
};

class EventdTransport : public Transport {
 public:
  const char* name() const override { return "eventd"; }
  const char* shape() const override {
    return "eventd at its default options; hosts use libeventlib: deliverEvent + execute(0) per event, "
           "execute(id) at the end (and per ping/pong), work done in the event handler (the library's request thread)";
  }
  Broker start(const std::string& dir) const override {
    // The socket folder, log folder and prefix come from the environment.
    return Broker{spawnProgram({EVT_BENCH_EVENTD}, dir + "/eventd.out"), "-"};
  }
  std::unique_ptr<Endpoint> connect(const std::string&, Receiver& receiver, const Role&) const override {
    return eventdEndpoint(receiver, kThisServer);
  }
};

}  // namespace

std::unique_ptr<Endpoint> eventdEndpoint(Receiver& receiver, unsigned long server) {
  auto endpoint = std::make_unique<EventdEndpoint>(receiver, server);
  if (!endpoint->registered()) return nullptr;
  return endpoint;
}

const Transport& eventdTransport() {
  static const EventdTransport transport;
  return transport;
}

}  // namespace peers
