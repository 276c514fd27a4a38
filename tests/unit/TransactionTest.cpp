#include <Quorvel/Transaction.h>

#include <gtest/gtest.h>

#include "engine/FrameData.h"

using namespace Quorvel;

TEST(Transaction, StartsEmptyAndZeroed) {
  TModbusTransaction T(256);
  EXPECT_EQ(T.Request.Capacity(), 256);
  EXPECT_EQ(T.Reply.Capacity(), 256);
  EXPECT_EQ(T.Request.Size(), 0);
  EXPECT_EQ(T.Reply.Size(), 0);
  EXPECT_EQ(T.Info.TransactionID, 0u);
  EXPECT_EQ(T.Info.ServerAddress, 0);
  EXPECT_EQ(T.Info.UserData, 0u);
  EXPECT_EQ(T.Info.Attempts, 0u);
  EXPECT_EQ(T.Info.ReplyStatus, rsNoReply);
  EXPECT_EQ(T.Info.ExceptionKind, ekUnknown);
  EXPECT_EQ(T.Info.ExceptionCode, 0);
}

TEST(Transaction, EnumerationsKeepTheirOrdinals) {
  EXPECT_EQ(static_cast<int>(rsSuccess), 3);
  EXPECT_EQ(static_cast<int>(ekIllegalDataAddress), 2);
  EXPECT_EQ(static_cast<int>(ekMemoryParityError), 8);
}

TEST(FrameData, CellsAreZeroFilledAndDisposedOnce) {
  TFrameDataCell Cell = NewFrameData(5);
  ASSERT_TRUE(Cell);
  EXPECT_EQ(*Cell, TFrameData(5, 0));
  DisposeFrameData(Cell);
  EXPECT_FALSE(Cell);
  DisposeFrameData(Cell);  // an empty variable is left alone
  EXPECT_FALSE(Cell);
}
