#include "tests/support/EngineFixture.h"

#include <cstdlib>

#include "Utilities/CParamsX.h"
#include "tests/support/TestEnvironment.h"

namespace evt::test {

long RecordingHandlers::onDeliverEvent(const std::string& category, const std::string& keys,
                                       const std::string& data, unsigned long long seqNo, unsigned long serverId) {
  std::lock_guard<std::mutex> hold(m_mutex);
  m_events.push_back(Event{category, keys, data, seqNo, serverId});
  return m_result;
}

long RecordingHandlers::onPublish(const std::string& category, long serverId, int bPublish) {
  std::lock_guard<std::mutex> hold(m_mutex);
  m_publishes.emplace_back(category, serverId, bPublish);
  return m_result;
}

long RecordingHandlers::onCompleted(long first, long second) {
  std::lock_guard<std::mutex> hold(m_mutex);
  m_completions.emplace_back(first, second);
  return m_result;
}

std::vector<RecordingHandlers::Event> RecordingHandlers::events() const {
  std::lock_guard<std::mutex> hold(m_mutex);
  return m_events;
}

std::size_t RecordingHandlers::eventCount() const {
  std::lock_guard<std::mutex> hold(m_mutex);
  return m_events.size();
}

std::vector<std::tuple<std::string, long, int>> RecordingHandlers::publishes() const {
  std::lock_guard<std::mutex> hold(m_mutex);
  return m_publishes;
}

std::vector<std::pair<long, long>> RecordingHandlers::completions() const {
  std::lock_guard<std::mutex> hold(m_mutex);
  return m_completions;
}

void EngineTest::SetUp() {
  setenv("EVT_TRACE_MASK", "0xFFFFFFFF", 1);
  service.start();
}

void EngineTest::TearDown() {
  service.stop();
  unsetenv("EVT_TRACE_MASK");
}

std::unique_ptr<CEventLib> EngineTest::connectedClient(const std::string& name) {
  std::unique_ptr<CEventLib> client(new CEventLib(name, &handlers, &handlers, &handlers));
  EXPECT_EQ(0, client->initialize());
  // Registration, then the replay of the first connection ends with a flush.
  EXPECT_TRUE(service.waitUntil([&] { return countOf(CECMD_QUEUE) >= 1; }));
  EXPECT_TRUE(eventually([&] { return client->engine()->isConnected(); }));
  return client;
}

std::string requestList(const std::string& name, const std::string& fields) {
  CParamsX request;
  request.addParam(name);
  request.addParam(fields);
  return request.paramList();
}

std::string publishNotice(const std::string& name, const std::string& category, long serverId) {
  CParamsX fields;
  fields.addParam(category);
  fields.addParam(serverId);
  return requestList(name, fields.paramList());
}

std::string completedNotice(long first, long second) {
  CParamsX fields;
  fields.addParam(first);
  fields.addParam(second);
  return requestList("completed", fields.paramList());
}

std::string textOf(const std::vector<std::string>& requestLists) {
  CParamsX text;
  for (const auto& item : requestLists) text.addParam(item);
  return text.paramList();
}

std::string eventRequest(const std::string& category, const std::string& keys, const std::string& data,
                         long serverId, unsigned long long seqNo) {
  CParamsX event;
  event.addParam(category);
  event.addParam(keys);
  event.addParam(data);
  event.addParam(serverId);
  CParamsX request;
  request.addParam("event");
  request.addParam(event.paramList());
  request.addParam(seqNo);
  return request.paramList();
}

std::string listOf(const std::vector<std::string>& items) { return textOf(items); }

std::string EngineTest::logText() { return readFile(logDirectory() + "/evt.log"); }

}  // namespace evt::test
