// What eventd and evt tell the person running them when something is wrong, and what they leave behind: the log
// and the shared memory.
#define _FILE_OFFSET_BITS 64
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/linux/Endpoint.h"
#include "platform/linux/ObjectNames.h"
#include "protocol/Protocol.h"
#include "tests/support/ServiceProcess.h"

namespace evt::test {
namespace {

using ::testing::AnyOf;

// Runs `program ARGS` to its end, as user and group `uid` unless -1.
ToolRun runProgram(const std::vector<std::string>& args, const std::string& program = evtPath(), int uid = -1) {
  return runTool("tool", args, program, std::string(), uid);
}

std::size_t lineCount(const std::string& path) { return occurrences(readFile(path), "\n"); }

bool exists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

// A folder of logDirectory() for one service's log alone, removed with what it holds at the end of the test.
class OwnFolder {
 public:
  explicit OwnFolder(const std::string& name) : m_path(outputPath(name)) { mkdir(m_path.c_str(), 0700); }
  ~OwnFolder() { std::filesystem::remove_all(m_path); }
  OwnFolder(const OwnFolder&) = delete;
  OwnFolder& operator=(const OwnFolder&) = delete;
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
};

// Usage errors exit 2 and say what is wrong, a number out of range with the range as it really is (never as a
// double's limits); --help and --version answer. Federation with no NATS URL, or asked of a build without it (the
// 32-bit one), is refused at start.
TEST(OperatorMessages, ProgramsSayWhatIsWrongWithTheirCommandLine) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> said;  // on standard error
    bool eventd = false;
  };
  const Case cases[] = {
      {{"stauts"}, {"evt: unknown command 'stauts'", "pub, sub, monitor, status, dump", "evt --help"}},
      {{}, {"evt: a command is required; the commands are pub, sub"}},
      {{"pub", "c", "d", "--count", "0"}, {"evt: --count: must be between 1 and 2147483647"}},
      {{"sub", "c", "--count", "-3"}, {"evt: --count: must be between 1 and 2147483647"}},
      {{"complete", "-c", "0"}, {"evt: --count: must be between 1 and 2147483647"}},
      {{"sub", "c", "--timeout", "-1"}, {"evt: --timeout: must be 0 or more"}},
      {{"pub", "c", "d", "--rate", "-1"}, {"evt: --rate: must be 0 or more"}},
      {{"complete", "-i", "-1"}, {"evt: --interval: must be 0 or more"}},
      {{"status", "--wait", "1e9"}, {"evt: --wait: must be between 0 and 86400"}},
      {{"sub", "c", "--server", "0"}, {"evt: --server: must be between 1 and 4294967295"}},
      {{"pub"}, {}},
      {{"bogus"}, {}},
      {{"sub", "--count", "x"}, {}},
      {{"sub", "c", "--json", "--raw"}, {}},
      {{"monitor", "--format", "{nope}"}, {}},
      {{"pub", "c", "k", "d", "--stdin"}, {}},
      {{"--queue-limit", "0"}, {"eventd: --queue-limit: must be between 1 and 4294967295"}, true},
      {{"--max-subscriptions", "0"}, {"eventd: --max-subscriptions: must be between 1 and 4294967295"}, true},
      {{"--log-max-bytes", "-1"}, {"eventd: --log-max-bytes: must be 0 or more"}, true},
      {{"--log-keep", "0"}, {"eventd: --log-keep: must be between 1 and 100"}, true},
      {{"--stall-timeout", "9000"}, {"eventd: --stall-timeout: must be between 0 and 8000"}, true},
      {{"--bogus"}, {}, true},
  };
  for (const Case& c : cases) {
    const ToolRun run = runProgram(c.args, c.eventd ? eventdPath() : evtPath());
    EXPECT_EQ(run.status, 2) << ::testing::PrintToString(c.args);
    for (const std::string& part : c.said) EXPECT_THAT(run.err, HasSubstr(part));
  }
  const ToolRun federation = runProgram({"--federation", "http://x", "--socket", outputPath("fed.sock")}, eventdPath());
  EXPECT_EQ(federation.status, 2);
  EXPECT_THAT(federation.err, AnyOf(HasSubstr("not a nats:// URL"), HasSubstr("built without federation")));

