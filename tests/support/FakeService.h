// A scriptable stand-in for the service on the real server side of the channel and socket: records commands and
// answers, answers as scripted, and sends any request text.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/ChannelServer.h"
#include "protocol/Protocol.h"

namespace evt::test {

class FakeService {
 public:
  struct Command {
    uint32_t cmd = 0;
    std::string text;
    std::chrono::steady_clock::time_point at;
    int connection = 0;  // 1 for the first connection accepted, and so on
  };

  FakeService();
  ~FakeService();

  // Listens and serves until stop(); start() again is a service restart.
  void start();
  // Closes the listener and every connection.
  void stop();

  // Answers to `cmd` carry `texts` in turn, the last repeating (server id: "12").
  void setAnswerTexts(uint32_t cmd, std::vector<std::string> texts) {
    locked([&] { m_answerTexts[cmd] = {std::move(texts), 0}; });
  }
  // Answer `cmd` with header words 1 (else the command itself) and 2 (the service's result, else 0).
  void setAnswerHeader(uint32_t cmd, uint32_t word1, uint32_t result = 0) {
    locked([&] { m_answerHeader[cmd] = {word1, result}; });
  }
  // While held, answers to `cmd` wait until released or stop() (0: none held).
  void holdAnswersTo(uint32_t cmd) { locked([&] { m_heldCommand = cmd; }); }

  // Sends a request to the newest connection: its id, or 0 with no client. `terminate` false leaves the NUL out.
  uint32_t sendRequest(const std::string& text, bool noResponse, bool terminate = true);
  // The answer to request `id`, waiting up to `timeout`; false when none came.
  bool answerTo(uint32_t id, channel::Frame* answer, std::chrono::milliseconds timeout);

  // The commands received (of `cmd`, on `connection`, unless 0).
  std::vector<Command> commands(uint32_t cmd = 0, int connection = 0) const;
  int connectionsAccepted() const { return locked([&] { return m_accepted; }); }

 private:
  struct Connection;
  // Runs `change` under the lock and tells the waiters.
  template <typename Change>
  auto locked(Change change) const -> decltype(change()) {
    std::lock_guard<std::mutex> hold(m_mutex);
    m_changed.notify_all();
    return change();
  }
  void acceptLoop();
  void serve(std::shared_ptr<Connection> connection);
  void answer(Connection& connection, const channel::Frame& request);

  const std::string m_endpoint;
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  std::unique_ptr<channel::ChannelListener> m_listener;
  std::thread m_acceptThread;
  bool m_running = false;
  std::vector<std::shared_ptr<Connection>> m_connections;
  std::vector<std::thread> m_readers;
  int m_accepted = 0;
  uint32_t m_nextRequestId = 0;

  std::map<uint32_t, std::pair<std::vector<std::string>, std::size_t>> m_answerTexts{
      {CECMD_SERVER_ID, {{"12"}, 0}}};
  std::map<uint32_t, std::pair<uint32_t, uint32_t>> m_answerHeader;
  uint32_t m_heldCommand = 0;

  std::vector<Command> m_commands;
  std::map<uint32_t, channel::Frame> m_answers;
};

// Polls `condition` every few milliseconds until it holds or `timeout` ends.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

}  // namespace evt::test
