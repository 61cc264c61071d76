#include "trace/KelException.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

KelException::KelException(long lCode, const char* pszFile, long lLine) : m_lCode(lCode) {
  m_szLocation[0] = '\0';
  if (pszFile != nullptr) {
    // snprintf cuts at the buffer's end and always terminates.
    std::snprintf(m_szLocation, sizeof m_szLocation, "%s.%d", pszFile, static_cast<int>(lLine));
  }
  // The code as the 32-bit word the headers and logs show, whatever the
  // width of long; the place by its file name alone, since the folders are
  // those of whichever machine built the library.
  const unsigned word = static_cast<uint32_t>(static_cast<unsigned long>(lCode));
  const char* slash = std::strrchr(m_szLocation, '/');
  const char* place = slash != nullptr ? slash + 1 : m_szLocation;
  if (*place != '\0') {
    std::snprintf(m_szWhat, sizeof m_szWhat, "eventlib error 0x%08X at %s", word, place);
  } else {
    std::snprintf(m_szWhat, sizeof m_szWhat, "eventlib error 0x%08X", word);
  }
}

KelException::~KelException() = default;

const char* KelException::what() const noexcept { return m_szWhat; }