  const ToolRun help = runProgram({"sub", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_THAT(help.out, HasSubstr("--json"));
  EXPECT_THAT(runProgram({"--help"}, eventdPath()).out, HasSubstr("--log-keep"));
  for (const std::string& program : {evtPath(), eventdPath()}) {
    const ToolRun version = runProgram({"--version"}, program);
    EXPECT_EQ(version.status, 0) << program;
    EXPECT_EQ(version.out, std::string(EVT_TEST_VERSION) + "\n") << program;
  }
}

// What the library refuses to publish is refused by evt, with the reason and the code, and nothing is said to
// have been published.
TEST(OperatorMessages, EvtReportsWhatTheLibraryRefuses) {
  ServiceProcess service;
  ASSERT_TRUE(service.start());
  const ToolRun reserved = runProgram({"pub", "eventsystem", "x"});
  EXPECT_EQ(reserved.status, 1);
  EXPECT_THAT(reserved.err, HasSubstr("evt: cannot publish to \"eventsystem\": the category is reserved (0xC11F0D52)"));
  EXPECT_THAT(reserved.err, Not(HasSubstr("published")));
  const ToolRun empty = runProgram({"pub", "", "k", "x"});
  EXPECT_EQ(empty.status, 1);
  EXPECT_THAT(empty.err, HasSubstr("cannot publish to \"\": the category is empty"));
  EXPECT_EQ(service.status()["events-in"], 0);
  const ToolRun fine = runProgram({"pub", "orders", "a,b", "x"});
  EXPECT_EQ(fine.status, 0) << fine.err;
  EXPECT_THAT(fine.err, HasSubstr("published 1 event of orders"));
  EXPECT_EQ(service.stop(), 0);
}

// With no service, evt leaves no shared objects behind; with one, queries leave no lines in its log, while the
// clients that do something are still logged.
TEST(OperatorMessages, EvtLeavesNoTraces) {
  const std::size_t before = sharedObjects();
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"status", "--wait", "0.2"},
           {"dump", "--wait", "0.2"},
           {"pub", "c", "d", "--wait", "0.2"},
           {"sub", "c", "--wait", "0.2"},
           {"complete", "--wait", "0.2"}}) {
    const ToolRun run = runProgram(args);
    EXPECT_EQ(run.status, 1) << args[0];
    EXPECT_THAT(run.err, HasSubstr("evt: no event service at "));
    EXPECT_EQ(sharedObjects(), before) << "evt " << args[0] << " left shared memory behind";
  }

  const OwnFolder folder("quiet");
  const std::string& dir = folder.path();
  ServiceProcess service({"--log-dir", dir});
  ASSERT_TRUE(service.start());
  const std::string log = dir + "/eventd.log";
  // Once its loop answers, eventd has logged all of its start (the lines
  // after "eventd started", such as a stale floors file's, come before the
  // loop): count from there.
  ASSERT_EQ(runProgram({"status"}).status, 0);
  const std::size_t lines = lineCount(log);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(runProgram({"status"}).status, 0);
  EXPECT_EQ(runProgram({"dump", "--json"}).status, 0);
  EXPECT_EQ(lineCount(log), lines) << readFile(log);
  EXPECT_EQ(runProgram({"pub", "orders", "x"}).status, 0);
  const std::string after = readFile(log);
  EXPECT_NE(after.find(" connected, pid "), std::string::npos) << after;
  EXPECT_THAT(after, HasSubstr("(evt-pub) disconnected"));
  EXPECT_EQ(service.stop(), 0);
}

// A full log moves to eventd.log.1, the older ones on to .2 and .3; the oldest beyond --log-keep goes.
TEST(OperatorMessages, EventdKeepsAsManyOldLogsAsAsked) {
  const OwnFolder folder("rotated");
  const std::string& dir = folder.path();
  const std::string log = dir + "/eventd.log";
  ServiceProcess service({"--log-dir", dir, "--log-max-bytes", "4096", "--log-keep", "3"});
  ASSERT_TRUE(service.start());
  // Each dump's text is logged, a kilobyte or two.
  for (int i = 0; i < 200 && !exists(log + ".3"); ++i) ASSERT_EQ(runProgram({"dump"}).status, 0);
  for (int i = 0; i < 10; ++i) ASSERT_EQ(runProgram({"dump"}).status, 0);
  EXPECT_FALSE(exists(log + ".4"));
  // Newest first: the dumps' client numbers fall from one file to the next.
  auto clientNumbers = [](const std::string& text) {
    std::vector<long> numbers;
    const std::string said = "dump requested by client #";
    for (std::size_t at = text.find(said); at != std::string::npos; at = text.find(said, at + 1))
      numbers.push_back(std::strtol(text.c_str() + at + said.size(), nullptr, 10));
    return numbers;
  };
  long newer = -1;
  for (const std::string& path : {log, log + ".1", log + ".2", log + ".3"}) {
    const std::string text = readFile(path);
    const std::vector<long> numbers = clientNumbers(text);
    ASSERT_FALSE(numbers.empty()) << path;
    if (newer >= 0) {
      EXPECT_LT(numbers.back(), newer) << path;
    }
    newer = numbers.front();
    if (path != log) {
      EXPECT_LE(text.size(), 4096u) << path;
    }
  }
  EXPECT_EQ(service.stop(), 0);
}

