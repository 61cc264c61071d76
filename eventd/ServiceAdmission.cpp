// The service's connections in and out: accepting them within the limits
// per user, refusing (with the limit named) those that come while eventd
// has no descriptor left, dropping those that stay silent or leave a frame
// unfinished too long, and closing the dropped ones.
#include "eventd/Service.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "Library/CEResultCodes.h"
#include "eventd/ServiceLog.h"
#include "protocol/Frame.h"

namespace evt::service {
namespace {

// How long connections wait in line for a descriptor once none is left,
// before they are accepted on the reserve one and refused.
constexpr auto kDescriptorWait = std::chrono::seconds(3);

}  // namespace

void Service::acceptClients() {
  for (;;) {
    int fd = ::accept4(m_listener.fd(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE) {
        // Out of descriptors: the waiting connection would wake the loop
        // again at once. Accepting rests until a client closes.
        ++m_acceptPauses;
        if (m_acceptPauses == 1 || m_acceptPauses % 100 == 0) {
          logError("cannot accept a client: %s; accepting again once a client closes, refusing those who wait "
                   "longer (%" PRIu64 " times so far)",
                   std::strerror(errno), m_acceptPauses);
        }
        if (m_listenerWatched) m_pausedSince = ClientSession::Clock::now();
        watchListener(false);
      } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        logError("accept failed: %s", std::strerror(errno));
      }
      return;
    }
    ucred credentials{};
    socklen_t size = sizeof credentials;
    const bool known = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0;
    const int peerPid = known ? credentials.pid : -1;
    // Unknown credentials count as one user (nobody's). Root is bounded as
    // well: a runaway root process exhausts descriptors as any other would.
    const uid_t uid = known ? credentials.uid : static_cast<uid_t>(-1);
    std::size_t& connections = m_connectionsByUser[uid];
    if (connections >= m_options.connectionsPerUser) {
      ++m_refusedConnections;
      const ClientLogScope scope(&m_refusalLog);
      logError("refused a connection of uid %u, pid %d: the user holds %zu connections, the most one may "
               "(--max-connections-per-user); %" PRIu64 " connections refused so far",
               static_cast<unsigned>(uid), peerPid, connections, m_refusedConnections);
      refuse(fd, kConnectionLimitText);
      continue;
    }
    // Room for a whole text in the socket (where the system allows), so a
    // text leaves in one write and the client reads it in few.
    const int sendBuffer = static_cast<int>(m_options.batchBytes * 2);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    auto client = std::make_unique<ClientSession>(m_nextClient++, fd, peerPid, &m_budget, uid);
    epoll_event watch{};
    watch.events = EPOLLIN;
    watch.data.fd = fd;
    if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &watch) != 0) {
      logError("cannot watch a new client: %s", std::strerror(errno));
      ::close(fd);
      continue;
    }
    ++connections;
    m_router.addClient(&m_clients.add(std::move(client)));
  }
}

bool Service::refuseWaitingIfDue() {
  if (m_listenerWatched) return false;
  // Out of descriptors: the loop wakes to refuse those who waited too long.
  if (ClientSession::Clock::now() - m_pausedSince >= kDescriptorWait) refuseWaiting();
  return true;
}

void Service::refuseWaiting() {
  if (m_reserveFd >= 0) ::close(m_reserveFd);
  m_reserveFd = -1;
  uint64_t refused = 0;
  for (;;) {
    const int fd = ::accept4(m_listener.fd(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) break;
    refuse(fd, kConnectionLimitText);
    ++refused;
  }
  m_reserveFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  m_pausedSince = ClientSession::Clock::now();
  if (refused == 0) return;
  m_refusedConnections += refused;
  const ClientLogScope scope(&m_refusalLog);
  logError("refused %" PRIu64 " connections: eventd has no descriptor left for them (%zu clients); %" PRIu64
           " connections refused so far",
           refused, m_clients.size(), m_refusedConnections);
}

void Service::refuse(int fd, const char* why) {
  channel::Frame answer;
  answer.kind = channel::FRAME_CLIENT_ANSWER;
  answer.requestId = 0;
  answer.header[2] = ce::wordFromResult(EVTD_E_CONNECTION_LIMIT);
  std::size_t total = 0;
  channel::sendFrameNow(fd, answer, why, &total);  // a socket this new has room for it
  ::close(fd);
}

void Service::closeDropped() {
  for (auto it = m_clients.begin(); it != m_clients.end();) {
    ClientSession& client = *it;
    ++it;  // past `client`, which goes now
    if (!client.closing) continue;
    epoll_ctl(m_epoll, EPOLL_CTL_DEL, client.fd(), nullptr);
    ::close(client.fd());
    auto user = m_connectionsByUser.find(client.uid());
    if (user != m_connectionsByUser.end() && --user->second == 0) m_connectionsByUser.erase(user);
    m_clients.remove(client);
    watchListener(true);  // a descriptor is free again
  }
}

bool Service::dropLateClients() {
  const auto now = ClientSession::Clock::now();
  bool pending = false;
  for (ClientSession& client : m_clients) {
    if (client.closing) continue;
    if (client.input.buffered() > 0) {
      if (now - client.frameBegan >= m_options.partialFrameTimeout) {
        drop(client, "left a frame unfinished past the deadline (--partial-timeout)");
        continue;
      }
      pending = true;
    }
    if (!client.spoke) {
      if (now - client.connectedAt >= m_options.registrationTimeout) {
        drop(client, "sent no command in time (--register-timeout)");
        continue;
      }
      pending = true;
    }
  }
  return pending;
}

void Service::watchListener(bool watch) {
  if (m_draining) watch = false;  // a stopping eventd takes no new clients
  if (m_listenerWatched == watch) return;
  m_listenerWatched = watch;
  epoll_event listen{};
  listen.events = watch ? EPOLLIN : 0u;
  listen.data.fd = m_listener.fd();
  epoll_ctl(m_epoll, EPOLL_CTL_MOD, m_listener.fd(), &listen);
}

}  // namespace evt::service
