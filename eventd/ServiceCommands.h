// Commands of the service's own beyond those of the client library, sent on
// the same channel by tools (evt status, evt dump). Codes below 100 belong to
// the library.
#pragma once

#include <cstdint>

namespace evt::service {

constexpr uint32_t kCommandStatus = 100;  // answer text: "key value" lines of counters
constexpr uint32_t kCommandDump = 101;    // answer text: every client's state; also logged

}  // namespace evt::service
