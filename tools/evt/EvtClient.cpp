#include "tools/evt/EvtClient.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <thread>
#include <vector>

#include "Library/CEResultCodes.h"
#include "platform/linux/AccessGroup.h"
#include "platform/linux/Endpoint.h"
#include "protocol/Frame.h"
#include "Service/CategorySeqNo.h"
#include "platform/linux/ObjectNames.h"
#include "protocol/Protocol.h"

namespace evt::tool {

std::atomic<bool> g_interrupted{false};

namespace {
void onInterrupt(int) { g_interrupted = true; }
}  // namespace

void installInterruptHandlers() {
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

std::string serviceEndpoint() { return channel::endpointPath(kServiceChannelName, kServiceChannelId); }

namespace {

// Whether this user may not reach the endpoint (as opposed to nobody
// listening there): the socket or a folder on its way refuses access.
bool accessDenied(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return errno == EACCES;
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  const bool denied = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
                      errno == EACCES;
  close(fd);
  return denied;
}

// Whether the service at `path` refuses connections for a limit: it
// answers a new one with request id 0 naming the limit and closes it
// (eventd's kConnectionLimitText), at once or after a while in line.
bool atConnectionLimit(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  bool limited = false;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    channel::Frame frame;
    limited = channel::readFrame(fd, &frame, 5000) == 0 && frame.kind == channel::FRAME_CLIENT_ANSWER &&
              frame.requestId == 0 && frame.header[2] == ce::wordFromResult(EVTD_E_CONNECTION_LIMIT);
  }
  close(fd);
  return limited;
}

// The group owning `path`, or its folder when the path cannot be seen.
std::string groupOf(const std::string& path) {
  std::string group = evt::platform::groupOwning(path);
  if (group.empty()) group = evt::platform::groupOwning(path.substr(0, path.rfind('/')));
  return group.empty() ? evt::platform::accessGroupName() : group;
}

}  // namespace

int noService() {
  const std::string path = serviceEndpoint();
  if (accessDenied(path)) {
    std::fprintf(stderr,
                 "evt: permission denied at %s: the event service admits the members of group %s; ask to be added "
                 "to it\n",
                 path.c_str(), groupOf(path).c_str());
    return 1;
  }
  if (atConnectionLimit(path)) {
    std::fprintf(stderr,
                 "evt: the service at %s is at its connection limit: it refuses further connections for now "
                 "(eventd's log names the limit); try again later\n",
                 path.c_str());
    return 1;
  }
  std::fprintf(stderr, "evt: no event service at %s (is eventd running? EVT_RUNTIME_DIR selects its directory)\n",
               path.c_str());
  return 1;
}

int storeFailure(long code) {
  if (code == CE_E_ACCESS_DENIED) {
    std::fprintf(stderr,
                 "evt: permission denied: the event store (shared memory) admits the members of group %s; ask to be "
                 "added to it\n",
                 groupOf("/dev/shm" + evt::platform::osObjectName(CCategorySeqNo::kAllBlockName)).c_str());
  } else {
    std::fprintf(stderr, "evt: cannot open the event store (0x%08X); the library's log says why\n",
                 ce::wordFromResult(code));
  }
  return 1;
}

int refused(const char* action, const std::string& category, long result) {
  std::string reason;
  if (result == CE_E_INVALID_TEXT) {
    if (category == evt::protocol::kEventSystemCategory || category == CCategorySeqNo::kSeqNoBaseCategory) {
      reason = "the category is reserved";
    } else if (category.empty()) {
      reason = "the category is empty";
    } else {
      reason = "invalid category, keys or data";
    }
  } else if (result == CE_E_NOT_CONNECTED || result == CE_E_STOPPING) {
    reason = "the event service is gone";
  } else {
    reason = "the library refused";
  }
  std::fprintf(stderr, "evt: cannot %s \"%s\": %s (0x%08X)\n", action, category.c_str(), reason.c_str(),
               ce::wordFromResult(result));
  return 1;
}

bool serviceAppears(std::chrono::milliseconds timeout) {
  const std::string path = serviceEndpoint();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return true;  // the client finds out for itself
    const bool reached = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
                         errno == EACCES || errno == EPERM;
    close(fd);
    if (reached) return true;
    if (g_interrupted || std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

EvtClient::EvtClient(const std::string& name, EventCallback onEvent)
    : m_onEvent(std::move(onEvent)), m_lib(name, this, this, this) {
  m_lib.initialize();
}

EvtClient::~EvtClient() { m_lib.finalize(); }

bool EvtClient::waitRegistered(std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!registered()) {
    if (g_interrupted || std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

bool EvtClient::flush(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(m_mutex);
  const long id = ++m_nextCompletion;
  lock.unlock();
  if (m_lib.execute(static_cast<unsigned long>(id)) < 0) return false;
  lock.lock();
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (m_lastCompleted < id) {
    const auto now = std::chrono::steady_clock::now();
    if (g_interrupted || now >= end) return false;
    m_completed.wait_until(lock, std::min(end, now + std::chrono::milliseconds(100)));
  }
  return true;
}

long EvtClient::onDeliverEvent(const std::string& category, const std::string& keys, const std::string& data,
                               unsigned long long seqNo, unsigned long serverId) {
  // The library's word that this client's own connection came or went: the
  // commands follow that themselves (registered()) and say it their way.
  const bool ownConnection = category == evt::protocol::kEventSystemCategory && serverId == m_lib.thisServerId() &&
                             (data == "connected" || data == "disconnected");
  if (m_onEvent && !ownConnection) m_onEvent(category, keys, data, seqNo, serverId);
  return 0;
}

long EvtClient::onCompleted(long first, long) {
  std::lock_guard<std::mutex> hold(m_mutex);
  if (first > m_lastCompleted) m_lastCompleted = first;
  m_completed.notify_all();
  return 0;
}

}  // namespace evt::tool
