// Where a channel's service listens: <dir>/<name>-<id>.sock, with <dir> taken
// from $EVT_RUNTIME_DIR (default /run/evt), so tests and users can run private
// services.
#pragma once

#include <string>

namespace evt::channel {

constexpr const char* kRuntimeDirEnv = "EVT_RUNTIME_DIR";
constexpr const char* kDefaultRuntimeDir = "/run/evt";

std::string runtimeDirectory();
std::string endpointPath(const std::string& name, const std::string& id);
// False when `path` does not fit a Unix socket address.
bool endpointFits(const std::string& path);

}  // namespace evt::channel
