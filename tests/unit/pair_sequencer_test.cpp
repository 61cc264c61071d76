// The bounds of the service's reordering of one pair's events (its order,
// repeats and late numbers are tested through the router): missing numbers
// given up after the hold time or when the hold is full, numbers never
// issued discarded, and a series that starts at its first number.
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "eventd/PairSequencer.h"

namespace evt::service {
namespace {

using Arrival = PairSequencer::Arrival;
using std::chrono::milliseconds;

std::vector<unsigned long long> takeAll(PairSequencer& sequencer) {
  std::vector<unsigned long long> taken;
  unsigned long long seqNo = 0;
  std::string request;
  while (sequencer.takeReady(&seqNo, &request)) {
    EXPECT_EQ(request, "e" + std::to_string(seqNo));
    taken.push_back(seqNo);
  }
  return taken;
}

TEST(PairSequencer, GivesUpMissingNumbersAfterTheHoldTimeOrWhenTheHoldIsFull) {
  const auto start = PairSequencer::Clock::now();
  HoldLimits limits;
  limits.time = milliseconds(1000);
  limits.events = 3;

  PairSequencer sequencer(1);
  ASSERT_EQ(sequencer.arrive(4, "e4", start), Arrival::kHeld);
  ASSERT_EQ(sequencer.arrive(5, "e5", start + milliseconds(500)), Arrival::kHeld);
  EXPECT_FALSE(sequencer.giveUpDue(start + milliseconds(999), limits));
  EXPECT_TRUE(sequencer.giveUpDue(start + milliseconds(1000), limits));
  EXPECT_EQ(sequencer.giveUp(), 3u);  // 1, 2 and 3
  EXPECT_EQ(takeAll(sequencer), (std::vector<unsigned long long>{4, 5}));
  EXPECT_EQ(sequencer.arrive(2, "e2", start), Arrival::kLate);

  // Four held over a bound of three: the gap before them goes at once.
  for (unsigned long long seqNo : {8ull, 9ull, 10ull}) sequencer.arrive(seqNo, "e" + std::to_string(seqNo), start);
  EXPECT_FALSE(sequencer.giveUpDue(start, limits));
  sequencer.arrive(12, "e12", start);
  // A number never issued is discarded instead of moving the series on.
  sequencer.arrive(1000000, "e1000000", start);
  EXPECT_EQ(sequencer.discardAbove(12), 1u);
  EXPECT_TRUE(sequencer.giveUpDue(start, limits));
  EXPECT_EQ(sequencer.giveUp(), 2u);  // 6 and 7
  EXPECT_EQ(takeAll(sequencer), (std::vector<unsigned long long>{8, 9, 10}));
  EXPECT_EQ(sequencer.arrive(11, "e11", start), Arrival::kInOrder);
  EXPECT_EQ(takeAll(sequencer), (std::vector<unsigned long long>{12}));
  EXPECT_EQ(sequencer.heldBytes(), 0u);

  // Started at 0 (another server's pair), the series begins at the first
  // number that arrives.
  PairSequencer fresh(0);
  EXPECT_EQ(fresh.arrive(500, "e500", start), Arrival::kInOrder);
  EXPECT_EQ(fresh.arrive(499, "e499", start), Arrival::kBeforeStart);
}

}  // namespace
}  // namespace evt::service
