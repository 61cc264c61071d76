#include "eventd/ServiceLog.h"

#include <cstdarg>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "Utilities/ByteEscape.h"

namespace evt::service {
namespace {

std::unique_ptr<KelLogLib::CLogFile> g_serviceLog;

using Clock = std::chrono::steady_clock;
constexpr Clock::duration kLogWindow = std::chrono::seconds(1);

// The client the lines logged now are charged to (none: eventd's own).
LogAllowance* g_scope = nullptr;
bool g_lastWord = false;
LogAllowance g_allClients;  // its leftOut: lines the common bound left out

// Counts a line against `allowance`; false when its window is full.
bool take(LogAllowance& allowance, unsigned perWindow, Clock::time_point now) {
  if (now - allowance.windowStart >= kLogWindow) {
    allowance.windowStart = now;
    allowance.lines = 0;
  }
  if (allowance.lines >= perWindow) return false;
  ++allowance.lines;
  return true;
}

// Whether a line charged to g_scope may be written; a suffix for it when
// lines of the client were left out before it.
bool admitted(std::string* suffix) {
  if (g_scope == nullptr) return true;
  const Clock::time_point now = Clock::now();
  if (!g_lastWord && !take(*g_scope, kClientLinesPerSecond, now)) {
    ++g_scope->leftOut;
    return false;
  }
  if (!take(g_allClients, kAllClientLinesPerSecond, now)) {
    ++g_allClients.leftOut;
    return false;
  }
  if (g_scope->leftOut > 0) {
    *suffix = " (" + std::to_string(g_scope->leftOut) + " lines of this client left out before)";
    g_scope->leftOut = 0;
  }
  return true;
}

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

void writeLine(KelLogLib::LogLib_Priority priority, const char* prefix, const std::string& text,
               const std::string& suffix) {
  if (g_serviceLog) {
    g_serviceLog->LogString(priority, "%s%s%s", prefix, text.c_str(), suffix.c_str());
  } else {
    std::fprintf(stderr, "eventd: %s%s%s\n", prefix, text.c_str(), suffix.c_str());
  }
}

// The line goes out unless the client it is charged to used up its lines.
// Formatting comes before the check: a line's arguments are cheap next to
// writing it.
void write(KelLogLib::LogLib_Priority priority, const char* prefix, const std::string& text) {
  std::string suffix;
  if (admitted(&suffix)) writeLine(priority, prefix, text, suffix);
}

}  // namespace

std::string printable(std::string_view text, std::size_t max) {
  const auto shownAsIs = [](unsigned char c) { return c >= 0x20 && c < 0x7F && c != '\\'; };
  std::string out;
  const std::size_t shown = std::min(text.size(), max);
  evt::text::appendEscaped(&out, text.substr(0, shown), evt::text::EscapeForm{shownAsIs, "\\x", false});
  if (shown < text.size()) out += "...(" + std::to_string(text.size() - shown) + " more bytes)";
  return out;
}

ClientLogScope::ClientLogScope(LogAllowance* allowance, bool lastWord)
    : m_previous(g_scope), m_previousLastWord(g_lastWord) {
  g_scope = allowance;
  g_lastWord = lastWord;
}

ClientLogScope::~ClientLogScope() {
  g_scope = m_previous;
  g_lastWord = m_previousLastWord;
}

void settleClientLog() {
  if (g_allClients.leftOut == 0 || Clock::now() - g_allClients.windowStart < kLogWindow) return;
  const uint64_t leftOut = g_allClients.leftOut;
  g_allClients.leftOut = 0;
  writeLine(KelLogLib::LOGLIB_PRIORITY_INFO, "",
            std::to_string(leftOut) + " lines caused by clients left out (more than " +
                std::to_string(kAllClientLinesPerSecond) + " a second)",
            std::string());
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
  writeLine(KelLogLib::LOGLIB_PRIORITY_ERROR, "(Error) ", text, std::string());
  if (g_serviceLog && !g_serviceLog->path().empty()) std::fprintf(stderr, "eventd: %s\n", text.c_str());
}

}  // namespace evt::service
