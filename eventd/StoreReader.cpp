#include "eventd/StoreReader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>

#include "Service/CategorySeqNo.h"
#include "eventd/ServiceLog.h"
#include "platform/linux/Interrupted.h"
#include "platform/linux/ObjectNames.h"

namespace evt::service {
namespace {

// Logs why a block could not be read, at most once a second, counting the
// lines left out.
void reportUnreadable(const std::string& category, const char* why) {
  using Clock = std::chrono::steady_clock;
  static Clock::time_point last;
  static unsigned long skipped = 0;
  const Clock::time_point now = Clock::now();
  if (last != Clock::time_point() && now - last < std::chrono::seconds(1)) {
    ++skipped;
    return;
  }
  logError("cannot read the number of \"%s\" from the shared store: %s; its series starts at the first event "
           "that arrives (%lu such lines left out)",
           printable(category).c_str(), why, skipped);
  last = now;
  skipped = 0;
}

}  // namespace

std::optional<unsigned long long> readIssuedSeqNo(const std::string& category) {
  const std::string name = platform::osObjectName(CCategorySeqNo::kRecordBlockPrefix + category);
  // Without blocking: a FIFO put in the block's place must not stop eventd (its reads then fail).
  const int fd = shm_open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
  if (fd < 0) {
    if (errno == ENOENT) return 0ull;  // nobody numbered the category yet
    reportUnreadable(category, std::strerror(errno));
    return std::nullopt;
  }
  // Its writers store the number in one aligned 8-byte write under the
  // record's lock; reading without the lock, two equal reads in a row are a
  // number that was there.
  uint64_t read[2] = {0, 1};
  const char* why = nullptr;
  for (int attempt = 0; attempt < 8 && read[0] != read[1]; ++attempt) {
    for (uint64_t& value : read) {
      const ssize_t n = platform::retryInterrupted([&] { return pread(fd, &value, sizeof value, 0); });
      if (n != static_cast<ssize_t>(sizeof value)) {
        why = n < 0 ? std::strerror(errno) : "the block was cut short";
        break;
      }
    }
    if (why != nullptr) break;
  }
  close(fd);
  if (why == nullptr && read[0] != read[1]) why = "the number keeps changing";
  if (why != nullptr) {
    reportUnreadable(category, why);
    return std::nullopt;
  }
  return read[0];
}

}  // namespace evt::service
