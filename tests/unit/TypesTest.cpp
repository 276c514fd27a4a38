#include "Quorvel.h"

#include <gtest/gtest.h>

TEST(Types, WidthsMatchTheProtocol) {
  static_assert(sizeof(Quorvel::Cardinal) == 4);
  static_assert(sizeof(Quorvel::Word) == 2);
  EXPECT_EQ(Quorvel::Infinite, 4294967295u);
}
