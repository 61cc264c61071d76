// Bytes from a peer, delivered in pieces of fuzzer-chosen sizes: the frame assembler yields the same frames as
// from one piece, and each frame it yields encodes back to the bytes it was cut from.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "protocol/FrameAssembler.h"

namespace {

struct Outcome {
  std::vector<evt::channel::Frame> frames;
  bool bad = false;
};

Outcome assemble(const std::string& bytes, std::size_t piece) {
  evt::channel::FrameAssembler assembler;
  Outcome outcome;
  for (std::size_t at = 0; at < bytes.size() && !outcome.bad; at += piece) {
    assembler.feed(bytes.data() + at, std::min(piece, bytes.size() - at));
    evt::channel::Frame frame;
    evt::channel::FrameAssembler::Status status;
    while ((status = assembler.next(&frame)) == evt::channel::FrameAssembler::COMPLETE) outcome.frames.push_back(frame);
    outcome.bad = status == evt::channel::FrameAssembler::BAD;
  }
  return outcome;
}

bool same(const evt::channel::Frame& a, const evt::channel::Frame& b) {
  return a.kind == b.kind && a.requestId == b.requestId && a.noResponse == b.noResponse && a.text == b.text &&
         std::equal(a.header, a.header + 4, b.header);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::size_t piece = 1 + data[0] % 64;
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  const Outcome whole = assemble(bytes, bytes.size() + 1);
  const Outcome pieces = assemble(bytes, piece);
  if (whole.frames.size() != pieces.frames.size() || whole.bad != pieces.bad) std::abort();
  std::size_t offset = 0;
  for (std::size_t i = 0; i < whole.frames.size(); ++i) {
    if (!same(whole.frames[i], pieces.frames[i])) std::abort();
    // A frame whose text held no NUL re-encodes to exactly its bytes.
    const std::string encoded = evt::channel::encodeFrame(whole.frames[i]);
    evt::channel::Frame head;
    uint32_t length = 0;  // the header is whole: a frame was cut from it
    evt::channel::decodeFrameHeader(reinterpret_cast<const unsigned char*>(bytes.data()) + offset, &head, &length);
    const std::string original = bytes.substr(offset, evt::channel::kFrameHeaderSize + length);
    if (length == whole.frames[i].text.size() + 1 && original.back() == '\0' && encoded != original) std::abort();
    offset += evt::channel::kFrameHeaderSize + length;
  }
  return 0;
}
