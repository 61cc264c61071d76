// JSON output shared by eventd and evt: text as a JSON string. Valid UTF-8
// passes through; any other byte is written as \u00XX (its Latin-1 reading),
// so the output stays valid JSON whatever the text holds. Sequence numbers
// travel as strings, since JSON readers keep only 53 bits of a number.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace evt::tool {

// The length of the valid UTF-8 sequence starting text[at] (2 to 4), or 0.
inline std::size_t utf8SequenceAt(std::string_view text, std::size_t at) {
  const unsigned char lead = static_cast<unsigned char>(text[at]);
  std::size_t length = 0;
  unsigned minimum = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, minimum = 0x10000;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  unsigned code = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char next = static_cast<unsigned char>(text[at + i]);
    if ((next & 0xC0) != 0x80) return 0;
    code = code << 6 | (next & 0x3F);
  }
  const bool valid = code >= minimum && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
  return valid ? length : 0;
}

inline std::string jsonString(std::string_view text) {
  std::string out = "\"";
  out.reserve(text.size() + 2);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte >= 0x20 && byte < 0x7F) {
      out += c;
    } else if (const std::size_t length = byte >= 0x80 ? utf8SequenceAt(text, i) : 0; length != 0) {
      out.append(text, i, length);
      i += length - 1;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    }
  }
  return out + "\"";
}

// "key value" lines as one JSON object. Values of plain digits are numbers,
// except sequence numbers (keys naming a seqno), which stay strings.
inline std::string jsonObjectOfLines(std::string_view lines) {
  std::string out = "{";
  while (!lines.empty()) {
    const std::size_t end = lines.find('\n');
    const std::string_view line = lines.substr(0, end);
    lines = end == std::string_view::npos ? std::string_view() : lines.substr(end + 1);
    const std::size_t space = line.find(' ');
    if (line.empty() || space == std::string_view::npos) continue;
    const std::string_view key = line.substr(0, space), value = line.substr(space + 1);
    const bool number = !value.empty() && value.size() < 16 && key.find("seqno") == std::string_view::npos &&
                        value.find_first_not_of("0123456789") == std::string_view::npos;
    if (out.size() > 1) out += ',';
    out += jsonString(key) + ":" + (number ? std::string(value) : jsonString(value));
  }
  return out + "}";
}

}  // namespace evt::tool
