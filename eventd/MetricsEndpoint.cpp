#include "eventd/MetricsEndpoint.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string_view>

#include "eventd/ServiceLog.h"
#include "platform/linux/AccessGroup.h"
#include "platform/linux/Interrupted.h"

namespace evt::service {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kReuseFor = std::chrono::milliseconds(100);  // a text this young is served again
constexpr auto kLoopAnswer = std::chrono::seconds(1);       // the loop's time to make a text
constexpr auto kConnectionTime = std::chrono::seconds(3);   // a scraper's whole exchange
constexpr std::size_t kMaxRequestBytes = 8192;

bool isLoopback(const sockaddr* address) {
  if (address->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(address);
    return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
  }
  if (address->sa_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
    return IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr);
  }
  return false;
}

// Waits until `fd` is ready for `events` or `deadline` passes (false).
bool awaitReady(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd one{fd, events, 0};
    const int ready = poll(&one, 1, static_cast<int>(left));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

// Writes all of `text` by `deadline`; false when the peer is gone or too slow.
bool writeAll(int fd, std::string_view text, Clock::time_point deadline) {
  while (!text.empty()) {
    const ssize_t wrote = send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (wrote > 0) {
      text.remove_prefix(static_cast<std::size_t>(wrote));
    } else if (wrote < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (!awaitReady(fd, POLLOUT, deadline)) return false;
    } else {
      return false;
    }
  }
  return true;
}

std::string response(const char* status, const char* contentType, std::string_view body, bool withBody) {
  std::string text = std::string("HTTP/1.1 ") + status + "\r\nContent-Type: " + contentType +
                     "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
  if (withBody) text.append(body);
  return text;
}

// Binds a listening socket for "HOST:PORT" on loopback; -1 with `error` set.
int listenTcp(const std::string& address, std::string* bound, std::string* error) {
  const std::size_t colon = address.rfind(':');
  if (colon == std::string::npos || colon + 1 == address.size()) {
    *error = "expected HOST:PORT or a socket path, got '" + address + "'";
    return -1;
  }
  std::string host = address.substr(0, colon);
  const std::string port = address.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int failed = getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &found);
  if (failed != 0) {
    *error = "cannot resolve '" + address + "': " + gai_strerror(failed);
    return -1;
  }
  int fd = -1;
  for (addrinfo* candidate = found; candidate != nullptr && fd < 0; candidate = candidate->ai_next) {
    if (!isLoopback(candidate->ai_addr)) {
      *error = "'" + address + "' is not a loopback address; metrics are served on loopback or at a socket path "
               "only (put a proxy in front to reach them from elsewhere)";
      continue;
    }
    fd = socket(candidate->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) continue;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, candidate->ai_addr, candidate->ai_addrlen) != 0 || listen(fd, 16) != 0) {
      *error = "cannot listen at " + address + ": " + std::strerror(errno);
      ::close(fd);
      fd = -1;
      continue;
    }
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    char text[INET6_ADDRSTRLEN] = "";
    const bool v6 = local.ss_family == AF_INET6;
    const void* raw = v6 ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(&local)->sin6_addr)
                         : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(&local)->sin_addr);
    inet_ntop(local.ss_family, raw, text, sizeof text);
    const unsigned portNumber = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&local)->sin6_port
                                         : reinterpret_cast<sockaddr_in*>(&local)->sin_port);
    *bound = (v6 ? "[" + std::string(text) + "]" : std::string(text)) + ":" + std::to_string(portNumber);
  }
  freeaddrinfo(found);
  if (fd < 0 && error->empty()) *error = "no address to listen at for '" + address + "'";
  return fd;
}

// A Unix socket at `path`; a stale socket left there is replaced, a live one is not.
int listenUnix(const std::string& path, std::string* error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    *error = "socket path too long: " + path;
    return -1;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::strerror(errno);
    return -1;
  }
  struct stat info {};
  if (lstat(path.c_str(), &info) == 0) {
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool live = S_ISSOCK(info.st_mode) &&
                      connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    if (live || !S_ISSOCK(info.st_mode)) {
      *error = path + (live ? " is in use by another process" : " exists and is not a socket");
      ::close(fd);
      return -1;
    }
    unlink(path.c_str());
  }
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || listen(fd, 16) != 0) {
    *error = "cannot listen at " + path + ": " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  if (!evt::platform::shareWithAccessGroup(path, 0660)) {
    *error = "cannot give " + path + " to the access group: " + std::strerror(errno);
    ::close(fd);
    unlink(path.c_str());
    return -1;
  }
  return fd;
}

}  // namespace