TEST(OperatorMessages, EventdRefusesFoldersItCannotUse) {
  // A log folder that is not there is refused, not made, and not silently done without.
  const std::string missing = outputPath("missing");
  const ToolRun noLog = runProgram({"--log-dir", missing, "--socket", outputPath("a.sock")}, eventdPath());
  EXPECT_EQ(noLog.status, 2);
  EXPECT_THAT(noLog.err, HasSubstr("eventd: --log-dir " + missing + ": No such file or directory"));
  EXPECT_FALSE(exists(missing));
  std::ofstream(outputPath("plain")) << "a file";
  const ToolRun file = runProgram({"--log-dir", outputPath("plain"), "--socket", outputPath("a.sock")}, eventdPath());
  EXPECT_EQ(file.status, 2);
  EXPECT_THAT(file.err, HasSubstr("not a folder"));
  unlink(outputPath("plain").c_str());

  // A user who may not make the socket's folder is told once which folder, and what to do instead.
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run eventd as another user";
  const std::string folder = channel::runtimeDirectory() + "/private";  // within a folder of root's alone
  const ToolRun denied =
      runProgram({"--socket", folder + "/eventd.sock", "--log-dir", "stderr"}, eventdPath(), /*nobody*/ 65534);
  if (denied.status == 126 || denied.status == 127) GTEST_SKIP() << "other users cannot run this build's eventd";
  EXPECT_EQ(denied.status, 1);
  EXPECT_THAT(denied.err, HasSubstr("eventd: cannot create the socket folder " + folder + ": Permission denied"));
  EXPECT_THAT(denied.err, HasSubstr("run eventd as root"));
  EXPECT_THAT(denied.err, HasSubstr("--socket PATH"));
  EXPECT_EQ(occurrences(denied.err, "Permission denied"), 1u) << denied.err;
}

// A NATS server that cannot be reached is said on standard error once; eventd serves this machine meanwhile.
TEST(OperatorMessages, EventdSaysOnceThatItCannotReachTheFederation) {
  // A port of this machine that nobody listens at: bound, never listening.
  struct Reserved {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ~Reserved() { close(fd); }
  } reserved;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(bind(reserved.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(getsockname(reserved.fd, reinterpret_cast<sockaddr*>(&address), &size), 0);
  const std::string url = "nats://127.0.0.1:" + std::to_string(ntohs(address.sin_port));

  const std::string socket = channel::runtimeDirectory() + "/federated.sock";
  const std::string err = outputPath("federated.err");
  const OwnFolder logs("federated");
  // Killed at the end unless it was stopped.
  struct Child {
    pid_t pid;
    ~Child() {
      if (pid <= 0) return;
      kill(pid, SIGKILL);
      waitExit(pid);
    }
  } eventd{spawn({eventdPath(), "--federation", url, "--socket", socket, "--log-dir", logs.path()}, ownEmulator(), "",
                 err)};
  bool exited = false;
  ASSERT_TRUE(eventually(
      [&] { return RawClient(socket).connected() || (exited = waitpid(eventd.pid, nullptr, WNOHANG) == eventd.pid); },
      std::chrono::seconds(30)));
  if (exited) {
    eventd.pid = -1;
    ASSERT_NE(readFile(err).find("built without federation"), std::string::npos) << readFile(err);
    GTEST_SKIP() << "this eventd has no federation";
  }
  ASSERT_TRUE(eventually([&] { return readFile(err).find("cannot reach") != std::string::npos; }));
  EXPECT_NE(readFile(err).find("eventd: federation: cannot reach the NATS server at " + url +
                               "; eventd serves this machine meanwhile and keeps trying"),
            std::string::npos)
      << readFile(err);
  // The library tries again every 250 ms; none of those attempts may be told. Nothing shows that they happened
  // but time.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  channel::Frame answer;
  RawClient client(socket);
  ASSERT_TRUE(client.command(protocol::kCommandStatus, "", &answer));
  EXPECT_THAT(answer.text, HasSubstr("federation-connected no\n"));
  EXPECT_EQ(occurrences(readFile(err), "cannot reach"), 1u) << readFile(err);
  kill(eventd.pid, SIGTERM);
  EXPECT_EQ(waitExit(std::exchange(eventd.pid, -1)), 0);
  unlink(err.c_str());
}

}  // namespace
}  // namespace evt::test
