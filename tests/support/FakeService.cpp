#include "tests/support/FakeService.h"

#include <unistd.h>

#include <algorithm>

#include "platform/linux/Endpoint.h"

namespace evt::test {

using channel::Frame;

struct FakeService::Connection {
  Connection(int fd, int ordinal) : link(fd), number(ordinal) {}
  channel::FrameConnection link;
  int number;
  bool open = true;
};

FakeService::FakeService() : m_endpoint(channel::endpointPath(kServiceChannelName, kServiceChannelId)) {}

FakeService::~FakeService() { stop(); }

void FakeService::start() {
  std::lock_guard<std::mutex> hold(m_mutex);
  if (m_running) return;
  m_listener.reset(new channel::ChannelListener(m_endpoint));
  if (m_listener->listen() != 0) throw std::runtime_error("fake service cannot listen at " + m_endpoint);
  m_running = true;
  m_acceptThread = std::thread([this] { acceptLoop(); });
}

void FakeService::stop() {
  std::vector<std::thread> readers;
  {
    std::lock_guard<std::mutex> hold(m_mutex);
    if (!m_running) return;
    m_running = false;
    m_changed.notify_all();  // answers held back go now
    // No client can reach a service that is going away.
    ::unlink(m_endpoint.c_str());
    for (auto& connection : m_connections) connection->link.shutdown();
  }
  m_acceptThread.join();
  locked([&] { readers.swap(m_readers); });
  for (auto& reader : readers) reader.join();
  std::lock_guard<std::mutex> hold(m_mutex);
  m_connections.clear();
  m_listener.reset();
}

void FakeService::acceptLoop() {
  while (locked([this] { return m_running; })) {
    int fd = m_listener->accept(50);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> hold(m_mutex);
    if (!m_running) {  // stop() has shut every connection it knew of
      ::close(fd);
      return;
    }
    auto connection = std::make_shared<Connection>(fd, ++m_accepted);
    m_connections.push_back(connection);
    m_readers.emplace_back([this, connection] { serve(connection); });
    m_changed.notify_all();
  }
}

void FakeService::serve(std::shared_ptr<Connection> connection) {
  for (;;) {
    Frame frame;
    if (connection->link.read(&frame, -1) != 0) break;
    if (frame.kind == channel::FRAME_CLIENT_REQUEST) {
      locked([&] {
        m_commands.push_back({frame.header[0], frame.text, std::chrono::steady_clock::now(), connection->number});
      });
      answer(*connection, frame);
    } else if (frame.kind == channel::FRAME_SERVICE_ANSWER) {
      locked([&] { m_answers[frame.requestId] = frame; });
    }
  }
  std::lock_guard<std::mutex> hold(m_mutex);
  connection->open = false;
  connection->link.shutdown();
  m_changed.notify_all();
}

void FakeService::answer(Connection& connection, const Frame& request) {
  Frame reply;
  uint32_t cmd = request.header[0];
  {
    std::unique_lock<std::mutex> hold(m_mutex);
    m_changed.wait(hold, [&] { return m_heldCommand != cmd || !m_running; });
    reply.kind = channel::FRAME_CLIENT_ANSWER;
    reply.requestId = request.requestId;
    reply.header[0] = cmd;
    const auto header = m_answerHeader.find(cmd);
    reply.header[1] = header != m_answerHeader.end() ? header->second.first : cmd;
    reply.header[2] = header != m_answerHeader.end() ? header->second.second : 0;
    auto& [texts, turn] = m_answerTexts[cmd];
    if (!texts.empty()) reply.text = texts[std::min(turn++, texts.size() - 1)];
  }
  connection.link.write(reply);
}

uint32_t FakeService::sendRequest(const std::string& text, bool noResponse, bool terminate) {
  std::shared_ptr<Connection> target;
  Frame request;
  {
    std::lock_guard<std::mutex> hold(m_mutex);
    for (auto it = m_connections.rbegin(); it != m_connections.rend() && !target; ++it)
      if ((*it)->open) target = *it;
    if (!target) return 0;
    request.kind = channel::FRAME_SERVICE_REQUEST;
    request.requestId = ++m_nextRequestId;
    request.noResponse = noResponse ? 1 : 0;
    request.header[0] = 0x11223344u;  // arbitrary: the client must echo it
    request.header[3] = 0xA5A5A5A5u;
    request.text = text;
  }
  target->link.writeBytes(channel::encodeFrame(request, terminate));
  return request.requestId;
}

bool FakeService::answerTo(uint32_t id, Frame* answer, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(m_mutex);
  if (!m_changed.wait_for(lock, timeout, [&] { return m_answers.count(id) != 0; })) return false;
  *answer = m_answers[id];
  return true;
}

std::vector<FakeService::Command> FakeService::commands(uint32_t cmd, int connection) const {
  std::lock_guard<std::mutex> hold(m_mutex);
  std::vector<Command> matching;
  for (const Command& command : m_commands)
    if ((cmd == 0 || command.cmd == cmd) && (connection == 0 || command.connection == connection))
      matching.push_back(command);
  return matching;
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace evt::test
