// A C host (c_host.c, its own process) and a C++ host through a running
// eventd: events go to the C host, filtered by its key patterns, and come
// back from its callback with their keys and data, in order.
#include <future>

#include <gtest/gtest.h>

#include "tests/support/ServiceProcess.h"

namespace evt::test {
namespace {

using CInterface = ServiceWithHosts;

TEST_F(CInterface, CHostReceivesFilteredEventsAndEchoesThemInOrder) {
  TestHost& host = subscriber;  // publishes to the C host too
  ASSERT_TRUE(host.subscribeTo("from-c"));
  ASSERT_EQ(host.lib().publish("to-c"), 0);

  auto cHost = std::async(std::launch::async, [] { return runTool("c_host", {}, EVT_C_HOST_PATH); });
  ASSERT_TRUE(eventually([&] { return host.received("from-c") == 1; }, std::chrono::seconds(60)));

  // Keys ("k", i) match the C host's patterns ("k", "*"); ("other") does not.
  const long kEvents = 500;
  std::vector<std::string> sentKeys;
  for (long i = 0; i < kEvents; ++i) {
    CEventLib::CGenList keys;
    keys.addItem("k");
    keys.addItem(std::to_string(i));
    sentKeys.push_back(keys.getList());
    ASSERT_EQ(host.lib().deliverEvent("to-c", keys.getList(), "event " + std::to_string(i)), 0);
    CEventLib::CGenList other;
    other.addItem("other");
    ASSERT_EQ(host.lib().deliverEvent("to-c", other.getList(), "filtered"), 0);
  }
  CEventLib::CGenList endKeys;
  endKeys.addItem("k");
  ASSERT_EQ(host.lib().deliverEvent("to-c", endKeys.getList(), "end"), 0);
  ASSERT_TRUE(host.flush());

  const ToolRun run = cHost.get();
  EXPECT_EQ(run.status, 0) << run.err;
  ASSERT_TRUE(eventually([&] { return host.received("from-c") == kEvents + 2; }, std::chrono::seconds(30)));
  std::vector<RecordingHandlers::Event> echoes;
  for (const auto& event : host.handlers.events())
    if (event.category == "from-c" || event.category == "eventsystem") echoes.push_back(event);
  ASSERT_EQ(echoes.size(), static_cast<std::size_t>(kEvents + 2));  // no missed-event among them
  EXPECT_EQ(echoes.front().data, "ready");
  for (long i = 0; i < kEvents; ++i) {
    EXPECT_EQ(echoes[i + 1].keys, sentKeys[i]);
    EXPECT_EQ(echoes[i + 1].data, "event " + std::to_string(i));
  }
  EXPECT_EQ(echoes.back().data, "end");
}

}  // namespace
}  // namespace evt::test
