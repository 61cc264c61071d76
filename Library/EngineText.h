// Helpers the engine's log and trace lines share: "0x%08X" takes a 32-bit
// word in both builds, whatever the width of a pointer or a long.
#pragma once

#include <cstdint>

namespace evt::engine {

inline unsigned addressWord(const void* p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }
inline unsigned codeWord(long code) { return static_cast<unsigned>(static_cast<uint32_t>(code)); }

}  // namespace evt::engine
