// Frames of the channel between clients and the service, over a Unix stream
// socket. Layout, every word a little-endian uint32_t whatever the ABI:
//
//   magic  kind  requestId  noResponse  header[4]  length  | length data bytes
//
// The data is a text; senders terminate it with a NUL that `length` counts,
// readers cut it at the first NUL and cope with a missing one. A frame whose
// magic, kind or length is wrong is rejected, and the connection with it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace evt::channel {

constexpr uint32_t kFrameMagic = 0x3142455Au;  // "ZEB1"
constexpr std::size_t kFrameHeaderSize = 9 * 4;
constexpr uint32_t kMaxFrameData = 64u * 1024u * 1024u;

enum FrameKind : uint32_t {
  FRAME_CLIENT_REQUEST = 1,   // client command, answered by FRAME_CLIENT_ANSWER
  FRAME_CLIENT_ANSWER = 2,
  FRAME_SERVICE_REQUEST = 3,  // service request, answered by FRAME_SERVICE_ANSWER unless noResponse
  FRAME_SERVICE_ANSWER = 4,
};

struct Frame {
  uint32_t kind = 0;
  uint32_t requestId = 0;
  uint32_t noResponse = 0;
  uint32_t header[4] = {0, 0, 0, 0};
  std::string text;  // without its terminating NUL
};

// The bytes of `frame`, its text followed by a NUL (`terminate` false leaves
// the NUL out, which only tests of hostile peers want).
std::string encodeFrame(const Frame& frame, bool terminate = true);
// The same, appended to *out (no intermediate copy of the text).
void appendFrame(std::string* out, const Frame& frame, bool terminate = true);
// The same with the text taken from `text` instead of frame.text.
void appendFrameWithText(std::string* out, const Frame& frame, std::string_view text);

// Decodes the fixed part; false when magic, kind or length are invalid.
bool decodeFrameHeader(const unsigned char* bytes, Frame* frame, uint32_t* dataLength);

// Writes all of `bytes` to a blocking socket; false when the peer is gone.
bool writeAll(int fd, const std::string& bytes);

// Writes as much of one frame (its text from `text`, a NUL added) as a
// non-blocking socket takes now, without copying the text; the bytes taken
// (0 when it would block), or -1 with errno set when the socket failed.
// *total receives the frame's size.
long sendFrameNow(int fd, const Frame& frame, std::string_view text, std::size_t* total);

// Writes one frame to a blocking socket, its text taken from `text`
// (`length` bytes, a NUL added) rather than from frame.text, so that large
// texts are not copied on their way out; false when the peer is gone.
bool writeFrame(int fd, const Frame& frame, const char* text, std::size_t length);

// Reads one frame from a blocking socket. `timeoutMs` < 0 waits without
// limit. Returns 0, ZEBIPC_E_TIMEOUT (nothing read yet), ZEBIPC_E_CONNECTION_LOST
// (end of stream or error) or ZEBIPC_E_BAD_FRAME.
long readFrame(int fd, Frame* frame, int timeoutMs);

}  // namespace evt::channel
