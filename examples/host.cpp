// A small host of the event service: subscribes to a category, publishes
// events into it and waits until they come back, in order.
//
//   example_host [CATEGORY [EVENTS]]
//
// Exits 0 when every event came back, 1 otherwise.
#include <eventlib/CELibrary.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

namespace {

// Counts the events of one category and notes completions; the library
// calls it on its own thread.
class Receiver : public CEventHandler, public CCompletionHandler {
 public:
  long onCompleted(long first, long) override {
    std::lock_guard<std::mutex> hold(m_mutex);
    m_completed = first;
    m_changed.notify_all();
    return 0;
  }

  // Waits until the service confirmed completion id `id`.
  bool waitCompleted(long id, std::chrono::seconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_completed >= id; });
  }

  long onDeliverEvent(const std::string& category, const std::string&, const std::string& data, unsigned long long,
                      unsigned long) override {
    std::lock_guard<std::mutex> hold(m_mutex);
    if (category == "eventsystem") {
      // The system's own news: a gap in what arrived, or this client's
      // connection to the service coming or going (this example subscribes
      // to no other machine, so no other server's news can come).
      if (data == "missed-event") ++m_missed;
      if (data == "connected" || data == "disconnected") m_connected = data == "connected";
    } else if (data == std::to_string(m_received)) {
      ++m_received;
    } else {
      ++m_disordered;
    }
    m_changed.notify_all();
    return 0;
  }

  // Waits until the client is connected to the service.
  bool waitConnected(std::chrono::seconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_connected; });
  }

  // Waits until `count` events came back; false after `timeout`.
  bool waitFor(long count, std::chrono::seconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_received >= count; }) && m_missed == 0 &&
           m_disordered == 0;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  long m_received = 0, m_missed = 0, m_disordered = 0, m_completed = 0;
  bool m_connected = false;
};

}  // namespace

int main(int argc, char** argv) {
  const std::string category = argc > 1 ? argv[1] : "example";
  const long events = argc > 2 ? std::atol(argv[2]) : 100;
  Receiver receiver;
  // The constructor throws KelException (a std::exception) when the client
  // cannot open the machine's shared objects: most often because the user is
  // not in the service's access group.
  std::unique_ptr<CEventLib> owner;
  try {
    owner = std::make_unique<CEventLib>("example-host", &receiver, nullptr, &receiver);
  } catch (const KelException& e) {
    std::fprintf(stderr, "example_host: cannot start the client: %s%s\n", e.what(),
                 e.code() == CE_E_ACCESS_DENIED ? " (is this user in the service's group?)" : "");
    return 1;
  }
  CEventLib& client = *owner;
  if (client.initialize() < 0) return 1;

  // Requests are refused until the client is connected; the library tells
  // the event handler when it is.
  if (!receiver.waitConnected(std::chrono::seconds(10))) {
    std::fprintf(stderr, "example_host: no event service\n");
    return 1;
  }
  // A subscription holds for events numbered once the service has it: the
  // completion of the id sent with it says so.
  client.subscribe(category, "", 0xFFFFFFFFul, nullptr);
  client.publish(category);
  client.execute(1);
  if (!receiver.waitCompleted(1, std::chrono::seconds(10))) return 1;
  for (long i = 0; i < events; ++i) client.deliverEvent(category, "", std::to_string(i));
  client.execute(2);

  const bool ok = receiver.waitFor(events, std::chrono::seconds(30));
  std::printf("example_host: %s\n", ok ? "every event came back in order" : "events missing or out of order");
  client.finalize();
  return ok ? 0 : 1;
}
