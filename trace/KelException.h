// The library's one exception type: a result code and the place it was thrown.
//
// Thrown by value, as `throw KelException(code, __FILE__, __LINE__)` (see
// KEL_THROW), when an object that had to be created could not be, and when a
// parameter-list text is malformed. It is a std::exception, so a host that
// catches `const std::exception&` gets it too; what() names the code and the
// place, as "eventlib error 0xC11F0D56 at CategorySeqNo.cpp.63". Every text
// is built when the exception is, into the object itself: copying, what()
// and location() neither allocate nor throw.
#pragma once

#include <exception>

#include "../Library/CEExport.h"

class CE_EXPORT KelException : public std::exception {
 public:
  static constexpr int kLocationSize = 270;
  // "eventlib error 0x" + 8 digits + " at " + a location's file name.
  static constexpr int kWhatSize = kLocationSize + 32;

  // `pszFile` may be null (empty location); longer locations are cut to fit.
  KelException(long lCode, const char* pszFile, long lLine);
  ~KelException() override;

  long code() const { return m_lCode; }
  // "file.line" of the throw, at most kLocationSize - 1 characters.
  const char* location() const { return m_szLocation; }
  // "eventlib error 0xXXXXXXXX at NAME.LINE": the code as its 32-bit word and
  // the location without its folders ("eventlib error 0xXXXXXXXX" when the
  // location is empty).
  const char* what() const noexcept override;

 private:
  long m_lCode;
  char m_szLocation[kLocationSize];
  char m_szWhat[kWhatSize];
};

#define KEL_THROW(code) throw KelException((code), __FILE__, __LINE__)
