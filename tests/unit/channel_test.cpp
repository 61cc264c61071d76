// The channel over a real Unix socket: the client object against the tests'
// fake service and against a hand-driven server end.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Library/CEResultCodes.h"
#include "Library/CEventLibImpl.h"
#include "platform/CZebIPCLibrary.h"
#include "platform/linux/ChannelServer.h"
#include "platform/linux/Endpoint.h"
#include "tests/support/FakeService.h"

using evt::channel::Frame;
using evt::test::FakeService;
using namespace std::chrono_literals;

namespace {

struct Received {
  long result = 0;
  unsigned long a = 0, b = 0;
  std::string text;
  bool hadText = false;
  int noResponse = -1;
  uint32_t header[4] = {0, 0, 0, 0};
};

Received receive(CZebIPCLibrary& channel) {
  Received r;
  char* data = nullptr;
  unsigned long length = 0;
  r.result = channel.receiveRequest(&r.a, &r.b, &data, &length, &r.noResponse, reinterpret_cast<char*>(r.header));
  if (data != nullptr) {
    r.hadText = true;
    r.text.assign(data, strnlen(data, length));
    delete[] data;
  }
  return r;
}

long exchange(CZebIPCLibrary& channel, uint32_t cmd, const std::string& input, std::string* answer,
              uint32_t* header) {
  header[0] = cmd;
  header[1] = header[2] = header[3] = 0;
  unsigned long id = 0;
  long result = channel.sendRequest(0, input.c_str(), static_cast<unsigned long>(input.size() + 1), &id, 0,
                                    reinterpret_cast<const char*>(header));
  if (result < 0) return result;
  char* data = nullptr;
  unsigned long length = 0, answered = 0;
  result = channel.receiveResponse(nullptr, &data, &length, &answered, reinterpret_cast<char*>(header));
  if (data != nullptr) {
    answer->assign(data, strnlen(data, length));
    delete[] data;
  }
  if (result == 0 && answered != id) return CE_E_ANSWER_MISMATCH;
  return result;
}

CZebIPCLibrary* newChannel() {
  return new CZebIPCLibrary(kServiceChannelName, kServiceChannelId, 0, 16, 16, 0xFFFFFFFFul);
}

}  // namespace

