// A process that uses the store and then faults outside it, for the SIGBUS guard's tests. Modes:
//   host: installs a SIGBUS handler of its own first, which exits with 42.
//   default: leaves SIGBUS to its default action.
// Both then open a block, cut it short and read it (the guard must turn that into a failed read, exit 3 if
// not), and at last touch a cut-short mapping of their own, which is no block of the store.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/CPortable.h"
#include "platform/linux/ObjectNames.h"

namespace {

void hostHandler(int) { _exit(42); }

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc == 2 ? argv[1] : "";
  if (mode != "host" && mode != "default") return 2;
  if (mode == "host") signal(SIGBUS, hostHandler);

  CPSharedMemory block("Share-bus-helper", 8);
  const int shared = shm_open(evt::platform::osObjectName("Share-bus-helper").c_str(), O_RDWR, 0);
  CPSharedMemory::remove("Share-bus-helper");
  if (shared < 0 || ftruncate(shared, 0) != 0) return 4;
  close(shared);
  uint64_t value = 0;
  if (block.read(0, &value, sizeof value) || !block.isDamaged()) return 3;

  char path[] = "/tmp/bus-helper-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return 4;
  unlink(path);
  if (ftruncate(fd, 4096) != 0) return 4;
  auto* bytes = static_cast<volatile char*>(mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  if (bytes == MAP_FAILED || ftruncate(fd, 0) != 0) return 4;
  bytes[0] = 1;  // SIGBUS
  return 5;
}
