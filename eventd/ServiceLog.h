// The service's log: lines go to eventd.log in the log directory
// ($EVT_LOG_DIR, or "stderr"). Until openServiceLog() they go to standard
// error. Single-threaded use.
#pragma once

#include <cstddef>
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

// Text a client supplied (its name, a category), fit for one log line: bytes
// outside printable ASCII and the backslash written as \xNN, and at most
// `max` bytes of it, the rest counted.
std::string printable(std::string_view text, std::size_t max = 256);

}  // namespace evt::service
