#include "tests/support/EngineFixture.h"

#include <cstdlib>

#include "Utilities/CParamsX.h"
#include "protocol/Protocol.h"
#include "tests/support/TestEnvironment.h"

namespace evt::test {

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

std::string listOf(const std::vector<std::string>& items) {
  CParamsX list;
  for (const auto& item : items) list.addParam(item);
  return list.paramList();
}

std::string requestList(const std::string& name, const std::string& fields) { return listOf({name, fields}); }

std::string eventRequest(const std::string& category, const std::string& keys, const std::string& data,
                         long serverId, unsigned long long seqNo) {
  std::string request;
  protocol::writeEventRequest(&request, category, keys, data, static_cast<uint32_t>(serverId), seqNo);
  return request;
}

std::string publication(const std::string& category, const char* name) {
  return protocol::publicationRequest(name, category, 12);
}

std::string subscription(const std::string& category, const char* name) {
  return protocol::subscriptionRequest(name, protocol::subscriptionKey(12, category));
}

std::string EngineTest::logText() { return readFile(logDirectory() + "/evt.log"); }

}  // namespace evt::test
