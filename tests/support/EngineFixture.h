// Handlers that record what the engine hands them, and a fake service with a
// client against it, for the engine's tests.
#pragma once

#include <mutex>
#include <string>
#include <tuple>
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
                      unsigned long long seqNo, unsigned long serverId) override;
  long onPublish(const std::string& category, long serverId, int bPublish) override;
  long onCompleted(long first, long second) override;

  std::vector<Event> events() const;
  std::size_t eventCount() const;
  std::vector<std::tuple<std::string, long, int>> publishes() const;
  std::vector<std::pair<long, long>> completions() const;
  // Result every handler returns.
  void setResult(long result) { m_result = result; }

 private:
  mutable std::mutex m_mutex;
  long m_result = 0;
  std::vector<Event> m_events;
  std::vector<std::tuple<std::string, long, int>> m_publishes;
  std::vector<std::pair<long, long>> m_completions;
};

// Texts of the service's requests: one request list, the notices the
// engine handles, and a received text carrying several request lists.
std::string requestList(const std::string& name, const std::string& fields);
std::string publishNotice(const std::string& name, const std::string& category, long serverId);
std::string completedNotice(long first, long second);
std::string textOf(const std::vector<std::string>& requestLists);
std::string eventRequest(const std::string& category, const std::string& keys, const std::string& data,
                         long serverId, unsigned long long seqNo);
// A parameter list of the given items.
std::string listOf(const std::vector<std::string>& items);

// Every test gets a fake service (started), handlers and traces of all
// classes in the log.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A client, initialised, waited for until registered and replayed.
  std::unique_ptr<CEventLib> connectedClient(const std::string& name = "client");
  // Commands of `cmd` received so far.
  std::size_t countOf(uint32_t cmd) const { return service.commandsOf(cmd).size(); }
  // The log file's text.
  static std::string logText();

  FakeService service;
  RecordingHandlers handlers;
};

}  // namespace evt::test