std::unique_ptr<MetricsEndpoint> MetricsEndpoint::open(const std::string& address, std::string* error) {
  std::unique_ptr<MetricsEndpoint> endpoint(new MetricsEndpoint());
  const bool unixSocket = address.find('/') != std::string::npos;
  endpoint->m_listenFd = unixSocket ? listenUnix(address, error) : listenTcp(address, &endpoint->m_address, error);
  if (endpoint->m_listenFd < 0) return nullptr;
  if (unixSocket) endpoint->m_address = endpoint->m_unixPath = address;
  endpoint->m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  endpoint->m_stopFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (endpoint->m_wakeFd < 0 || endpoint->m_stopFd < 0) {
    *error = std::string("cannot make an eventfd: ") + std::strerror(errno);
    return nullptr;
  }
  return endpoint;
}

MetricsEndpoint::~MetricsEndpoint() {
  if (m_thread.joinable()) {
    const uint64_t one = 1;
    if (write(m_stopFd, &one, sizeof one) < 0) logError("cannot stop the metrics thread: %s", std::strerror(errno));
    m_published.notify_all();
    m_thread.join();
  }
  for (int fd : {m_listenFd, m_wakeFd, m_stopFd}) {
    if (fd >= 0) ::close(fd);
  }
  if (!m_unixPath.empty()) unlink(m_unixPath.c_str());
}

void MetricsEndpoint::start() {
  m_thread = std::thread([this] { serve(); });
}

bool MetricsEndpoint::takeRequest() {
  uint64_t count = 0;
  return read(m_wakeFd, &count, sizeof count) == static_cast<ssize_t>(sizeof count);
}

void MetricsEndpoint::publish(std::string text) {
  {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_text = std::move(text);
    m_madeAt = Clock::now();
    m_given = m_asked;
  }
  m_published.notify_all();
}

bool MetricsEndpoint::snapshot(std::string* text) {
  std::unique_lock<std::mutex> lock(m_mutex);
  if (m_given != 0 && Clock::now() - m_madeAt < kReuseFor) {
    *text = m_text;
    return true;
  }
  const uint64_t wanted = ++m_asked;
  const uint64_t one = 1;
  if (write(m_wakeFd, &one, sizeof one) < 0 && errno != EAGAIN) return false;
  if (!m_published.wait_for(lock, kLoopAnswer, [&] { return m_given >= wanted; })) return false;
  *text = m_text;
  return true;
}

void MetricsEndpoint::serve() {
  // The loop's signals stay blocked here as in every thread (eventd blocked
  // them before starting it).
  pollfd watched[2] = {{m_listenFd, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
  for (;;) {
    watched[0].revents = watched[1].revents = 0;
    if (poll(watched, 2, -1) < 0) {
      if (errno == EINTR) continue;
      logError("metrics endpoint: poll failed: %s", std::strerror(errno));
      return;
    }
    if (watched[1].revents != 0) return;
    if (watched[0].revents == 0) continue;
    const int connection = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (connection < 0) continue;  // gone already, or out of descriptors for now
    answer(connection);
    ::close(connection);
  }
}

void MetricsEndpoint::answer(int connection) {
  const Clock::time_point deadline = Clock::now() + kConnectionTime;
  std::string request;
  char buffer[2048];
  // The request line and headers; a body, which no GET has, is not read.
  while (request.find("\r\n\r\n") == std::string::npos && request.find("\n\n") == std::string::npos) {
    if (request.size() > kMaxRequestBytes) {
      writeAll(connection, response("431 Request Header Fields Too Large", "text/plain", "request too large\n", true),
               deadline);
      return;
    }
    const ssize_t got = recv(connection, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got > 0) {
      request.append(buffer, static_cast<std::size_t>(got));
    } else if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (!awaitReady(connection, POLLIN, deadline)) return;  // too slow: closed without a word
    } else {
      return;
    }
  }
  const std::string_view line(request.data(), request.find_first_of("\r\n"));
  const std::size_t space = line.find(' ');
  const std::string_view method = line.substr(0, space);
  std::string_view target = space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
  target = target.substr(0, target.find(' '));
  const std::string_view path = target.substr(0, target.find('?'));
  const bool head = method == "HEAD";
  if (method != "GET" && !head) {
    writeAll(connection, response("405 Method Not Allowed", "text/plain", "only GET and HEAD are served\n", true),
             deadline);
  } else if (path == "/metrics") {
    std::string text;
    if (snapshot(&text)) {
      writeAll(connection, response("200 OK", "text/plain; version=0.0.4; charset=utf-8", text, !head), deadline);
    } else {
      writeAll(connection,
               response("503 Service Unavailable", "text/plain", "eventd's loop did not answer within a second\n",
                        !head),
               deadline);
    }
  } else if (path == "/") {
    writeAll(connection, response("200 OK", "text/plain", "eventd: metrics are at /metrics\n", !head), deadline);
  } else {
    writeAll(connection, response("404 Not Found", "text/plain", "not found; metrics are at /metrics\n", !head),
             deadline);
  }
}

}  // namespace evt::service
