// The real event service as a child process of the test, and a raw client
// that speaks frames to it directly (for hostile or tool-like peers).
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "platform/linux/Frame.h"

namespace evt::test {

// Paths of this build's service and tool.
std::string eventdPath();
std::string evtPath();

class ServiceProcess {
 public:
  // `socket`: where the service listens (empty: the environment's endpoint);
  // pass it with --socket in `extraArgs` too.
  explicit ServiceProcess(std::vector<std::string> extraArgs = {}, std::string socket = std::string());
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  // Starts eventd and waits until it accepts connections; false when it
  // exited or did not listen within 20 s.
  bool start();
  // Sends `signal` and reaps the process; its exit status (128 + signal when
  // the signal ended it).
  int kill(int signal);
  int stop() { return kill(15); }
  bool running() const { return m_pid > 0; }
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
  bool sendBytes(const std::string& bytes);
  bool send(const channel::Frame& frame) { return sendBytes(channel::encodeFrame(frame)); }
  // readFrame on the connection: 0, ZEBIPC_E_TIMEOUT, _CONNECTION_LOST, _BAD_FRAME.
  long read(channel::Frame* frame, int timeoutMs);
  // Sends client command `cmd` and reads until its answer; false when none
  // came within `timeoutMs`. Service requests read meanwhile are kept.
  bool command(uint32_t cmd, const std::string& text, channel::Frame* answer, int timeoutMs = 10000);
  // True when the service closes the connection within `timeoutMs`.
  bool closedByService(int timeoutMs);

  std::vector<channel::Frame> requests;  // service requests seen by command()

 private:
  int m_fd = -1;
  uint32_t m_nextId = 1;
};

// A client request frame: command `cmd` with `text`.
channel::Frame clientRequest(uint32_t cmd, const std::string& text, uint32_t requestId = 1);
// The text of a queue command: a list of request lists.
std::string queueText(const std::vector<std::string>& requestLists);

}  // namespace evt::test
