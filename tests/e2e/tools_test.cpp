// The programs as people run them: evt against a running service, eventd's start and stop at its endpoint (what they
// say when something is wrong: operator_messages_test).
#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/linux/AccessGroup.h"
#include "platform/linux/Endpoint.h"
#include "platform/linux/ObjectNames.h"
#include "protocol/Protocol.h"
#include "tests/support/ServiceProcess.h"

namespace evt::test {
namespace {

// Starts `evt ARGS` in the background and waits until it says `ready`.
pid_t startTool(const std::string& name, const std::vector<std::string>& args, const std::string& ready = "subscribed") {
  std::vector<std::string> argv{evtPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  const pid_t pid = spawn(argv, ownEmulator(), outputPath(name + ".out"), outputPath(name + ".err"));
  EXPECT_TRUE(eventually([&] { return readFile(outputPath(name + ".err")).find(ready) != std::string::npos; },
                         std::chrono::seconds(60)));
  return pid;
}

// A file of `text` to feed a tool's standard input.
std::string inputFile(const std::string& name, const std::string& text) {
  std::ofstream(outputPath(name)) << text;
  return outputPath(name);
}

// Each line of `text` read as one JSON object (a parse error fails the test).
std::vector<nlohmann::json> jsonLines(const std::string& text) {
  std::vector<nlohmann::json> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
  return lines;
}

// A Unix socket of `type` bound to `path`.
int boundSocket(const std::string& path, int type) {
  const int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << path;
  return fd;
}

// evt sub, pub, status, dump and complete through one service; a monitor sees every client's requests, followed
// or not, with the sender; --raw and --format shape what a subscriber prints.
TEST(Tools, SubscriberPublisherMonitorAndQueriesThroughTheService) {
  ServiceProcess service;
  ASSERT_TRUE(service.start());
  const pid_t subscriber = startTool("sub", {"sub", "greetings", "--json", "--count", "3", "--timeout", "60"});
  ToolRun pub = runTool("pub", {"pub", "greetings", "en,formal", "good \"day\"", "--count", "3"});
  EXPECT_EQ(pub.status, 0) << pub.err;
  EXPECT_THAT(pub.err, HasSubstr("published 3 events of greetings"));
  ASSERT_EQ(waitExit(subscriber), 0) << readFile(outputPath("sub.err"));
  const std::string out = readFile(outputPath("sub.out"));
  EXPECT_EQ(occurrences(out, "\"data\":\"good \\\"day\\\"\""), 3u) << out;
  EXPECT_THAT(out, Not(HasSubstr("missed")));
  EXPECT_THAT(out, HasSubstr("{\"kind\":\"event\",\"category\":\"greetings\",\"keys\":[\"en\",\"formal\"]"));
  EXPECT_NE(out.find(",\"seqno\":\""), std::string::npos) << "numbers as strings: " << out;

  // Lines of standard input are events too; sub --all sees every category.
  const pid_t watcher = startTool("all", {"sub", "--all", "--count", "3", "--timeout", "60"});
  EXPECT_EQ(runTool("lines", {"pub", "greetings", "--stdin"}, evtPath(),
                    inputFile("lines.in", "first line\r\nsecond line\n")).status, 0);
  // Text output keeps one event to a line, whatever its data holds.
  EXPECT_EQ(runTool("pub", {"pub", "greetings", "", "two\nlines\\"}).status, 0);
  ASSERT_EQ(waitExit(watcher), 0) << readFile(outputPath("all.err"));
  const std::string all = readFile(outputPath("all.out"));
  for (const char* line : {"event category=greetings seqno=", "data=first line\n", "data=second line\n",
                           "data=two\\x0alines\\x5c\n"})
    EXPECT_NE(all.find(line), std::string::npos) << line << " in " << all;

  ToolRun status = runTool("status", {"status"});
  EXPECT_EQ(status.status, 0);
  EXPECT_THAT(status.out, HasSubstr("events-in 6\n"));
  ToolRun dump = runTool("dump", {"dump"});
  EXPECT_EQ(dump.status, 0);
  EXPECT_THAT(dump.out, HasSubstr("last event server 1 category \"greetings\""));
  // As JSON: numbers exact as strings, the querying tool under its name and pid.
  const nlohmann::json counters = nlohmann::json::parse(runTool("status", {"status", "--json"}).out);
  EXPECT_EQ(counters.at("events-in").get<long>(), 6);
  EXPECT_EQ(std::stoull(counters.at("seqno-base").get<std::string>()) + 1,
            std::stoull(jsonLines(out).at(0).at("seqno").get<std::string>()));
  const nlohmann::json state = nlohmann::json::parse(runTool("dump", {"dump", "--json"}).out);
  EXPECT_TRUE(std::any_of(state.at("clients").begin(), state.at("clients").end(), [](const nlohmann::json& client) {
    return client.at("name") == "evt" && client.at("pid").get<int>() > 0;
  })) << state.dump();
  EXPECT_EQ(state.at("last-events").at(0).at("category"), "greetings");
  // Round trips: each timed, then their statistics.
  ToolRun complete = runTool("complete", {"complete", "-c", "3", "-i", "0"});
  EXPECT_EQ(complete.status, 0) << complete.err;
  EXPECT_EQ(occurrences(complete.out, "completed in "), 3u) << complete.out;
  EXPECT_THAT(complete.out, HasSubstr("3 round trips: min "));

  const pid_t monitor = startTool("monitor", {"monitor", "fresh*", "--notices", "--json", "--count", "3"}, "monitoring");
  const pid_t raw = startTool("raw", {"sub", "fresh-lines", "--raw", "--count", "2", "--timeout", "60"});
  const pid_t formatted =
      startTool("format", {"sub", "fresh-lines", "--format", "{category}|{keys}|{data}|{seqno}", "--count", "2"});
  // A category nobody follows; non-UTF-8 bytes still make valid JSON (U+00XX).
  EXPECT_EQ(runTool("first", {"pub", "fresh-first", "k", "tab\there \xff \xc3\xa9"}).status, 0);
  const ToolRun quiet = runTool("quiet", {"pub", "-q", "fresh-lines", "x", "--stdin"}, evtPath(),
                                inputFile("quiet.in", "one\r\ntwo \\ \"2\"\n"));
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.err, "") << "-q prints nothing";
  ASSERT_EQ(waitExit(monitor), 0) << readFile(outputPath("monitor.err"));
  ASSERT_EQ(waitExit(raw), 0) << readFile(outputPath("raw.err"));
  ASSERT_EQ(waitExit(formatted), 0) << readFile(outputPath("format.err"));

  // Kinds of the monitor's records in order, and its events.
  std::vector<std::string> seen;
  std::vector<nlohmann::json> events;
  for (const nlohmann::json& record : jsonLines(readFile(outputPath("monitor.out")))) {
    seen.push_back(record.at("kind").get<std::string>() + " " + record.at("category").get<std::string>() + " " +
                   record.at("from").get<std::string>());
    if (record.at("kind") == "event") events.push_back(record);
  }
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].at("category"), "fresh-first");
  EXPECT_EQ(events[0].at("keys"), nlohmann::json::array({"k"}));
  EXPECT_EQ(events[0].at("data"), "tab\there \xc3\xbf \xc3\xa9");
  EXPECT_GT(events[0].at("pid").get<int>(), 0);
  auto at = [&](const std::string& record) { return std::find(seen.begin(), seen.end(), record) - seen.begin(); };
  EXPECT_LT(at("subscribe fresh-lines evt-sub"), at("publish fresh-first evt-pub"));
  EXPECT_LT(at("publish fresh-first evt-pub"), at("event fresh-first evt-pub"));
  EXPECT_EQ(events[2].at("data"), "two \\ \"2\"");

