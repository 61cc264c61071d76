#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "Library/CEResultCodes.h"
#include "platform/CPortable.h"

namespace {

TEST(ResultCodes, FailuresAreNegativeInEveryBuild) {
  for (long code : {CE_E_CREATE, CE_E_NOT_CONNECTED, CE_E_THREAD, CE_E_STOPPING, CE_E_ANSWER_MISMATCH,
                    CE_E_MALFORMED_LIST, ZEBIPC_CLOSED, ZEBIPC_CONNECTED, ZEBIPC_DISCONNECTED, CP_WAIT_TIMEOUT,
                    CP_E_NOT_OWNER, KELREG_E_NOT_FOUND, KELREG_E_BAD_VALUE, KELREG_E_BUFFER}) {
    EXPECT_LT(code, 0) << std::hex << code;
  }
  // A header word read back as a result keeps its sign and its identity.
  uint32_t word = 0xC11F0D51u;
  EXPECT_EQ(ce::resultFromWord(word), CE_E_ANSWER_MISMATCH);
  EXPECT_EQ(ce::wordFromResult(CE_E_ANSWER_MISMATCH), word);
  EXPECT_EQ(ce::resultFromWord(6u), 6);
}

TEST(Portable, NumberText) {
  char buffer[CPortable::kNumberTextSize];
  EXPECT_STREQ(CPortable::itoa(0, buffer, 10), "0");
  EXPECT_STREQ(CPortable::itoa(-2147483647 - 1, buffer, 10), "-2147483648");
  EXPECT_STREQ(CPortable::ltoa(1000000, buffer, 10), "1000000");
  EXPECT_STREQ(CPortable::ltoa(-1, buffer, 10), "-1");
  long smallest = sizeof(long) == 8 ? static_cast<long>(-9223372036854775807LL - 1) : -2147483647L - 1;
  EXPECT_STREQ(CPortable::ltoa(smallest, buffer, 10),
               sizeof(long) == 8 ? "-9223372036854775808" : "-2147483648");
  EXPECT_STREQ(CPortable::itoa(255, buffer, 16), "ff");

  EXPECT_EQ(CPortable::ulltos(0), "0");
  EXPECT_EQ(CPortable::ulltos(18446744073709551615ull), "18446744073709551615");
  EXPECT_EQ(CPortable::stoull("18446744073709551615"), 18446744073709551615ull);
  for (const char* bad : {"", "abc", "-1", "18446744073709551616", "99999999999999999999999"}) {
    EXPECT_EQ(CPortable::stoull(bad), 0ull) << bad;
  }
  EXPECT_EQ(CPortable::stoull(" +12x"), 12ull);
}

TEST(Portable, EventKeepsWakesAndReportsTheMostUrgent) {
  CPEvent event(1, "", 1);
  EXPECT_EQ(event.wait(0, nullptr), CP_WAIT_TIMEOUT);
  event.wake(2);  // nobody waits yet: kept
  EXPECT_EQ(event.wait(CPEvent::kInfinite, nullptr), 2);
  EXPECT_EQ(event.wait(10, nullptr), CP_WAIT_TIMEOUT);  // consumed

  event.wake(1);
  event.wake(4);
  event.wake(2);
  EXPECT_EQ(event.wait(0, nullptr), 4);

  // A wake from another thread ends a wait without limit.
  std::thread waker([&event] { event.wake(1); });
  EXPECT_EQ(event.wait(CPEvent::kInfinite, nullptr), 1);
  waker.join();
}

}  // namespace
