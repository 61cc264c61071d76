// CZebIPCLibrary: the client side of the channel.
//
// No thread of its own reads the socket. Whoever waits for input reads it:
// the request thread waiting in receiveRequest, or a sender waiting for its
// answer. One of them at a time holds the read token (`m_reading`) and reads
// the next frame; a frame meant for the other (an answer, or a service
// request) is handed over under `m_mutex`, and the waiters are woken when the
// token is free again. A service request thus reaches the request thread
// without a thread switch in between. The connector thread only makes
// connections: the first attempt is made by initialize(), every later one by
// the connector, with backoff, after a loss.
//
// Locks: `m_mutex` guards the connection state, the exchange slot, the
// incoming queue and the token; `m_writeMutex` serialises writes. A writer
// takes m_writeMutex, then m_mutex briefly to check its connection is
// current. A socket is closed only under m_writeMutex, after it stopped being
// current, so no write can reach a descriptor that was closed and reused.
// `m_input` belongs to whoever holds the token.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "Library/CEResultCodes.h"
#include "platform/CPortable.h"
#include "platform/CZebIPCLibrary.h"
#include "platform/linux/Endpoint.h"
#include "protocol/Frame.h"
#include "protocol/FrameAssembler.h"
#include "platform/linux/Interrupted.h"
#include "trace/_Trace.h"

using evt::channel::Frame;
using Clock = std::chrono::steady_clock;

