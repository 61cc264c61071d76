#include "eventd/Service.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <vector>

#include "Library/CEResultCodes.h"
#include "eventd/ServiceLog.h"
#include "platform/linux/Interrupted.h"

namespace evt::service {
namespace {

// How often held answers and held events are looked at while any wait.
constexpr int kWaitCheckMs = 20;
// How long a stopping eventd waits for its clients to take what was routed to them.
constexpr auto kDrainFor = std::chrono::milliseconds(1000);

void setNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

}  // namespace

Service::Service(ServiceOptions options, unsigned long long seqNoBase, Router::SeqNoReader currentSeqNo)
    : m_options(std::move(options)),
      m_budget{m_options.memoryLimit, 0, 0, {}},
      m_router(m_clients, m_options.serverId, seqNoBase, m_options.limits, m_options.hold, std::move(currentSeqNo)),
      m_listener(m_options.endpoint) {
  m_router.setStatusExtras([this] {
    return "bad-frames " + std::to_string(m_badFrames) + "\nmemory-held " + std::to_string(m_budget.used) +
           "\nmemory-limit " + std::to_string(m_budget.limit) + "\nmemory-refused " +
           std::to_string(m_budget.refused) + "\nconnections-refused " + std::to_string(m_refusedConnections) +
           "\ndumps-refused " + std::to_string(m_dumpsLeftOut) + "\nqueues-shed " + std::to_string(m_shedQueues) +
           "\n";
  });
}

Service::~Service() {
  // The series stand where they were for the next eventd: the clients'
  // leaving here says nothing of their coming back to it.
  m_router.keepFloorsIn(nullptr);
  if (m_federation != nullptr) m_federation->closing();
  for (ClientSession& client : m_clients) {
    m_router.removeClient(&client);
    ::close(client.fd());
  }
  m_listener.close();
  if (m_reserveFd >= 0) ::close(m_reserveFd);
  if (m_signals >= 0) ::close(m_signals);
  if (m_epoll >= 0) ::close(m_epoll);
}

long Service::open() {
  long result = m_options.listenFd >= 0 ? m_listener.adopt(m_options.listenFd) : m_listener.listen();
  if (result == ZEBIPC_E_IN_USE) return result;  // the caller says so
  if (result < 0) {
    m_openFailure = m_listener.failure().empty() ? std::strerror(errno) : m_listener.failure();
    return result;
  }
  setNonBlocking(m_listener.fd());
  m_reserveFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);

  const sigset_t signals = loopSignals();
  m_signals = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
  m_epoll = epoll_create1(EPOLL_CLOEXEC);
  if (m_signals < 0 || m_epoll < 0) {
    m_openFailure = std::string("cannot create the event loop: ") + std::strerror(errno);
    return ZEBIPC_E_SOCKET;
  }
  epoll_event listen{};
  listen.events = EPOLLIN;
  listen.data.fd = m_listener.fd();
  epoll_event signal{};
  signal.events = EPOLLIN;
  signal.data.fd = m_signals;
  if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_listener.fd(), &listen) != 0 ||
      epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_signals, &signal) != 0) {
    m_openFailure = std::string("cannot watch the listener: ") + std::strerror(errno);
    return ZEBIPC_E_SOCKET;
  }
  logInfo("listening at %s%s, server id %u, pid %d", m_options.endpoint.c_str(),
          m_options.listenFd >= 0 ? " (a socket handed over)" : "", static_cast<unsigned>(m_options.serverId),
          static_cast<int>(getpid()));
  return 0;
}

void Service::setFederation(Federation* federation) {
  m_federation = federation;
  m_router.setFederation(federation);
  epoll_event watch{};
  watch.events = EPOLLIN;
  watch.data.fd = federation->fd();
  if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, federation->fd(), &watch) != 0) {
    logError("cannot watch the federation link: %s", std::strerror(errno));
  }
}

void Service::setMetrics(MetricsEndpoint* metrics) {
  m_metrics = metrics;
  epoll_event watch{};
  watch.events = EPOLLIN;
  watch.data.fd = metrics->wakeFd();
  if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, metrics->wakeFd(), &watch) != 0) {
    logError("cannot watch the metrics endpoint: %s", std::strerror(errno));
  }
}

int Service::run() {
  RoundState state;
  while (!m_stop) {
    if (!runRound(state)) return 1;
    if (m_federation != nullptr && m_federation->mustStop()) return 1;
  }
  drainClients(state);
  logInfo("eventd stopped: %zu clients disconnected", m_clients.size());
  return 0;
}

