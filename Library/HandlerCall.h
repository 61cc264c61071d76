// Calls into the host's handlers. A handler runs on one of the library's
// threads; an exception it lets escape would end the process there, so it
// counts as a failed result instead, which the caller logs as any other.
#pragma once

#include "Library/CEResultCodes.h"

namespace evt::engine {

template <typename Call>
long callHandler(Call&& call) noexcept {
  try {
    return call();
  } catch (...) {
    return CE_E_HANDLER_THREW;
  }
}

}  // namespace evt::engine
