#include "tests/support/ServiceProcess.h"

#include <dirent.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>

#include "Library/CEResultCodes.h"
#include "platform/linux/Endpoint.h"
#include "platform/linux/ObjectNames.h"
#include "protocol/Protocol.h"
#include "tests/support/TestEnvironment.h"

namespace evt::test {
namespace {

std::string defaultEndpoint() { return channel::endpointPath(kServiceChannelName, kServiceChannelId); }

int connectTo(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

}  // namespace

std::string eventdPath() { return EVT_EVENTD_PATH; }

std::string outputPath(const std::string& name) { return logDirectory() + "/" + name; }

ToolRun runTool(const std::string& name, const std::vector<std::string>& args, const std::string& program,
                const std::string& input, int uid) {
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  const pid_t pid = spawn(argv, ownEmulator(), outputPath(name + ".out"), outputPath(name + ".err"), input, uid);
  const int status = exitWithin(pid, std::chrono::seconds(120));
  return {status, readFile(outputPath(name + ".out")), readFile(outputPath(name + ".err"))};
}

std::size_t sharedObjects() {
  const std::string prefix = platform::objectPrefix();
  std::size_t count = 0;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir("/dev/shm"), closedir);
  while (dirent* entry = dir ? readdir(dir.get()) : nullptr) {
    if (std::string(entry->d_name).rfind(prefix, 0) == 0) ++count;
  }
  return count;
}
std::string evtPath() { return EVT_EVT_PATH; }

ServiceProcess::ServiceProcess(std::vector<std::string> extraArgs, std::string socket)
    : m_extraArgs(std::move(extraArgs)), m_socket(socket.empty() ? defaultEndpoint() : std::move(socket)) {}

bool ServiceProcess::start() {
  std::vector<std::string> argv{eventdPath()};
  argv.insert(argv.end(), m_extraArgs.begin(), m_extraArgs.end());
  m_pid = spawn(argv, ownEmulator());
  bool exited = false;
  const bool settled = eventually(
      [&] { return (exited = waitpid(m_pid, nullptr, WNOHANG) == m_pid) || RawClient(m_socket).connected(); },
      std::chrono::seconds(20));
  if (exited) m_pid = -1;
  return settled && !exited;
}

int ServiceProcess::kill(int signal) {
  if (m_pid <= 0) return -1;
  ::kill(m_pid, signal);
  return waitExit(std::exchange(m_pid, -1));
}

std::map<std::string, long long> ServiceProcess::status() const {
  std::map<std::string, long long> counters;
  RawClient client(m_socket);
  channel::Frame answer;
  if (!client.command(protocol::kCommandStatus, "", &answer)) return counters;
  // "name value" lines; a value that is no number (a URL, a list) reads as its leading number or 0.
  std::istringstream lines(answer.text);
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t space = line.find(' ');
    if (space != std::string::npos) counters[line.substr(0, space)] = std::atoll(line.c_str() + space + 1);
  }
  return counters;
}

RawClient::RawClient(const std::string& socket) : m_fd(connectTo(socket.empty() ? defaultEndpoint() : socket)) {}

RawClient::~RawClient() {
  if (m_fd >= 0) close(m_fd);
}

long RawClient::read(channel::Frame* frame, int timeoutMs) {
  if (m_fd < 0) return ZEBIPC_E_CONNECTION_LOST;
  return channel::readFrame(m_fd, frame, timeoutMs);
}

bool RawClient::command(uint32_t cmd, const std::string& text, channel::Frame* answer, int timeoutMs) {
  const channel::Frame request = clientRequest(cmd, text, m_nextId++);
  if (!send(request)) return false;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    channel::Frame frame;
    long result = read(&frame, 50);
    if (result == ZEBIPC_E_TIMEOUT) continue;
    if (result != 0) return false;
    if (frame.kind == channel::FRAME_CLIENT_ANSWER && frame.requestId == request.requestId) {
      *answer = frame;
      return true;
    }
  }
  return false;
}

bool RawClient::closedByService(int timeoutMs) {
  channel::Frame frame;
  return eventually([&] { return read(&frame, 50) == ZEBIPC_E_CONNECTION_LOST; }, std::chrono::milliseconds(timeoutMs));
}

bool RawClient::acknowledge(const channel::Frame& text) {
  channel::Frame ack;
  ack.kind = channel::FRAME_SERVICE_ANSWER;
  ack.requestId = text.requestId;
  ack.header[1] = kServiceAnswerMark;
  return send(ack);
}

void RawClient::answerTexts(std::vector<std::string>* texts) {
  channel::Frame frame;
  while (read(&frame, 100) == 0) {
    if (frame.kind != channel::FRAME_SERVICE_REQUEST) continue;
    texts->push_back(frame.text);
    acknowledge(frame);
  }
}

channel::Frame clientRequest(uint32_t cmd, const std::string& text, uint32_t requestId) {
  channel::Frame frame;
  frame.kind = channel::FRAME_CLIENT_REQUEST;
  frame.requestId = requestId;
  frame.header[0] = cmd;
  frame.text = text;
  return frame;
}

TestHost::TestHost(const std::string& name)
    : m_lib(std::make_unique<CEventLib>(name, &handlers, &handlers, &handlers)) {
  handlers.watch(m_lib.get());
  m_lib->initialize();
}

bool TestHost::flush(std::chrono::milliseconds timeout) {
  const long id = ++m_nextCompletion;
  auto completed = [&] {
    auto done = handlers.completions();
    return std::any_of(done.begin(), done.end(), [id](const std::pair<long, long>& c) { return c.first == id; });
  };
  return eventually([&] { return m_lib->execute(static_cast<unsigned long>(id)) >= 0; }, timeout) &&
         eventually(completed, timeout);
}

std::size_t TestHost::received(const std::string& category) const {
  const auto events = handlers.events();
  return static_cast<std::size_t>(std::count_if(
      events.begin(), events.end(), [&](const RecordingHandlers::Event& e) { return e.category == category; }));
}

HostProcess::HostProcess(const std::vector<std::string>& args) {
  static int serial = 0;
  m_out = logDirectory() + "/host" + std::to_string(getpid()) + "-" + std::to_string(++serial) + ".out";
  std::vector<std::string> argv{ownHelperPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  m_pid = spawn(argv, ownEmulator(), m_out, m_out + ".err");
}

HostProcess::Result HostProcess::result() const {
  const std::string text = output();
  Result r;  // stays -1 without the line
  std::sscanf(text.c_str() + std::min(text.find("received "), text.size()),
              "received %ld missed %ld disorder %ld unreported %ld span %lld away %ld", &r.received, &r.missed,
              &r.disorder, &r.unreported, &r.span, &r.away);
  return r;
}

void HostProcess::expectReceived(long events, long missed) {
  EXPECT_EQ(wait(), 0);
  const Result r = result();
  EXPECT_EQ(r.received, events) << output();
  EXPECT_EQ(r.missed, missed);
  EXPECT_EQ(r.disorder, 0);
  EXPECT_EQ(r.unreported, 0);
}

}  // namespace evt::test
