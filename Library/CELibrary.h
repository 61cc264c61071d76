// Public header of the event client library.
#pragma once

#include "Library/CEExport.h"
#include "Library/CEResultCodes.h"
#include "Library/CEventHandlers.h"
#include "Library/CEventLib.h"
#include "Utilities/CParamsX.h"
#include "trace/KelException.h"
#include "trace/_Trace.h"
