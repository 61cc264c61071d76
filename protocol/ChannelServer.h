// The service's side of the channel: the listening endpoint and blocking frame
// I/O on accepted connections. The service and the tests' fake service use it.
#pragma once

#include <mutex>
#include <string>

#include "protocol/Frame.h"

namespace evt::channel {

// Owns the listening socket at one endpoint path.
class ChannelListener {
 public:
  explicit ChannelListener(std::string path) : m_path(std::move(path)) {}
  ~ChannelListener() { close(); }
  ChannelListener(const ChannelListener&) = delete;
  ChannelListener& operator=(const ChannelListener&) = delete;

  // Creates the directory (0750) when missing and listens at the path (0660).
  // A directory that exists is used only when no one but its owner (this
  // user or root) and the access group may write it. A stale socket file
  // left by a dead service is replaced; a live one is not: ZEBIPC_E_IN_USE.
  // Other failures: ZEBIPC_E_BAD_ENDPOINT or ZEBIPC_E_SOCKET, said by
  // failure().
  long listen();
  // Why the last listen() failed, for the operator ("" after success).
  const std::string& failure() const { return m_failure; }
  // An accepted connection's descriptor, or -1 when none came within
  // `timeoutMs` (< 0: no limit) or the listener was closed.
  int accept(int timeoutMs);
  // Serves on `fd`, a listening Unix stream socket handed over by whoever
  // made it (a service manager): it owns the path, which close() leaves.
  // ZEBIPC_E_SOCKET (logged) when `fd` is no such socket.
  long adopt(int fd);
  // Stops listening and removes the socket file (one it made).
  void close();

  int fd() const { return m_fd; }
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
  int m_fd = -1;
  bool m_adopted = false;  // the socket file is not this object's
  std::string m_failure;
};

// One accepted connection. Reads come from one thread; writes may come from
// several (they are serialised).
class FrameConnection {
 public:
  explicit FrameConnection(int fd) : m_fd(fd) {}
  ~FrameConnection();
  FrameConnection(const FrameConnection&) = delete;
  FrameConnection& operator=(const FrameConnection&) = delete;

  long read(Frame* frame, int timeoutMs) { return readFrame(m_fd, frame, timeoutMs); }
  // 0, or ZEBIPC_E_CONNECTION_LOST.
  long write(const Frame& frame);
  long writeBytes(const std::string& bytes);
  // Ends the connection for both sides; a blocked read returns.
  void shutdown();
  // The peer's process id (SO_PEERCRED), or -1.
  int peerPid() const;

 private:
  int m_fd;
  std::mutex m_writeMutex;
};

}  // namespace evt::channel
