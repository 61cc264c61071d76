// Helpers the engine's texts share. "0x%08X" and "%d" take 32-bit values in
// both builds, whatever the width of a pointer or a long; number items and
// server ids travel as signed 32-bit decimal text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "Utilities/CParamsX.h"
#include "Utilities/ParamsView.h"
#include "protocol/Protocol.h"

namespace evt::engine {

inline unsigned addressWord(const void* p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }
inline unsigned codeWord(long code) { return static_cast<unsigned>(static_cast<uint32_t>(code)); }
inline int numberText(uint32_t value) { return static_cast<int>(static_cast<int32_t>(value)); }

// Server ids are 32-bit; a host's (unsigned long)-1 is 0xFFFFFFFF in both builds.
constexpr uint32_t kThisServer = 0xFFFFFFFFu;
inline uint32_t serverIdOf(unsigned long value) { return static_cast<uint32_t>(value); }

inline void addNumber(CParamsX& list, uint32_t value) { list.addParam(static_cast<long>(static_cast<int32_t>(value))); }
inline uint32_t numberAt(CParamsX& list, unsigned long index) {
  return static_cast<uint32_t>(list.getLongParamAt(index));
}

// [server id, category]: the key of the subscription tables and the body of
// "subscribe"/"unsubscribe".
using evt::protocol::subscriptionKey;

// [category, keys, server id]: one subscription, as handed to the host.
inline std::string subscriptionText(const std::string& category, const std::string& keys, uint32_t serverId) {
  CParamsX text;
  text.addParam(category);
  text.addParam(keys);
  addNumber(text, serverId);
  return text.takeParamList();
}

}  // namespace evt::engine
