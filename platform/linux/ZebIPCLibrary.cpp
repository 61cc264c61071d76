// CZebIPCLibrary: the client side of the channel.
//
// Locks: `m_mutex` guards the connection state, the exchange slot and the
// incoming queue; `m_writeMutex` serialises writes. A writer takes
// m_writeMutex, then m_mutex briefly to check its connection is current; the
// reader never holds both, and closes a socket only under m_writeMutex, so no
// write can reach a descriptor that was closed and reused.
#include <fcntl.h>
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
#include "platform/linux/Frame.h"
#include "trace/_Trace.h"

using evt::channel::Frame;

namespace {

constexpr unsigned kFirstBackoffMs = 20;
constexpr unsigned kMaxBackoffMs = 500;

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

}  // namespace

class CZebIPCLibrary::Impl {
 public:
  explicit Impl(std::string path) : m_path(std::move(path)) {}

  long initialize();
  // Sends `frame` with `length` bytes of `text` as its data.
  long write(uint32_t generation, bool current, const Frame& frame, const char* text, std::size_t length);
  long awaitAnswer(Frame* answer);
  long nextIncoming(Incoming* item);
  long finalize();

  const std::string m_path;
  std::atomic<uint32_t> m_nextId{0};

 private:
  void readerLoop(int firstFd);
  // Makes `fd` the current connection and reports it; m_mutex held.
  uint32_t adoptConnection(int fd);
  void serveConnection(int fd, uint32_t generation);
  void deliver(Frame&& frame, uint32_t generation);

  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_started = false;
  bool m_closed = false;
  int m_fd = -1;
  uint32_t m_generation = 0;
  // The exchange in progress: an answer, or why none will come.
  bool m_awaiting = false;
  bool m_answered = false;
  uint32_t m_awaitedId = 0;
  long m_exchangeFailure = 0;
  Frame m_answer;
  std::deque<Incoming> m_incoming;

  std::mutex m_writeMutex;
  std::mutex m_joinMutex;
  std::thread m_reader;
};

long CZebIPCLibrary::Impl::initialize() {
  if (!evt::channel::endpointFits(m_path)) return ZEBIPC_E_BAD_ENDPOINT;
  std::lock_guard<std::mutex> hold(m_mutex);
  if (m_closed) return ZEBIPC_CLOSED;
  if (!m_started) {
    m_started = true;
    // The first attempt is made here, so a caller whose service is up can
    // send at once; the reader serves it and makes every later attempt.
    int fd = connectTo(m_path);
    if (fd >= 0) adoptConnection(fd);
    m_reader = std::thread([this, fd] { readerLoop(fd); });
  }
  return 0;
}

uint32_t CZebIPCLibrary::Impl::adoptConnection(int fd) {
  m_fd = fd;
  uint32_t generation = ++m_generation;
  m_incoming.push_back(Incoming{ZEBIPC_CONNECTED, generation, Frame()});
  m_changed.notify_all();
  return generation;
}

// `fd`, when valid, is the connection initialize() made and reported.
void CZebIPCLibrary::Impl::readerLoop(int fd) {
  CPortable::SetCurrentThreadName("ZebIPCReader");
  bool reported = fd >= 0;
  unsigned backoffMs = kFirstBackoffMs;
  for (;;) {
    if (fd >= 0) {
      uint32_t generation = 0;
      bool closed;
      {
        std::lock_guard<std::mutex> hold(m_mutex);
        closed = m_closed;
        if (closed)
          m_fd = -1;
        else
          generation = reported ? m_generation : adoptConnection(fd);
      }
      if (closed) {
        std::lock_guard<std::mutex> writing(m_writeMutex);  // no write is still using it
        close(fd);
        return;
      }
      serveConnection(fd, generation);
      backoffMs = kFirstBackoffMs;
    }
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      if (m_changed.wait_for(lock, std::chrono::milliseconds(backoffMs), [this] { return m_closed; })) return;
    }
    backoffMs = std::min(backoffMs * 2, kMaxBackoffMs);
    fd = connectTo(m_path);
    reported = false;
  }
}

