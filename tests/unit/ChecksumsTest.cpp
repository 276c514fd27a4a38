#include <Quorvel/Checksums.h>

#include <gtest/gtest.h>

#include <Quorvel/Errors.h>
#include "TestBytes.h"

using namespace Quorvel;
using QuorvelTest::Bytes;
using QuorvelTest::Hex;

TEST(Checksums, PublishedCheckValues) {
  EXPECT_EQ(CRC16(Bytes("123456789")), 0x4B37) << "CRC-16/MODBUS check value";
  EXPECT_EQ(CRC16({}), 0xFFFF);
  EXPECT_EQ(LRC(Bytes("abc")), 0xDA);
  EXPECT_EQ(LRC({}), 0);
}

TEST(Checksums, ProtocolExamples) {
  EXPECT_EQ(CRC16(Hex("01 03 00 00 00 01")), 0x0A84);
  EXPECT_EQ(CRC16(Hex("01 83 02")), 0xF1C0);
  EXPECT_EQ(LRC(Hex("01 03 00 00 00 01")), 0xFB);
  // A frame followed by its own CRC, low byte first, has the residue 0.
  EXPECT_EQ(CRC16(Hex("01 03 00 00 00 01 84 0A")), 0x0000);
}

TEST(Errors, MessagesFormatIntegersInSixtyFourBits) {
  EXPECT_EQ(FormatMessage(Messages::ValueRange, 1, 4294967295LL), "Value must be between 1 and 4294967295");
  EXPECT_EQ(FormatMessage(Messages::BufferPosition, -1), "Buffer position is invalid (-1)");
  try {
    RaiseErrorFmt(Messages::RegCount, 123);
  } catch (const EQuorvelError& E) {
    EXPECT_STREQ(E.what(), "Register count must be between 1 and 123");
  }
  EXPECT_THROW(RaiseInternalError(), EQuorvelError);
  try {
    RaiseInternalError();
  } catch (const std::runtime_error& E) {
    EXPECT_STREQ(E.what(), "Internal error");
  }
}