  EXPECT_EQ(readFile(outputPath("raw.out")), "one\ntwo \\ \"2\"\n");
  EXPECT_EQ(readFile(outputPath("format.out")),
            "fresh-lines|x|one|" + events[1].at("seqno").get<std::string>() + "\nfresh-lines|x|two \\x5c \"2\"|" +
                events[2].at("seqno").get<std::string>() + "\n");
  EXPECT_EQ(service.stop(), 0);
}

// A subscriber started first waits for the service, and says when it goes and comes back, its subscription renewed.
TEST(Tools, SubscriberWaitsForTheServiceAndFollowsItsRestarts) {
  const pid_t subscriber =
      spawn({evtPath(), "sub", "comeback", "--json", "--wait", "60", "--count", "1", "--timeout", "120"},
            ownEmulator(), outputPath("sub.out"), outputPath("sub.err"));
  ServiceProcess service;
  ASSERT_TRUE(service.start());
  ASSERT_TRUE(eventually([&] { return readFile(outputPath("sub.err")).find("subscribed") != std::string::npos; },
                         std::chrono::seconds(60)));
  ASSERT_EQ(service.kill(SIGKILL), 128 + SIGKILL);
  ASSERT_TRUE(eventually([&] { return occurrences(readFile(outputPath("sub.out")), "disconnected") == 1; }));
  ASSERT_TRUE(service.start());
  ASSERT_TRUE(eventually([&] { return occurrences(readFile(outputPath("sub.out")), "\"connected\"") == 1; }));
  // The renewed subscription takes effect soon after.
  ASSERT_TRUE(eventually(
      [&] {
        runTool("pub", {"pub", "-q", "comeback", "back"});
        return readFile(outputPath("sub.out")).find("\"kind\":\"event\"") != std::string::npos;
      },
      std::chrono::seconds(60)));
  ASSERT_EQ(waitExit(subscriber), 0) << readFile(outputPath("sub.err"));
  std::vector<std::string> kinds;
  for (const nlohmann::json& record : jsonLines(readFile(outputPath("sub.out")))) kinds.push_back(record.at("kind"));
  EXPECT_EQ(kinds, (std::vector<std::string>{"disconnected", "connected", "event"}));
  EXPECT_EQ(service.stop(), 0);
}

