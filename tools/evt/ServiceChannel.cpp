#include "tools/evt/ServiceChannel.h"

#include <unistd.h>

#include <thread>

#include "Library/CEResultCodes.h"
#include "protocol/Protocol.h"
#include "tools/evt/EvtClient.h"

namespace evt::tool {

ServiceChannel::ServiceChannel() : m_channel(kServiceChannelName, kServiceChannelId, 0, 0, 0, 0) {
  m_channel.initialize();
}

ServiceChannel::~ServiceChannel() { m_channel.finalize(); }

bool ServiceChannel::connect(std::string_view clientName, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  std::string answer;
  // Refused at once while no connection exists; the channel keeps trying.
  while (command(CECMD_CLIENT_NAME, clientName, &answer) == ZEBIPC_E_NOT_CONNECTED) {
    if (g_interrupted || std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return command(CECMD_PROCESS_ID, std::to_string(getpid()), &answer) >= 0;
}

long ServiceChannel::command(uint32_t command, std::string_view text, std::string* answer) {
  uint32_t header[4] = {command, 0, 0, 0};
  unsigned long id = 0;
  const std::string data(text);
  long result = m_channel.sendRequest(0, data.c_str(), static_cast<unsigned long>(data.size() + 1), &id, 0,
                                      reinterpret_cast<const char*>(header));
  if (result < 0) return result;
  result = m_channel.receiveResponse(answer, &id, reinterpret_cast<char*>(header));
  return result < 0 ? result : ce::resultFromWord(header[2]);
}

}  // namespace evt::tool
