// Handlers that record what the engine hands them, and a fake service with a client against it, for engine tests.
#pragma once

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "Library/CEventLib.h"
#include "Library/CEventLibImpl.h"
#include "tests/support/EngineProbe.h"
#include "tests/support/FakeService.h"

namespace evt::test {

class RecordingHandlers : public CEventHandler, public CPublishHandler, public CCompletionHandler {
 public:
  struct Event {
    std::string category, keys, data;
    unsigned long long seqNo;
    unsigned long serverId;
  };

  long onDeliverEvent(const std::string& category, const std::string& keys, const std::string& data,
                      unsigned long long seqNo, unsigned long serverId) override {
    if (category == "eventsystem" && (data == "connected" || data == "disconnected") && isOwnServer(serverId))
      return record(&m_connections, data);
    return record(&m_events, Event{category, keys, data, seqNo, serverId});
  }
  long onPublish(const std::string& category, long serverId, int bPublish) override {
    return record(&m_publishes, std::make_tuple(category, serverId, bPublish));
  }
  long onCompleted(long first, long second) override { return record(&m_completions, std::make_pair(first, second)); }

  // "connected" / "disconnected" of the server `client` is connected to are
  // its own connection news, kept apart from the other events.
  void watch(CEventLib* client) { m_client.store(client); }

  std::vector<Event> events() const { return copy(m_events); }
  std::vector<std::string> connections() const { return copy(m_connections); }
  std::size_t eventCount() const { return copy(m_events).size(); }
  std::vector<std::tuple<std::string, long, int>> publishes() const { return copy(m_publishes); }
  std::vector<std::pair<long, long>> completions() const { return copy(m_completions); }
  // Result every handler returns; or, when `throws`, each throws after recording (events a std::exception, else int).
  void setResult(long result, bool throws = false) { m_result = result, m_throws = throws; }

 private:
  bool isOwnServer(unsigned long serverId) const;
  template <typename T>
  long record(std::vector<T>* calls, T call) {
    std::lock_guard<std::mutex> hold(m_mutex);
    calls->push_back(std::move(call));
    if (m_throws && std::is_same<T, Event>::value) throw std::runtime_error("handler");
    if (m_throws) throw 7;
    return m_result;
  }
  template <typename T>
  T copy(const T& calls) const {
    std::lock_guard<std::mutex> hold(m_mutex);
    return calls;
  }

  std::atomic<CEventLib*> m_client{nullptr};
  mutable std::mutex m_mutex;
  long m_result = 0;
  bool m_throws = false;
  std::vector<Event> m_events;
  std::vector<std::string> m_connections;
  std::vector<std::tuple<std::string, long, int>> m_publishes;
  std::vector<std::pair<long, long>> m_completions;
};

// A parameter list of `items`, and the items of a list.
std::string listOf(const std::vector<std::string>& items);
std::vector<std::string> itemsOf(const std::string& list);
// One "event" request list.
std::string eventRequest(const std::string& category, const std::string& keys, const std::string& data,
                         long serverId, unsigned long long seqNo);
// What a client of server 12 sends to publish or subscribe to `category`.
std::string publication(const std::string& category, const char* name = "publish");
std::string subscription(const std::string& category, const char* name = "subscribe");

// A started fake service, handlers, and every trace class in the log.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("EVT_TRACE_MASK", "0xFFFFFFFF", 1); service.start(); }
  void TearDown() override { service.stop(); unsetenv("EVT_TRACE_MASK"); }

  // A client, initialised, waited for until registered and replayed.
  std::unique_ptr<CEventLib> connectedClient(const std::string& name = "client");
  // Commands of `cmd` received so far.
  std::size_t countOf(uint32_t cmd) const { return service.commands(cmd).size(); }
  // The texts of every batch received, once the newest holds a completion id.
  std::vector<std::string> batchesUntilCompletion(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // The batch that `client.execute(id)` sends next.
  std::string flushed(CEventLib& client, unsigned long id = 0);
  // The first batch on `connection` (waited for).
  std::string batchOn(int connection);
  // Sends the requests as one received text and waits until it was handled.
  void deliver(const std::vector<std::string>& requests);
  // Stops the service and waits until the client noticed.
  void stopService(CEventLib& client);
  // The log file's text, and whether it holds `text`.
  static std::string logText();
  static bool logged(const std::string& text) { return logText().find(text) != std::string::npos; }

  FakeService service;
  RecordingHandlers handlers;
};

}  // namespace evt::test
