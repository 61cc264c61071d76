// What the service sends clients: answers (those to a publisher's queue
// texts held back while a client they fed is congested), the texts of
// requests routed to them, and the writes to their sockets.
#include "eventd/Service.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/linux/Interrupted.h"
#include "protocol/Protocol.h"

namespace evt::service {

namespace protocol = evt::protocol;

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
  m_timings.backpressure.observe(now - publisher.heldSince());
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
  const std::string_view batch = client.takeBatch(m_options.batchRequests, m_options.batchBytes, &m_timings.residence);
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

}  // namespace evt::service
