// The real service as a child process, a raw frame client (hostile or tool-like peers), and hosts: an in-process
// CEventLib with recording handlers, or the helper program in a process of its own.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>

#include "Library/CEventLib.h"
#include "protocol/Frame.h"
#include "tests/support/EngineFixture.h"
#include "tests/support/TestEnvironment.h"

namespace evt::test {

using ::testing::HasSubstr;
using ::testing::Not;

// Paths of this build's service and tool.
std::string eventdPath();
std::string evtPath();

// logDirectory()/NAME: where the tools' runs keep their output.
std::string outputPath(const std::string& name);

// A program run to its end: its exit status (-1: killed after 120 s), standard output and error.
struct ToolRun {
  int status;
  std::string out, err;
};
// Runs `program ARGS` with `input` as standard input (empty: inherited), as user and group `uid` unless -1, its
// output kept in outputPath(NAME.out) and NAME.err.
ToolRun runTool(const std::string& name, const std::vector<std::string>& args, const std::string& program = evtPath(),
                const std::string& input = std::string(), int uid = -1);

// Entries of /dev/shm under this test process's object prefix.
std::size_t sharedObjects();

class ServiceProcess {
 public:
  // `socket`: where it listens (empty: the default); pass --socket too.
  explicit ServiceProcess(std::vector<std::string> extraArgs = {}, std::string socket = std::string());
  ~ServiceProcess() { kill(SIGKILL); }
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  // Starts eventd; false when it exited or did not listen within 20 s.
  bool start();
  // Sends `signal` and reaps it: its exit status (128 + signal if killed).
  int kill(int signal);
  int stop() { return kill(15); }
  pid_t pid() const { return m_pid; }

  // The service's counters (evt status), empty when it did not answer.
  std::map<std::string, long long> status() const;

 private:
  std::vector<std::string> m_extraArgs;
  std::string m_socket;
  pid_t m_pid = -1;
};

// One connection to the service at the environment's endpoint.
class RawClient {
 public:
  // Connects to `socket` (empty: the environment's endpoint).
  explicit RawClient(const std::string& socket = std::string());
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return m_fd >= 0; }
  bool sendBytes(const std::string& bytes) { return m_fd >= 0 && channel::writeAll(m_fd, bytes); }
  bool send(const channel::Frame& frame) { return sendBytes(channel::encodeFrame(frame)); }
  // readFrame on the connection: 0, ZEBIPC_E_TIMEOUT, _CONNECTION_LOST, _BAD_FRAME.
  long read(channel::Frame* frame, int timeoutMs);
  // Sends client command `cmd` and reads until its answer (dropping service requests); false on none in time.
  bool command(uint32_t cmd, const std::string& text, channel::Frame* answer, int timeoutMs = 10000);
  // True when the service closes the connection within `timeoutMs`.
  bool closedByService(int timeoutMs);
  // Answers a text the service sent (a FRAME_SERVICE_REQUEST) as a client's library does.
  bool acknowledge(const channel::Frame& text);
  // Reads until nothing comes for 100 ms, answering each text the service sends and adding it to `texts`.
  void answerTexts(std::vector<std::string>* texts);

 private:
  int m_fd = -1;
  uint32_t m_nextId = 1;
};

// A client request frame: command `cmd` with `text`.
channel::Frame clientRequest(uint32_t cmd, const std::string& text, uint32_t requestId = 1);

constexpr unsigned long kThisServer = 0xFFFFFFFFul;

class TestHost {
 public:
  explicit TestHost(const std::string& name);
  ~TestHost() { m_lib->finalize(); }

  // Waits until the client is registered (execute is accepted).
  bool registered(std::chrono::milliseconds timeout = std::chrono::milliseconds(20000)) {
    return eventually([this] { return m_lib->execute(0) >= 0; }, timeout);
  }
  // Sends the queue with a new completion id and waits for it to come back.
  bool flush(std::chrono::milliseconds timeout = std::chrono::milliseconds(20000));
  // Subscribes to `category` of this server and flushes.
  bool subscribeTo(const std::string& category) {
    return m_lib->subscribe(category, "", kThisServer, nullptr) >= 0 && flush();
  }
  // How many events of `category` arrived.
  std::size_t received(const std::string& category) const;

  CEventLib& lib() { return *m_lib; }
  RecordingHandlers handlers;

 private:
  long m_nextCompletion = 1000;
  std::unique_ptr<CEventLib> m_lib;
};

// The service (started with `serviceArgs`) and two registered hosts.
class ServiceWithHosts : public ::testing::Test {
 protected:
  explicit ServiceWithHosts(std::vector<std::string> serviceArgs = {}) : service(std::move(serviceArgs)) {}
  void SetUp() override {
    ASSERT_TRUE(service.start());
    ASSERT_TRUE(subscriber.registered());
    ASSERT_TRUE(publisher.registered());
  }
  ServiceProcess service;
  TestHost subscriber{"subscriber"};
  TestHost publisher{"publisher"};
};

// The helper program in a host mode, its output in a file; killed at the end.
class HostProcess {
 public:
  explicit HostProcess(const std::vector<std::string>& args);
  ~HostProcess() {
    if (m_pid <= 0) return;
    signal(SIGKILL);
    wait();
  }
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  bool printed(const std::string& text, std::chrono::milliseconds timeout = std::chrono::milliseconds(60000)) const {
    return eventually([&] { return output().find(text) != std::string::npos; }, timeout);
  }
  int wait() { return waitExit(std::exchange(m_pid, -1)); }
  void signal(int number) { ::kill(m_pid, number); }
  std::string output() const { return readFile(m_out); }

  // A subscriber's closing line.
  struct Result {
    long received = -1, missed = -1, disorder = -1, unreported = -1;
    long long span = -1;  // last number received - first + 1: at most the events the publishers sent
    long away = -1;       // events and reports of a server while it was said disconnected
  };
  Result result() const;
  // A subscriber that ended well, got `events` in order and heard of `missed` gaps, none of them unreported.
  void expectReceived(long events, long missed = 0);

 private:
  pid_t m_pid = -1;
  std::string m_out;
};

}  // namespace evt::test
