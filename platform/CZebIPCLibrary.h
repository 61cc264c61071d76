// The messaging channel from a client to the event service: one Unix stream
// socket to the service's endpoint (see platform/linux/Endpoint.h).
//
// - initialize() starts a connector thread, which reconnects with backoff
//   after a loss. Each connection made (the first one included) and each
//   loss is reported as ZEBIPC_CONNECTED / ZEBIPC_DISCONNECTED through
//   receiveRequest, in order with the service's requests.
// - The socket is read by the threads waiting for input, in receiveRequest
//   or receiveResponse, one at a time; what one reads for the other is handed
//   over. A loss is seen by the next read.
// - One command at a time: sendRequest, then receiveResponse on the same
//   thread. The answer wait is bounded (kResponseTimeoutMs) and ends with a
//   failure when the connection drops.
// - finalize() wakes every waiter with ZEBIPC_CLOSED and is safe against
//   concurrent calls of every other operation. Texts handed out are new[]
//   arrays, NUL-terminated, for the caller to delete[].
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "Library/CEExport.h"

// Texts cross the channel as `length` bytes that count one terminating NUL;
// everything before it is the text, NULs inside included (a reader that
// stopped at the first NUL would lose the rest of a batch).
inline std::size_t channelTextLength(const char* data, std::size_t length) {
  if (data == nullptr || length == 0) return 0;
  return data[length - 1] == '\0' ? length - 1 : length;
}

class CE_EXPORT CZebIPCLibrary {
 public:
  static constexpr unsigned long kResponseTimeoutMs = 10000;

  // `name` and `id` select the endpoint; the numeric arguments are accepted
  // for compatibility.
  CZebIPCLibrary(const std::string& name, const std::string& id, int, unsigned long, unsigned long,
                 unsigned long);
  ~CZebIPCLibrary();
  CZebIPCLibrary(const CZebIPCLibrary&) = delete;
  CZebIPCLibrary& operator=(const CZebIPCLibrary&) = delete;

  // 0, or ZEBIPC_E_BAD_ENDPOINT / ZEBIPC_CLOSED. The service need not be up.
  long initialize();
  // Sends `length` bytes of `data` (a NUL-terminated text) with the 16-byte
  // `header`; *id receives the request's id. ZEBIPC_E_NOT_CONNECTED while no
  // connection exists, ZEBIPC_E_TOO_LARGE above the frame limit.
  long sendRequest(unsigned long, const char* data, unsigned long length, unsigned long* id, int,
                   const char* header);
  // The answer to the last sendRequest: 0 with *data (or null for an empty
  // text), *length (bytes including the NUL), *id and `header` filled; or
  // ZEBIPC_E_TIMEOUT, ZEBIPC_E_CONNECTION_LOST, ZEBIPC_CLOSED.
  long receiveResponse(unsigned long*, char** data, unsigned long* length, unsigned long* id, char* header);
  // The same, handing the text over in *text (no NUL) without a copy.
  long receiveResponse(std::string* text, unsigned long* id, char* header);
  // The same without waiting: reads what input there is now, and returns
  // ZEBIPC_E_TIMEOUT when the answer is not in yet. The exchange stays
  // open, for a later receiveResponse or pollResponse.
  long pollResponse(std::string* text, unsigned long* id, char* header);
  // Blocks for the next status or service request. A request returns 0 with
  // its text, header and no-response flag; `a` and `b` identify it for
  // sendResponse. ZEBIPC_CLOSED after finalize.
  long receiveRequest(unsigned long* a, unsigned long* b, char** data, unsigned long* length, int* noResponse,
                      char* header);
  // The same, handing the text over in *text (no NUL) without a copy.
  long receiveRequest(unsigned long* a, unsigned long* b, std::string* text, int* noResponse, char* header);
  // Answers the request (a, b). ZEBIPC_E_NOT_CONNECTED when its connection
  // is gone.
  long sendResponse(unsigned long a, unsigned long b, const char* data, unsigned long length,
                    const char* header);
  long finalize();

  const std::string& endpoint() const;

 private:
  class Impl;
  std::unique_ptr<Impl> m_pImpl;
};
