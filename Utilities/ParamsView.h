// ParamsView: a read-only, allocation-free reading of a parameter-list text
// (the encoding CParamsX writes; see CParamsX.h). Items are views into the
// text, which the caller keeps alive and unchanged while the view is used.
//
// Reads exactly what CParamsX(text) reads: the same header, the same items,
// and an empty list for malformed text. Lists of up to kInlineItems items are
// read without touching the heap; longer ones keep the rest in a vector.
//
// Not safe for concurrent use; cheap to build, meant to live on the stack.
#pragma once

#include <array>
#include <charconv>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class ParamsView {
 public:
  static constexpr std::size_t kInlineItems = 8;

  ParamsView() = default;
  explicit ParamsView(std::string_view text);
  ParamsView(const ParamsView&) = delete;
  ParamsView& operator=(const ParamsView&) = delete;
  // Reads `text` instead, keeping the storage of a long list's items.
  void assign(std::string_view text);

  std::size_t count() const { return m_count; }
  // The value of item `index`; "" when out of range.
  std::string_view itemAt(std::size_t index) const;
  std::string getstringParamAt(std::size_t index) const { return std::string(itemAt(index)); }
  // The same conversions as CParamsX's getters of the same names.
  long getLongParamAt(std::size_t index) const;
  unsigned long long getULONGLONGParamAt(std::size_t index) const;
  std::string_view header() const { return m_header; }

 private:
  bool read(std::string_view text);
  void push(std::string_view item) {
    if (m_count < kInlineItems) {
      m_inline[m_count] = item;
    } else {
      if (m_more.empty()) m_more.reserve(64);
      m_more.push_back(item);
    }
    ++m_count;
  }

  std::string_view m_header;
  std::size_t m_count = 0;
  std::array<std::string_view, kInlineItems> m_inline;  // the first m_count are set
  std::vector<std::string_view> m_more;
};

namespace params {

// The length prefix of the item starting at `offset` of `text`: stores the
// value length, cut at the end of the text, and the prefix length up to and
// including its ';'. False for a missing or empty prefix or a negative length.
// The one reader of prefixes, shared by CParamsX and ParamsView.
bool readPrefix(std::string_view text, std::size_t offset, std::size_t* prefixLength, std::size_t* valueLength);

// Whether `text` is exactly a header-less list as CParamsX writes it: empty,
// or items "length;value" joined by ';', every length plain decimal digits
// that match its value, nothing after the last value. Readers are lenient
// (a cut value is shortened, an unreadable text reads as no items); hosts'
// keys are checked with this before they travel, so that a mistyped list is
// refused rather than read as something else.
bool isPlainList(std::string_view text);

// Where the items of `text` begin: after its header, when it has one ("hdr;"
// before a first item; a header never begins with a digit), else 0.
std::size_t headerLength(std::string_view text);

// Appends one item ("length;value") to a header-less list text, with the ';'
// between items; what CParamsX::addParam does to its text.
void appendItem(std::string* list, std::string_view value);
// The same for a number item, in decimal ("%d" / "%llu" of the value).
template <typename Integer>
void appendNumberItem(std::string* list, Integer value) {
  char digits[24];
  const auto written = std::to_chars(digits, digits + sizeof digits, value);
  appendItem(list, std::string_view(digits, static_cast<std::size_t>(written.ptr - digits)));
}

// strtoll and CPortable::stoull of a value's leading characters.
long long toLongLong(std::string_view value);
unsigned long long toULongLong(std::string_view value);

}  // namespace params
