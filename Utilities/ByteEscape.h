// Writing arbitrary bytes (category names, client names) where only some
// are allowed: object names in /dev/shm, NATS subject tokens, log lines.
// Each place keeps its own form, which peers and stored objects rely on.
#pragma once

#include <string>
#include <string_view>

namespace evt::text {

struct EscapeForm {
  bool (*kept)(unsigned char c);  // written as it is
  const char* marker;             // written before the two hex digits of any other byte
  bool upperHex;
};

// Appends `text` to *out in `form`.
inline void appendEscaped(std::string* out, std::string_view text, const EscapeForm& form) {
  const char* digits = form.upperHex ? "0123456789ABCDEF" : "0123456789abcdef";
  out->reserve(out->size() + text.size());
  for (const char byte : text) {
    const unsigned char c = static_cast<unsigned char>(byte);
    if (form.kept(c)) {
      out->push_back(byte);
    } else {
      out->append(form.marker);
      out->push_back(digits[c >> 4]);
      out->push_back(digits[c & 0xF]);
    }
  }
}

}  // namespace evt::text
