// The library's one exception type: a result code and the place it was thrown.
//
// Thrown by value, as `throw KelException(code, __FILE__, __LINE__)` (see
// KEL_THROW), when an object that had to be created could not be, and when a
// parameter-list text is malformed. It carries no message text.
#pragma once

#include "Library/CEExport.h"

class CE_EXPORT KelException {
 public:
  static constexpr int kLocationSize = 270;

  // `pszFile` may be null (empty location); longer locations are cut to fit.
  KelException(long lCode, const char* pszFile, long lLine);
  virtual ~KelException();

  long code() const { return m_lCode; }
  // "file.line" of the throw, at most kLocationSize - 1 characters.
  const char* location() const { return m_szLocation; }

 private:
  long m_lCode;
  char m_szLocation[kLocationSize];
};

#define KEL_THROW(code) throw KelException((code), __FILE__, __LINE__)
