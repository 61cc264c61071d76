// The channel over a real Unix socket: the client object against the fake service and a hand-driven server end.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Library/CEResultCodes.h"
#include "Library/CEventLibImpl.h"
#include "platform/CZebIPCLibrary.h"
#include "protocol/ChannelServer.h"
#include "platform/linux/Endpoint.h"
#include "tests/support/FakeService.h"

using evt::channel::Frame;
using evt::test::eventually;
using evt::test::FakeService;
using namespace std::chrono_literals;

namespace {

struct Received {
  long result = 0;
  unsigned long a = 0, b = 0;
  uint32_t header[4] = {0, 0, 0, 0};
};

Received receive(CZebIPCLibrary& channel) {
  Received r;
  char* data = nullptr;
  unsigned long length = 0;
  int noResponse = 0;
  r.result = channel.receiveRequest(&r.a, &r.b, &data, &length, &noResponse, reinterpret_cast<char*>(r.header));
  delete[] data;
  return r;
}

// One request and its answer.
long exchange(CZebIPCLibrary& channel, uint32_t cmd, const std::string& input) {
  uint32_t header[4] = {cmd, 0, 0, 0};
  unsigned long id = 0;
  long result = channel.sendRequest(0, input.c_str(), static_cast<unsigned long>(input.size() + 1), &id, 0,
                                    reinterpret_cast<const char*>(header));
  if (result < 0) return result;
  char* data = nullptr;
  unsigned long length = 0, answered = 0;
  result = channel.receiveResponse(nullptr, &data, &length, &answered, reinterpret_cast<char*>(header));
  delete[] data;
  return result == 0 && answered != id ? CE_E_ANSWER_MISMATCH : result;
}

std::unique_ptr<CZebIPCLibrary> newChannel() {
  return std::make_unique<CZebIPCLibrary>(kServiceChannelName, kServiceChannelId, 0, 16, 16, 0xFFFFFFFFul);
}

}  // namespace

// Statuses across a restart; a text with a NUL inside sent whole; an answer for a lost connection goes nowhere; a
// lost connection fails a waiting exchange at once; a finalized channel stays closed.
TEST(Channel, TrafficAndStatusesAcrossAServiceRestart) {
  auto channel = newChannel();
  ASSERT_EQ(0, channel->initialize());  // nobody listens yet: still fine
  EXPECT_EQ(ZEBIPC_E_NOT_CONNECTED, exchange(*channel, CECMD_SERVER_ID, ""));

  FakeService service;
  service.start();
  EXPECT_EQ(ZEBIPC_CONNECTED, receive(*channel).result);
  ASSERT_EQ(0, exchange(*channel, CECMD_CLIENT_NAME, std::string("a\0b", 3)));
  ASSERT_EQ(1u, service.commands().size());
  EXPECT_EQ(std::string("a\0b", 3), service.commands()[0].text);
  service.sendRequest("hello", false);
  Received request = receive(*channel);
  ASSERT_EQ(0, request.result);

  service.stop();
  EXPECT_EQ(ZEBIPC_DISCONNECTED, receive(*channel).result);
  service.start();
  EXPECT_EQ(ZEBIPC_CONNECTED, receive(*channel).result);
  EXPECT_EQ(ZEBIPC_E_NOT_CONNECTED,
            channel->sendResponse(request.a, request.b, "", 0, reinterpret_cast<const char*>(request.header)));
  EXPECT_EQ(0, exchange(*channel, CECMD_PROCESS_ID, "77"));

  service.holdAnswersTo(CECMD_SERVER_ID);
  auto lost = std::async(std::launch::async, [&] { return exchange(*channel, CECMD_SERVER_ID, ""); });
  ASSERT_TRUE(eventually([&] { return service.commands().size() == 3; }));
  service.stop();
  ASSERT_EQ(std::future_status::ready, lost.wait_for(5s));
  EXPECT_EQ(ZEBIPC_E_CONNECTION_LOST, lost.get());
  EXPECT_EQ(ZEBIPC_DISCONNECTED, receive(*channel).result);
  channel->finalize();
  EXPECT_EQ(ZEBIPC_CLOSED, receive(*channel).result);
  EXPECT_EQ(ZEBIPC_CLOSED, channel->initialize());
}

