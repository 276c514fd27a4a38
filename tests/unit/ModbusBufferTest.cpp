#include <Quorvel/ModbusBuffer.h>

#include <gtest/gtest.h>

#include <Quorvel/Errors.h>
#include "TestBytes.h"

using namespace Quorvel;
using QuorvelTest::Contents;
using QuorvelTest::Hex;

namespace {

// Runs Action, expects EQuorvelError with Message, and checks that position and size did not move.
template <class F>
void ExpectRefused(TModbusBuffer& Buffer, F Action, const std::string& Message) {
  const int Position = Buffer.Position();
  const int Size = Buffer.Size();
  const auto Before = Contents(Buffer);
  try {
    Action();
    ADD_FAILURE() << "no exception, expected \"" << Message << '"';
  } catch (const EQuorvelError& E) {
    EXPECT_EQ(E.what(), Message);
  }
  EXPECT_EQ(Buffer.Position(), Position);
  EXPECT_EQ(Buffer.Size(), Size);
  EXPECT_EQ(Contents(Buffer), Before);
}

const std::string NoSpace = "There is not enough space in the buffer to perform the requested action";

}  // namespace

TEST(ModbusBuffer, FillsToCapacityAndRefusesOneMore) {
  TModbusBuffer Buffer(256);
  EXPECT_EQ(Buffer.Position(), 0);
  EXPECT_EQ(Buffer.Size(), 0);
  for (int I = 0; I < 256; ++I) Buffer.WriteByte(static_cast<Byte>(I));
  ExpectRefused(Buffer, [&] { Buffer.WriteByte(1); }, NoSpace);
  EXPECT_EQ(Buffer.Position(), 256);
  EXPECT_EQ(Buffer.Size(), 256);
}

TEST(ModbusBuffer, WordsAreBigEndianExceptTheCrcVariants) {
  TModbusBuffer Buffer(8);
  Buffer.WriteWord(0x1234);
  Buffer.WriteWordLE(0x1234);
  EXPECT_EQ(Contents(Buffer), Hex("12 34 34 12"));
  Buffer.SetPosition(0);
  EXPECT_EQ(Buffer.PeekWord(), 0x1234);
  EXPECT_EQ(Buffer.Position(), 0) << "reads do not move the position";
  Buffer.SetPosition(2);
  EXPECT_EQ(Buffer.PeekWordLE(), 0x1234);
  EXPECT_EQ(Buffer.PeekByte(), 0x34);
}

TEST(ModbusBuffer, AWordWithOneByteOfRoomStoresNothing) {
  TModbusBuffer Buffer(3);
  Buffer.WriteWord(0xAAAA);
  ExpectRefused(Buffer, [&] { Buffer.WriteWord(0x1234); }, NoSpace);
  ExpectRefused(Buffer, [&] { Buffer.WriteWordLE(0x1234); }, NoSpace);
}

TEST(ModbusBuffer, WritingInsideTheDataOverwritesAndKeepsTheSize) {
  TModbusBuffer Buffer(16);
  for (Byte B = 0; B < 5; ++B) Buffer.WriteByte(B);
  Buffer.SetPosition(1);
  Buffer.WriteByte(0xEE);
  EXPECT_EQ(Contents(Buffer), Hex("00 EE 02 03 04"));
  EXPECT_EQ(Buffer.Position(), 2);
}

TEST(ModbusBuffer, PositionAndSizeBounds) {
  TModbusBuffer Buffer(256);
  for (Byte B = 0; B < 5; ++B) Buffer.WriteByte(B);
  ExpectRefused(Buffer, [&] { Buffer.SetPosition(6); }, "Buffer position is invalid (6)");
  ExpectRefused(Buffer, [&] { Buffer.SetPosition(-1); }, "Buffer position is invalid (-1)");
  Buffer.SetPosition(5);
  EXPECT_EQ(Buffer.Position(), 5);

  Buffer.SetSize(2);
  EXPECT_EQ(Buffer.Size(), 2);
  EXPECT_EQ(Buffer.Position(), 2) << "the position is pulled back to the new size";
  ExpectRefused(Buffer, [&] { Buffer.SetSize(257); }, "Buffer size is invalid (257)");
  ExpectRefused(Buffer, [&] { Buffer.SetSize(-3); }, "Buffer size is invalid (-3)");
  Buffer.SetSize(5);
  EXPECT_EQ(Contents(Buffer), Hex("00 01 02 03 04")) << "setting the size never changes the bytes";
  Buffer.SetSize(0);
  EXPECT_EQ(Buffer.Position(), 0);
}

