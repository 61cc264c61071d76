#include "platform/linux/Endpoint.h"

#include <sys/un.h>

#include <cstdlib>

namespace evt::channel {

std::string runtimeDirectory() {
  const char* dir = std::getenv(kRuntimeDirEnv);
  return dir != nullptr && *dir != '\0' ? dir : kDefaultRuntimeDir;
}

std::string endpointPath(const std::string& name, const std::string& id) {
  return runtimeDirectory() + "/" + name + "-" + id + ".sock";
}

bool endpointFits(const std::string& path) {
  return !path.empty() && path.size() < sizeof(sockaddr_un{}.sun_path) && path.find('\0') == std::string::npos;
}

}  // namespace evt::channel
