#include "protocol/ChannelServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Library/CEResultCodes.h"
#include "platform/linux/AccessGroup.h"
#include "platform/linux/Endpoint.h"
#include "platform/linux/Interrupted.h"
#include "trace/_Trace.h"

namespace evt::channel {
namespace {

sockaddr_un addressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

// True when a process accepts connections at `path`.
bool someoneListens(const sockaddr_un& address) {
  int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  bool live = connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(probe);
  return live;
}

long socketFailure(const char* call, const std::string& path, std::string* failure) {
  *failure = std::string(call) + " " + path + ": " + std::strerror(errno);
  evtLog(KelLogLib::LOGLIB_PRIORITY_ERROR, "(Error) ChannelListener::listen %s", failure->c_str());
  return ZEBIPC_E_SOCKET;
}

// A socket folder the listener did not make is used only when nobody but
// its owner (this user or root) and the access group may put anything in
// it: anyone else could replace the socket with one of their own and read
// what the clients send. Returns the reason it is refused, or null.
const char* unsafeFolder(const std::string& dir, struct stat* info) {
  if (lstat(dir.c_str(), info) != 0) return std::strerror(errno);
  if (!S_ISDIR(info->st_mode)) return "is not a folder";
  if (info->st_uid != geteuid() && info->st_uid != 0) return "belongs to another user";
  if ((info->st_mode & S_IWOTH) != 0) return "may be written by anyone";
  if ((info->st_mode & S_IWGRP) != 0 && info->st_gid != getegid() && info->st_gid != evt::platform::accessGroupId())
    return "may be written by a group other than the service's";
  return nullptr;
}

}  // namespace

long ChannelListener::listen() {
  m_failure.clear();
  if (!endpointFits(m_path)) return ZEBIPC_E_BAD_ENDPOINT;
  std::string dir = m_path.substr(0, m_path.rfind('/'));
  if (!dir.empty()) {
    if (mkdir(dir.c_str(), 0750) == 0) {
      evt::platform::shareWithAccessGroup(dir, 0750);
    } else if (errno != EEXIST) {
      return socketFailure("mkdir", dir, &m_failure);
    } else {
      struct stat info {};
      if (const char* problem = unsafeFolder(dir, &info)) {
        char text[512];
        std::snprintf(text, sizeof text,
                      "the socket folder %s %s (owner uid %u, mode %04o), refused; use a folder only this user or "
                      "root may write",
                      dir.c_str(), problem, static_cast<unsigned>(info.st_uid),
                      static_cast<unsigned>(info.st_mode & 07777));
        m_failure = text;
        evtLog(KelLogLib::LOGLIB_PRIORITY_ERROR, "(Error) ChannelListener::listen %s", text);
        errno = EACCES;
        return ZEBIPC_E_SOCKET;
      }
    }
  }

  sockaddr_un address = addressOf(m_path);
  if (someoneListens(address)) return ZEBIPC_E_IN_USE;
  // Only a stale socket of a service that died is replaced, never a file or
  // anything else that happens to be at the path.
  struct stat existing {};
  if (lstat(m_path.c_str(), &existing) == 0) {
    if (!S_ISSOCK(existing.st_mode)) {
      errno = EEXIST;
      m_failure = m_path + " exists and is not a socket";
      evtLog(KelLogLib::LOGLIB_PRIORITY_ERROR, "(Error) ChannelListener::listen %s", m_failure.c_str());
      return ZEBIPC_E_SOCKET;
    }
    unlink(m_path.c_str());
  }

  m_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (m_fd < 0) return socketFailure("socket", m_path, &m_failure);
  if (bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      !evt::platform::shareWithAccessGroup(m_path, 0660) || ::listen(m_fd, 64) != 0) {
    long result = socketFailure("bind", m_path, &m_failure);
    ::close(m_fd);
    m_fd = -1;
    return result;
  }
  return 0;
}

int ChannelListener::accept(int timeoutMs) {
  if (m_fd < 0) return -1;
  pollfd pfd{m_fd, POLLIN, 0};
  const int ready = evt::platform::retryInterrupted([&] { return poll(&pfd, 1, timeoutMs); });
  if (ready <= 0) return -1;
  return ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
}

long ChannelListener::adopt(int fd) {
  int listening = 0, type = 0;
  socklen_t size = sizeof listening;
  sockaddr_un address{};
  socklen_t addressSize = sizeof address;
  if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || listening == 0 ||
      (size = sizeof type, getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0) || type != SOCK_STREAM ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &addressSize) != 0 || address.sun_family != AF_UNIX) {
    evtLog(KelLogLib::LOGLIB_PRIORITY_ERROR,
           "(Error) ChannelListener::adopt descriptor %d is not a listening Unix stream socket", fd);
    return ZEBIPC_E_SOCKET;
  }
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  m_fd = fd;
  m_adopted = true;
  return 0;
}

void ChannelListener::close() {
  if (m_fd < 0) return;
  ::close(m_fd);
  m_fd = -1;
  if (!m_adopted) unlink(m_path.c_str());
}

FrameConnection::~FrameConnection() {
  if (m_fd >= 0) ::close(m_fd);
}

long FrameConnection::write(const Frame& frame) { return writeBytes(encodeFrame(frame)); }

long FrameConnection::writeBytes(const std::string& bytes) {
  std::lock_guard<std::mutex> hold(m_writeMutex);
  return writeAll(m_fd, bytes) ? 0 : ZEBIPC_E_CONNECTION_LOST;
}

void FrameConnection::shutdown() { ::shutdown(m_fd, SHUT_RDWR); }

int FrameConnection::peerPid() const {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (getsockopt(m_fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) return -1;
  return credentials.pid;
}

}  // namespace evt::channel
