// evt top against a real service: plain snapshots when its output is a file, and the live view on a terminal
// (tmux gives it one), with its keys, its fit to the terminal and the terminal given back.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <sstream>

#include <gtest/gtest.h>

#include "platform/linux/Endpoint.h"
#include "protocol/Protocol.h"
#include "tests/support/ServiceProcess.h"

namespace evt::test {
namespace {

using ::testing::ElementsAre;

std::vector<std::string> wordsOf(const std::string& text) {
  std::istringstream words(text);
  return {std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()};
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The table row whose second cell is `name` in `lines` from `from` on, split at blanks; empty when none.
std::vector<std::string> rowOf(const std::vector<std::string>& lines, const std::string& name, std::size_t from = 0) {
  for (std::size_t i = from; i < lines.size(); ++i) {
    const std::vector<std::string> cells = wordsOf(lines[i]);
    if (cells.size() > 1 && cells[1] == name) return cells;
  }
  return {};
}

// `evt ARGS` in the background, its output in NAME.out and NAME.err (an earlier run's gone first, so that what is
// read there is this one's).
pid_t startEvt(const std::string& name, const std::vector<std::string>& args) {
  unlink(outputPath(name + ".out").c_str());
  unlink(outputPath(name + ".err").c_str());
  std::vector<std::string> argv{evtPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  return spawn(argv, ownEmulator(), outputPath(name + ".out"), outputPath(name + ".err"));
}

// Whether the subscriber started as NAME says it is subscribed, within a minute.
bool subscribed(const std::string& name) {
  return eventually([&] { return readFile(outputPath(name + ".err")).find("subscribed") != std::string::npos; },
                    std::chrono::seconds(60));
}

// Processes the test started, stopped with SIGTERM and reaped however the test ends.
struct Started {
  std::vector<pid_t> pids;
  ~Started() {
    for (const pid_t pid : pids) kill(pid, SIGTERM);
    for (const pid_t pid : pids) waitExit(pid);
  }
};

// A test under an object prefix and a socket folder of its own: what its view leaves in /dev/shm shows, and no
// client an earlier test left running finds its service.
class OwnService : public OwnObjectPrefix {
 protected:
  void SetUp() override {
    OwnObjectPrefix::SetUp();
    m_savedDir = channel::runtimeDirectory();
    static int serial = 0;  // a short name: a socket's path has room for 107 bytes
    m_dir = m_savedDir + "/top" + std::to_string(++serial);
    ASSERT_EQ(mkdir(m_dir.c_str(), 0700), 0) << m_dir;
    setenv(channel::kRuntimeDirEnv, m_dir.c_str(), 1);
  }
  void TearDown() override {
    // The socket of a service killed rather than stopped.
    unlink(channel::endpointPath(kServiceChannelName, kServiceChannelId).c_str());
    rmdir(m_dir.c_str());
    setenv(channel::kRuntimeDirEnv, m_savedDir.c_str(), 1);
    OwnObjectPrefix::TearDown();
  }

 private:
  std::string m_savedDir, m_dir;
};

using TopSnapshots = OwnService;
using TopLive = OwnService;

// Snapshots are files, not terminals: no escape sequences, numbers that nothing moves while it samples exact.
TEST_F(TopSnapshots, GiveTheServicesCountsExactly) {
  // Without a service: each refresh says so, the last one makes the status 1, and nothing is created.
  const ToolRun alone = runTool("alone", {"top", "--count", "2", "--interval", "0.1"});
  EXPECT_EQ(alone.status, 1) << alone.err;
  EXPECT_EQ(occurrences(alone.out, "evt top: not connected to "), 2u) << alone.out;
  EXPECT_EQ(sharedObjects(), 0u);
  EXPECT_EQ(runTool("bad-sort", {"top", "--sort", "size"}).status, 2);

  ServiceProcess service;
  ASSERT_TRUE(service.start()) << readFile(outputPath("evt.log"));
  const pid_t subscriber = startEvt("steady-sub", {"sub", "steady", "--timeout", "120"});
  const Started started{{subscriber}};
  ASSERT_TRUE(subscribed("steady-sub"));
  ASSERT_EQ(runTool("pub", {"pub", "-q", "steady", "k", "data", "--count", "5"}).status, 0);
  ASSERT_TRUE(eventually(
      [&] { return occurrences(readFile(outputPath("steady-sub.out")), "event category=steady") == 5; }));

  const ToolRun top = runTool("top", {"top", "--count", "2", "--interval", "0.2", "--sort", "name"});
  ASSERT_EQ(top.status, 0) << top.err;
  EXPECT_EQ(top.out.find('\x1b'), std::string::npos) << "escape sequences in a file";
  const std::size_t second = top.out.find("\n\nevt top: server 1, ");
  ASSERT_NE(second, std::string::npos) << top.out;
  EXPECT_EQ(occurrences(top.out, "evt top: server 1, up "), 2u) << top.out;
  EXPECT_THAT(top.out, HasSubstr(" 2 clients; sorted by name, every 0.2 s\n"));
  // The first snapshot has nothing to take rates against; the second finds nothing moved.
  const std::vector<std::string> first = linesOf(top.out.substr(0, second)), last = linesOf(top.out.substr(second));
  EXPECT_EQ(first.at(1), "events in -/s (5), out -/s (5); held 0; backpressure - ms/s; dropped 0");
  EXPECT_EQ(last.at(3), "events in 0.0/s (5), out 0.0/s (5); held 0; backpressure 0 ms/s; dropped 0");
  EXPECT_THAT(rowOf(first, "steady"), ElementsAre("1", "steady", "-", "1", "0"));
  EXPECT_THAT(rowOf(last, "steady"), ElementsAre("1", "steady", "0.0", "1", "0"));
  EXPECT_THAT(top.out, HasSubstr("\ncategories (1)\n"));
  const std::vector<std::string> sub = rowOf(last, "evt-sub");
  ASSERT_EQ(sub.size(), 7u) << top.out;
  EXPECT_EQ(std::vector<std::string>(sub.begin() + 2, sub.end()),
            (std::vector<std::string>{std::to_string(subscriber), "0.0", "0", "0", "0"}));
  EXPECT_EQ(rowOf(last, "evt-top").size(), 7u) << "the view itself is a client";
  EXPECT_EQ(service.stop(), 0);
}

// A tmux server of the test's own (its socket in the test's folder, no configuration) running a shell in a window
// of a given size. tmux runs natively whatever the build; the shell runs the build's evt.
class Terminal {
 public:
  explicit Terminal(std::string tmux) : m_tmux(std::move(tmux)), m_socket(outputPath("tmux.sock")) {}
  ~Terminal() { tmux({"kill-server"}); }

  bool start() {
    unsetenv("TMUX");  // a test run from inside tmux starts a server all the same
    return tmux({"new-session", "-d", "-x", "120", "-y", "40", "-s", "top", "env PS1='top-test$ ' sh"}) == 0;
  }
  // Types `text` as it is, then Enter when `enter`.
  void type(const std::string& text, bool enter = true) {
    tmux({"send-keys", "-t", "top", "-l", text});
    if (enter) tmux({"send-keys", "-t", "top", "Enter"});
  }
  int tmux(const std::vector<std::string>& args) {
    std::vector<std::string> argv{m_tmux, "-S", m_socket, "-f", "/dev/null"};
    argv.insert(argv.end(), args.begin(), args.end());
    return exitWithin(spawn(argv, "", outputPath("tmux.out"), outputPath("tmux.err")), std::chrono::seconds(30));
  }
  // What the window shows, a line per row.
  std::vector<std::string> screen() {
    if (tmux({"capture-pane", "-p", "-t", "top"}) != 0) return {};
    return linesOf(readFile(outputPath("tmux.out")));
  }
  // Waits until what the window shows satisfies `test`.
  template <typename Test>
  bool showsWhen(Test test) {
    return eventually([&] { return test(screen()); }, std::chrono::seconds(60));
  }
  bool shows(const std::string& text) {
    return showsWhen([&](const std::vector<std::string>& lines) {
      return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != l.npos; });
    });
  }

 private:
  std::string m_tmux, m_socket;
};

std::string programOnPath(const std::string& name) {
  std::istringstream path(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
  for (std::string dir; std::getline(path, dir, ':');) {
    if (access((dir + "/" + name).c_str(), X_OK) == 0) return dir + "/" + name;
  }
  return "";
}

// Where the first line holding `text` from `from` on is on the screen (its size when none).
std::size_t lineOf(const std::vector<std::string>& lines, const std::string& text, std::size_t from = 0) {
  std::size_t at = from;
  while (at < lines.size() && lines[at].find(text) == std::string::npos) ++at;
  return at;
}

// The rate in the row of `category`, -1 when the row or its rate is not shown.
double rateOf(const std::vector<std::string>& lines, const std::string& category) {
  const std::vector<std::string> row = rowOf(lines, category);
  return row.size() == 5 && row[2] != "-" ? std::atof(row[2].c_str()) : -1;
}

TEST_F(TopLive, FollowsTheServiceAndGivesTheTerminalBack) {
  const std::string tmux = programOnPath("tmux");
  if (tmux.empty()) GTEST_SKIP() << "tmux is not installed: the terminal view goes untested";
  ServiceProcess service;
  ASSERT_TRUE(service.start()) << readFile(outputPath("evt.log"));
  const pid_t subscriber = startEvt("live-sub", {"sub", "zeta-fast", "--timeout", "300"});
  ASSERT_TRUE(subscribed("live-sub"));
  // 200 and 20 events a second, for longer than the test runs, through a restart of the service.
  const pid_t fast = startEvt("live-fast", {"pub", "-q", "zeta-fast", "k", "d", "--count", "100000", "--rate", "200",
                                       "--wait", "60"});
  const pid_t slow = startEvt("live-slow", {"pub", "-q", "alpha-slow", "k", "d", "--count", "100000", "--rate", "20",
                                       "--wait", "60"});
  const Started started{{subscriber, fast, slow}};
  Terminal terminal(tmux);
  ASSERT_TRUE(terminal.start());
  ASSERT_TRUE(terminal.shows("top-test$"));
  const std::string evt = (ownEmulator().empty() ? "" : ownEmulator() + " ") + evtPath();
  terminal.type(evt + " top; echo top-exit=$?");

  // Both categories at their rates, the faster first, the frame from the top line down and within the width.
  std::vector<std::string> lines;
  ASSERT_TRUE(terminal.showsWhen([&](const std::vector<std::string>& screen) {
    lines = screen;
    const double fastRate = rateOf(screen, "zeta-fast"), slowRate = rateOf(screen, "alpha-slow");
    return fastRate >= 100 && fastRate <= 400 && slowRate >= 5 && slowRate <= 60;
  })) << ::testing::PrintToString(lines);
  EXPECT_EQ(lines.at(0).rfind("evt top: server 1, up ", 0), 0u) << lines.at(0);
  EXPECT_THAT(lines.at(0), HasSubstr("sorted by rate"));
  EXPECT_LT(lineOf(lines, "zeta-fast"), lineOf(lines, "alpha-slow"));
  EXPECT_EQ(rowOf(lines, "zeta-fast").at(3), "1") << "one subscriber";
  for (const pid_t pid : {fast, slow, subscriber}) {
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
      const std::vector<std::string> cells = wordsOf(line);
      return cells.size() == 7 && cells[2] == std::to_string(pid);
    })) << "no client row of pid " << pid;
  }
  for (const std::string& line : lines) EXPECT_LE(line.size(), 120u);

