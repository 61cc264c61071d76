#include "platform/linux/ObjectNames.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "Utilities/ByteEscape.h"

namespace evt::platform {
namespace {

bool keptAsIs(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}

uint64_t fnv1a64(const std::string& text) {
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

}  // namespace

std::string escapeObjectName(const std::string& logicalName) {
  std::string out;
  text::appendEscaped(&out, logicalName, text::EscapeForm{keptAsIs, "%", true});
  // "." and ".." stay legal file names only when escaped.
  if (out == "." || out == "..") out = out == "." ? "%2E" : "%2E%2E";
  return out;
}

std::string objectPrefix() {
  const char* prefix = std::getenv(kObjectPrefixEnv);
  return escapeObjectName(prefix != nullptr ? prefix : kDefaultObjectPrefix);
}

std::string osObjectName(const std::string& logicalName) {
  std::string full = objectPrefix() + escapeObjectName(logicalName);
  if (full.size() > kMaxEscapedLength) {
    char tail[48];
    std::snprintf(tail, sizeof tail, "~%016llx-%zu",
                  static_cast<unsigned long long>(fnv1a64(logicalName)), logicalName.size());
    full.resize(kMaxEscapedLength - std::string(tail).size());
    full += tail;
  }
  return "/" + full;
}

}  // namespace evt::platform
