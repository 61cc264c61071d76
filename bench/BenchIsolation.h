// Gives a benchmark process its own named-object prefix and removes its
// shared blocks when it exits, so runs neither meet nor leave anything behind.
#pragma once

#include <dirent.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace evt::bench {

inline std::string& prefix() {
  static std::string value = "evtbench." + std::to_string(getpid()) + ".";
  return value;
}

inline void removeOwnBlocks() {
  if (DIR* dir = opendir("/dev/shm")) {
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name.compare(0, prefix().size(), prefix()) == 0) shm_unlink(("/" + name).c_str());
    }
    closedir(dir);
  }
}

inline void isolate() {
  static const bool once = [] {
    setenv("EVT_SHM_PREFIX", prefix().c_str(), 1);
    std::atexit(removeOwnBlocks);
    return true;
  }();
  (void)once;
}

}  // namespace evt::bench
