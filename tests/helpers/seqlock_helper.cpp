// Child process for the multi-process tests: takes the named mutex "Mutex-NAME"
// COUNT times and, while holding it, adds 1 to the 64-bit counter in the
// shared block "Share-NAME". Built for each ABI, so a 32-bit and a 64-bit
// process can work on one lock and one block together.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/CPortable.h"
#include "trace/KelException.h"

int main(int argc, char** argv) {
  if (argc != 4 || std::string(argv[1]) != "count") {
    std::fprintf(stderr, "usage: seqlock_helper count NAME COUNT\n");
    return 2;
  }
  const std::string name = argv[2];
  const long count = std::atol(argv[3]);
  try {
    CPMutex mutex(1, 0, "Mutex-" + name, 1, 1);
    CPSharedMemory block("Share-" + name, sizeof(uint64_t));
    uint64_t* counter = static_cast<uint64_t*>(block.getAddress());
    for (long i = 0; i < count; ++i) {
      mutex.wait(CPEvent::kInfinite, nullptr);
      *counter = *counter + 1;  // a plain read-modify-write: only the lock keeps it whole
      if (mutex.release() != 0) return 4;
    }
  } catch (const KelException& e) {
    std::fprintf(stderr, "seqlock_helper: failure 0x%08X at %s\n", static_cast<unsigned>(e.code()), e.location());
    return 3;
  }
  return 0;
}
