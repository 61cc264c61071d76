// Cuts frames out of the bytes a non-blocking socket delivers in pieces. The
// service receives straight into the assembler (room, then received) and
// takes every complete frame, its text as a view into the assembler.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "protocol/Frame.h"

namespace evt::channel {

class FrameAssembler {
 public:
  enum Status {
    NEED_MORE,  // no complete frame buffered
    COMPLETE,   // *frame holds the next frame
    BAD,        // the bytes are not a frame: the connection must be closed
  };

  // Space for `size` more bytes at the end of what is buffered; the caller
  // writes up to `size` bytes there and says how many with received().
  // Invalidates the texts handed out by next().
  char* room(std::size_t size);
  void received(std::size_t size) { m_end += size; }
  // Copies `size` bytes in: room() and received() in one.
  void feed(const char* data, std::size_t size);

  // The next complete frame: its header fields in *frame, its text (without
  // the terminating NUL) in *text, valid until the next room() or feed().
  Status next(Frame* frame, std::string_view* text);
  // The same with the text copied into frame->text.
  Status next(Frame* frame);
  // Bytes received but not yet cut into frames.
  std::size_t buffered() const { return m_end - m_start; }

 private:
  // [m_start, m_end) is buffered; the rest, up to m_capacity, is room. Not
  // a string: growing one fills the new room with zeros first.
  std::unique_ptr<char[]> m_buffer;
  std::size_t m_capacity = 0;
  std::size_t m_start = 0;
  std::size_t m_end = 0;
};

}  // namespace evt::channel
