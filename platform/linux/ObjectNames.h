// Maps the logical names of machine-wide objects ("Share-SeqNoInfo-<category>")
// to POSIX shared-memory names.
//
// Category names are arbitrary bytes, so the mapping escapes every byte outside
// [A-Za-z0-9._-] as %XX: injective, never a '/', never "..". Results longer than
// kMaxEscapedLength are cut and completed with "~<64-bit hash>-<length>" ('~'
// never appears in escaped text, so shortened names cannot equal plain ones).
// A prefix taken from the environment (EVT_SHM_PREFIX) keeps sets of processes,
// such as parallel tests, apart; every process of one set must use the same one.
#pragma once

#include <string>

namespace evt::platform {

constexpr const char* kObjectPrefixEnv = "EVT_SHM_PREFIX";
constexpr const char* kDefaultObjectPrefix = "evt.";
constexpr std::size_t kMaxEscapedLength = 200;  // the system limit is 255 per name

std::string escapeObjectName(const std::string& logicalName);
// The current prefix, escaped like a name.
std::string objectPrefix();
// "/" + objectPrefix() + escaped logical name, shortened as a whole when long.
std::string osObjectName(const std::string& logicalName);

}  // namespace evt::platform
