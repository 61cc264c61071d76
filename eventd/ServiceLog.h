// The service's log: lines go to eventd.log in the log directory
// ($EVT_LOG_DIR, or "stderr"). Until openServiceLog() they go to standard
// error. Single-threaded use.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "Library/CEExport.h"
#include "platform/KelLogLib.h"

namespace evt::service {

void openServiceLog();
void closeServiceLog();

void logInfo(const char* format, ...) CE_PRINTF(1, 2);
void logError(const char* format, ...) CE_PRINTF(1, 2);  // prefixes "(Error) "
// An error the person who started eventd must hear of: logged as by
// logError and, unless the log is standard error already, also printed
// there ("eventd: <text>").
void tellOperator(const char* format, ...) CE_PRINTF(1, 2);

// Lines a client causes are bounded: while a ClientLogScope is open, every
// line logged counts against its allowance (at most kClientLinesPerSecond a
// second) and against all clients' lines together (kAllClientLinesPerSecond).
// A line over either bound is left out and counted: the client's next line
// written says how many of its lines were left out, and settleClientLog()
// says how many were left out over the common bound.
constexpr unsigned kClientLinesPerSecond = 10;
constexpr unsigned kAllClientLinesPerSecond = 100;

struct LogAllowance {
  std::chrono::steady_clock::time_point windowStart;
  unsigned lines = 0;    // written in the window
  uint64_t leftOut = 0;  // left out since the last line written
};

// Attributes the lines logged while it lives to `allowance` (not owned;
// outlives the scope). Scopes nest: the innermost counts. `lastWord`: the
// client's last line (its leaving), which its own bound does not hold back,
// so that the count of its lines left out is said.
class ClientLogScope {
 public:
  explicit ClientLogScope(LogAllowance* allowance, bool lastWord = false);
  ~ClientLogScope();
  ClientLogScope(const ClientLogScope&) = delete;
  ClientLogScope& operator=(const ClientLogScope&) = delete;

 private:
  LogAllowance* m_previous;
  bool m_previousLastWord;
};

// Logs how many clients' lines the common bound left out, once a second at
// most; called by the loop every round.
void settleClientLog();

// Text a client supplied (its name, a category), fit for one log line: bytes
// outside printable ASCII and the backslash written as \xNN, and at most
// `max` bytes of it, the rest counted.
std::string printable(std::string_view text, std::size_t max = 256);

}  // namespace evt::service
