// Installed as <eventlib/CELibrary.h>: the one header a host includes.
#pragma once

#include "Library/CELibrary.h"
