#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "Library/CEResultCodes.h"
#include "platform/KelRegLib.h"

namespace KelRegLib {
namespace {

std::string registryPath(const char* path) {
  if (path != nullptr && *path != '\0') return path;
  const char* env = std::getenv(kRegistryFileEnv);
  return env != nullptr && *env != '\0' ? env : kDefaultRegistryFile;
}

bool parseUint32(const std::string& text, uint32_t* value) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
  if (end == text.c_str() || *end != '\0' || errno == ERANGE || parsed > 0xFFFFFFFFull) return false;
  *value = static_cast<uint32_t>(parsed);
  return true;
}

}  // namespace

CRegLib::CRegLib(const char* path, const char*, LOCATION, int* status) {
  evt::platform::KeyValues values;
  bool read = evt::platform::readKeyValueFile(registryPath(path), &values);
  if (status != nullptr) *status = read ? 0 : static_cast<int>(KELREG_E_NOT_FOUND);
  m_pRoot = new CRegKey(std::move(values));
}

CRegLib::~CRegLib() { delete m_pRoot; }

CRegKey& CRegLib::RootKey() const { return *m_pRoot; }

const std::string* CRegKey::find(const std::string& name) const {
  auto it = m_values.find(name);
  return it != m_values.end() ? &it->second : nullptr;
}

long KelRegQueryValue(CRegKey& key, const char* name, CRegLib::eDataType& type, unsigned char* data,
                      unsigned long* size) {
  if (name == nullptr || size == nullptr) return KELREG_E_NOT_FOUND;
  const std::string* text = key.find(name);
  if (text == nullptr) return KELREG_E_NOT_FOUND;
  switch (type) {
    case CRegLib::DATA_UINT32: {
      uint32_t value = 0;
      if (!parseUint32(*text, &value)) return KELREG_E_BAD_VALUE;
      if (data == nullptr || *size < sizeof value) return KELREG_E_BUFFER;
      std::memcpy(data, &value, sizeof value);
      *size = sizeof value;
      return 0;
    }
    case CRegLib::DATA_STRING: {
      if (data == nullptr || *size < text->size() + 1) return KELREG_E_BUFFER;
      std::memcpy(data, text->c_str(), text->size() + 1);
      *size = static_cast<unsigned long>(text->size() + 1);
      return 0;
    }
  }
  return KELREG_E_BAD_VALUE;
}

long queryLocalDBServerId(uint32_t* pId) {
  CRegLib registry(nullptr, nullptr, CRegLib::LOCATION_DEFAULT, nullptr);
  CRegLib::eDataType type = CRegLib::DATA_UINT32;
  uint32_t value = 0;
  unsigned long size = sizeof value;
  long result = KelRegQueryValue(registry.RootKey(), "LocalDBServerID", type, reinterpret_cast<unsigned char*>(&value),
                                 &size);
  if (result >= 0) *pId = value;
  return result;
}

long queryRegistryText(const char* name, std::string* value) {
  CRegLib registry(nullptr, nullptr, CRegLib::LOCATION_DEFAULT, nullptr);
  const std::string* text = registry.RootKey().find(name);
  if (text == nullptr) return KELREG_E_NOT_FOUND;
  *value = *text;
  return 0;
}

}  // namespace KelRegLib
