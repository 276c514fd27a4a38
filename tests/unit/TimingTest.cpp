#include "engine/Timing.h"

#include <gtest/gtest.h>

using namespace Quorvel;

TEST(Timing, DeductionStopsAtZero) {
  Cardinal Remaining = 300;
  DeductElapsedAt(1000, 1500, Remaining);
  EXPECT_EQ(Remaining, 0u) << "500 ms elapsed of 300 ms remaining";

  Remaining = 300;
  DeductElapsedAt(1000, 1300, Remaining);
  EXPECT_EQ(Remaining, 0u) << "exactly used up";

  Remaining = 300;
  DeductElapsedAt(1000, 1100, Remaining);
  EXPECT_EQ(Remaining, 200u);
}

TEST(Timing, SurvivesTheTickWrap) {
  Cardinal Remaining = 1000;
  DeductElapsedAt(0xFFFFFF00u, 0x00000064u, Remaining);  // 256 + 100 ms across the wrap
  EXPECT_EQ(Remaining, 644u);

  Remaining = Infinite;
  DeductElapsedAt(0xFFFFFFFFu, 0u, Remaining);
  EXPECT_EQ(Remaining, Infinite - 1);
}

TEST(Timing, RealTickMovesForward) {
  Cardinal Start = 0;
  StartTimer(Start);
  Cardinal Remaining = 100000;
  DeductElapsed(Start, Remaining);
  EXPECT_LE(Remaining, 100000u);
  EXPECT_GT(Remaining, 90000u) << "no time of note has passed";
}
