// The service's log: lines go to eventd.log in the log directory
// ($EVT_LOG_DIR, or "stderr"). Until openServiceLog() they go to standard
// error. Single-threaded use.
#pragma once

#include "Library/CEExport.h"
#include "platform/KelLogLib.h"

namespace evt::service {

void openServiceLog();
void closeServiceLog();

void logInfo(const char* format, ...) CE_PRINTF(1, 2);
void logError(const char* format, ...) CE_PRINTF(1, 2);  // prefixes "(Error) "

}  // namespace evt::service
