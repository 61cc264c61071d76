#include "Utilities/CParamsX.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "Library/CEResultCodes.h"
#include "platform/CPortable.h"
#include "Utilities/ParamsView.h"
#include "trace/KelException.h"

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Reads the length prefix of the item starting at `offset` of `text`: returns
// the value length, cut at the end of the text, and stores the prefix length
// (up to and including the first ';'). The number is read like strtol (leading
// blanks and '+' allowed, no digits giving 0); a missing or empty prefix and a
// negative length are malformed. Lengths are never trusted beyond the text, so
// no prefix can make the reader loop, go backwards or leave the buffer.
// Throws CE_E_MALFORMED_LIST where params::readPrefix says false.
std::size_t readPrefix(const std::string& text, std::size_t offset, std::size_t* prefixLength) {
  std::size_t valueLength = 0;
  if (!params::readPrefix(text, offset, prefixLength, &valueLength)) KEL_THROW(CE_E_MALFORMED_LIST);
  return valueLength;
}

// Pushes the offset of every item from `offset` to the end of `text`.
void indexItems(const std::string& text, std::size_t offset, std::vector<long>* offsets) {
  for (;;) {
    offsets->push_back(static_cast<long>(offset));
    std::size_t prefixLength = 0;
    std::size_t valueLength = readPrefix(text, offset, &prefixLength);
    std::size_t next = offset + prefixLength + valueLength + 1;  // prefixLength >= 2: always forward
    if (next >= text.size()) return;
    offset = next;
  }
}

// "0x" (or "0X") and eight hexadecimal digits at `p`, which holds at least 10
// characters; anything else is malformed.
long parseResultText(const char* p) {
  if (p[0] != '0' || (p[1] != 'x' && p[1] != 'X')) return CE_E_MALFORMED_LIST;
  uint32_t word = 0;
  for (int i = 2; i < 10; ++i) {
    char c = p[i];
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<uint32_t>(c - 'A' + 10);
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<uint32_t>(c - 'a' + 10);
    } else {
      return CE_E_MALFORMED_LIST;
    }
    word = (word << 4) | digit;
  }
  return ce::resultFromWord(word);
}

}  // namespace

CParamsX::CParamsX() = default;

CParamsX::CParamsX(long lReserve) {
  if (lReserve > 0) m_strParamList.reserve(static_cast<std::size_t>(lReserve));
}

CParamsX::CParamsX(std::string const& text) {
  try {
    constructor(text);
  } catch (const KelException&) {
    clear();
  }
}

CParamsX::CParamsX(std::string&& text) {
  try {
    constructor(std::move(text));
  } catch (const KelException&) {
    clear();
  }
}

CParamsX::CParamsX(const CParamsX& other)
    : m_nHeaderLength(other.m_nHeaderLength), m_strParamList(other.m_strParamList), m_vecOffsets(other.m_vecOffsets) {}

CParamsX::CParamsX(CParamsX&& other) noexcept
    : m_nHeaderLength(other.m_nHeaderLength),
      m_strParamList(std::move(other.m_strParamList)),
      m_vecOffsets(std::move(other.m_vecOffsets)) {
  other.clear();
}

CParamsX& CParamsX::operator=(CParamsX const& other) {
  if (this != &other) {
    m_nHeaderLength = other.m_nHeaderLength;
    m_strParamList = other.m_strParamList;
    m_vecOffsets = other.m_vecOffsets;
    m_pszParamList = nullptr;
  }
  return *this;
}

CParamsX& CParamsX::operator=(CParamsX&& other) noexcept {
  if (this != &other) {
    m_nHeaderLength = other.m_nHeaderLength;
    m_strParamList = std::move(other.m_strParamList);
    m_vecOffsets = std::move(other.m_vecOffsets);
    m_pszParamList = nullptr;
    other.clear();
  }
  return *this;
}

CParamsX::~CParamsX() = default;

void CParamsX::addHeader(std::string header) {
  if (header.empty()) return;
  m_strParamList = std::move(header);
  m_strParamList += ';';
  m_nHeaderLength = static_cast<int32_t>(m_strParamList.size());
  m_pszParamList = nullptr;
}

void CParamsX::addParam(std::string const& value) {
  if (m_strParamList.size() > static_cast<std::size_t>(m_nHeaderLength)) m_strParamList += ';';
  m_vecOffsets.push_back(static_cast<long>(m_strParamList.size()));
  m_strParamList += std::to_string(value.size());  // any length: no fixed-size prefix buffer
  m_strParamList += ';';
  m_strParamList += value;
  m_pszParamList = nullptr;
}

void CParamsX::addParam(long value) {
  char text[CPortable::kNumberTextSize];
  const auto written = std::to_chars(text, text + sizeof text, static_cast<int32_t>(value));  // as "%d"
  addParam(std::string(text, written.ptr));
}

void CParamsX::addParam(int value) { addParam(std::string(value != 0 ? "T" : "F")); }

