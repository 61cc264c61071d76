#include "trace/KelException.h"

#include <cstdio>

KelException::KelException(long lCode, const char* pszFile, long lLine) : m_lCode(lCode) {
  m_szLocation[0] = '\0';
  if (pszFile != nullptr) {
    // snprintf cuts at the buffer's end and always terminates.
    std::snprintf(m_szLocation, sizeof m_szLocation, "%s.%d", pszFile, static_cast<int>(lLine));
  }
}

KelException::~KelException() = default;
