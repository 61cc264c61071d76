// Runs a fuzz target over every file of the corpus directories given, as an ordinary test: the inputs found so
// far keep being checked in every build. 64-bit directory offsets, or a 32-bit readdir fails on large file systems.
#define _FILE_OFFSET_BITS 64
#include <dirent.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

// The names in the directory `path` that do not begin with '.'; false when it cannot be read.
bool namesIn(const std::string& path, std::vector<std::string>* names) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return false;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') names->push_back(entry->d_name);
  }
  closedir(dir);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // The shared objects a target opens (the store) get a prefix of this process's own, removed at the end.
  const std::string prefix = "evtreplay." + std::to_string(getpid()) + ".";
  setenv("EVT_SHM_PREFIX", prefix.c_str(), 1);
  std::size_t inputs = 0;
  for (int i = 1; i < argc; ++i) {
    std::vector<std::string> names;
    if (!namesIn(argv[i], &names)) {
      std::fprintf(stderr, "cannot read corpus %s\n", argv[i]);
      return 1;
    }
    for (const std::string& name : names) {
      std::ifstream in(std::string(argv[i]) + "/" + name, std::ios::binary);
      std::ostringstream bytes;
      bytes << in.rdbuf();
      const std::string input = bytes.str();
      LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
      ++inputs;
    }
  }
  std::printf("%zu inputs replayed\n", inputs);
  std::vector<std::string> objects;
  namesIn("/dev/shm", &objects);
  for (const std::string& name : objects) {
    if (name.rfind(prefix, 0) == 0) shm_unlink(("/" + name).c_str());
  }
  return inputs > 0 ? 0 : 1;
}
