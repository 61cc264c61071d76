// Result codes shared by every layer of the library.
//
// A result is a 32-bit signed value: 0 (or positive) for success, negative for
// failure. The codes are HRESULT-style words such as 0xC11F0D4E; written as a
// plain literal that word is a positive number when `long` is 64 bits wide, so
// every code is defined here once, sign-extended through int32_t, and callers
// only ever compare against these constants or test the sign.
#pragma once

#include <cstdint>

namespace ce {

// The result `long` carrying the 32-bit word `word`, negative when its top bit is set.
constexpr long resultFromWord(uint32_t word) { return static_cast<long>(static_cast<int32_t>(word)); }

// The 32-bit word of a result, for headers and "0x%08X" printing.
constexpr uint32_t wordFromResult(long result) { return static_cast<uint32_t>(result); }

}  // namespace ce

// Library results.
constexpr long CE_S_OK = 0;
constexpr long CE_E_CREATE = ce::resultFromWord(0xC11F0D48u);            // object not created; category list full
constexpr long CE_E_NOT_CONNECTED = ce::resultFromWord(0xC11F0D4Au);     // not connected to the service
constexpr long CE_E_THREAD = ce::resultFromWord(0xC11F0D4Du);            // a thread could not be created
constexpr long CE_E_STOPPING = ce::resultFromWord(0xC11F0D4Eu);          // engine stopping, or channel closed
constexpr long CE_E_ANSWER_MISMATCH = ce::resultFromWord(0xC11F0D51u);   // answer is not for the command sent
constexpr long CE_E_INVALID_TEXT = ce::resultFromWord(0xC11F0D52u);      // a text holds a NUL, or a category is reserved
constexpr long CE_E_HANDLER_THREW = ce::resultFromWord(0xC11F0D53u);     // a host handler threw an exception
constexpr long CE_E_STORE_BUSY = ce::resultFromWord(0xC11F0D54u);        // a lock of the shared store stayed held
constexpr long CE_E_STORE_DAMAGED = ce::resultFromWord(0xC11F0D55u);     // a number went backwards or wrapped
constexpr long CE_E_ACCESS_DENIED = ce::resultFromWord(0xC11F0D56u);     // not a member of the store's group
constexpr long CE_E_IN_HANDLER = ce::resultFromWord(0xC11F0D57u);        // finalize called from a handler
constexpr long CE_E_INVALID_ARGUMENT = ce::resultFromWord(0xC11F0D58u);  // a null pointer given to the C interface
constexpr long CE_E_MALFORMED_LIST = ce::resultFromWord(0xC1210E12u);    // malformed parameter-list text

// Channel statuses.
constexpr long ZEBIPC_CLOSED = ce::resultFromWord(0xC1261006u);
constexpr long ZEBIPC_CONNECTED = ce::resultFromWord(0xC1261008u);
constexpr long ZEBIPC_DISCONNECTED = ce::resultFromWord(0xC1261009u);
// Channel failures.
constexpr long ZEBIPC_E_NOT_CONNECTED = ce::resultFromWord(0xC126100Au);    // no connection to the peer now
constexpr long ZEBIPC_E_CONNECTION_LOST = ce::resultFromWord(0xC126100Bu);  // lost while waiting
constexpr long ZEBIPC_E_TIMEOUT = ce::resultFromWord(0xC126100Cu);          // no answer in time
constexpr long ZEBIPC_E_BAD_FRAME = ce::resultFromWord(0xC126100Du);        // peer sent a malformed frame
constexpr long ZEBIPC_E_TOO_LARGE = ce::resultFromWord(0xC126100Eu);        // frame above the size limit
constexpr long ZEBIPC_E_IN_USE = ce::resultFromWord(0xC126100Fu);           // a live service owns the endpoint
constexpr long ZEBIPC_E_SOCKET = ce::resultFromWord(0xC1261010u);           // socket call failed (logged)
constexpr long ZEBIPC_E_BAD_ENDPOINT = ce::resultFromWord(0xC1261011u);     // endpoint path unusable

// Portable layer: a timed wait that elapsed, and a named mutex taken over from
// a holder that died while holding it.
constexpr long CP_WAIT_TIMEOUT = ce::resultFromWord(0xE0000000u);
constexpr long CP_WAIT_ABANDONED = 0x80;
constexpr long CP_E_NOT_OWNER = ce::resultFromWord(0xC1270001u);         // release without holding

// The service's answer to a command it does not know (header word 2).
constexpr long EVTD_E_UNKNOWN_COMMAND = ce::resultFromWord(0xC1271001u);
// The service's answer to a connection beyond its limits (per user, or its
// descriptors), and to a dump asked while the last one is unread.
constexpr long EVTD_E_CONNECTION_LIMIT = ce::resultFromWord(0xC1271002u);
constexpr long EVTD_E_DUMP_BUSY = ce::resultFromWord(0xC1271003u);

// Registry layer.
constexpr long KELREG_E_NOT_FOUND = ce::resultFromWord(0xC1280002u);     // no such value
constexpr long KELREG_E_BAD_VALUE = ce::resultFromWord(0xC128000Du);     // value unreadable as that type
constexpr long KELREG_E_BUFFER = ce::resultFromWord(0xC128007Au);        // output buffer too small
