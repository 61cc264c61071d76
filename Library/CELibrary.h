// Public header of the event client library. The installed headers include
// one another by paths relative to themselves, so a host needs only the
// install's include folder on its path and writes
// #include <eventlib/CELibrary.h> (or <eventlib/Library/CELibrary.h>).
#pragma once

#include "CEExport.h"
#include "CEResultCodes.h"
#include "CEventHandlers.h"
#include "CEventLib.h"
#include "../Utilities/CParamsX.h"
#include "../trace/KelException.h"
#include "../trace/_Trace.h"
