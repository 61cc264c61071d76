// KelLogLib::CLogFileRegistry: gives its log file the trace mask configured
// for this process.
#include <cstdlib>

#include "platform/KelLogLib.h"
#include "platform/linux/KeyValueFile.h"

namespace KelLogLib {
namespace {

// Decimal, 0x-hexadecimal or 0-octal; anything unreadable counts as unset.
bool parseMask(const std::string& text, uint32_t* mask) {
  if (text.empty()) return false;
  char* end = nullptr;
  unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (end == text.c_str() || *end != '\0' || text[0] == '-') return false;
  *mask = static_cast<uint32_t>(value);
  return true;
}

uint32_t configuredTraceMask() {
  uint32_t mask = 0;
  const char* env = std::getenv(kTraceMaskEnv);
  if (env != nullptr && parseMask(env, &mask)) return mask;
  const char* config = std::getenv(kLogConfigEnv);
  evt::platform::KeyValues values;
  if (config != nullptr && evt::platform::readKeyValueFile(config, &values)) {
    auto it = values.find("trace_mask");
    if (it != values.end() && parseMask(it->second, &mask)) return mask;
  }
  return 0;
}

}  // namespace

CLogFileRegistry::CLogFileRegistry(CLogFile* logFile, const char* registryName, const char*, const char*,
                                   const char*, int, unsigned long, unsigned long, unsigned long,
                                   unsigned long, unsigned long, unsigned long, unsigned long, unsigned long,
                                   unsigned long, int, int, unsigned long, int, int)
    : m_pLogFile(logFile), m_strRegistryName(registryName != nullptr ? registryName : "") {
  if (m_pLogFile != nullptr) m_pLogFile->m_dwTraceMask.store(configuredTraceMask(), std::memory_order_relaxed);
}

CLogFileRegistry::~CLogFileRegistry() = default;

}  // namespace KelLogLib
