// The metrics endpoint: a small HTTP/1.1 server on its own thread, serving
// the service's metrics text at GET /metrics to one connection at a time.
// It listens on loopback (HOST:PORT) or at a Unix socket path, and never
// touches the service's tables: on a scrape it asks the service loop for a
// fresh text through wakeFd() and waits for publish(); a text made within
// the last 100 ms is served again without asking, so scrapes cannot keep
// the loop busy. A scrape the loop does not answer within a second gets
// 503, so that a stuck eventd shows as down rather than as idle.
//
// Why not an HTTP library: this serves one read-only path, closing every
// connection, with a deadline per connection; the libraries Debian has
// (civetweb among them) bring a thread pool, file serving and
// configuration a daemon's attack surface does not need, for less code
// than this file holds.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace evt::service {

class MetricsEndpoint {
 public:
  // Listens at `address`: "HOST:PORT" with HOST a loopback address (or
  // "localhost"), "[::1]:PORT", or a path holding a '/' for a Unix socket
  // (mode 0660, given to the access group). Null with `error` set when it
  // cannot. Serving begins with start().
  static std::unique_ptr<MetricsEndpoint> open(const std::string& address, std::string* error);
  ~MetricsEndpoint();  // stops the thread, closes the sockets, removes a Unix socket it made
  MetricsEndpoint(const MetricsEndpoint&) = delete;
  MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

  void start();
  // Where it listens, as the operator would write it (the port chosen when 0 was asked).
  const std::string& address() const { return m_address; }

  // The service loop's side. wakeFd() is readable when a scrape waits for
  // a text; takeRequest() clears it and says whether one does; publish()
  // hands the text over.
  int wakeFd() const { return m_wakeFd; }
  bool takeRequest();
  void publish(std::string text);

 private:
  MetricsEndpoint() = default;
  void serve();
  void answer(int connection);
  // The latest text, fresh enough; false when the loop did not give one in time.
  bool snapshot(std::string* text);

  int m_listenFd = -1;
  int m_wakeFd = -1;  // eventfd: a scrape waits
  int m_stopFd = -1;  // eventfd: the thread must end
  std::string m_address;
  std::string m_unixPath;  // removed on close
  std::thread m_thread;

  std::mutex m_mutex;
  std::condition_variable m_published;
  uint64_t m_asked = 0;       // snapshots asked for
  uint64_t m_given = 0;       // snapshots published
  std::string m_text;
  std::chrono::steady_clock::time_point m_madeAt;
};

}  // namespace evt::service
