// A bare connection to the service for the commands that speak the service's
// own commands (status, dump, monitor) instead of going through the client
// library. Commands and their answers, on one thread at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/CZebIPCLibrary.h"

namespace evt::tool {

class ServiceChannel {
 public:
  ServiceChannel();
  ~ServiceChannel();

  // Connects within `timeout` (the service's socket may appear meanwhile)
  // and tells the service who this is; false after the timeout or an
  // interrupt.
  bool connect(std::string_view clientName, std::chrono::milliseconds timeout);
  // Sends `command` with `text`; its answer text goes to *answer. The result
  // code of the exchange or of the service's answer.
  long command(uint32_t command, std::string_view text, std::string* answer);
  CZebIPCLibrary& channel() { return m_channel; }

 private:
  CZebIPCLibrary m_channel;
};

}  // namespace evt::tool
