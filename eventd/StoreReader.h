// eventd's reading of the shared store: the last number issued for a
// category, read without the category's lock, without mapping its block and
// without creating anything.
//
// eventd's one thread must never wait on a lock a client holds (or forged),
// never die of SIGBUS when a client cuts a block short, and never keep two
// objects open per subscribed category. So it reads the block through a
// descriptor of its own, each time it needs the number (when a pair gets its
// first subscriber, and when a gap is given up): one open, one or two 8-byte
// reads, one close.
#pragma once

#include <optional>
#include <string>

namespace evt::service {

// The category's last issued number, 0 when none was issued yet (no block);
// nothing when the block cannot be read or is cut short, logged (at most one
// line a second).
std::optional<unsigned long long> readIssuedSeqNo(const std::string& category);

}  // namespace evt::service
