#include "platform/linux/AccessGroup.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace evt::platform {

std::string accessGroupName() {
  const char* name = std::getenv(kAccessGroupEnv);
  return name != nullptr && *name != '\0' ? name : kDefaultAccessGroup;
}

gid_t accessGroupId() {
  const std::string name = accessGroupName();
  std::vector<char> buffer(16384);
  group entry{};
  group* found = nullptr;
  int error = 0;
  // A group of many members needs a larger buffer.
  while ((error = getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
         buffer.size() < (std::size_t{1} << 24)) {
    buffer.resize(buffer.size() * 4);
  }
  return error == 0 && found != nullptr ? found->gr_gid : static_cast<gid_t>(-1);
}

std::string groupOwning(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return std::string();
  std::vector<char> buffer(16384);
  group entry{};
  group* found = nullptr;
  if (getgrgid_r(info.st_gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
    return found->gr_name;
  }
  return std::to_string(info.st_gid);
}

bool shareWithAccessGroup(int fd, mode_t mode) {
  const gid_t group = accessGroupId();
  if (group != static_cast<gid_t>(-1) && fchown(fd, static_cast<uid_t>(-1), group) != 0) {
    errno = EACCES;
    return false;
  }
  // After the owner change, which may clear mode bits.
  return fchmod(fd, mode) == 0;
}

bool shareWithAccessGroup(const std::string& path, mode_t mode) {
  const gid_t group = accessGroupId();
  if (group != static_cast<gid_t>(-1) && chown(path.c_str(), static_cast<uid_t>(-1), group) != 0) {
    errno = EACCES;
    return false;
  }
  return chmod(path.c_str(), mode) == 0;
}

}  // namespace evt::platform
