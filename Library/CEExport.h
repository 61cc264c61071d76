// Symbol visibility of the client library. The library is built with
// -fvisibility=hidden; only what carries CE_EXPORT is part of its ABI.
#pragma once

#define CE_EXPORT __attribute__((visibility("default")))

// printf-style checking for variadic logging functions (arguments count `this`).
#define CE_PRINTF(fmt, first) __attribute__((format(printf, fmt, first)))
