#include "tests/support/TcpRelay.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>

namespace evt::test {
namespace {

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

// Writes all of `size` bytes; false when the peer is gone.
bool writeAll(int fd, const char* data, ssize_t size) {
  while (size > 0) {
    const ssize_t written = ::send(fd, data, static_cast<std::size_t>(size), MSG_NOSIGNAL);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

}  // namespace

TcpRelay::TcpRelay(int targetPort) : m_targetPort(targetPort) {
  m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = loopback(0);
  socklen_t size = sizeof address;
  bind(m_listener, reinterpret_cast<sockaddr*>(&address), size);
  listen(m_listener, 16);
  getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &size);
  m_port = ntohs(address.sin_port);
  if (pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) m_wake[0] = m_wake[1] = -1;
  m_thread = std::thread([this] { run(); });
}

TcpRelay::~TcpRelay() {
  m_stopping = true;
  setWhole(false);
  m_thread.join();
  closeAll();
  ::close(m_listener);
  ::close(m_wake[0]);
  ::close(m_wake[1]);
}

void TcpRelay::setWhole(bool whole) {
  m_whole = whole;
  const char byte = 0;
  if (::write(m_wake[1], &byte, 1) < 0) {
    // The relay thread looks at the flag on its next wake-up anyway.
  }
}

void TcpRelay::closeAll() {
  for (const auto& joined : m_joined) {
    ::close(joined.first);
    ::close(joined.second);
  }
  m_joined.clear();
}

void TcpRelay::run() {
  std::vector<pollfd> fds;
  char buffer[65536];
  while (!m_stopping) {
    fds.assign({pollfd{m_wake[0], POLLIN, 0}, pollfd{m_listener, POLLIN, 0}});
    for (const auto& joined : m_joined) {
      fds.push_back(pollfd{joined.first, POLLIN, 0});
      fds.push_back(pollfd{joined.second, POLLIN, 0});
    }
    if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return;
    if (fds[0].revents != 0) {
      while (::read(m_wake[0], buffer, sizeof buffer) > 0) {
      }
      if (!m_whole) {
        closeAll();
        continue;
      }
    }
    const std::size_t pollable = m_joined.size();  // a connection accepted now waits for the next poll
    if (fds[1].revents != 0) {
      const int accepted = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (accepted >= 0) {
        const int target = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in address = loopback(m_targetPort);
        if (m_whole && connect(target, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
          m_joined.emplace_back(accepted, target);
        } else {
          ::close(accepted);
          ::close(target);
        }
      }
    }
    // Moves what each side sent to the other; a side that closed ends both.
    std::vector<std::pair<int, int>> kept;
    for (std::size_t i = 0; i < m_joined.size(); ++i) {
      const auto& joined = m_joined[i];
      bool open = true;
      if (i >= pollable) {
        kept.push_back(joined);
        continue;
      }
      for (int side = 0; side < 2 && open; ++side) {
        const pollfd& polled = fds[2 + 2 * i + static_cast<std::size_t>(side)];
        if (polled.revents == 0) continue;
        const int from = side == 0 ? joined.first : joined.second;
        const int to = side == 0 ? joined.second : joined.first;
        const ssize_t got = ::recv(from, buffer, sizeof buffer, 0);
        open = got > 0 ? writeAll(to, buffer, got) : (got < 0 && errno == EINTR);
      }
      if (open) {
        kept.push_back(joined);
      } else {
        ::close(joined.first);
        ::close(joined.second);
      }
    }
    m_joined.swap(kept);
  }
}

}  // namespace evt::test
