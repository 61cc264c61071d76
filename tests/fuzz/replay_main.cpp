// Runs a fuzz target over every file of the corpus directories given, as an
// ordinary test: the inputs found so far keep being checked in every build.
// 64-bit directory offsets and inode numbers, or a 32-bit build's readdir
// fails on large file systems.
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

// Removes the shared objects whose names begin with `prefix`.
void removeSharedObjects(const std::string& prefix) {
  DIR* dir = opendir("/dev/shm");
  if (dir == nullptr) return;
  std::vector<std::string> names;
  while (dirent* entry = readdir(dir)) {
    if (std::string(entry->d_name).rfind(prefix, 0) == 0) names.push_back(entry->d_name);
  }
  closedir(dir);
  for (const std::string& name : names) shm_unlink(("/" + name).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  // The shared objects a target opens (the store) get a prefix of this
  // process's own and are removed at the end: a replay leaves nothing behind.
  const std::string prefix = "evtreplay." + std::to_string(getpid()) + ".";
  setenv("EVT_SHM_PREFIX", prefix.c_str(), 1);
  std::size_t inputs = 0;
  for (int i = 1; i < argc; ++i) {
    DIR* dir = opendir(argv[i]);
    if (dir == nullptr) {
      std::fprintf(stderr, "cannot read corpus %s\n", argv[i]);
      return 1;
    }
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') names.push_back(std::string(argv[i]) + "/" + entry->d_name);
    }
    closedir(dir);
    for (const std::string& name : names) {
      std::ifstream in(name, std::ios::binary);
      std::ostringstream bytes;
      bytes << in.rdbuf();
      const std::string input = bytes.str();
      LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
      ++inputs;
    }
  }
  std::printf("%zu inputs replayed\n", inputs);
  removeSharedObjects(prefix);
  return inputs > 0 ? 0 : 1;
}
