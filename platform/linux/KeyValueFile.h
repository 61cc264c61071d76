// Reads the small configuration files of the log and registry layers:
//   # comment
//   key = value
// Blank lines and lines without '=' are ignored; keys and values are trimmed;
// a later line overrides an earlier one with the same key.
#pragma once

#include <map>
#include <string>

namespace evt::platform {

using KeyValues = std::map<std::string, std::string>;

// False when the file cannot be read; `out` is then left empty.
bool readKeyValueFile(const std::string& path, KeyValues* out);

}  // namespace evt::platform
