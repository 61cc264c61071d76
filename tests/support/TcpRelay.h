// A TCP relay on loopback that a test can cut and heal: what connects to
// port() is joined to the target port while the relay is whole. Cutting it
// closes every joined connection and turns new ones away, as a network
// partition would; healing it lets them through again. One thread of its own.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace evt::test {

class TcpRelay {
 public:
  explicit TcpRelay(int targetPort);
  ~TcpRelay();
  TcpRelay(const TcpRelay&) = delete;
  TcpRelay& operator=(const TcpRelay&) = delete;

  int port() const { return m_port; }
  void cut() { setWhole(false); }
  void heal() { setWhole(true); }

 private:
  void setWhole(bool whole);
  void run();
  void closeAll();

  const int m_targetPort;
  int m_listener = -1;
  int m_port = 0;
  int m_wake[2] = {-1, -1};
  std::atomic<bool> m_whole{true};
  std::atomic<bool> m_stopping{false};
  std::vector<std::pair<int, int>> m_joined;  // relay thread only
  std::thread m_thread;
};

}  // namespace evt::test
