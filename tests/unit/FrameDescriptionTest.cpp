#include <Quorvel/FrameDescription.h>

#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <random>
#include <string>

#include <Quorvel/FrameCodec.h>
#include "TestBytes.h"

using namespace Quorvel;
using QuorvelTest::Fill;
using QuorvelTest::Hex;

namespace {

enum TCheck { Good, Bad };

// The wire bytes of a binary frame given in hex without its check.
TFrameData Wire(TTransmissionMode Mode, const std::string& Binary, TCheck Check = Good) {
  const TModbusFrameCodec Codec(Mode);
  TModbusBuffer Buffer(256);
  Fill(Buffer, Hex(Binary));
  Codec.AppendChecksum(Buffer);
  if (Check == Bad) Buffer.Memory()[Buffer.Size() - 1] ^= 0x01;
  std::array<Byte, 513> Raw{};
  const int Length = Codec.EncodeFrame(Buffer, Raw.data(), static_cast<int>(Raw.size()));
  return {Raw.begin(), Raw.begin() + Length};
}

TFrameDescription Expect(TFrameKind Kind, Byte Address = 0, Byte Function = 0) {
  TFrameDescription D;
  D.Kind = Kind;
  D.Address = Address;
  D.Function = Function;
  return D;
}

TFrameDescription WithRange(TFrameDescription D, Word Start, Word Count) {
  D.HasRange = true;
  D.Start = Start;
  D.Count = Count;
  return D;
}

TFrameDescription WithException(TFrameDescription D, Byte Code, TExceptionKind Kind) {
  D.ExceptionCode = Code;
  D.ExceptionKind = Kind;
  return D;
}

}  // namespace

namespace Quorvel {
std::ostream& operator<<(std::ostream& Stream, const TFrameDescription& D) {
  return Stream << "{kind " << int(D.Kind) << ", address " << int(D.Address) << ", function " << int(D.Function)
                << (D.HasRange ? ", range " + std::to_string(D.Start) + "+" + std::to_string(D.Count) : "")
                << ", exception " << int(D.ExceptionCode) << "/" << int(D.ExceptionKind) << "}";
}

}  // namespace Quorvel

TEST(FrameDescription, RequestsByFunctionInBothModes) {
  struct Row {
    const char* Binary;
    TCheck Check;
    TFrameDescription Expected;
  };
  const Row Rows[] = {
      {"01 10 01BB 000B 16 0004 4142 2020 2020 2020 2020 2020 2020 2020 2020 2020", Good,
       WithRange(Expect(fkRequest, 1, 16), 443, 11)},
      {"01 03 0000 000A", Good, WithRange(Expect(fkRequest, 1, 3), 0, 10)},
      {"11 01 0013 0025", Good, WithRange(Expect(fkRequest, 17, 1), 19, 37)},
      {"01 05 0003 FF00", Good, WithRange(Expect(fkRequest, 1, 5), 3, 1)},
      {"00 06 0004 0042", Good, WithRange(Expect(fkRequest, 0, 6), 4, 1)},  // a broadcast
      {"01 16 0004 00F2 0025", Good, WithRange(Expect(fkRequest, 1, 22), 4, 1)},
      {"01 0F 0013 000A 02 CD01", Good, WithRange(Expect(fkRequest, 1, 15), 19, 10)},
      {"01 07", Good, Expect(fkRequest, 1, 7)},
      {"01 17 0010 0002 0020 0001 02 0007", Good, WithRange(Expect(fkRequest, 1, 23), 16, 2)},  // the read's range
      {"01 18 04D2", Good, WithRange(Expect(fkRequest, 1, 24), 1234, 1)},
      {"01 2B 0E 01 00", Good, Expect(fkRequest, 1, 43)},
      {"01 08 0000 A55A", Good, Expect(fkRequest, 1, 8)},
      {"01 03 00", Good, Expect(fkRequest, 1, 3)},  // its fields run into the check: no range
      {"01 03 0000 000A", Bad, Expect(fkBadCheck)},
      {"01", Good, Expect(fkMalformed)},
  };
  for (const TTransmissionMode Mode : {tmRTU, tmASCII}) {
    for (const Row& R : Rows) {
      EXPECT_EQ(DescribeRequest(Mode, Wire(Mode, R.Binary, R.Check)), R.Expected) << R.Binary << " mode " << int(Mode);
    }
  }
}

