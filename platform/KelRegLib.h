// The registry library: named configuration values of this machine, such as
// "LocalDBServerID", read from a key = value file.
//
// The file is $EVT_REGISTRY_FILE, else /etc/evt/registry.conf. It is read when
// the CRegLib is constructed; a missing file is an empty registry.
#pragma once

#include <cstdint>
#include <string>

#include "Library/CEExport.h"
#include "platform/linux/KeyValueFile.h"

namespace KelRegLib {

constexpr const char* kRegistryFileEnv = "EVT_REGISTRY_FILE";
constexpr const char* kDefaultRegistryFile = "/etc/evt/registry.conf";

class CRegKey;

class CE_EXPORT CRegLib {
 public:
  enum LOCATION { LOCATION_DEFAULT = 0 };
  enum eDataType { DATA_STRING = 1, DATA_UINT32 = 2 };

  // `path`, when not null, names the file instead of the default; `section`
  // is accepted for compatibility. *status (may be null) receives 0, or
  // KELREG_E_NOT_FOUND when the file could not be read.
  CRegLib(const char* path, const char* section, LOCATION location, int* status);
  ~CRegLib();
  CRegLib(const CRegLib&) = delete;
  CRegLib& operator=(const CRegLib&) = delete;

  CRegKey& RootKey() const;

 private:
  CRegKey* m_pRoot;
};

class CE_EXPORT CRegKey {
 public:
  explicit CRegKey(evt::platform::KeyValues values) : m_values(std::move(values)) {}
  // Null when the key holds no such value.
  const std::string* find(const std::string& name) const;

 private:
  evt::platform::KeyValues m_values;
};

// Reads value `name` of `key` as `type`. DATA_UINT32: a decimal or 0x number
// below 2^32, written as exactly 4 bytes (native order) when *size >= 4.
// DATA_STRING: the text and its NUL, when they fit in *size. On success *size
// is the number of bytes written and the result 0; otherwise KELREG_E_NOT_FOUND,
// KELREG_E_BAD_VALUE or KELREG_E_BUFFER, and `data` is untouched.
CE_EXPORT long KelRegQueryValue(CRegKey& key, const char* name, CRegLib::eDataType& type, unsigned char* data,
                                unsigned long* size);

// This machine's "LocalDBServerID" from the default registry: 0 and *pId,
// or the query's failure with *pId untouched.
long queryLocalDBServerId(uint32_t* pId);
// Value `name` of the default registry as text: 0 and *value, or
// KELREG_E_NOT_FOUND with *value untouched.
long queryRegistryText(const char* name, std::string* value);

}  // namespace KelRegLib
