// JSON output shared by eventd and evt: text as a JSON string. Bytes 0x80 and
// above pass through unchanged; sequence numbers travel as strings, since
// JSON readers keep only 53 bits of a number.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace evt::tool {

inline std::string jsonString(std::string_view text) {
  std::string out = "\"";
  out.reserve(text.size() + 2);
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
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