TEST(FrameDescription, RepliesJudgedAgainstTheLastRequest) {
  const std::string Write16 = "01 10 01BB 000B 16 0003" + std::string(40, '2');
  const std::string Read3 = "01 03 01BB 000B";
  struct Row {
    const char* Name;
    std::string Binary;  // "" is a time-out
    std::string Request;
    TCheck Check;
    TFrameDescription Expected;
  };
  const Row Rows[] = {
      {"time-out", "", Write16, Good, Expect(fkNoReply)},
      {"written", "01 10 01BB 000B", Write16, Good, WithRange(Expect(fkReply, 1, 16), 443, 11)},
      {"refused", "01 90 02", Write16, Good,
       WithException(Expect(fkExceptionReply, 1, 16), 2, ekIllegalDataAddress)},
      {"a code the library has no name for", "01 90 0B", Write16, Good,
       WithException(Expect(fkExceptionReply, 1, 16), 11, ekUnknown)},
      {"an exception of the wrong size", "01 90 02 00", Write16, Good, Expect(fkMalformed)},
      {"another server", "07 10 01BB 000B", Write16, Good, Expect(fkOtherAddress, 7, 16)},
      {"another function", "01 03 02 0000", Write16, Good, Expect(fkOtherFunction, 1, 3)},
      {"the echo", Write16, Write16, Good, WithRange(Expect(fkEcho, 1, 16), 443, 11)},
      {"a read's reply takes the request's range", "01 03 16" + std::string(44, '4'), Read3, Good,
       WithRange(Expect(fkReply, 1, 3), 443, 11)},
      {"an exception to a read", "01 83 03", Read3, Good,
       WithRange(WithException(Expect(fkExceptionReply, 1, 3), 3, ekIllegalDataValue), 443, 11)},
      {"no request to judge by", "01 03 02 0000", "", Good, Expect(fkReply, 1, 3)},
      {"a read/write's reply takes the read's range", "01 17 04 0001 0002", "01 17 0010 0002 0020 0001 02 0007",
       Good, WithRange(Expect(fkReply, 1, 23), 16, 2)},
      {"a FIFO queue's reply takes its address", "01 18 0004 0001 0007", "01 18 04D2", Good,
       WithRange(Expect(fkReply, 1, 24), 1234, 1)},
      {"a request that is no frame", "01 06 0001 0002", "FF", Good, WithRange(Expect(fkReply, 1, 6), 1, 1)},
      {"too short for a reply", "01 10", Write16, Good, Expect(fkMalformed)},
      {"bad check", "01 10 01BB 000B", Write16, Bad, Expect(fkBadCheck)},
  };
  for (const TTransmissionMode Mode : {tmRTU, tmASCII}) {
    for (const Row& R : Rows) {
      const TFrameData Reply = R.Binary.empty() ? TFrameData{} : Wire(Mode, R.Binary, R.Check);
      const TFrameData Request = R.Request.empty() ? TFrameData{} : Wire(Mode, R.Request);
      EXPECT_EQ(DescribeReply(Mode, Reply, Request), R.Expected) << R.Name << ", mode " << int(Mode);
    }
  }
}

TEST(FrameDescription, AsciiFramesOfTheWrongShapeAreMalformed) {
  const TFrameData Good = Wire(tmASCII, "01 03 0000 000A");
  ASSERT_EQ(DescribeRequest(tmASCII, Good).Kind, fkRequest);
  TFrameData NoColon = Good, NoLF = Good, OddDigits = Good;
  NoColon[0] = '!';
  NoLF.back() = '\r';
  OddDigits.insert(OddDigits.begin() + 1, '0');
  for (const TFrameData& Frame : {NoColon, NoLF, OddDigits, QuorvelTest::Bytes(":\r\n"), QuorvelTest::Bytes("\r\n")})
    EXPECT_EQ(DescribeRequest(tmASCII, Frame).Kind, fkMalformed) << std::string(Frame.begin(), Frame.end());
  // Lower-case digits decode by the codec's rule and then fail the LRC, as the worker sees them.
  TFrameData Lower = Wire(tmASCII, "01 03 0000 000A");
  for (auto& C : Lower) C = static_cast<Byte>(std::tolower(C));
  EXPECT_EQ(DescribeReply(tmASCII, Lower, Good).Kind, fkBadCheck);
}

TEST(FrameDescription, AnyBytesAtAllAreDescribedWithoutReadingPastThem) {
  std::mt19937 Random(20261208);
  std::uniform_int_distribution<int> AnyByte(0, 255);
  const TFrameData Request = Wire(tmRTU, "01 03 0000 000A");
  // 256 bytes of garbage: the largest RTU frame, whose CRC does not fit; one byte more is no frame.
  TFrameData Garbage(256);
  for (auto& B : Garbage) B = static_cast<Byte>(AnyByte(Random));
  EXPECT_EQ(DescribeReply(tmRTU, Garbage, Request).Kind, fkBadCheck);
  EXPECT_EQ(DescribeRequest(tmRTU, Garbage).Kind, fkBadCheck);
  Garbage.push_back(0);
  EXPECT_EQ(DescribeReply(tmRTU, Garbage, Garbage), Expect(fkMalformed));
  EXPECT_EQ(DescribeReply(tmASCII, Garbage, Garbage).Kind, fkMalformed);

  // Every length up to a full ASCII frame and more, in either role and mode, request or not: the
  // sanitizers watch the reads; the kinds must stay among those a frame can have.
  for (std::size_t Length = 0; Length <= 600; ++Length) {
    TFrameData Bytes(Length);
    for (auto& B : Bytes) B = static_cast<Byte>(AnyByte(Random));
    if (Length > 2 && Length % 3 == 0) {
      Bytes.front() = ':';
      Bytes[Length - 2] = '\r';
      Bytes.back() = '\n';
    }
    for (const TTransmissionMode Mode : {tmRTU, tmASCII}) {
      const TFrameDescription AsRequest = DescribeRequest(Mode, Bytes);
      EXPECT_NE(AsRequest.Kind, fkNoReply) << Length;
      const TFrameDescription AsReply = DescribeReply(Mode, Bytes, Bytes);
      if (AsReply.Kind == fkMalformed || AsReply.Kind == fkBadCheck) {
        EXPECT_EQ(AsReply.Address, 0) << Length;
      }
    }
  }
}