TEST(Tools, EventdGuardsItsEndpoint) {
  const std::string dir = channel::runtimeDirectory() + "/own";
  const std::string socket = dir + "/eventd.sock";
  ServiceProcess first({"--socket", socket}, socket);
  ASSERT_TRUE(first.start());
  struct stat info {};
  ASSERT_EQ(stat(dir.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0750u);
  ASSERT_EQ(stat(socket.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0660u);

  // A second service at the same endpoint refuses to start.
  ToolRun second = runTool("second", {"--socket", socket}, eventdPath());
  EXPECT_EQ(second.status, 1);
  EXPECT_THAT(second.err, HasSubstr("already running"));

  // A socket left by a killed service is replaced; SIGTERM removes it.
  EXPECT_EQ(first.kill(SIGKILL), 128 + SIGKILL);
  ASSERT_EQ(stat(socket.c_str(), &info), 0);
  ServiceProcess again({"--socket", socket}, socket);
  ASSERT_TRUE(again.start());
  EXPECT_EQ(again.stop(), 0);
  EXPECT_NE(stat(socket.c_str(), &info), 0) << "the socket file outlived a clean stop";

  // A file that is not a socket is never replaced.
  std::ofstream(socket) << "precious";
  pid_t third = spawn({eventdPath(), "--socket", socket}, ownEmulator(), "", outputPath("file.err"));
  EXPECT_EQ(exitWithin(third, std::chrono::seconds(30)), 1) << "eventd took the path";
  EXPECT_EQ(readFile(socket), "precious");
  EXPECT_THAT(readFile(outputPath("file.err")), HasSubstr(socket + " exists and is not a socket"));
  unlink(socket.c_str());
}

// Under a service manager eventd serves on the socket handed as descriptor 3,
// leaves its file, and tells $NOTIFY_SOCKET when ready and stopping.
TEST(Tools, EventdRunsUnderAServiceManager) {
  const std::string path = channel::runtimeDirectory() + "/handed.sock";
  const int manager = boundSocket(channel::runtimeDirectory() + "/notify.sock", SOCK_DGRAM);
  auto next = [&] {
    pollfd ready{manager, POLLIN, 0};
    char text[512] = {};
    if (poll(&ready, 1, 30000) != 1) return std::string();
    return std::string(text, std::max<ssize_t>(0, recv(manager, text, sizeof text, 0)));
  };
  const int listener = boundSocket(path, SOCK_STREAM);
  ASSERT_EQ(listen(listener, 8), 0);
  std::vector<std::string> argv{eventdPath(), "--socket", path};
  if (!ownEmulator().empty()) argv.insert(argv.begin(), ownEmulator());
  const pid_t eventd = fork();
  if (eventd == 0) {
    dup2(listener, 3);
    setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
    setenv("LISTEN_FDS", "1", 1);
    setenv("NOTIFY_SOCKET", (channel::runtimeDirectory() + "/notify.sock").c_str(), 1);
    std::vector<char*> args;
    for (std::string& arg : argv) args.push_back(&arg[0]);
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(listener);
  EXPECT_EQ(next().rfind("READY=1\nSTATUS=listening at " + path + "\n", 0), 0u);
  RawClient client(path);
  channel::Frame reply;
  ASSERT_TRUE(client.command(CECMD_SERVER_ID, "", &reply));
  EXPECT_EQ(reply.text, "1");
  kill(eventd, SIGTERM);
  EXPECT_EQ(waitExit(eventd), 0);
  EXPECT_EQ(next(), "STOPPING=1");
  close(manager);
  struct stat info {};
  EXPECT_EQ(stat(path.c_str(), &info), 0) << "the socket file is its maker's";
}

// Service and store admit one group's members: a member uses both; anyone else is told which group, for each.
TEST(Tools, ServiceAndStoreAdmitTheMembersOfOneGroup) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run evt as other users";
  const int daemonUser = 1, nobody = 65534;  // daemon is in group daemon (1), nobody is not
  // A store and socket folder of their own, which eventd creates for the group.
  struct PrivateSetup {
    const std::string previousPrefix = std::getenv(platform::kObjectPrefixEnv);
    const std::string previousDir = channel::runtimeDirectory();
    const std::string prefix = previousPrefix + "group.";
    const std::string dir = previousDir + "/group";
    PrivateSetup() {
      setenv(platform::kObjectPrefixEnv, prefix.c_str(), 1);
      setenv(channel::kRuntimeDirEnv, dir.c_str(), 1);
      chmod(previousDir.c_str(), 0711);  // the way to the folder is open; the folder decides
    }
    ~PrivateSetup() {
      rmdir(dir.c_str());
      setenv(platform::kObjectPrefixEnv, previousPrefix.c_str(), 1);
      setenv(channel::kRuntimeDirEnv, previousDir.c_str(), 1);
    }
  } setup;
  ServiceProcess service({"--group", "daemon"});
  ASSERT_TRUE(service.start());
  for (const std::string& path : {channel::endpointPath(kServiceChannelName, kServiceChannelId), setup.dir,
                                  "/dev/shm" + platform::osObjectName("Share-AllSeqNoInfo")}) {
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0) << path;
    EXPECT_EQ(info.st_gid, 1u) << path;
    EXPECT_EQ(info.st_mode & 0777, path == setup.dir ? 0750u : 0660u) << path;
  }

  auto runAs = [&](int uid, const std::vector<std::string>& args) { return runTool("as", args, evtPath(), "", uid); };
  const ToolRun member = runAs(daemonUser, {"pub", "-q", "admitted", "by group"});
  if (member.status == 126 || member.status == 127) GTEST_SKIP() << "other users cannot run this build's evt here";
  EXPECT_EQ(member.status, 0) << member.err;
  const ToolRun socket = runAs(nobody, {"status", "--wait", "0.2"});
  EXPECT_EQ(socket.status, 1);
  EXPECT_THAT(socket.err, HasSubstr("evt: permission denied at "));
  EXPECT_THAT(socket.err, HasSubstr("members of group daemon"));
  const ToolRun shm = runAs(nobody, {"pub", "admitted", "x", "--wait", "0.2"});
  EXPECT_EQ(shm.status, 1);
  EXPECT_THAT(shm.err, HasSubstr("the event store (shared memory) admits the members of group daemon"));
  // A host of that user, written as the example host is, catches the refusal as a std::exception naming the code.
  const ToolRun host = runTool("host-as-nobody", {"construct"}, ownHelperPath(), "", nobody);
  EXPECT_EQ(host.status, 1) << host.err;
  EXPECT_NE(host.out.find("refused: eventlib error 0xC11F0D56 at "), std::string::npos) << host.out << host.err;

  // Nor may it create the store where none is yet (what it made would shut the members out); nothing is left.
  const std::string fresh = setup.prefix + "fresh.";
  setenv(platform::kObjectPrefixEnv, fresh.c_str(), 1);
  setenv(platform::kAccessGroupEnv, "daemon", 1);
  const ToolRun creator = runAs(nobody, {"pub", "admitted", "x", "--wait", "0.2"});
  unsetenv(platform::kAccessGroupEnv);
  setenv(platform::kObjectPrefixEnv, setup.prefix.c_str(), 1);
  EXPECT_EQ(creator.status, 1);
  EXPECT_THAT(creator.err, HasSubstr("permission denied: the event store"));
  std::unique_ptr<DIR, int (*)(DIR*)> shmDir(opendir("/dev/shm"), closedir);
  while (dirent* entry = shmDir ? readdir(shmDir.get()) : nullptr) {
    EXPECT_NE(std::string(entry->d_name).rfind(fresh, 0), 0u) << entry->d_name;
  }
  EXPECT_EQ(service.stop(), 0);
}

}  // namespace
}  // namespace evt::test