void CParamsX::addParam(unsigned long long value) { addParam(CPortable::ulltos(value)); }

void CParamsX::addResult(long hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(ce::wordFromResult(hr)));
  addParam(std::string(text));
}

void CParamsX::append(std::string const& items) {
  if (items.empty()) return;
  const std::size_t oldSize = m_strParamList.size();
  if (oldSize > static_cast<std::size_t>(m_nHeaderLength)) m_strParamList += ';';
  const std::size_t first = m_strParamList.size();
  m_strParamList += items;
  m_pszParamList = nullptr;
  std::vector<long> added;
  try {
    indexItems(m_strParamList, first, &added);
  } catch (...) {
    m_strParamList.resize(oldSize);  // leave the list exactly as it was
    throw;
  }
  m_vecOffsets.insert(m_vecOffsets.end(), added.begin(), added.end());
}

void CParamsX::swap(CParamsX& other) noexcept {
  std::swap(m_nHeaderLength, other.m_nHeaderLength);
  m_strParamList.swap(other.m_strParamList);
  m_vecOffsets.swap(other.m_vecOffsets);
  m_pszParamList = nullptr;
  other.m_pszParamList = nullptr;
}

std::string CParamsX::takeParamList() {
  std::string text = std::move(m_strParamList);
  clear();
  return text;
}

void CParamsX::clear() {
  m_nHeaderLength = 0;
  m_strParamList.clear();
  m_pszParamList = nullptr;
  m_vecOffsets.clear();
}

void CParamsX::constructor(std::string const& text) { constructor(std::string(text)); }

void CParamsX::constructor(std::string&& text) {
  m_strParamList = std::move(text);
  m_pszParamList = nullptr;
  m_nHeaderLength = 0;
  m_vecOffsets.clear();
  const std::string& list = m_strParamList;
  if (list.empty()) return;
  m_nHeaderLength = static_cast<int32_t>(params::headerLength(list));
  if (static_cast<std::size_t>(m_nHeaderLength) >= list.size()) return;
  indexItems(m_strParamList, static_cast<std::size_t>(m_nHeaderLength), &m_vecOffsets);
}

long CParamsX::getLength(long lOffset, long* plPrefixLength) {
  m_pszParamList = m_strParamList.c_str();
  if (lOffset < 0) KEL_THROW(CE_E_MALFORMED_LIST);
  std::size_t prefixLength = 0;
  std::size_t valueLength = readPrefix(m_strParamList, static_cast<std::size_t>(lOffset), &prefixLength);
  if (plPrefixLength != nullptr) *plPrefixLength = static_cast<long>(prefixLength);
  return static_cast<long>(valueLength);
}

std::string CParamsX::valueAt(unsigned long index) {
  if (index >= count()) return std::string();
  long prefixLength = 0;
  long valueLength = getLength(m_vecOffsets[index], &prefixLength);
  return m_strParamList.substr(static_cast<std::size_t>(m_vecOffsets[index] + prefixLength),
                               static_cast<std::size_t>(valueLength));
}

std::string CParamsX::getstringParamAt(unsigned long dwIndex) { return valueAt(dwIndex); }

long CParamsX::getLongParamAt(unsigned long dwIndex) {
  return static_cast<long>(std::strtoll(valueAt(dwIndex).c_str(), nullptr, 10));
}

unsigned long long CParamsX::getULONGLONGParamAt(unsigned long dwIndex) {
  return CPortable::stoull(valueAt(dwIndex));
}

int CParamsX::getBOOLParamAt(unsigned long dwIndex) { return valueAt(dwIndex) == "T" ? 1 : 0; }

long CParamsX::getHRESULT() {
  if (count() == 0) return CE_E_MALFORMED_LIST;
  std::string value = valueAt(0);
  std::string upToNul(value.c_str());
  if (upToNul.size() != 10) return CE_E_MALFORMED_LIST;
  return parseResultText(upToNul.c_str());
}

long CParamsX::getHRESULT(std::string const& text) {
  if (text.empty()) return CE_E_MALFORMED_LIST;
  std::size_t start = 0;
  if (!isDigit(text[0])) {
    std::size_t semicolon = text.find(';');
    if (semicolon == std::string::npos) return CE_E_MALFORMED_LIST;
    start = semicolon + 1;
  }
  if (start >= text.size()) return CE_E_MALFORMED_LIST;
  if (std::strtoll(text.c_str() + start, nullptr, 10) != 10) return CE_E_MALFORMED_LIST;
  std::size_t semicolon = text.find(';', start);
  if (semicolon == std::string::npos || text.size() - (semicolon + 1) < 10) return CE_E_MALFORMED_LIST;
  return parseResultText(text.c_str() + semicolon + 1);
}

std::string CParamsX::getHeader() const {
  return m_nHeaderLength > 0 ? m_strParamList.substr(0, static_cast<std::size_t>(m_nHeaderLength) - 1)
                             : std::string();
}
