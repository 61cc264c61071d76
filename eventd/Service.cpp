#include "eventd/Service.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Library/CEResultCodes.h"
#include "eventd/ServiceLog.h"
#include "platform/linux/Interrupted.h"
#include "protocol/Protocol.h"

namespace evt::service {

namespace protocol = evt::protocol;
namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
constexpr std::size_t kReadPerWakeup = 4 * kReadChunk;  // then others get their turn
// How often held answers and held events are looked at while any wait.
constexpr int kWaitCheckMs = 20;
// How long connections wait in line for a descriptor once none is left,
// before they are accepted on the reserve one and refused.
constexpr auto kDescriptorWait = std::chrono::seconds(3);

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

int Service::run() {
  std::vector<epoll_event> ready(64);
  bool waiting = false;  // answers held back or events held: wake to check
  int federationMs = -1;  // until the federation link's next turn
  while (!m_stop) {
    ++m_round;
    int timeoutMs = waiting ? kWaitCheckMs : -1;
    if (federationMs >= 0 && (timeoutMs < 0 || federationMs < timeoutMs)) timeoutMs = federationMs;
    const int count = evt::platform::retryInterrupted(
        [&] { return epoll_wait(m_epoll, ready.data(), static_cast<int>(ready.size()), timeoutMs); });
    if (count < 0) {
      logError("epoll_wait failed: %s", std::strerror(errno));
      return 1;
    }
    for (int i = 0; i < count; ++i) {
      const int fd = ready[i].data.fd;
      if (fd == m_listener.fd()) {
        acceptClients();
      } else if (m_federation != nullptr && fd == m_federation->fd()) {
        m_federation->receive();
      } else if (fd == m_signals) {
        signalfd_siginfo info{};
        if (::read(m_signals, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
        if (info.ssi_signo == SIGHUP) {
          // What log rotation asks for: the next line goes to a new file.
          closeServiceLog();
          openServiceLog();
          logInfo("eventd reopened its log on SIGHUP");
        } else {
          logInfo("eventd stopping on signal %u", info.ssi_signo);
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
    waiting = settleWaits();
    waiting = dropLateClients() || waiting;
    shedMemory();
    if (!m_listenerWatched) {
      // Out of descriptors: the loop wakes to refuse those who waited too long.
      if (ClientSession::Clock::now() - m_pausedSince >= kDescriptorWait) refuseWaiting();
      waiting = true;
    }
    settleClientLog();
    if (m_federation != nullptr) {
      federationMs = static_cast<int>(m_federation->turn(Federation::Clock::now()).count());
      if (m_federation->mustStop()) return 1;
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
  }
  logInfo("eventd stopped: %zu clients disconnected", m_clients.size());
  return 0;
}

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

bool Service::withinShares(ClientSession& client) {
  // A client sending more of a large frame while it holds more than its
  // share (that frame and its queue), or while its user's clients together
  // hold more than theirs, goes; a publisher midway through an ordinary
  // batch does not, nor a reader whose queue alone is long (its events are
  // refused at its share instead).
  if (client.input.buffered() <= m_budget.limit / 64) return true;
  if (client.heldBytes() > m_budget.clientShare()) {
    drop(client, "holds more of the service's memory budget than one client may (an eighth of --max-memory)");
    return false;
  }
  if (client.userHeldBytes() > m_budget.userShare()) {
    drop(client, "and the other clients of its user hold more of the service's memory budget than one user may (half of "
                 "--max-memory)");
    return false;
  }
  return true;
}

void Service::readFrom(ClientSession& client) {
  std::size_t total = 0;
  while (total < kReadPerWakeup && !client.closing) {
    char* into = client.input.room(kReadChunk);
    const ssize_t n = evt::platform::retryInterrupted([&] { return ::recv(client.fd(), into, kReadChunk, 0); });
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n <= 0) {
      drop(client, n == 0 ? "disconnected" : std::strerror(errno));
      return;
    }
    total += static_cast<std::size_t>(n);
    // A frame's deadline runs from its first byte: one unfinished before
    // this read keeps its start unless it completes now.
    bool frameOpen = client.input.buffered() > 0;
    client.input.received(static_cast<std::size_t>(n));
    channel::Frame frame;
    std::string_view text;
    channel::FrameAssembler::Status status = channel::FrameAssembler::NEED_MORE;
    while (!client.closing && (status = client.input.next(&frame, &text)) == channel::FrameAssembler::COMPLETE) {
      frameOpen = false;
      handleFrame(client, frame, text);
    }
    if (!frameOpen && client.input.buffered() > 0) client.frameBegan = ClientSession::Clock::now();
    if (!client.closing && status == channel::FrameAssembler::BAD) {
      ++m_badFrames;
      drop(client, "sent a malformed or oversized frame");
    }
    if (!client.closing) client.accountInput();
    if (!client.closing && !withinShares(client)) return;
    // Less than asked for: the socket is empty now. Another read would only
    // say so; the poll reports the client again when more comes.
    if (static_cast<std::size_t>(n) < kReadChunk) break;
  }
}

void Service::handleFrame(ClientSession& client, const channel::Frame& frame, std::string_view text) {
  if (frame.kind == channel::FRAME_CLIENT_REQUEST) {
    client.spoke = true;
    answerCommand(client, frame, text);
  } else if (frame.kind == channel::FRAME_SERVICE_ANSWER) {
    if (!client.answered(frame.requestId)) {
      logError("client #%" PRIu64 " (%s) answered request %u, which it does not owe", client.number(),
               client.name.c_str(), static_cast<unsigned>(frame.requestId));
      return;
    }
    if (static_cast<int32_t>(frame.header[2]) < 0) {
      logError("client #%" PRIu64 " (%s) could not handle a text: 0x%08X", client.number(), client.name.c_str(),
               static_cast<unsigned>(frame.header[2]));
    }
    sendIfDue(client);
  } else {
    ++m_badFrames;
    drop(client, "sent a frame only the service sends");
  }
}

void Service::answerCommand(ClientSession& client, const channel::Frame& frame, std::string_view text) {
  ++client.counters.commands;
  const uint32_t command = frame.header[0];
  channel::Frame answer;
  answer.kind = channel::FRAME_CLIENT_ANSWER;
  answer.requestId = frame.requestId;
  answer.header[0] = command;
  answer.header[1] = command;
  if (command != CECMD_CLIENT_NAME && command != CECMD_PROCESS_ID && command != protocol::kCommandStatus &&
      command != protocol::kCommandDump) {
    announce(client);
  }
  switch (command) {
    case CECMD_QUEUE:
      m_router.handleQueue(client, text);
      break;
    case CECMD_SERVER_ID:
      answer.text = std::to_string(m_options.serverId);
      break;
    case CECMD_CLIENT_NAME: {
      // Kept only to show in logs, status and dumps: as it can be shown.
      std::string name = printable(text);
      if (client.name != name) {
        client.name = std::move(name);
        if (client.announced) logInfo("client #%" PRIu64 " is \"%s\"", client.number(), client.name.c_str());
      }
      break;
    }
    case CECMD_PROCESS_ID: {
      const int pid = static_cast<int>(std::strtol(std::string(text).c_str(), nullptr, 10));
      if (pid != client.peerPid() && client.peerPid() > 0 && pid != client.reportedPid) {
        logError("client #%" PRIu64 " (%s) says it is pid %d, but its socket belongs to pid %d", client.number(),
                 client.name.c_str(), pid, client.peerPid());
      }
      client.reportedPid = pid;
      break;
    }
    case protocol::kCommandStatus:
      answer.text = m_router.statusText();
      break;
    case protocol::kCommandDump:
      // One dump a round for a client, and none while its last answer is
      // still unread: the dump is the dearest answer there is.
      if (client.dumpRound == m_round || client.output.pending()) {
        ++m_dumpsLeftOut;
        answer.header[2] = ce::wordFromResult(EVTD_E_DUMP_BUSY);
        break;
      }
      client.dumpRound = m_round;
      if (text == "json") {
        answer.text = m_router.dumpJson();
        break;
      }
      answer.text = m_router.dumpText();
      logInfo("dump requested by client #%" PRIu64 " (%s)\n%s", client.number(), client.name.c_str(),
              answer.text.c_str());
      break;
    case protocol::kCommandMonitor:
      m_router.addMonitor(client, text == "notices");
      break;
    default:
      answer.header[2] = ce::wordFromResult(EVTD_E_UNKNOWN_COMMAND);
      if (++m_unknownCommands == 1 || m_unknownCommands % 1000 == 0) {
        logError("client #%" PRIu64 " (%s) sent unknown command %u; %" PRIu64 " unknown commands so far",
                 client.number(), client.name.c_str(), static_cast<unsigned>(command), m_unknownCommands);
      }
      break;
  }
  if (command == CECMD_QUEUE) {
    // What the text routed leaves now for subscribers that may be sent more,
    // rather than after every other client's input of this round: they work
    // while the loop goes on.
    for (uint64_t number : client.fed) {
      if (ClientSession* subscriber = m_clients.byNumber(number)) sendIfDue(*subscriber);
    }
    // What the text brought the client itself (a completion, most often)
    // goes with the answer, in one write: the client's reading thread is
    // woken once for both.
    client.output.corked = true;
    sendIfDue(client);
  }
  sendAnswer(client, frame, std::move(answer));
  if (client.output.corked) uncork(client);
}

void Service::sendAnswer(ClientSession& client, const channel::Frame& frame, channel::Frame answer) {
  const uint32_t command = frame.header[0];
  if (frame.noResponse != 0) return;
  const auto now = ClientSession::Clock::now();
  if (command == CECMD_QUEUE) {
    for (uint64_t number : client.fed) {
      if (ClientSession* subscriber = m_clients.byNumber(number)) subscriber->updateCongestion(now, m_options.limits);
    }
  }
  if (command == CECMD_QUEUE && (client.answersHeld() || mustWait(client, now))) {
    // The publisher's next text waits until its subscribers caught up.
    client.holdAnswer(std::move(answer), now);
    return;
  }
  queueFrame(client, answer);
}

bool Service::mustWait(const ClientSession& publisher, ClientSession::Clock::time_point now) const {
  for (uint64_t number : publisher.fed) {
    const ClientSession* subscriber = m_clients.byNumber(number);
    if (subscriber != nullptr && !subscriber->closing && subscriber->holdsPublishers(now, m_options.limits)) {
      return true;
    }
  }
  return false;
}

void Service::releaseAnswers(ClientSession& publisher, ClientSession::Clock::time_point now) {
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(now - publisher.heldSince()).count();
  publisher.counters.backpressureMs += static_cast<uint64_t>(waited);
  m_router.mutableCounters().backpressureMs += static_cast<uint64_t>(waited);
  for (const channel::Frame& answer : publisher.takeHeldAnswers()) queueFrame(publisher, answer);
}

bool Service::settleWaits() {
  const auto now = ClientSession::Clock::now();
  for (ClientSession& client : m_clients) client.updateCongestion(now, m_options.limits);
  bool waiting = false;
  for (ClientSession& client : m_clients) {
    if (client.closing || !client.answersHeld()) continue;
    // A subscriber stalled past the stall time holds nobody back; neither
    // may one answer wait longer than that (the client's answer timeout is
    // longer).
    if (!mustWait(client, now) || now - client.heldSince() >= m_options.limits.stallTime) {
      releaseAnswers(client, now);
    } else {
      waiting = true;
    }
  }
  m_router.setPublishersHeldBack(waiting, now);
  return m_router.expireHolds(now) || waiting;
}

void Service::sendIfDue(ClientSession& client) {
  if (client.dueToSend()) sendPending(client);
}

void Service::sendPending(ClientSession& client) {
  channel::Frame request;
  request.kind = channel::FRAME_SERVICE_REQUEST;
  request.requestId = m_nextRequestId++;
  if (m_nextRequestId == 0) m_nextRequestId = 1;
  m_router.reportLostTails(client);
  const std::string_view batch = client.takeBatch(m_options.batchRequests, m_options.batchBytes);
  // A client answers each text once handled, which paces what it is sent.
  // Completions alone, sent while it owes nothing, go without: it is
  // reading, and an answer would cost it a write and this loop a wake-up,
  // on both sides of every round trip made with execute(id).
  if (!client.awaitsAnswer() && protocol::holdsOnlyCompletions(batch)) {
    request.noResponse = 1;
  } else {
    client.awaitAnswer(request.requestId);
  }
  queueFrame(client, request, batch);
}

void Service::uncork(ClientSession& client) {
  client.output.corked = false;
  if (!client.closing && client.output.pending()) writeTo(client);
}

void Service::queueFrame(ClientSession& client, const channel::Frame& frame, std::string_view text) {
  if (client.closing) return;
  ClientSession::Output& output = client.output;
  if (!output.corked && !output.pending()) {
    // Straight from where the text lies; only what the socket does not
    // take now is copied to the client's output.
    output.clear();
    std::size_t total = 0;
    const long sent = channel::sendFrameNow(client.fd(), frame, text, &total);
    if (sent < 0) {
      drop(client, std::strerror(errno));
      return;
    }
    if (static_cast<std::size_t>(sent) == total) return;
    channel::appendFrameWithText(&output.frames, frame, text);
    output.sent = static_cast<std::size_t>(sent);
    watchOutput(client, true);
    return;
  }
  channel::appendFrameWithText(&output.frames, frame, text);
  if (output.unsent() > m_options.outputLimit) {
    drop(client, "does not read what it is sent");
  }
}

void Service::writeTo(ClientSession& client) {
  ClientSession::Output& output = client.output;
  while (output.pending()) {
    const ssize_t n = evt::platform::retryInterrupted([&] {
      return ::send(client.fd(), output.frames.data() + output.sent, output.unsent(), MSG_NOSIGNAL | MSG_DONTWAIT);
    });
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      watchOutput(client, true);
      return;
    }
    if (n < 0) {
      drop(client, std::strerror(errno));
      return;
    }
    output.sent += static_cast<std::size_t>(n);
  }
  output.clear();
  watchOutput(client, false);
}

void Service::watchOutput(ClientSession& client, bool watch) {
  if (client.closing || client.output.watched == watch) return;
  client.output.watched = watch;
  epoll_event events{};
  events.events = EPOLLIN | (watch ? EPOLLOUT : 0u);
  events.data.fd = client.fd();
  epoll_ctl(m_epoll, EPOLL_CTL_MOD, client.fd(), &events);
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

void Service::shedMemory() {
  // From a quarter on: below one user's share, which its stalled clients
  // could otherwise fill for good.
  // Such a client loses its queued events, not its connection: it hears of
  // the loss as a gap when it reads again, as it would of a full queue.
  if (m_budget.used <= m_budget.limit / 4) return;
  const auto now = ClientSession::Clock::now();
  for (ClientSession& client : m_clients) {
    if (client.closing || !client.stalled(now, m_options.limits)) continue;
    const bool again = client.shedSinceRead();  // logged once until it reads
    const std::size_t shed = client.shedEvents();
    if (shed == 0) continue;
    m_router.eventsShed(client);
    ++m_shedQueues;
    if (again) continue;
    logError("client #%" PRIu64 " (%s) does not read what it is sent while the service's memory budget runs short "
             "(--max-memory): its %zu queued events were dropped and it is told of the gap; %" PRIu64
             " queues shed so far",
             client.number(), client.name.c_str(), shed, m_shedQueues);
  }
  std::size_t held = m_budget.used;
  if (held <= m_budget.limit / 4 * 3) return;
  // The largest unfinished frames next; small ones (a batch on its way) stay.
  std::vector<ClientSession*> senders;
  for (ClientSession& client : m_clients) {
    if (!client.closing && client.input.buffered() > m_budget.limit / 64) senders.push_back(&client);
  }
  std::sort(senders.begin(), senders.end(), [](const ClientSession* a, const ClientSession* b) {
    return a->input.buffered() > b->input.buffered();
  });
  for (ClientSession* client : senders) {
    if (held <= m_budget.limit / 4 * 3) break;
    held -= client->heldBytes();
    drop(*client, "holds a large unfinished frame while the service's memory budget runs short (--max-memory)");
  }
}

void Service::watchListener(bool watch) {
  if (m_listenerWatched == watch) return;
  m_listenerWatched = watch;
  epoll_event listen{};
  listen.events = watch ? EPOLLIN : 0u;
  listen.data.fd = m_listener.fd();
  epoll_ctl(m_epoll, EPOLL_CTL_MOD, m_listener.fd(), &listen);
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