  // s orders by name.
  terminal.type("s", false);
  ASSERT_TRUE(terminal.showsWhen([&](const std::vector<std::string>& screen) {
    return !screen.empty() && screen[0].find("sorted by name") != std::string::npos &&
           lineOf(screen, "alpha-slow") < lineOf(screen, "zeta-fast") && lineOf(screen, "zeta-fast") < screen.size();
  }));
  // A smaller terminal: the frame follows, the tables share what room there is.
  ASSERT_EQ(terminal.tmux({"resize-window", "-t", "top", "-x", "60", "-y", "12"}), 0);
  ASSERT_TRUE(terminal.showsWhen([&](const std::vector<std::string>& screen) {
    lines = screen;
    return screen.size() == 12 && screen[0].rfind("evt top: ", 0) == 0 && lineOf(screen, "clients (2 of 4)") == 8;
  })) << ::testing::PrintToString(lines);
  for (const std::string& line : lines) EXPECT_LE(line.size(), 60u) << line;
  ASSERT_EQ(terminal.tmux({"resize-window", "-t", "top", "-x", "120", "-y", "40"}), 0);

  // The service goes away and comes back: the view waits and follows.
  EXPECT_EQ(service.stop(), 0);
  ASSERT_TRUE(terminal.shows("evt top: not connected to "));
  ASSERT_TRUE(service.start()) << readFile(outputPath("evt.log"));
  ASSERT_TRUE(
      terminal.showsWhen([&](const std::vector<std::string>& screen) { return rateOf(screen, "zeta-fast") > 0; }));