void CZebIPCLibrary::Impl::serveConnection(int fd, uint32_t generation) {
  for (;;) {
    Frame frame;
    long result = evt::channel::readFrame(fd, &frame, -1);
    if (result == ZEBIPC_E_BAD_FRAME) {
      evtLog(KelLogLib::LOGLIB_PRIORITY_ERROR, "(Error) CZebIPCLibrary: malformed frame from %s, reconnecting",
             m_path.c_str());
    }
    if (result != 0) break;
    deliver(std::move(frame), generation);
  }
  {
    std::lock_guard<std::mutex> hold(m_mutex);
    m_fd = -1;
    shutdown(fd, SHUT_RDWR);  // a writer blocked on this socket returns now
    if (m_awaiting && !m_answered) m_exchangeFailure = ZEBIPC_E_CONNECTION_LOST;
    if (!m_closed) m_incoming.push_back(Incoming{ZEBIPC_DISCONNECTED, generation, Frame()});
    m_changed.notify_all();
  }
  std::lock_guard<std::mutex> writing(m_writeMutex);
  close(fd);
}

void CZebIPCLibrary::Impl::deliver(Frame&& frame, uint32_t generation) {
  std::lock_guard<std::mutex> hold(m_mutex);
  if (frame.kind == evt::channel::FRAME_CLIENT_ANSWER) {
    // An answer to an earlier exchange that gave up (timed out) is dropped;
    // any other is handed to the waiter, which checks the id itself.
    bool stale = static_cast<int32_t>(m_awaitedId - frame.requestId) > 0;
    if (m_awaiting && !m_answered && !stale) {
      m_answer = std::move(frame);
      m_answered = true;
      m_changed.notify_all();
    }
  } else if (frame.kind == evt::channel::FRAME_SERVICE_REQUEST) {
    m_incoming.push_back(Incoming{0, generation, std::move(frame)});
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
  return ZEBIPC_E_CONNECTION_LOST;
}

long CZebIPCLibrary::Impl::awaitAnswer(Frame* answer) {
  std::unique_lock<std::mutex> lock(m_mutex);
  if (!m_awaiting) return m_closed ? ZEBIPC_CLOSED : ZEBIPC_E_NOT_CONNECTED;
  bool ended = m_changed.wait_for(lock, std::chrono::milliseconds(kResponseTimeoutMs),
                                  [this] { return m_closed || m_answered || m_exchangeFailure != 0; });
  m_awaiting = false;
  if (m_closed) return ZEBIPC_CLOSED;
  if (!ended) return ZEBIPC_E_TIMEOUT;
  if (!m_answered) return m_exchangeFailure;
  *answer = std::move(m_answer);
  return 0;
}

long CZebIPCLibrary::Impl::nextIncoming(Incoming* item) {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_changed.wait(lock, [this] { return m_closed || !m_incoming.empty(); });
  if (m_closed) return ZEBIPC_CLOSED;
  *item = std::move(m_incoming.front());
  m_incoming.pop_front();
  return item->status;
}

long CZebIPCLibrary::Impl::finalize() {
  {
    std::lock_guard<std::mutex> hold(m_mutex);
    if (!m_closed) {
      m_closed = true;
      if (m_fd >= 0) shutdown(m_fd, SHUT_RDWR);
      m_changed.notify_all();
    }
  }
  std::lock_guard<std::mutex> joining(m_joinMutex);
  if (m_reader.joinable() && m_reader.get_id() != std::this_thread::get_id()) m_reader.join();
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

long CZebIPCLibrary::receiveResponse(std::string* text, unsigned long* id, char* header) {
  Frame answer;
  long result = m_pImpl->awaitAnswer(&answer);
  if (result != 0) return result;
  if (text != nullptr) *text = std::move(answer.text);
  if (id != nullptr) *id = answer.requestId;
  if (header != nullptr) std::memcpy(header, answer.header, sizeof answer.header);
  return 0;
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
  long result = m_pImpl->nextIncoming(&item);
  if (result != 0) return result;
  if (a != nullptr) *a = item.generation;
  if (b != nullptr) *b = item.frame.requestId;
  if (text != nullptr) *text = std::move(item.frame.text);
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
