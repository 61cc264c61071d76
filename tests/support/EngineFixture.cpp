#include "tests/support/EngineFixture.h"

#include "Utilities/CParamsX.h"
#include "protocol/Protocol.h"
#include "tests/support/TestEnvironment.h"

namespace evt::test {

bool RecordingHandlers::isOwnServer(unsigned long serverId) const {
  CEventLib* client = m_client.load();
  return client != nullptr && serverId == client->engine()->thisServerId();
}

std::unique_ptr<CEventLib> EngineTest::connectedClient(const std::string& name) {
  std::unique_ptr<CEventLib> client(new CEventLib(name, &handlers, &handlers, &handlers));
  handlers.watch(client.get());
  EXPECT_EQ(0, client->initialize());
  // Registration, then the replay of the first connection ends with a flush.
  EXPECT_TRUE(eventually([&] { return countOf(CECMD_QUEUE) >= 1; }));
  EXPECT_TRUE(eventually([&] { return client->engine()->isConnected(); }));
  return client;
}

std::vector<std::string> EngineTest::batchesUntilCompletion(std::chrono::milliseconds timeout) {
  // There is one batch at least: the replay.
  auto done = [&] { return service.commands(CECMD_QUEUE).back().text.find("completion-id") != std::string::npos; };
  EXPECT_TRUE(eventually(done, timeout));
  std::vector<std::string> sent;
  for (const auto& command : service.commands(CECMD_QUEUE)) sent.push_back(command.text);
  return sent;
}

std::string EngineTest::flushed(CEventLib& client, unsigned long id) {
  const std::size_t before = countOf(CECMD_QUEUE);
  EXPECT_EQ(0, client.execute(id));
  EXPECT_TRUE(eventually([&] { return countOf(CECMD_QUEUE) > before; }));
  return service.commands(CECMD_QUEUE).back().text;
}

std::string EngineTest::batchOn(int connection) {
  if (!eventually([&] { return !service.commands(CECMD_QUEUE, connection).empty(); })) return "";
  return service.commands(CECMD_QUEUE, connection)[0].text;
}

void EngineTest::deliver(const std::vector<std::string>& requests) {
  channel::Frame answer;
  ASSERT_TRUE(service.answerTo(service.sendRequest(listOf(requests), false), &answer, std::chrono::seconds(10)));
}

void EngineTest::stopService(CEventLib& client) {
  service.stop();
  EXPECT_TRUE(eventually([&] { return !client.engine()->isConnected(); }));
}

std::string EngineTest::logText() { return readFile(logDirectory() + "/evt.log"); }

std::string listOf(const std::vector<std::string>& items) {
  CParamsX list;
  for (const auto& item : items) list.addParam(item);
  return list.paramList();
}

std::vector<std::string> itemsOf(const std::string& list) {
  CParamsX parsed(list);
  std::vector<std::string> items;
  for (unsigned long i = 0; i < parsed.count(); ++i) items.push_back(parsed.getstringParamAt(i));
  return items;
}

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

}  // namespace evt::test
