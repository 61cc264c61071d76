#include <cstdint>
#include <cstdio>

#include "Library/CEResultCodes.h"
#include "platform/CZebIPCLibrary.h"
#include "protocol/Protocol.h"
#include "tools/evt/Commands.h"
#include "tools/evt/EvtClient.h"

namespace evt::tool {

int queryService(unsigned command) {
  CZebIPCLibrary channel(kServiceChannelName, kServiceChannelId, 0, 0, 0, 0);
  if (channel.initialize() < 0) return noService();
  uint32_t header[4] = {command, 0, 0, 0};
  unsigned long id = 0;
  long result = channel.sendRequest(0, "", 1, &id, 0, reinterpret_cast<const char*>(header));
  if (result == ZEBIPC_E_NOT_CONNECTED) return noService();
  char* data = nullptr;
  unsigned long length = 0;
  unsigned long answeredId = 0;
  if (result >= 0) {
    result = channel.receiveResponse(nullptr, &data, &length, &answeredId, reinterpret_cast<char*>(header));
  }
  if (result >= 0) result = ce::resultFromWord(header[2]);
  if (result < 0) {
    std::fprintf(stderr, "evt: the service did not answer (0x%08X)\n", ce::wordFromResult(result));
    delete[] data;
    channel.finalize();
    return 1;
  }
  if (data != nullptr) std::fputs(data, stdout);
  delete[] data;
  channel.finalize();
  return 0;
}

int completeRoundTrip(double waitSeconds) {
  EvtClient client("evt-complete", nullptr);
  if (!client.waitRegistered(std::chrono::milliseconds(static_cast<long>(waitSeconds * 1000)))) return noService();
  const auto start = std::chrono::steady_clock::now();
  if (!client.flush(std::chrono::milliseconds(10000))) {
    std::fprintf(stderr, "evt: the service did not confirm the completion\n");
    return 1;
  }
  const auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
  std::printf("completed in %lld us\n", static_cast<long long>(took.count()));
  return 0;
}

}  // namespace evt::tool
