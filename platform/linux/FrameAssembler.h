// Cuts frames out of the bytes a non-blocking socket delivers in pieces. The
// service feeds whatever recv returned and takes every complete frame.
#pragma once

#include <cstddef>
#include <string>

#include "platform/linux/Frame.h"

namespace evt::channel {

class FrameAssembler {
 public:
  enum Status {
    NEED_MORE,  // no complete frame buffered
    COMPLETE,   // *frame holds the next frame
    BAD,        // the bytes are not a frame: the connection must be closed
  };

  void feed(const char* data, std::size_t size);
  Status next(Frame* frame);
  // Bytes received but not yet cut into frames.
  std::size_t buffered() const { return m_buffer.size() - m_start; }

 private:
  std::string m_buffer;
  std::size_t m_start = 0;
};

}  // namespace evt::channel
