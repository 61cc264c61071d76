#include "eventd/ServiceLog.h"

#include <cstdarg>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

namespace evt::service {
namespace {

std::unique_ptr<KelLogLib::CLogFile> g_serviceLog;

CE_PRINTF(1, 0) std::string formatted(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int size = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (size <= 0) return std::string();
  std::string text(static_cast<std::size_t>(size) + 1, '\0');
  std::vsnprintf(&text[0], text.size(), format, args);
  text.resize(static_cast<std::size_t>(size));
  return text;
}

void write(KelLogLib::LogLib_Priority priority, const char* prefix, const std::string& text) {
  if (g_serviceLog) {
    g_serviceLog->LogString(priority, "%s%s", prefix, text.c_str());
  } else {
    std::fprintf(stderr, "eventd: %s%s\n", prefix, text.c_str());
  }
}

}  // namespace

std::string printable(std::string_view text, std::size_t max) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  const std::size_t shown = std::min(text.size(), max);
  out.reserve(shown);
  for (std::size_t i = 0; i < shown; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      out += "\\x";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    }
  }
  if (shown < text.size()) out += "...(" + std::to_string(text.size() - shown) + " more bytes)";
  return out;
}

void openServiceLog() { g_serviceLog = std::make_unique<KelLogLib::CLogFile>("eventd", "eventd", true, true, true); }

void closeServiceLog() { g_serviceLog.reset(); }

void logInfo(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = formatted(format, args);
  va_end(args);
  write(KelLogLib::LOGLIB_PRIORITY_INFO, "", text);
}

void logError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = formatted(format, args);
  va_end(args);
  write(KelLogLib::LOGLIB_PRIORITY_ERROR, "(Error) ", text);
}

void tellOperator(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = formatted(format, args);
  va_end(args);
  write(KelLogLib::LOGLIB_PRIORITY_ERROR, "(Error) ", text);
  if (g_serviceLog && !g_serviceLog->path().empty()) std::fprintf(stderr, "eventd: %s\n", text.c_str());
}

}  // namespace evt::service