// Statuses, both directions of traffic with byte-exact headers, texts without
// a NUL or without any data, and reconnection after a service restart.
TEST(Channel, TrafficAndStatusesAcrossAServiceRestart) {
  std::unique_ptr<CZebIPCLibrary> channel(newChannel());
  ASSERT_EQ(0, channel->initialize());  // nobody listens yet: still fine
  uint32_t header[4];
  std::string answer;
  EXPECT_EQ(ZEBIPC_E_NOT_CONNECTED, exchange(*channel, CECMD_SERVER_ID, "", &answer, header));

  FakeService service;
  service.start();
  EXPECT_EQ(ZEBIPC_CONNECTED, receive(*channel).result);

  ASSERT_EQ(0, exchange(*channel, CECMD_SERVER_ID, "", &answer, header));
  EXPECT_EQ("12", answer);
  EXPECT_EQ(CECMD_SERVER_ID, header[1]);
  service.setResult(CECMD_CLIENT_NAME, 0xC0000005u);
  ASSERT_EQ(0, exchange(*channel, CECMD_CLIENT_NAME, "a;b\x01", &answer, header));
  EXPECT_EQ(0xC0000005u, header[2]);
  ASSERT_EQ(2u, service.commands().size());
  EXPECT_EQ("a;b\x01", service.commands()[1].text);
  // The whole length given goes out, a NUL inside included.
  ASSERT_EQ(0, exchange(*channel, CECMD_CLIENT_NAME, std::string("a\0b", 3), &answer, header));
  EXPECT_EQ(std::string("a\0b", 3), service.commands()[2].text);

  uint32_t withText = service.sendRequest("hello", false);
  service.sendRequest("cut", true, false);
  service.sendRequest("", false, false);
  Received first = receive(*channel);
  ASSERT_EQ(0, first.result);
  EXPECT_EQ("hello", first.text);
  EXPECT_EQ(0, first.noResponse);
  EXPECT_EQ(0x11223344u, first.header[0]);
  EXPECT_EQ(0xA5A5A5A5u, first.header[3]);
  Received second = receive(*channel);
  EXPECT_EQ("cut", second.text);
  EXPECT_EQ(1, second.noResponse);
  Received third = receive(*channel);
  EXPECT_EQ(0, third.result);
  EXPECT_EQ("", third.text);

  uint32_t reply[4] = {first.header[0], 6, 0, first.header[3]};
  EXPECT_EQ(0, channel->sendResponse(first.a, first.b, "", 0, reinterpret_cast<const char*>(reply)));
  Frame answered;
  ASSERT_TRUE(service.answerTo(withText, &answered, 5s));
  EXPECT_EQ(0x11223344u, answered.header[0]);
  EXPECT_EQ(6u, answered.header[1]);
  EXPECT_EQ(0xA5A5A5A5u, answered.header[3]);

  service.stop();
  EXPECT_EQ(ZEBIPC_DISCONNECTED, receive(*channel).result);
  // An answer to a request of the lost connection goes nowhere.
  EXPECT_EQ(ZEBIPC_E_NOT_CONNECTED,
            channel->sendResponse(third.a, third.b, "", 0, reinterpret_cast<const char*>(reply)));
  service.start();
  EXPECT_EQ(ZEBIPC_CONNECTED, receive(*channel).result);
  EXPECT_EQ(0, exchange(*channel, CECMD_PROCESS_ID, "77", &answer, header));
  EXPECT_EQ(2, service.connectionsAccepted());
}

// A waiter never hangs: a lost connection fails the exchange, and finalize
// releases both kinds of waiter with the closed status.
TEST(Channel, WaitersAreReleased) {
  FakeService service;
  service.start();
  std::unique_ptr<CZebIPCLibrary> channel(newChannel());
  ASSERT_EQ(0, channel->initialize());
  ASSERT_EQ(ZEBIPC_CONNECTED, receive(*channel).result);

  service.setSilent(true);
  auto lost = std::async(std::launch::async, [&] {
    uint32_t header[4];
    std::string answer;
    return exchange(*channel, CECMD_SERVER_ID, "", &answer, header);
  });
  ASSERT_TRUE(service.waitUntil([&] { return service.commands().size() == 1; }));
  service.dropConnections();
  ASSERT_EQ(std::future_status::ready, lost.wait_for(5s));
  EXPECT_EQ(ZEBIPC_E_CONNECTION_LOST, lost.get());
  EXPECT_EQ(ZEBIPC_DISCONNECTED, receive(*channel).result);
  ASSERT_EQ(ZEBIPC_CONNECTED, receive(*channel).result);

  auto blockedExchange = std::async(std::launch::async, [&] {
    uint32_t header[4];
    std::string answer;
    return exchange(*channel, CECMD_SERVER_ID, "", &answer, header);
  });
  auto blockedReceive = std::async(std::launch::async, [&] { return receive(*channel).result; });
  ASSERT_TRUE(service.waitUntil([&] { return service.commands().size() == 2; }));
  channel->finalize();
  ASSERT_EQ(std::future_status::ready, blockedExchange.wait_for(5s));
  ASSERT_EQ(std::future_status::ready, blockedReceive.wait_for(5s));
  EXPECT_EQ(ZEBIPC_CLOSED, blockedExchange.get());
  EXPECT_EQ(ZEBIPC_CLOSED, blockedReceive.get());
  EXPECT_EQ(ZEBIPC_CLOSED, receive(*channel).result);
  EXPECT_EQ(ZEBIPC_CLOSED, channel->initialize());
}