namespace {

constexpr unsigned kFirstBackoffMs = 20;
constexpr unsigned kMaxBackoffMs = 500;
// What one receive asks for: a batch of small frames in one system call.
constexpr std::size_t kReadChunk = 128 * 1024;

struct Incoming {
  long status = 0;  // ZEBIPC_CONNECTED / ZEBIPC_DISCONNECTED, or 0 for a request
  uint32_t generation = 0;
  Frame frame;
};

char* newText(const std::string& text) {
  char* copy = new char[text.size() + 1];
  std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

// Connects without blocking: a service that is alive but does not accept
// (its backlog full) fails the attempt at once instead of holding the
// caller, and finalize, for as long as it stalls. The connection itself is
// used blocking.
int connectTo(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Milliseconds from now to `deadline` for poll, at least 0.
int msUntil(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

}  // namespace

class CZebIPCLibrary::Impl {
 public:
  explicit Impl(std::string path) : m_path(std::move(path)) {}

  long initialize();
  // Sends `frame` with `length` bytes of `text` as its data.
  long write(uint32_t generation, bool current, const Frame& frame, const char* text, std::size_t length);
  // The answer to the open exchange. `wait` false: only what is in now; a
  // timeout then leaves the exchange open.
  long awaitAnswer(Frame* answer, bool wait);
  // The next status or request; item->frame.text's storage is reused.
  long nextIncoming(Incoming* item);
  long finalize();

  const std::string m_path;
  std::atomic<uint32_t> m_nextId{0};

 private:
  void connectorLoop();
  // Makes `fd` the current connection and reports it; m_mutex held.
  void adoptConnection(int fd);
  // With m_mutex held (through `lock`), the token free and a connection
  // current: takes the token and reads the next frame, waiting until
  // `deadline` at most. An answer goes to the exchange waiting for it; a
  // service request is left in *request (true returned) with its
  // connection's generation. A lost connection is closed and reported.
  // *timedOut (if given) tells that nothing whole came in time.
  bool readAsTokenHolder(std::unique_lock<std::mutex>& lock, const Clock::time_point* deadline,
                         Incoming* request, bool* timedOut = nullptr);
  // Reads from `fd` until m_input holds a whole frame; 0, ZEBIPC_E_TIMEOUT,
  // ZEBIPC_E_CONNECTION_LOST or ZEBIPC_E_BAD_FRAME. The token is held.
  long readFrame(int fd, const Clock::time_point* deadline, Frame* frame);
  void deliverAnswerLocked(Frame&& frame);
  // `fd` (of connection `generation`) is lost: it stops being current, and
  // the loss is reported; the caller closes it under m_writeMutex. m_mutex held.
  void forgetConnectionLocked(int fd, uint32_t generation);
  // Input of `fd` not yet handed on: buffered, or still in the socket (or
  // the socket cannot say). Only while nobody reads.
  bool unreadInput(int fd) const;

  std::mutex m_mutex;
  std::condition_variable m_changed;  // for the waiters for input
  std::condition_variable m_connectionLost;  // for the connector
  bool m_started = false;
  bool m_closed = false;
  int m_fd = -1;
  uint32_t m_generation = 0;
  bool m_reading = false;  // the read token
  // The exchange in progress: an answer, or why none will come.
  bool m_awaiting = false;
  bool m_answered = false;
  uint32_t m_awaitedId = 0;
  long m_exchangeFailure = 0;
  Frame m_answer;
  std::deque<Incoming> m_incoming;
  evt::channel::FrameAssembler m_input;  // bytes of the current connection read ahead
  bool m_inputDrained = false;           // the last read found the socket empty

  std::mutex m_writeMutex;
  std::mutex m_joinMutex;
  std::thread m_connector;
};

long CZebIPCLibrary::Impl::initialize() {
  if (!evt::channel::endpointFits(m_path)) return ZEBIPC_E_BAD_ENDPOINT;
  std::lock_guard<std::mutex> hold(m_mutex);
  if (m_closed) return ZEBIPC_CLOSED;
  if (!m_started) {
    m_started = true;
    // The first attempt is made here, so a caller whose service is up can
    // send at once.
    int fd = connectTo(m_path);
    if (fd >= 0) adoptConnection(fd);
    m_connector = std::thread([this] { connectorLoop(); });
  }
  return 0;
}

void CZebIPCLibrary::Impl::adoptConnection(int fd) {
  m_fd = fd;
  m_input = evt::channel::FrameAssembler();
  m_inputDrained = false;
  m_incoming.push_back(Incoming{ZEBIPC_CONNECTED, ++m_generation, Frame()});
  m_changed.notify_all();
}

void CZebIPCLibrary::Impl::connectorLoop() {
  CPortable::SetCurrentThreadName("ZebIPCConnect");
  unsigned backoffMs = kFirstBackoffMs;
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    m_connectionLost.wait(lock, [this] { return m_closed || m_fd < 0; });
    if (m_closed) return;
    if (m_connectionLost.wait_for(lock, std::chrono::milliseconds(backoffMs), [this] { return m_closed; })) return;
    lock.unlock();
    const int fd = connectTo(m_path);
    lock.lock();
    if (m_closed) {
      if (fd >= 0) close(fd);
      return;
    }
    if (fd >= 0) {
      adoptConnection(fd);
      backoffMs = kFirstBackoffMs;
    } else {
      backoffMs = std::min(backoffMs * 2, kMaxBackoffMs);
    }
  }
}

long CZebIPCLibrary::Impl::readFrame(int fd, const Clock::time_point* deadline, Frame* frame) {
  for (;;) {
    switch (m_input.next(frame)) {
      case evt::channel::FrameAssembler::COMPLETE: return 0;
      case evt::channel::FrameAssembler::BAD: return ZEBIPC_E_BAD_FRAME;
      case evt::channel::FrameAssembler::NEED_MORE: break;
    }
    if (m_inputDrained) {
      // The last read emptied the socket: wait for input before reading
      // again, in poll rather than in a blocking recv. A thread asleep in
      // recv is woken each time the service reads what this side wrote (the
      // socket's room grew), to find nothing and sleep again; poll wakes
      // for input only. What was read of a frame stays buffered for the next
      // reader.
      pollfd pfd{fd, POLLIN, 0};
      const int ready = evt::platform::retryInterrupted(
          [&] { return poll(&pfd, 1, deadline != nullptr ? msUntil(*deadline) : -1); });
      if (ready == 0) return ZEBIPC_E_TIMEOUT;
      if (ready < 0) return ZEBIPC_E_CONNECTION_LOST;
      m_inputDrained = false;
    }
    char* into = m_input.room(kReadChunk);
    const ssize_t n = evt::platform::retryInterrupted([&] { return ::recv(fd, into, kReadChunk, MSG_DONTWAIT); });
    if (n > 0) {
      m_input.received(static_cast<std::size_t>(n));
      // Less than asked for: the socket is empty now, and a read before
      // the next wait would only say so.
      m_inputDrained = static_cast<std::size_t>(n) < kReadChunk;
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return ZEBIPC_E_CONNECTION_LOST;
    m_inputDrained = true;
  }
}

bool CZebIPCLibrary::Impl::readAsTokenHolder(std::unique_lock<std::mutex>& lock, const Clock::time_point* deadline,
                                             Incoming* request, bool* timedOut) {
  m_reading = true;
  const int fd = m_fd;
  const uint32_t generation = m_generation;
  lock.unlock();
  long result = readFrame(fd, deadline, &request->frame);
  if (timedOut != nullptr) *timedOut = result == ZEBIPC_E_TIMEOUT;
  if (result == ZEBIPC_E_BAD_FRAME) {
    evtLog(KelLogLib::LOGLIB_PRIORITY_ERROR, "(Error) CZebIPCLibrary: malformed frame from %s, reconnecting",
           m_path.c_str());
  }
  bool isRequest = false;
  if (result == 0 || result == ZEBIPC_E_TIMEOUT) {
    lock.lock();
    if (result == 0 && request->frame.kind == evt::channel::FRAME_CLIENT_ANSWER) {
      deliverAnswerLocked(std::move(request->frame));
    } else if (result == 0 && request->frame.kind == evt::channel::FRAME_SERVICE_REQUEST) {
      request->status = 0;
      request->generation = generation;
      isRequest = true;
    }
  } else {
    lock.lock();
    if (m_fd == fd) forgetConnectionLocked(fd, generation);
    lock.unlock();
    {
      std::lock_guard<std::mutex> writing(m_writeMutex);
      close(fd);
    }
    lock.lock();
  }
  m_reading = false;
  m_changed.notify_all();  // another waiter may read now
  return isRequest;
}

bool CZebIPCLibrary::Impl::unreadInput(int fd) const {
  int queued = 0;
  return m_input.buffered() > 0 || ioctl(fd, FIONREAD, &queued) != 0 || queued > 0;
}

void CZebIPCLibrary::Impl::forgetConnectionLocked(int fd, uint32_t generation) {
  m_fd = -1;                // the connector makes the next one
  shutdown(fd, SHUT_RDWR);  // a writer blocked on this socket returns now
  if (m_awaiting && !m_answered) m_exchangeFailure = ZEBIPC_E_CONNECTION_LOST;
  if (!m_closed) m_incoming.push_back(Incoming{ZEBIPC_DISCONNECTED, generation, Frame()});
  m_changed.notify_all();
  m_connectionLost.notify_one();
}

void CZebIPCLibrary::Impl::deliverAnswerLocked(Frame&& frame) {
  // An answer to an earlier exchange that gave up (timed out) is dropped;
  // any other is handed to the waiter, which checks the id itself.
  const bool stale = static_cast<int32_t>(m_awaitedId - frame.requestId) > 0;
  if (m_awaiting && !m_answered && !stale) {
    m_answer = std::move(frame);
    m_answered = true;
    m_changed.notify_all();
  }
}

long CZebIPCLibrary::Impl::write(uint32_t generation, bool current, const Frame& frame, const char* text,
                                 std::size_t length) {
  if (length + 1 > evt::channel::kMaxFrameData) return ZEBIPC_E_TOO_LARGE;
  std::lock_guard<std::mutex> writing(m_writeMutex);
  int fd;
  {
    std::lock_guard<std::mutex> hold(m_mutex);
    if (m_closed) return ZEBIPC_CLOSED;
    if (m_fd < 0 || (!current && generation != m_generation)) return ZEBIPC_E_NOT_CONNECTED;
    fd = m_fd;
    if (current && frame.kind == evt::channel::FRAME_CLIENT_REQUEST) {
      m_awaiting = true;
      m_answered = false;
      m_awaitedId = frame.requestId;
      m_exchangeFailure = 0;
    }
  }
  if (evt::channel::writeFrame(fd, frame, text, length)) return 0;
  std::lock_guard<std::mutex> hold(m_mutex);
  m_awaiting = false;
  if (m_fd == fd && !m_reading && !unreadInput(fd)) {
    // Nobody reads that would see the loss, and nothing is left to read: it
    // is seen here. No write is using the socket (m_writeMutex is held), and
    // nobody can read it now.
    forgetConnectionLocked(fd, m_generation);
    close(fd);
  } else if (m_fd == fd) {
    // The reader sees the loss once it has read what the service sent
    // before it went (a stopping service's last events among it), which
    // the socket still holds after the shutdown.
    shutdown(fd, SHUT_RDWR);
  }
  return ZEBIPC_E_CONNECTION_LOST;
}

long CZebIPCLibrary::Impl::awaitAnswer(Frame* answer, bool wait) {
  std::unique_lock<std::mutex> lock(m_mutex);
  if (!m_awaiting) return m_closed ? ZEBIPC_CLOSED : ZEBIPC_E_NOT_CONNECTED;
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(wait ? kResponseTimeoutMs : 0);
  long result = 0;
  bool drained = false;  // without waiting: no whole frame is left to read
  for (;;) {
    if (m_closed) {
      result = ZEBIPC_CLOSED;
    } else if (m_answered) {
      *answer = std::move(m_answer);
    } else if (m_exchangeFailure != 0) {
      result = m_exchangeFailure;
    } else if (!wait && drained) {
      return ZEBIPC_E_TIMEOUT;  // still awaited
    } else if (wait && Clock::now() >= deadline) {
      result = ZEBIPC_E_TIMEOUT;
    } else if (!m_reading && m_fd >= 0) {
      Incoming request;
      if (readAsTokenHolder(lock, &deadline, &request, &drained)) {
        // For the request thread, after whatever it has not taken yet.
        m_incoming.push_back(std::move(request));
        m_changed.notify_all();
      }
      continue;
    } else if (!wait) {
      return ZEBIPC_E_TIMEOUT;  // another thread reads: the answer is not in
    } else {
      m_changed.wait_until(lock, deadline);
      continue;
    }
    break;
  }
  m_awaiting = false;
  return result;
}

long CZebIPCLibrary::Impl::nextIncoming(Incoming* item) {
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    if (m_closed) return ZEBIPC_CLOSED;
    if (!m_incoming.empty()) {
      *item = std::move(m_incoming.front());
      m_incoming.pop_front();
      return item->status;
    }
    // Only the token holder adds requests, so with the queue empty, the
    // frame read now is the next one in order.
    if (!m_reading && m_fd >= 0) {
      if (readAsTokenHolder(lock, nullptr, item) && !m_closed) return 0;
      continue;
    }
    m_changed.wait(lock);
  }
}

long CZebIPCLibrary::Impl::finalize() {
  {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_closed) {
      m_closed = true;
      if (m_fd >= 0) shutdown(m_fd, SHUT_RDWR);  // a reader or writer on it returns now
      m_changed.notify_all();
      m_connectionLost.notify_one();
    }
    // A reader closes what it read from; a connection nobody reads is closed here.
    m_changed.wait(lock, [this] { return !m_reading; });
    if (m_fd >= 0) {
      const int fd = m_fd;
      m_fd = -1;
      lock.unlock();
      std::lock_guard<std::mutex> writing(m_writeMutex);
      close(fd);
    }
  }
  std::lock_guard<std::mutex> joining(m_joinMutex);
  if (m_connector.joinable() && m_connector.get_id() != std::this_thread::get_id()) m_connector.join();
  return 0;
}

CZebIPCLibrary::CZebIPCLibrary(const std::string& name, const std::string& id, int, unsigned long,
                               unsigned long, unsigned long)
    : m_pImpl(new Impl(evt::channel::endpointPath(name, id))) {}

CZebIPCLibrary::~CZebIPCLibrary() { finalize(); }

long CZebIPCLibrary::initialize() { return m_pImpl->initialize(); }

long CZebIPCLibrary::sendRequest(unsigned long, const char* data, unsigned long length, unsigned long* id, int,
                                 const char* header) {
  Frame frame;
  frame.kind = evt::channel::FRAME_CLIENT_REQUEST;
  frame.requestId = ++m_pImpl->m_nextId;
  if (header != nullptr) std::memcpy(frame.header, header, sizeof frame.header);
  if (id != nullptr) *id = frame.requestId;
  // The text goes out from the caller's buffer, not copied into the frame.
  return m_pImpl->write(0, true, frame, data != nullptr ? data : "", channelTextLength(data, length));
}

long CZebIPCLibrary::receiveResponse(unsigned long*, char** data, unsigned long* length, unsigned long* id,
                                     char* header) {
  if (data != nullptr) *data = nullptr;
  std::string text;
  long result = receiveResponse(&text, id, header);
  if (result != 0) return result;
  if (data != nullptr && !text.empty()) *data = newText(text);
  if (length != nullptr) *length = static_cast<unsigned long>(text.size() + 1);
  return 0;
}

namespace {

long handOver(long result, Frame& answer, std::string* text, unsigned long* id, char* header) {
  if (result != 0) return result;
  if (text != nullptr) *text = std::move(answer.text);
  if (id != nullptr) *id = answer.requestId;
  if (header != nullptr) std::memcpy(header, answer.header, sizeof answer.header);
  return 0;
}

}  // namespace

long CZebIPCLibrary::receiveResponse(std::string* text, unsigned long* id, char* header) {
  Frame answer;
  return handOver(m_pImpl->awaitAnswer(&answer, true), answer, text, id, header);
}

long CZebIPCLibrary::pollResponse(std::string* text, unsigned long* id, char* header) {
  Frame answer;
  return handOver(m_pImpl->awaitAnswer(&answer, false), answer, text, id, header);
}

long CZebIPCLibrary::receiveRequest(unsigned long* a, unsigned long* b, char** data, unsigned long* length,
                                    int* noResponse, char* header) {
  if (data != nullptr) *data = nullptr;
  std::string text;
  long result = receiveRequest(a, b, &text, noResponse, header);
  if (result != 0) return result;
  if (data != nullptr) *data = newText(text);
  if (length != nullptr) *length = static_cast<unsigned long>(text.size() + 1);
  return 0;
}

long CZebIPCLibrary::receiveRequest(unsigned long* a, unsigned long* b, std::string* text, int* noResponse,
                                    char* header) {
  Incoming item;
  if (text != nullptr) item.frame.text.swap(*text);  // its storage takes the next text
  long result = m_pImpl->nextIncoming(&item);
  if (text != nullptr) text->swap(item.frame.text);
  if (result != 0) return result;
  if (a != nullptr) *a = item.generation;
  if (b != nullptr) *b = item.frame.requestId;
  if (noResponse != nullptr) *noResponse = item.frame.noResponse != 0 ? 1 : 0;
  if (header != nullptr) std::memcpy(header, item.frame.header, sizeof item.frame.header);
  return 0;
}

long CZebIPCLibrary::sendResponse(unsigned long a, unsigned long b, const char* data, unsigned long length,
                                  const char* header) {
  Frame frame;
  frame.kind = evt::channel::FRAME_SERVICE_ANSWER;
  frame.requestId = static_cast<uint32_t>(b);
  if (header != nullptr) std::memcpy(frame.header, header, sizeof frame.header);
  return m_pImpl->write(static_cast<uint32_t>(a), false, frame, data != nullptr ? data : "", channelTextLength(data, length));
}

long CZebIPCLibrary::finalize() { return m_pImpl->finalize(); }

const std::string& CZebIPCLibrary::endpoint() const { return m_pImpl->m_path; }