// A peer that breaks the framing loses its connection, not the process; the client reconnects by itself.
TEST(Channel, MalformedFramesEndTheConnection) {
  evt::channel::ChannelListener listener(evt::channel::endpointPath(kServiceChannelName, kServiceChannelId));
  ASSERT_EQ(0, listener.listen());

  Frame huge;
  huge.kind = evt::channel::FRAME_SERVICE_REQUEST;
  std::string tooLong = evt::channel::encodeFrame(huge);
  const uint32_t length = evt::channel::kMaxFrameData + 1;
  std::memcpy(&tooLong[32], &length, 4);  // little-endian host
  auto channel = newChannel();
  ASSERT_EQ(0, channel->initialize());
  for (const std::string& bytes : {tooLong, std::string(40, 'x')}) {
    evt::channel::FrameConnection peer(listener.accept(5000));
    ASSERT_EQ(ZEBIPC_CONNECTED, receive(*channel).result);
    ASSERT_EQ(0, peer.writeBytes(bytes));
    EXPECT_EQ(ZEBIPC_DISCONNECTED, receive(*channel).result);
  }
  // A read with a limit ends at the limit, and at once when the peer goes.
  int pair[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
  Frame read;
  EXPECT_EQ(ZEBIPC_E_TIMEOUT, evt::channel::readFrame(pair[1], &read, 10));
  close(pair[0]);
  EXPECT_EQ(ZEBIPC_E_CONNECTION_LOST, evt::channel::readFrame(pair[1], &read, 1000));
  close(pair[1]);
}

// A service accepting nobody (backlog full) holds neither initialize nor finalize.
TEST(Channel, StalledServiceHoldsNeitherInitializeNorFinalize) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, evt::channel::endpointPath(kServiceChannelName, kServiceChannelId).c_str());
  int stalled = socket(AF_UNIX, SOCK_STREAM, 0);
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
  auto channel = newChannel();
  EXPECT_EQ(0, channel->initialize());
  std::this_thread::sleep_for(100ms);  // the reader retries meanwhile
  EXPECT_EQ(0, channel->finalize());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  for (int fd : waiting) close(fd);
  close(stalled);
  unlink(address.sun_path);
}

// Whoever waits reads for the others: a sender keeps requests read before its answer, in order, for
// receiveRequest, which hands over answers it reads. A client that only makes exchanges reconnects by itself.
TEST(Channel, WaitersReadForEachOther) {
  evt::channel::ChannelListener listener(evt::channel::endpointPath(kServiceChannelName, kServiceChannelId));
  ASSERT_EQ(0, listener.listen());
  auto channel = newChannel();
  ASSERT_EQ(0, channel->initialize());
  auto peer = std::make_unique<evt::channel::FrameConnection>(listener.accept(5000));
  ASSERT_EQ(ZEBIPC_CONNECTED, receive(*channel).result);
  auto serviceRequest = [](const std::string& text) {
    Frame frame;
    frame.kind = evt::channel::FRAME_SERVICE_REQUEST;
    frame.text = text;
    return frame;
  };
  auto answerNext = [&] {
    Frame request;
    ASSERT_EQ(0, peer->read(&request, 5000));
    Frame answer = request;
    answer.kind = evt::channel::FRAME_CLIENT_ANSWER;
    answer.header[1] = request.header[0];
    ASSERT_EQ(0, peer->write(answer));
  };
  auto textOf = [&] {
    std::string text;
    unsigned long a = 0, b = 0;
    int noResponse = 0;
    char header[16];
    const long result = channel->receiveRequest(&a, &b, &text, &noResponse, header);
    return result == 0 ? text : "status " + std::to_string(result);
  };

  ASSERT_EQ(0, peer->write(serviceRequest("one")));
  ASSERT_EQ(0, peer->write(serviceRequest("two")));
  auto exchanged = std::async(std::launch::async, [&] { return exchange(*channel, CECMD_CLIENT_NAME, "x"); });
  answerNext();
  EXPECT_EQ(0, exchanged.get());
  EXPECT_EQ("one", textOf());
  EXPECT_EQ("two", textOf());

  auto received = std::async(std::launch::async, textOf);
  exchanged = std::async(std::launch::async, [&] { return exchange(*channel, CECMD_PROCESS_ID, "7"); });
  answerNext();
  EXPECT_EQ(0, exchanged.get());
  ASSERT_EQ(0, peer->write(serviceRequest("three")));
  EXPECT_EQ("three", received.get());

  // Polling for an answer never waits and keeps the exchange open; service
  // requests read on the way are left for the request thread, in order.
  uint32_t header[4] = {CECMD_PROCESS_ID, 0, 0, 0};
  unsigned long id = 0, answered = 0;
  ASSERT_EQ(0, channel->sendRequest(0, "8", 2, &id, 0, reinterpret_cast<const char*>(header)));
  std::string answerText;
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(ZEBIPC_E_TIMEOUT, channel->pollResponse(&answerText, &answered, reinterpret_cast<char*>(header)));
  EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
  ASSERT_EQ(0, peer->write(serviceRequest("four")));
  answerNext();
  EXPECT_TRUE(eventually([&] {
    return channel->pollResponse(&answerText, &answered, reinterpret_cast<char*>(header)) == 0;
  }));
  EXPECT_EQ(id, answered);
  EXPECT_EQ("four", textOf());

  peer.reset();
  EXPECT_NE(0, exchange(*channel, CECMD_PROCESS_ID, "7"));
  const int again = listener.accept(5000);
  ASSERT_GE(again, 0) << "the client did not connect again";
  peer = std::make_unique<evt::channel::FrameConnection>(again);
  EXPECT_EQ("status " + std::to_string(ZEBIPC_DISCONNECTED), textOf());
  EXPECT_EQ("status " + std::to_string(ZEBIPC_CONNECTED), textOf());
  channel->finalize();
}
