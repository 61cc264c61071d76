// System calls that a signal interrupted (EINTR) are made again: the one
// home of that loop.
#pragma once

#include <cerrno>

namespace evt::platform {

// Calls `call` until it does not fail with EINTR; its last result.
template <typename Call>
auto retryInterrupted(Call call) -> decltype(call()) {
  decltype(call()) result;
  do {
    result = call();
  } while (result < 0 && errno == EINTR);
  return result;
}

}  // namespace evt::platform