void Service::drainClients(RoundState& state) {
  if (m_federation != nullptr) m_federation->closing();
  watchListener(false);
  m_draining = true;  // and it stays unwatched
  m_stop = false;
  const auto deadline = std::chrono::steady_clock::now() + kDrainFor;
  auto pending = [this] {
    for (const ClientSession& client : m_clients) {
      if (!client.closing && client.hasPending()) return true;
    }
    return false;
  };
  while (!m_stop && pending() && std::chrono::steady_clock::now() < deadline) {
    state.waiting = true;  // wakes often enough to see the deadline
    if (!runRound(state)) return;
  }
}

bool Service::runRound(RoundState& state) {
  ++m_round;
  int timeoutMs = state.waiting ? kWaitCheckMs : -1;
  if (state.federationMs >= 0 && (timeoutMs < 0 || state.federationMs < timeoutMs)) {
    timeoutMs = state.federationMs;
  }
  epoll_event* ready = state.ready;
  const int count = evt::platform::retryInterrupted(
      [&] { return epoll_wait(m_epoll, ready, RoundState::kReady, timeoutMs); });
  if (count < 0) {
    logError("epoll_wait failed: %s", std::strerror(errno));
    return false;
  }
  for (int i = 0; i < count; ++i) {
    const int fd = ready[i].data.fd;
    if (fd == m_listener.fd()) {
      acceptClients();
    } else if (m_federation != nullptr && fd == m_federation->fd()) {
      m_federation->receive();
    } else if (m_metrics != nullptr && fd == m_metrics->wakeFd()) {
      if (m_metrics->takeRequest()) m_metrics->publish(MetricsReport(m_router, m_timings).text());
    } else if (fd == m_signals) {
      signalfd_siginfo info{};
      if (::read(m_signals, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
      if (info.ssi_signo == SIGHUP) {
        // What log rotation asks for: the next line goes to a new file.
        closeServiceLog();
        openServiceLog();
        logInfo("eventd reopened its log on SIGHUP");
      } else {
        logInfo(m_draining ? "eventd stops at once on signal %u" : "eventd stopping on signal %u",
                info.ssi_signo);
        m_stop = true;
      }
    } else {
      ClientSession* client = m_clients.byFd(fd);
      if (client == nullptr || client->closing) continue;
      const ClientLogScope scope(&client->logAllowance);
      if (ready[i].events & EPOLLOUT) writeTo(*client);
      if (ready[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) readFrom(*client);
    }
  }
  state.waiting = settleWaits();
  state.waiting = dropLateClients() || state.waiting;
  shedMemory();
  state.waiting = refuseWaitingIfDue() || state.waiting;
  settleClientLog();
  if (m_federation != nullptr) {
    state.federationMs = static_cast<int>(m_federation->turn(Federation::Clock::now()).count());
    if (m_federation->mustStop()) return true;
  }
  // Requests routed this round leave now, for every client with room for
  // another unanswered text. Dropping a client while sending may route
  // notices to others, hence the repeat; each client sends at most twice.
  bool sent = true;
  while (sent) {
    sent = false;
    for (ClientSession& client : m_clients) {
      if (!client.dueToSend()) continue;
      sendPending(client);
      sent = true;
    }
  }
  closeDropped();
  return true;
}

void Service::announce(ClientSession& client) {
  if (client.announced) return;
  client.announced = true;
  if (client.name.empty()) {
    logInfo("client #%" PRIu64 " connected, pid %d", client.number(), client.peerPid());
  } else {
    logInfo("client #%" PRIu64 " connected, pid %d, is \"%s\"", client.number(), client.peerPid(),
            client.name.c_str());
  }
}

void Service::drop(ClientSession& client, const char* reason) {
  if (client.closing) return;
  client.closing = true;
  // Its last line is written whatever lines it caused before: it says how
  // many of them were left out.
  const ClientLogScope scope(&client.logAllowance, true);
  // A query that came and went leaves no trace; one dropped for a fault does.
  const bool plainLeave = std::strcmp(reason, "disconnected") == 0;
  if (!client.announced && plainLeave && client.logAllowance.leftOut == 0) {
    m_router.removeClient(&client);
    return;
  }
  announce(client);
  logInfo("client #%" PRIu64 " (%s) %s; %zu requests for it discarded", client.number(), client.name.c_str(), reason,
          client.pendingCount());
  m_router.removeClient(&client);
}

sigset_t loopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  return signals;
}

}  // namespace evt::service
