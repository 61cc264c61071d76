// What evt top draws from two dumps: rates, the order of the rows and the frame fitted to a terminal.
#include "tools/evt/TopView.h"

#include <algorithm>
#include <iterator>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace evt::tool::top {
namespace {

using Json = nlohmann::json;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// A dump as eventd writes it, of `uptimeMs` and `eventsIn` (out twice as many), with no clients or pairs yet.
Json dump(long long uptimeMs, unsigned long long eventsIn) {
  return {{"status",
           {{"server-id", 1}, {"uptime-ms", uptimeMs}, {"clients", 0}, {"events-in", eventsIn},
            {"events-out", 2 * eventsIn}, {"held", 3}, {"backpressure-ms", 0}, {"dropped", 0}}},
          {"clients", Json::array()}, {"last-events", Json::array()}, {"order", Json::array()}, {"omitted", 0}};
}

Json client(int number, const std::string& name, unsigned long long eventsIn, unsigned long long pending = 0) {
  return {{"number", number},     {"name", name},       {"pid", 100 + number},          {"pending", pending},
          {"dropped", 0},         {"events-in", eventsIn}, {"requests-out", 0},         {"backpressure-ms", 0},
          {"awaiting-answer", false}, {"answer-held", false}, {"monitor", false},       {"subscribes", Json::array()},
          {"publishes", Json::array()}};
}

Json pair(const std::string& category) { return {{"server", 1}, {"category", category}}; }

Json lastEvent(const std::string& category, const std::string& seqNo) {
  Json entry = pair(category);
  entry["seqno"] = seqNo;
  return entry;
}

Sample parsed(const Json& json) {
  Sample sample;
  std::string error;
  EXPECT_TRUE(parseDump(json.dump(), &sample, &error)) << error;
  return sample;
}

// The frame's row whose second cell is `name` (a category or a client), split at blanks; empty when none.
std::vector<std::string> row(const std::vector<std::string>& lines, const std::string& name) {
  for (const std::string& line : lines) {
    std::istringstream words(line);
    std::vector<std::string> cells{std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()};
    if (cells.size() > 1 && cells[1] == name) return cells;
  }
  return {};
}

// Where the line holding `text` is in the frame (the frame's size when none).
std::size_t lineOf(const std::vector<std::string>& lines, const std::string& text) {
  std::size_t at = 0;
  while (at < lines.size() && lines[at].find(text) == std::string::npos) ++at;
  return at;
}

TEST(TopView, RatesRunBetweenTwoSamplesOfOneRunOfTheService) {
  // Numbers near the top of 64 bits, as a store's series may reach, which a 32-bit reading would wrap.
  const std::string base = "18446744073709550";
  Json before = dump(10000, 100);
  before["clients"] = Json::array({client(1, "pub", 100), client(2, "sub", 0, 4)});
  before["clients"][1]["subscribes"] = Json::array({pair("orders"), pair("idle")});
  before["last-events"] = Json::array({lastEvent("orders", base + "000")});
  Json order = pair("orders");
  order.update({{"next", "1"}, {"held", 2}, {"held-bytes", 10}});
  before["order"] = Json::array({order});
  Json now = before;
  now["status"]["uptime-ms"] = 12000;
  now["status"]["events-in"] = 300;
  now["status"]["events-out"] = 600;
  now["status"]["backpressure-ms"] = 500;
  now["status"]["dropped"] = "10000000000000000";  // past 15 digits eventd writes counters as strings
  now["clients"][0]["events-in"] = 300;
  now["clients"][0]["backpressure-ms"] = 500;
  now["clients"].push_back(client(3, "late", 7));
  now["last-events"] = Json::array({lastEvent("orders", base + "100"), lastEvent("fresh", "5")});
  const Sample first = parsed(before), second = parsed(now);

  const std::vector<std::string> lines = frame(&first, second, Layout{});
  EXPECT_EQ(lines.at(1), "events in 100.0/s (300), out 200.0/s (600); held 3; backpressure 250 ms/s; dropped "
                         "10000000000000000");
  EXPECT_THAT(row(lines, "orders"), ElementsAre("1", "orders", "50.0", "1", "2"));
  EXPECT_THAT(row(lines, "idle"), ElementsAre("1", "idle", "0.0", "1", "0")) << "no number yet: no event yet";
  EXPECT_THAT(row(lines, "fresh"), ElementsAre("1", "fresh", "-", "0", "0")) << "a first number: count unknown";
  EXPECT_THAT(row(lines, "pub"), ElementsAre("1", "pub", "101", "100.0", "0", "0", "250"));
  EXPECT_THAT(row(lines, "sub"), ElementsAre("2", "sub", "102", "0.0", "4", "0", "0"));
  EXPECT_THAT(row(lines, "late"), ElementsAre("3", "late", "103", "-", "0", "0", "-"));

  // Nothing to compare with: the first refresh, and a service that started again (its uptime went back).
  for (const Sample* previous : {static_cast<const Sample*>(nullptr), &second}) {
    const std::vector<std::string> unrated = frame(previous, first, Layout{});
    EXPECT_THAT(unrated.at(1), HasSubstr("events in -/s (100)"));
    EXPECT_EQ(row(unrated, "orders").at(2), "-");
    EXPECT_EQ(row(unrated, "pub").at(3), "-");
  }
  // A series that went back (its store was rewound) is no negative rate.
  now["last-events"][0]["seqno"] = base + "050";
  now["status"]["uptime-ms"] = 13000;
  EXPECT_EQ(row(frame(&second, parsed(now), Layout{}), "orders").at(2), "0.0");

  std::string error;
  Sample ignored;
  EXPECT_FALSE(parseDump("{\"status\":{}}", &ignored, &error));
  EXPECT_THAT(error, HasSubstr("not a dump"));
  EXPECT_FALSE(parseDump("evt top", &ignored, &error));
}

TEST(TopView, RowsAreSortedAndTheFrameFitsTheTerminal) {
  Json before = dump(1000, 0), now = dump(2000, 0);
  for (int i = 0; i < 10; ++i) {
    // Category c<i> gains i events a second; client k<i> has (i % 3) requests pending and sends 10 - i a second.
    const std::string category = "c" + std::to_string(i), name = "k" + std::to_string(i);
    before["last-events"].push_back(lastEvent(category, "1000"));
    now["last-events"].push_back(lastEvent(category, std::to_string(1000 + i)));
    before["clients"].push_back(client(i + 1, name, 0));
    now["clients"].push_back(client(i + 1, name, static_cast<unsigned long long>(10 - i), i % 3));
  }
  const Sample first = parsed(before), second = parsed(now);
  Layout layout;
  layout.sort = SortBy::kPending;
  std::vector<std::string> lines = frame(&first, second, layout);
  std::vector<std::size_t> at;
  for (const char* name : {"k2", "k5", "k8", "k1", "k4", "k7", "k0", "k3", "k6", "k9"}) {
    at.push_back(lineOf(lines, name));
  }
  EXPECT_TRUE(std::is_sorted(at.begin(), at.end()) && at.back() < lines.size()) << "most pending first, ties by name";

  // 14 lines: the header, blank lines, headings and titles take 8, each table gets 3 of the 6 left.
  layout.width = 50;
  layout.height = 14;
  lines = frame(&first, second, layout);
  EXPECT_EQ(lines.size(), 14u);
  EXPECT_EQ(lines.at(3), "categories (3 of 10)");
  EXPECT_EQ(lines.at(9), "clients (3 of 10)");
  for (const std::string& line : lines) EXPECT_LE(line.size(), 50u) << line;
  // What one table leaves goes to the other; -n bounds both.
  now["clients"] = Json::array({client(1, "only", 0)});
  EXPECT_EQ(frame(nullptr, parsed(now), layout).at(3), "categories (5 of 10)");
  layout.height = 0;
  layout.rows = 2;
  EXPECT_EQ(frame(nullptr, parsed(now), layout).at(3), "categories (2 of 10)");

  // A name longer than the width gives way, marked; control characters (C1 too) never reach the terminal.
  Json odd = dump(1000, 0);
  odd["last-events"] = Json::array({lastEvent(std::string(80, 'x') + "-tail", "1")});
  odd["clients"] = Json::array({client(1, "bad\x1b[2J\xc2\x9bname", 0)});
  EXPECT_THAT(row(frame(nullptr, parsed(odd), Layout{}), "bad?[2J?name"), ::testing::SizeIs(7));
  layout = Layout{};
  layout.width = 40;
  lines = frame(nullptr, parsed(odd), layout);
  EXPECT_EQ(row(lines, "xxxxxxx+").at(2), "-") << "the name cut to 8 columns, marked";
  for (const std::string& line : lines) {
    EXPECT_LE(line.size(), 40u) << line;
    EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace evt::tool::top
