#include <Quorvel/BitPacking.h>

#include <gtest/gtest.h>

#include <Quorvel/Errors.h>
#include "TestBytes.h"

using namespace Quorvel;
using QuorvelTest::Contents;
using QuorvelTest::Hex;

TEST(BitPacking, BytesForBits) {
  EXPECT_EQ(BitsToBytes(0), 0);
  EXPECT_EQ(BitsToBytes(1), 1);
  EXPECT_EQ(BitsToBytes(8), 1);
  EXPECT_EQ(BitsToBytes(9), 2);
  EXPECT_EQ(BitsToBytes(2008), 251);
}

TEST(BitPacking, PacksFirstValueIntoBitZero) {
  struct Row {
    TBitValues Values;
    const char* Expected;
  };
  const Row Rows[] = {
      {{true, false, true}, "05"},
      {TBitValues(8, true), "FF"},
      {{true, false, false, false, false, false, false, false, false, true}, "01 02"},
      {TBitValues(10, true), "FF 03"},  // unused high bits stay 0
      {{}, ""},
  };
  for (const auto& R : Rows) {
    TModbusBuffer Buffer(8);
    PackBits(R.Values, Buffer);
    EXPECT_EQ(Contents(Buffer), Hex(R.Expected)) << R.Expected;
    EXPECT_EQ(Buffer.Size(), BitsToBytes(static_cast<int>(R.Values.size())));
  }
}

TEST(BitPacking, UnpacksOnlyTheBytesItNeeds) {
  TModbusBuffer Buffer(8);
  QuorvelTest::Fill(Buffer, Hex("05 FF 81"));
  Buffer.SetPosition(0);
  TBitValues Values(8);
  UnpackBits(Buffer, Values);
  EXPECT_EQ(Values, (TBitValues{true, false, true, false, false, false, false, false}));
  EXPECT_EQ(Buffer.Position(), 1);

  TBitValues Nine(9);
  UnpackBits(Buffer, Nine);
  EXPECT_EQ(Nine, (TBitValues{true, true, true, true, true, true, true, true, true}));
  EXPECT_EQ(Buffer.Position(), 3);
}

TEST(BitPacking, UnpackingNothingStillConsumesAByte) {
  TModbusBuffer Buffer(4);
  QuorvelTest::Fill(Buffer, Hex("AA BB"));
  Buffer.SetPosition(0);
  TBitValues None;
  UnpackBits(Buffer, None);
  EXPECT_EQ(Buffer.Position(), 1);
}

TEST(BitPacking, RoundTripAndOverrun) {
  TBitValues Values(21);
  for (std::size_t I = 0; I < Values.size(); ++I) Values[I] = (I * 7) % 3 == 0;
  TModbusBuffer Buffer(3);
  PackBits(Values, Buffer);
  Buffer.SetPosition(0);
  TBitValues Back(21);
  UnpackBits(Buffer, Back);
  EXPECT_EQ(Back, Values);

  // More values than the frame holds: the step past the data is refused, nothing read outside.
  Buffer.SetPosition(0);
  TBitValues TooMany(40);
  EXPECT_THROW(UnpackBits(Buffer, TooMany), EQuorvelError);
}
