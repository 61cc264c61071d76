// Key matching: the pattern tree against the rule it stands for, and the
// engine's cache of it following subscriptions as they change.
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Library/KeyPatterns.h"
#include "Utilities/ParamsView.h"
#include "tests/support/EngineFixture.h"

namespace {

using evt::test::eventRequest;
using evt::test::listOf;

// The rule, one subscription at a time: pattern i equals key i (a key past
// the end reads ""), "*" is any key, and a last "*" all the rest.
bool referenceMatch(const std::vector<std::string>& patterns, const std::vector<std::string>& keys) {
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    if (patterns[i] == "*") {
      if (i + 1 == patterns.size()) return true;
      continue;
    }
    if (patterns[i] != (i < keys.size() ? keys[i] : std::string())) return false;
  }
  return true;
}

TEST(KeyPatterns, AgreeWithTheRuleOverRandomSubscriptions) {
  std::mt19937 random(7);
  const std::vector<std::string> words = {"a", "b", "*", ""};
  auto draw = [&](std::size_t maxSize) {
    std::vector<std::string> items(random() % (maxSize + 1));
    for (auto& item : items) item = words[random() % words.size()];
    return items;
  };
  for (int round = 0; round < 2000; ++round) {
    KeyPatterns tree;
    std::vector<std::vector<std::string>> subscriptions(1 + random() % 4);
    for (auto& patterns : subscriptions) {
      patterns = draw(3);
      tree.add(patterns.empty() ? std::string() : listOf(patterns));
    }
    for (int probe = 0; probe < 8; ++probe) {
      std::vector<std::string> keys = draw(3);
      bool expected = false;
      for (const auto& patterns : subscriptions) expected = expected || referenceMatch(patterns, keys);
      ASSERT_EQ(expected, tree.matches(keys.empty() ? std::string() : listOf(keys))) << "round " << round;
    }
  }
}

TEST(KeyPatterns, EngineFollowsSubscriptionsAsTheyChange) {
  evt::test::RecordingHandlers handlers;
  CEventLib client("matcher", &handlers, nullptr, nullptr);
  CEventLibImpl& engine = *client.engine();
  unsigned long long seqNo = 0;
  auto receive = [&](const std::string& key) {
    EngineProbe::dispatch(engine, eventRequest("cat", listOf({key}), key, 12, ++seqNo));
  };
  std::string any;
  client.subscribe("cat", listOf({"a"}), 12, nullptr);
  receive("a");
  receive("b");  // not matched
  client.subscribe("cat", "", 12, &any);
  receive("b");
  client.unsubscribe(any);
  receive("b");  // not matched again
  receive("a");
  std::vector<std::string> data;
  for (const auto& event : handlers.events()) data.push_back(event.data);
  EXPECT_EQ((std::vector<std::string>{"a", "b", "a"}), data);
}

}  // namespace
