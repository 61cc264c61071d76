// Hosts for the tests against the real service: a CEventLib in the test
// process with recording handlers, or host_helper in a process of its own.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Library/CEventLib.h"
#include "tests/support/EngineFixture.h"
#include "tests/support/ServiceProcess.h"
#include "tests/support/TestEnvironment.h"

namespace evt::test {

constexpr unsigned long kThisServer = 0xFFFFFFFFul;

class TestHost {
 public:
  explicit TestHost(const std::string& name);
  ~TestHost();

  // Waits until the client is registered (execute is accepted).
  bool registered(std::chrono::milliseconds timeout = std::chrono::milliseconds(20000));
  // Sends the queue with a new completion id and waits for its completion:
  // afterwards the service has handled everything queued before.
  bool flush(std::chrono::milliseconds timeout = std::chrono::milliseconds(20000));
  // Subscribes to `category` of `server` and flushes.
  bool subscribeTo(const std::string& category, unsigned long server = kThisServer);
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

// A host_helper process (tests/helpers/host_helper.cpp) whose standard
// output goes to a file; killed when still running at the end.
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
    long received = -1, missed = -1, disorder = -1;
  };
  Result result() const;

 private:
  pid_t m_pid = -1;
  std::string m_out;
};

}  // namespace evt::test
