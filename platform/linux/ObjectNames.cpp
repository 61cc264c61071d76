#include "platform/linux/ObjectNames.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

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
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(logicalName.size());
  for (unsigned char c : logicalName) {
    if (keptAsIs(c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
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
