#include "protocol/Frame.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Library/CEResultCodes.h"
#include "platform/CZebIPCLibrary.h"
#include "platform/linux/Interrupted.h"

namespace evt::channel {
namespace {

void putWord(std::string* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

uint32_t getWord(const unsigned char* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// Reads exactly `size` bytes. `timeoutMs` applies to the first byte only, so a
// frame that has begun is always read whole.
long readExactly(int fd, unsigned char* buffer, std::size_t size, int timeoutMs) {
  std::size_t done = 0;
  while (done < size) {
    if (done == 0 && timeoutMs >= 0) {
      pollfd pfd{fd, POLLIN, 0};
      const int ready = evt::platform::retryInterrupted([&] { return poll(&pfd, 1, timeoutMs); });
      if (ready == 0) return ZEBIPC_E_TIMEOUT;
    }
    const ssize_t n = evt::platform::retryInterrupted([&] { return ::recv(fd, buffer + done, size - done, 0); });
    if (n <= 0) return ZEBIPC_E_CONNECTION_LOST;
    done += static_cast<std::size_t>(n);
  }
  return 0;
}


void putHeader(std::string* out, const Frame& frame, std::size_t dataLength) {
  putWord(out, kFrameMagic);
  putWord(out, frame.kind);
  putWord(out, frame.requestId);
  putWord(out, frame.noResponse);
  for (uint32_t word : frame.header) putWord(out, word);
  putWord(out, static_cast<uint32_t>(dataLength));
}

std::string encodeHeader(const Frame& frame, std::size_t dataLength) {
  std::string out;
  out.reserve(kFrameHeaderSize);
  putHeader(&out, frame, dataLength);
  return out;
}

}  // namespace

void appendFrame(std::string* out, const Frame& frame, bool terminate) {
  if (terminate) {
    appendFrameWithText(out, frame, frame.text);
    return;
  }
  putHeader(out, frame, frame.text.size());
  *out += frame.text;
}

void appendFrameWithText(std::string* out, const Frame& frame, std::string_view text) {
  out->reserve(out->size() + kFrameHeaderSize + text.size() + 1);
  putHeader(out, frame, text.size() + 1);
  out->append(text.data(), text.size());
  out->push_back('\0');
}

std::string encodeFrame(const Frame& frame, bool terminate) {
  std::string out;
  appendFrame(&out, frame, terminate);
  return out;
}

bool writeFrame(int fd, const Frame& frame, const char* text, std::size_t length) {
  const std::string head = encodeHeader(frame, length + 1);
  static const char kNul = '\0';
  iovec parts[3] = {{const_cast<char*>(head.data()), head.size()},
                    {const_cast<char*>(text), length},
                    {const_cast<char*>(&kNul), 1}};
  iovec* next = parts;
  int left = 3;
  while (left > 0) {
    msghdr message{};
    message.msg_iov = next;
    message.msg_iovlen = static_cast<std::size_t>(left);
    const ssize_t n = evt::platform::retryInterrupted([&] { return ::sendmsg(fd, &message, MSG_NOSIGNAL); });
    if (n <= 0) return false;
    std::size_t sent = static_cast<std::size_t>(n);
    while (left > 0 && sent >= next->iov_len) {
      sent -= next->iov_len;
      ++next;
      --left;
    }
    if (left > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + sent;
      next->iov_len -= sent;
    }
  }
  return true;
}

long sendFrameNow(int fd, const Frame& frame, std::string_view text, std::size_t* total) {
  const std::string head = encodeHeader(frame, text.size() + 1);
  static const char kNul = '\0';
  iovec parts[3] = {{const_cast<char*>(head.data()), head.size()},
                    {const_cast<char*>(text.data()), text.size()},
                    {const_cast<char*>(&kNul), 1}};
  *total = head.size() + text.size() + 1;
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = 3;
  const ssize_t n =
      evt::platform::retryInterrupted([&] { return ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT); });
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  return static_cast<long>(n);
}

bool decodeFrameHeader(const unsigned char* bytes, Frame* frame, uint32_t* dataLength) {
  if (getWord(bytes) != kFrameMagic) return false;
  frame->kind = getWord(bytes + 4);
  if (frame->kind < FRAME_CLIENT_REQUEST || frame->kind > FRAME_SERVICE_ANSWER) return false;
  frame->requestId = getWord(bytes + 8);
  frame->noResponse = getWord(bytes + 12);
  for (int i = 0; i < 4; ++i) frame->header[i] = getWord(bytes + 16 + 4 * i);
  *dataLength = getWord(bytes + 32);
  return *dataLength <= kMaxFrameData;
}

bool writeAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = evt::platform::retryInterrupted([&] { return ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL); });
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

long readFrame(int fd, Frame* frame, int timeoutMs) {
  unsigned char head[kFrameHeaderSize];
  long result = readExactly(fd, head, sizeof head, timeoutMs);
  if (result != 0) return result;
  uint32_t length = 0;
  if (!decodeFrameHeader(head, frame, &length)) return ZEBIPC_E_BAD_FRAME;
  // Read straight into the frame's text, then cut its terminating NUL.
  frame->text.resize(length);
  if (length > 0) {
    result = readExactly(fd, reinterpret_cast<unsigned char*>(&frame->text[0]), length, -1);
    if (result != 0) return result;
  }
  frame->text.resize(channelTextLength(frame->text.data(), length));
  return 0;
}

}  // namespace evt::channel
