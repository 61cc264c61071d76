// Child process for the store tests, built for each ABI so that 32-bit and
// 64-bit processes share one store. Modes:
//   nextseq CATEGORY COUNT FILE  COUNT numbers from the store, written to FILE
//                             as native 64-bit integers
//   diehold CATEGORY          die (SIGKILL) holding the category's record
//   dieinit CATEGORY          die while creating the category's record: its
//                             mutex held, its block created, nothing written
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Service/CategorySeqNo.h"
#include "platform/CPortable.h"
#include "trace/KelException.h"

namespace {

int nextSeq(const std::string& category, long times, const char* path) {
  CCategorySeqNo store;
  std::vector<unsigned long long> numbers(static_cast<std::size_t>(times));
  for (auto& number : numbers)
    if (store.getNextSeqNo(category, &number) != 0) return 4;
  FILE* out = std::fopen(path, "wb");
  bool written = out != nullptr && std::fwrite(numbers.data(), sizeof numbers[0], numbers.size(), out) == numbers.size();
  return out != nullptr && std::fclose(out) == 0 && written ? 0 : 5;
}

int dieHolding(const std::string& category) {
  CCategorySeqNo store;
  CCategorySeqNo::CSeqNoInfo* record = nullptr;
  store.acquireSeqNoInfo(category, &record);
  kill(getpid(), SIGKILL);
  return 6;
}

int dieInitialising(const std::string& category) {
  CPMutex mutex(1, 0, "Mutex-SeqNoInfo-" + category, 1, 1);
  mutex.wait(CPEvent::kInfinite, nullptr);
  CPSharedMemory block("Share-SeqNoInfo-" + category, sizeof(uint64_t));
  kill(getpid(), SIGKILL);
  return 6;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    if (args.size() == 4 && args[0] == "nextseq") return nextSeq(args[1], std::atol(args[2].c_str()), argv[4]);
    if (args.size() == 2 && args[0] == "diehold") return dieHolding(args[1]);
    if (args.size() == 2 && args[0] == "dieinit") return dieInitialising(args[1]);
  } catch (const KelException& e) {
    std::fprintf(stderr, "seqlock_helper: failure 0x%08X at %s\n", static_cast<unsigned>(e.code()), e.location());
    return 3;
  }
  std::fprintf(stderr, "usage: seqlock_helper nextseq CATEGORY COUNT FILE | diehold CATEGORY | dieinit CATEGORY\n");
  return 2;
}
