// Peers that misbehave: bad and oversized frames, garbage texts, a frame
// left half sent and a client that never reads. None of them may crash or
// stall the service for the well-behaved hosts.
#include <string>

#include <gtest/gtest.h>

#include "Library/CEventLibImpl.h"
#include "tests/support/FakeService.h"
#include "tests/support/ServiceProcess.h"
#include "tests/support/TestHost.h"

namespace evt::test {
namespace {

channel::Frame command(uint32_t cmd, const std::string& text) {
  channel::Frame frame;
  frame.kind = channel::FRAME_CLIENT_REQUEST;
  frame.requestId = 1;
  frame.header[0] = cmd;
  frame.text = text;
  return frame;
}

TEST(ServiceRobustness, BadFramesCloseOnlyTheirConnectionAndGarbageTextsAreSkipped) {
  ServiceProcess service;
  ASSERT_TRUE(service.start());

  RawClient badMagic;
  std::string bytes = channel::encodeFrame(command(CECMD_QUEUE, ""));
  bytes[0] ^= 0x55;
  ASSERT_TRUE(badMagic.sendBytes(bytes));
  EXPECT_TRUE(badMagic.closedByService(10000));

  RawClient oversized;
  bytes = channel::encodeFrame(command(CECMD_QUEUE, ""));
  const uint32_t huge = channel::kMaxFrameData + 1;
  for (int i = 0; i < 4; ++i) bytes[32 + i] = static_cast<char>((huge >> (8 * i)) & 0xFF);
  ASSERT_TRUE(oversized.sendBytes(bytes));
  EXPECT_TRUE(oversized.closedByService(10000));

  RawClient wrongDirection;
  channel::Frame answer = command(CECMD_QUEUE, "");
  answer.kind = channel::FRAME_CLIENT_ANSWER;
  ASSERT_TRUE(wrongDirection.send(answer));
  EXPECT_TRUE(wrongDirection.closedByService(10000));

  RawClient halfFrame;  // begins a frame and never finishes it
  ASSERT_TRUE(halfFrame.sendBytes(channel::encodeFrame(command(CECMD_QUEUE, "4;dump")).substr(0, 20)));

  // Unreadable content is skipped; the connection and the service go on.
  RawClient garbage;
  const std::vector<std::string> texts = {
      "not a list", "5;short", "-3;abc", "99999999999999999999;x", queueText({"subscribe"}),
      queueText({requestList("subscribe", "garbage")}), queueText({requestList("event", listOf({"onlyone"}))}),
      queueText({requestList("completion-id", "")}), queueText({requestList("no-such-request", "1;x")}),
      queueText({requestList("publish", listOf({"", "12"}))}), std::string(100000, ';')};
  for (const std::string& text : texts) {
    channel::Frame reply;
    ASSERT_TRUE(garbage.command(CECMD_QUEUE, text, &reply)) << text.substr(0, 40);
    EXPECT_EQ(reply.header[1], static_cast<uint32_t>(CECMD_QUEUE));
    EXPECT_EQ(reply.header[2], 0u);
  }
  channel::Frame reply;
  ASSERT_TRUE(garbage.command(CECMD_SERVER_ID, "", &reply));
  EXPECT_EQ(reply.text, "1");
  ASSERT_TRUE(garbage.command(77, "", &reply));
  EXPECT_LT(static_cast<int32_t>(reply.header[2]), 0) << "an unknown command is refused, not ignored";

  // Hosts still work while all of that is going on.
  TestHost subscriber("subscriber");
  TestHost publisher("publisher");
  ASSERT_TRUE(subscriber.registered());
  ASSERT_TRUE(publisher.registered());
  ASSERT_GE(subscriber.lib().subscribe("c", "", 0xFFFFFFFFul, nullptr), 0);
  ASSERT_TRUE(subscriber.flush());
  ASSERT_GE(publisher.lib().deliverEvent("c", "", "d"), 0);
  ASSERT_TRUE(publisher.flush());
  ASSERT_TRUE(eventually([&] { return subscriber.handlers.events().size() == 1; }));

  auto status = service.status();
  EXPECT_EQ(status["bad-frames"], 3);
  EXPECT_GE(status["malformed"], 5);
  EXPECT_EQ(service.stop(), 0);
}

TEST(ServiceRobustness, ClientThatNeverReadsLosesEventsAloneAndLearnsOfTheGap) {
  ServiceProcess service({"--queue-limit", "2000"});
  ASSERT_TRUE(service.start());

  RawClient stalled;  // subscribes, then never reads again
  channel::Frame reply;
  ASSERT_TRUE(stalled.command(CECMD_QUEUE, queueText({requestList("subscribe", listOf({"1", "flood"}))}), &reply));

  TestHost subscriber("subscriber");
  TestHost publisher("publisher");
  ASSERT_TRUE(subscriber.registered());
  ASSERT_TRUE(publisher.registered());
  ASSERT_GE(subscriber.lib().subscribe("flood", "", 0xFFFFFFFFul, nullptr), 0);
  ASSERT_TRUE(subscriber.flush());

  constexpr int kEvents = 20000;
  const std::string data(1000, 'x');
  for (int i = 0; i < kEvents; ++i) {
    ASSERT_GE(publisher.lib().deliverEvent("flood", "", data), 0);
    if (i % 200 == 199) {
      // The good subscriber is let keep up, however slow this build is.
      ASSERT_TRUE(publisher.flush());
      ASSERT_TRUE(eventually([&] { return subscriber.handlers.eventCount() >= static_cast<std::size_t>(i + 1); }));
    }
  }
  ASSERT_TRUE(publisher.flush());
  ASSERT_TRUE(eventually([&] { return subscriber.handlers.eventCount() >= kEvents; }));
  for (const auto& event : subscriber.handlers.events()) ASSERT_EQ(event.category, "flood");

  auto status = service.status();
  EXPECT_GT(status["dropped"], 0) << "the stalled client's queue is bounded";
  EXPECT_LE(status["pending"], 4000);

  // Once it reads and answers again, it first hears of the gap, then gets
  // events again.
  std::vector<std::string> texts;
  auto answerWhatComes = [&] {
    channel::Frame frame;
    while (stalled.read(&frame, 100) == 0) {
      if (frame.kind != channel::FRAME_SERVICE_REQUEST) continue;
      texts.push_back(frame.text);
      channel::Frame ack;
      ack.kind = channel::FRAME_SERVICE_ANSWER;
      ack.requestId = frame.requestId;
      ack.header[1] = kServiceAnswerMark;
      stalled.send(ack);
    }
  };
  ASSERT_TRUE(eventually([&] {
    answerWhatComes();
    return service.status()["pending"] == 0;
  }));
  ASSERT_GE(publisher.lib().deliverEvent("flood", "", "after"), 0);
  ASSERT_TRUE(publisher.flush());
  ASSERT_TRUE(eventually([&] {
    answerWhatComes();
    return !texts.empty() && texts.back().find("after") != std::string::npos;
  }));
  EXPECT_NE(texts.back().find("check-event-seqno"), std::string::npos) << texts.back().substr(0, 200);
  EXPECT_EQ(service.stop(), 0);
}

}  // namespace
}  // namespace evt::test