  // q ends it, and the shell finds its terminal as it left it; so does Ctrl-C.
  terminal.type("q", false);
  ASSERT_TRUE(terminal.shows("top-exit=0")) << ::testing::PrintToString(terminal.screen());
  auto restored = [&](const std::vector<std::string>& screen) {
    std::vector<std::string> words;
    for (const std::string& line : screen) {
      for (const std::string& word : wordsOf(line)) words.push_back(word);
    }
    auto has = [&](const char* word) { return std::find(words.begin(), words.end(), word) != words.end(); };
    // The prompt comes back below what stty said.
    const std::size_t said = lineOf(screen, "speed ");
    return has("icanon") && has("echo") && !has("-icanon") && !has("-echo") && said < screen.size() &&
           lineOf(screen, "top-test$", said) < screen.size();
  };
  terminal.type("printf '\\033[H\\033[2J'; stty -a");
  EXPECT_TRUE(terminal.showsWhen(restored));
  terminal.type("printf '\\033[H\\033[2J'; " + evt + " top; echo top-exit=$?");
  ASSERT_TRUE(terminal.shows("evt top: server 1"));
  ASSERT_EQ(terminal.tmux({"send-keys", "-t", "top", "C-c"}), 0);
  ASSERT_TRUE(terminal.shows("top-exit=0"));
  terminal.type("printf '\\033[H\\033[2J'; stty -a");
  EXPECT_TRUE(terminal.showsWhen(restored));
  EXPECT_EQ(service.stop(), 0);
}

}  // namespace
}  // namespace evt::test
