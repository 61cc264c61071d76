#include "protocol/FrameAssembler.h"

#include <algorithm>
#include <cstring>

#include "platform/CZebIPCLibrary.h"

namespace evt::channel {
namespace {

// Frames up to this size get their whole room at once.
constexpr uint32_t kSizedGrowthBytes = 4u * 1024u * 1024u;

}  // namespace

char* FrameAssembler::room(std::size_t size) {
  // Drop consumed bytes before growing, so the buffer stays near one frame.
  if (m_start > 0 && (m_start == m_end || m_start > m_end / 2)) {
    std::memmove(m_buffer.get(), m_buffer.get() + m_start, m_end - m_start);
    m_end -= m_start;
    m_start = 0;
  }
  if (m_capacity < m_end + size) {
    // The buffer at least doubles, so a reader asking for a fixed amount of
    // room each time does not reallocate (and fault in fresh pages) for every
    // few bytes the buffer creeps forward. Once the header of an ordinary
    // frame is in, it grows at once to hold all of it: doubling step by step
    // would copy and fault in the frame several times over. A frame said to
    // be larger grows by doubling, as its bytes come: a header alone
    // reserves nothing.
    std::size_t capacity = std::max(m_end + size, 2 * m_capacity);
    Frame frame;
    uint32_t length = 0;
    if (buffered() >= kFrameHeaderSize &&
        decodeFrameHeader(reinterpret_cast<const unsigned char*>(m_buffer.get() + m_start), &frame, &length) &&
        length <= kSizedGrowthBytes) {
      capacity = std::max(capacity, m_start + kFrameHeaderSize + length);
    }
    std::unique_ptr<char[]> grown(new char[capacity]);
    if (m_end > 0) std::memcpy(grown.get(), m_buffer.get(), m_end);
    m_buffer = std::move(grown);
    m_capacity = capacity;
  }
  return m_buffer.get() + m_end;
}

void FrameAssembler::feed(const char* data, std::size_t size) {
  std::memcpy(room(size), data, size);
  received(size);
}

FrameAssembler::Status FrameAssembler::next(Frame* frame, std::string_view* text) {
  if (buffered() < kFrameHeaderSize) return NEED_MORE;
  const auto* bytes = reinterpret_cast<const unsigned char*>(m_buffer.get() + m_start);
  uint32_t length = 0;
  if (!decodeFrameHeader(bytes, frame, &length)) return BAD;
  if (buffered() - kFrameHeaderSize < length) return NEED_MORE;
  const char* data = m_buffer.get() + m_start + kFrameHeaderSize;
  *text = std::string_view(data, channelTextLength(data, length));
  m_start += kFrameHeaderSize + length;
  return COMPLETE;
}

FrameAssembler::Status FrameAssembler::next(Frame* frame) {
  std::string_view text;
  const Status status = next(frame, &text);
  if (status == COMPLETE) frame->text.assign(text.data(), text.size());
  return status;
}

}  // namespace evt::channel
