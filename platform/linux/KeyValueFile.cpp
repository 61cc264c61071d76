#include "platform/linux/KeyValueFile.h"

#include <fstream>

namespace evt::platform {
namespace {

std::string trim(const std::string& text) {
  const char* blanks = " \t\r\n";
  std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  std::size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

}  // namespace

bool readKeyValueFile(const std::string& path, KeyValues* out) {
  out->clear();
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    std::string content = trim(line);
    if (content.empty() || content[0] == '#') continue;
    std::size_t eq = content.find('=');
    if (eq == std::string::npos) continue;
    std::string key = trim(content.substr(0, eq));
    if (!key.empty()) (*out)[key] = trim(content.substr(eq + 1));
  }
  return true;
}

}  // namespace evt::platform
