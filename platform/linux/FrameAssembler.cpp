#include "platform/linux/FrameAssembler.h"

#include <cstring>

#include "platform/CZebIPCLibrary.h"

namespace evt::channel {

void FrameAssembler::feed(const char* data, std::size_t size) {
  // Drop consumed bytes before growing, so the buffer stays near one frame.
  if (m_start > 0 && (m_start == m_buffer.size() || m_start > m_buffer.size() / 2)) {
    m_buffer.erase(0, m_start);
    m_start = 0;
  }
  m_buffer.append(data, size);
}

FrameAssembler::Status FrameAssembler::next(Frame* frame) {
  if (buffered() < kFrameHeaderSize) return NEED_MORE;
  const auto* bytes = reinterpret_cast<const unsigned char*>(m_buffer.data() + m_start);
  uint32_t length = 0;
  if (!decodeFrameHeader(bytes, frame, &length)) return BAD;
  if (buffered() - kFrameHeaderSize < length) return NEED_MORE;
  const char* text = m_buffer.data() + m_start + kFrameHeaderSize;
  frame->text.assign(text, channelTextLength(text, length));
  m_start += kFrameHeaderSize + length;
  return COMPLETE;
}

}  // namespace evt::channel
