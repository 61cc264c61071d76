// Peers that misbehave: bad and oversized frames, garbage texts, a frame
// left half sent and a client that never reads. None of them may crash or
// stall the service for the well-behaved hosts.
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "Library/CEResultCodes.h"
#include "Library/CEventLibImpl.h"
#include "Service/CategorySeqNo.h"
#include "tests/support/TestEnvironment.h"
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

  // Once it reads and answers again, it hears of the gap at once, without
  // waiting for a later event, then gets events again.
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
  ASSERT_FALSE(texts.empty());
  EXPECT_NE(texts.back().find("check-event-seqno"), std::string::npos) << texts.back().substr(0, 200);
  ASSERT_GE(publisher.lib().deliverEvent("flood", "", "after"), 0);
  ASSERT_TRUE(publisher.flush());
  ASSERT_TRUE(eventually([&] {
    answerWhatComes();
    return !texts.empty() && texts.back().find("after") != std::string::npos;
  }));
  EXPECT_EQ(texts.back().find("check-event-seqno"), std::string::npos) << "reported once";
  EXPECT_EQ(service.stop(), 0);
}

// Runs `checks` in a child process whose /dev/shm is a fresh tmpfs of
// `size` (a private mount namespace, so nothing else on the machine sees
// it). The child's exit status: 0 when the checks held, 77 when the
// namespace could not be had (not privileged). The child leads a process
// group of its own, so a service it started is killed even when it died.
int inSmallSharedMemory(const char* size, void (*checks)()) {
  pid_t child = fork();
  if (child == 0) {
    setpgid(0, 0);
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("evttest", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, size) != 0)
      _exit(77);
    checks();
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  setpgid(child, child);  // whichever of the two runs first
  int status = waitExit(child);
  ::kill(-child, SIGKILL);
  return status;
}

// The exit status of `pid`, or -1 after killing it when it was still
// running after `timeout`.
int exitWithin(pid_t pid, std::chrono::seconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= end) {
      ::kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// What a full /dev/shm does: the category that no longer fits is refused
// with CE_E_CREATE and a logged reason, both to the store and to a host
// publishing it, while categories already there go on numbering; a service
// that cannot open its store says so and exits. Nothing raises SIGBUS.
void fullSharedMemoryChecks() {
  ServiceProcess service;
  ASSERT_TRUE(service.start());
  TestHost host("filler");
  ASSERT_TRUE(host.registered());
  ASSERT_GE(host.lib().deliverEvent("kept", "", "first"), 0);

  CCategorySeqNo store;
  long result = 0;
  int used = 0;
  while (result == 0 && used < 1000) result = store.useCategory("fill" + std::to_string(used++));
  ASSERT_EQ(CE_E_CREATE, result) << "after " << used << " categories";

  unsigned long long before = 0, after = 0;
  ASSERT_EQ(0, store.getSeqNo("kept", &before));
  EXPECT_EQ(0, store.getNextSeqNo("kept", &after));
  EXPECT_EQ(before + 1, after);
  EXPECT_EQ(CE_E_CREATE, host.lib().deliverEvent("does-not-fit", "", "x"));
  EXPECT_GE(host.lib().deliverEvent("kept", "", "second"), 0);
  EXPECT_TRUE(host.flush());
  const std::string log = readFile(logDirectory() + "/evt.log");
  EXPECT_NE(log.find("No space left on device"), std::string::npos) << log.substr(0, 2000);
  EXPECT_EQ(service.stop(), 0);

  // A second service with a store of its own finds no room for it.
  setenv("EVT_SHM_PREFIX", (std::string(getenv("EVT_SHM_PREFIX")) + "second.").c_str(), 1);
  const std::string err = logDirectory() + "/second-eventd.err";
  pid_t second = spawnRedirected({eventdPath(), "--socket", logDirectory() + "/second.sock"}, ownEmulator(),
                                 std::string(), err);
  EXPECT_EQ(1, exitWithin(second, std::chrono::seconds(30)));
  EXPECT_NE(readFile(err).find("eventd: cannot open the shared sequence-number store"), std::string::npos)
      << readFile(err);
}

TEST(ServiceRobustness, FullSharedMemoryGivesClearErrors) {
  int status = inSmallSharedMemory("size=64k", fullSharedMemoryChecks);
  if (status == 77) GTEST_SKIP() << "no private mount namespace here (needs root)";
  EXPECT_EQ(0, status);
}

}  // namespace
}  // namespace evt::test
