// CParamsX: the length-prefixed text encoding of every message body.
//
// A list is an optional header ("hdr;") followed by items, each written as its
// decimal length, ';' and its value, items joined by ';':
//     "hdr;3;abc;10;0x00000000;1;T"
// Values are any text without NUL; they may hold ';' and digits because the
// reader uses the length. Lists nest by adding one list's text as an item.
//
// Malformed text: CParamsX(text) never throws a KelException and yields an
// empty list; constructor(), append() and the getters throw
// KelException(CE_E_MALFORMED_LIST). Negative length prefixes are malformed;
// a length running past the end of the text ends the list, and that item
// reads up to the end.
//
// Not safe for concurrent use; each list is used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "../Library/CEExport.h"

class CE_EXPORT CParamsX {
 public:
  CParamsX();
  explicit CParamsX(long lReserve);
  // Parses `text`; malformed text gives an empty list.
  explicit CParamsX(std::string const& text);
  // The same, taking the text's storage instead of copying it.
  explicit CParamsX(std::string&& text);
  CParamsX(const CParamsX& other);
  CParamsX(CParamsX&& other) noexcept;
  CParamsX& operator=(CParamsX const& other);
  CParamsX& operator=(CParamsX&& other) noexcept;
  ~CParamsX();

  // Building. addHeader is for an empty list; the header must not begin with
  // a digit nor contain ';'. An empty header changes nothing.
  void addHeader(std::string header);
  void addParam(std::string const& value);
  void addParam(const char* value) { addParam(std::string(value != nullptr ? value : "")); }
  // Numbers are signed 32-bit on the wire ("%d" of the value as int32_t), in
  // both ABIs; a wider `long` keeps its low 32 bits.
  void addParam(long value);
  // The boolean form: "T" for non-zero, "F" for zero.
  void addParam(int value);
  void addParam(unsigned long long value);
  // "0x%08X" of the result's 32-bit word.
  void addResult(long hr);
  // Appends the items of a header-less list text; all or nothing. Empty text
  // does nothing.
  void append(std::string const& items);
  // Empties the list; its storage is kept for what is added next.
  void clear();
  // Exchanges the two lists, storage included.
  void swap(CParamsX& other) noexcept;

  // Parsing, for a fresh object; CParamsX(text) is the usual way.
  void constructor(std::string const& text);
  void constructor(std::string&& text);
  // Value length of the item whose prefix starts at `lOffset`, and the prefix
  // length including its ';' in *plPrefixLength.
  long getLength(long lOffset, long* plPrefixLength);

  // Getters: out-of-range indexes give "", 0 or false.
  std::string getstringParamAt(unsigned long dwIndex);
  // strtoll of the value's leading characters, as a long (non-numeric: 0). A
  // number item written by this class reads back exactly through int32_t.
  long getLongParamAt(unsigned long dwIndex);
  unsigned long long getULONGLONGParamAt(unsigned long dwIndex);
  int getBOOLParamAt(unsigned long dwIndex);
  // The result code carried as the first item; CE_E_MALFORMED_LIST when there
  // is none or it is not "0x" and eight hexadecimal digits.
  long getHRESULT();
  // The same on a text, without building a list; never throws.
  static long getHRESULT(std::string const& text);

  std::string getHeader() const;
  unsigned long count() const { return static_cast<unsigned long>(m_vecOffsets.size()); }
  unsigned long length() const { return static_cast<unsigned long>(m_strParamList.size()); }
  std::string paramList() const { return m_strParamList; }
  const std::string& paramListRef() const { return m_strParamList; }
  // Moves the text out, leaving the list empty.
  std::string takeParamList();
  void dump() const {}

 private:
  std::string valueAt(unsigned long index);

  int32_t m_nHeaderLength = 0;
  std::string m_strParamList;
  // Characters of m_strParamList, refreshed at every use, so copies and moves
  // can never read another object's text.
  mutable const char* m_pszParamList = nullptr;
  std::vector<long> m_vecOffsets;
};