TEST(ModbusBuffer, RelativeSeeksReportTheRequestedPosition) {
  TModbusBuffer Buffer(16);
  Buffer.WriteWord(0x0102);
  Buffer.WriteByte(3);
  Buffer.SetPosition(1);
  ExpectRefused(Buffer, [&] { Buffer.Seek(smPrevWord); }, "Buffer position is invalid (-1)");
  Buffer.SetPosition(2);
  ExpectRefused(Buffer, [&] { Buffer.Seek(smNextWord); }, "Buffer position is invalid (4)");
  Buffer.SetPosition(0);
  ExpectRefused(Buffer, [&] { Buffer.Seek(smPrevByte); }, "Buffer position is invalid (-1)");
  Buffer.Seek(smEnd);
  EXPECT_EQ(Buffer.Position(), 3);
  ExpectRefused(Buffer, [&] { Buffer.Seek(smNextByte); }, "Buffer position is invalid (4)");
  Buffer.Seek(smStart);
  Buffer.Seek(smNextWord);
  Buffer.Seek(smNextByte);
  EXPECT_EQ(Buffer.Position(), 3);
}

TEST(ModbusBuffer, ReadsAreBoundedByCapacityNotSize) {
  TModbusBuffer Buffer(4);
  Buffer.WriteWord(0x1234);
  Buffer.SetPosition(2);
  EXPECT_NO_THROW(Buffer.PeekByte()) << "at Size but inside the block";
  EXPECT_NO_THROW(Buffer.PeekWord());
  Buffer.WriteWord(0x5678);
  Buffer.Seek(smEnd);
  ExpectRefused(Buffer, [&] { Buffer.PeekByte(); }, NoSpace);
  Buffer.Seek(smPrevByte);
  ExpectRefused(Buffer, [&] { Buffer.PeekWord(); }, NoSpace);
  ExpectRefused(Buffer, [&] { Buffer.PeekWordLE(); }, NoSpace);
  EXPECT_THROW(Buffer.CheckSpace(2), EQuorvelError);
  EXPECT_NO_THROW(Buffer.CheckSpace(1));
}

TEST(ModbusBuffer, ChecksumsCoverTheBytesBeforeThePosition) {
  TModbusBuffer Buffer(16);
  EXPECT_EQ(Buffer.CRC16(), 0xFFFF);
  EXPECT_EQ(Buffer.LRC(), 0);
  for (const char C : std::string("123456789abc")) Buffer.WriteByte(static_cast<Byte>(C));
  Buffer.SetPosition(9);
  EXPECT_EQ(Buffer.CRC16(), 0x4B37);
  Buffer.SetPosition(0);
  EXPECT_EQ(Buffer.CRC16(), 0xFFFF) << "never up to Size";
}

TEST(ModbusBuffer, CompactMovesTheRestToTheFront) {
  TModbusBuffer Buffer(16);
  for (const auto B : Hex("00 01 02 03 04 05 06 07")) Buffer.WriteByte(B);
  Buffer.SetPosition(3);
  Buffer.Compact();
  EXPECT_EQ(Contents(Buffer), Hex("03 04 05 06 07"));
  EXPECT_EQ(Buffer.Position(), 5);

  Buffer.Compact();  // position equals size: nothing to move
  EXPECT_EQ(Contents(Buffer), Hex("03 04 05 06 07"));
  Buffer.SetPosition(0);
  Buffer.Compact();
  EXPECT_EQ(Buffer.Size(), 5);
}

TEST(ModbusBuffer, ANegativeCapacityIsRefused) {
  EXPECT_THROW(TModbusBuffer(-1), EQuorvelError);
  TModbusBuffer Empty(0);
  EXPECT_THROW(Empty.WriteByte(0), EQuorvelError);
}