// A peer that breaks the framing loses its connection, not the process; the
// client reconnects by itself.
TEST(Channel, MalformedFramesEndTheConnection) {
  std::string path = evt::channel::endpointPath(kServiceChannelName, kServiceChannelId);
  evt::channel::ChannelListener listener(path);
  ASSERT_EQ(0, listener.listen());

  std::unique_ptr<CZebIPCLibrary> channel(newChannel());
  ASSERT_EQ(0, channel->initialize());
  {
    evt::channel::FrameConnection peer(listener.accept(5000));
    ASSERT_EQ(ZEBIPC_CONNECTED, receive(*channel).result);
    Frame huge;
    huge.kind = evt::channel::FRAME_SERVICE_REQUEST;
    std::string bytes = evt::channel::encodeFrame(huge);
    uint32_t tooLong = evt::channel::kMaxFrameData + 1;
    std::memcpy(&bytes[32], &tooLong, 4);  // little-endian host
    ASSERT_EQ(0, peer.writeBytes(bytes));
    EXPECT_EQ(ZEBIPC_DISCONNECTED, receive(*channel).result);
  }
  {
    evt::channel::FrameConnection peer(listener.accept(5000));
    ASSERT_EQ(ZEBIPC_CONNECTED, receive(*channel).result);
    ASSERT_EQ(0, peer.writeBytes(std::string(40, 'x')));
    EXPECT_EQ(ZEBIPC_DISCONNECTED, receive(*channel).result);
  }
  // The server side rejects an oversized frame from a client the same way.
  int pair[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
  Frame big;
  big.kind = evt::channel::FRAME_CLIENT_REQUEST;
  std::string bytes = evt::channel::encodeFrame(big);
  uint32_t tooLong = evt::channel::kMaxFrameData + 1;
  std::memcpy(&bytes[32], &tooLong, 4);
  bytes.resize(evt::channel::kFrameHeaderSize);
  ASSERT_TRUE(evt::channel::writeAll(pair[0], bytes));
  Frame read;
  EXPECT_EQ(ZEBIPC_E_BAD_FRAME, evt::channel::readFrame(pair[1], &read, 1000));
  EXPECT_EQ(ZEBIPC_E_TIMEOUT, evt::channel::readFrame(pair[1], &read, 10));
  close(pair[0]);
  EXPECT_EQ(ZEBIPC_E_CONNECTION_LOST, evt::channel::readFrame(pair[1], &read, 1000));
  close(pair[1]);

  // A live service keeps its endpoint; a stale socket file left behind by a
  // dead one is replaced.
  evt::channel::ChannelListener rival(path);
  EXPECT_EQ(ZEBIPC_E_IN_USE, rival.listen());
  listener.close();
  int stale = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path.c_str());
  ASSERT_EQ(0, bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address));
  close(stale);
  evt::channel::ChannelListener restarted(path);
  EXPECT_EQ(0, restarted.listen());
}

// A service that is alive but accepts nobody (its backlog full) neither
// holds initialize nor keeps finalize waiting.
TEST(Channel, StalledServiceHoldsNeitherInitializeNorFinalize) {
  const std::string path = evt::channel::endpointPath(kServiceChannelName, kServiceChannelId);
  int stalled = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path.c_str());
  ASSERT_EQ(0, bind(stalled, reinterpret_cast<sockaddr*>(&address), sizeof address));
  ASSERT_EQ(0, listen(stalled, 0));
  std::vector<int> waiting;  // connections nobody accepts, until the backlog is full
  for (;;) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(fd);
      break;
    }
    waiting.push_back(fd);
    ASSERT_LT(waiting.size(), 100u);
  }
  const auto start = std::chrono::steady_clock::now();
  std::unique_ptr<CZebIPCLibrary> channel(newChannel());
  EXPECT_EQ(0, channel->initialize());
  std::this_thread::sleep_for(100ms);  // the reader retries meanwhile
  EXPECT_EQ(0, channel->finalize());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  for (int fd : waiting) close(fd);
  close(stalled);
  unlink(path.c_str());
}
