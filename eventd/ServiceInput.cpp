// What clients send the service: frames read from their sockets, the
// answers they owe and the commands they give.
#include "eventd/Service.h"

#include <sys/socket.h>

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "Library/CEResultCodes.h"
#include "eventd/ServiceLog.h"
#include "platform/linux/Interrupted.h"
#include "protocol/Protocol.h"

namespace evt::service {

namespace protocol = evt::protocol;

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
constexpr std::size_t kReadPerWakeup = 4 * kReadChunk;  // then others get their turn

}  // namespace

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

}  // namespace evt::service
