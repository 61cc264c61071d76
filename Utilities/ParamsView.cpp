#include "Utilities/ParamsView.h"

#include <charconv>
#include <cstdlib>

#include "platform/CPortable.h"

namespace params {
namespace {

// Plain decimal digits, as every number this system writes is: read here,
// without copying. Anything else goes through the C conversions.
bool plainDigits(std::string_view value, unsigned long long* number) {
  if (value.empty() || value.size() > 18) return false;  // 18 digits cannot overflow
  unsigned long long result = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return false;
    result = result * 10 + static_cast<unsigned>(c - '0');
  }
  *number = result;
  return true;
}

}  // namespace

bool readPrefix(std::string_view text, std::size_t offset, std::size_t* prefixLength, std::size_t* valueLength) {
  // The common case in one pass: plain digits up to the ';'.
  std::size_t digits = 0;
  unsigned long long length = 0;
  while (offset + digits < text.size() && digits < 18) {
    const char c = text[offset + digits];
    if (c < '0' || c > '9') break;
    length = length * 10 + static_cast<unsigned>(c - '0');
    ++digits;
  }
  if (digits > 0 && offset + digits < text.size() && text[offset + digits] == ';') {
    *prefixLength = digits + 1;
    const std::size_t available = text.size() - (offset + digits + 1);
    *valueLength = length < available ? static_cast<std::size_t>(length) : available;
    return true;
  }
  const std::size_t semicolon = offset < text.size() ? text.find(';', offset) : std::string_view::npos;
  if (semicolon == std::string_view::npos || semicolon == offset) return false;
  unsigned long long plain = 0;
  // strtoll stops at the ';' at the latest, so it never reads past the view.
  const long long declared = plainDigits(text.substr(offset, semicolon - offset), &plain)
                                 ? static_cast<long long>(plain)
                                 : std::strtoll(text.data() + offset, nullptr, 10);
  if (declared < 0) return false;
  *prefixLength = semicolon - offset + 1;
  const std::size_t available = text.size() - (semicolon + 1);
  *valueLength = static_cast<unsigned long long>(declared) < available ? static_cast<std::size_t>(declared) : available;
  return true;
}

bool isPlainList(std::string_view text) {
  std::size_t offset = 0;
  while (offset < text.size()) {
    std::size_t digits = 0;
    unsigned long long length = 0;
    while (offset + digits < text.size() && text[offset + digits] >= '0' && text[offset + digits] <= '9' &&
           digits < 18) {
      length = length * 10 + static_cast<unsigned>(text[offset + digits] - '0');
      ++digits;
    }
    if (digits == 0 || offset + digits >= text.size() || text[offset + digits] != ';') return false;
    const std::size_t value = offset + digits + 1;
    if (length > text.size() - value) return false;
    const std::size_t end = value + static_cast<std::size_t>(length);
    if (end == text.size()) return true;
    if (text[end] != ';' || end + 1 == text.size()) return false;
    offset = end + 1;
  }
  return true;
}

std::size_t headerLength(std::string_view text) {
  if (text.empty() || (text[0] >= '0' && text[0] <= '9')) return 0;
  const std::size_t semicolon = text.find(';');
  return semicolon == std::string_view::npos ? 0 : semicolon + 1;
}

void appendItem(std::string* list, std::string_view value) {
  char digits[CPortable::kNumberTextSize];
  const auto written = std::to_chars(digits, digits + sizeof digits, value.size());
  if (!list->empty()) *list += ';';
  list->append(digits, written.ptr);
  *list += ';';
  list->append(value.data(), value.size());
}

namespace {

// Runs `convert` on a NUL-terminated copy of `value`: on the stack when short.
template <typename Convert>
auto withCString(std::string_view value, Convert convert) {
  char buffer[64];
  if (value.size() < sizeof buffer) {
    value.copy(buffer, value.size());
    buffer[value.size()] = '\0';
    return convert(buffer);
  }
  const std::string copy(value);
  return convert(copy.c_str());
}

}  // namespace

long long toLongLong(std::string_view value) {
  unsigned long long number = 0;
  if (!value.empty() && value[0] == '-' && plainDigits(value.substr(1), &number))
    return -static_cast<long long>(number);
  if (plainDigits(value, &number)) return static_cast<long long>(number);
  return withCString(value, [](const char* text) { return std::strtoll(text, nullptr, 10); });
}

unsigned long long toULongLong(std::string_view value) {
  unsigned long long number = 0;
  if (plainDigits(value, &number)) return number;
  return withCString(value, [](const char* text) { return CPortable::stoull(text); });
}

}  // namespace params

ParamsView::ParamsView(std::string_view text) { assign(text); }

void ParamsView::assign(std::string_view text) {
  m_header = std::string_view();
  m_count = 0;
  m_more.clear();
  if (!read(text)) {
    m_header = std::string_view();
    m_count = 0;
    m_more.clear();
  }
}

bool ParamsView::read(std::string_view text) {
  if (text.empty()) return true;
  std::size_t offset = params::headerLength(text);
  if (offset > 0) m_header = text.substr(0, offset - 1);
  while (offset < text.size()) {
    std::size_t prefixLength = 0;
    std::size_t valueLength = 0;
    if (!params::readPrefix(text, offset, &prefixLength, &valueLength)) return false;
    push(text.substr(offset + prefixLength, valueLength));
    offset += prefixLength + valueLength + 1;  // past the ';' after the value
  }
  return true;
}

std::string_view ParamsView::itemAt(std::size_t index) const {
  if (index >= m_count) return std::string_view();
  return index < kInlineItems ? m_inline[index] : m_more[index - kInlineItems];
}

long ParamsView::getLongParamAt(std::size_t index) const {
  return static_cast<long>(params::toLongLong(itemAt(index)));
}

unsigned long long ParamsView::getULONGLONGParamAt(std::size_t index) const {
  return params::toULongLong(itemAt(index));
}
