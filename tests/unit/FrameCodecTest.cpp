#include <Quorvel/FrameCodec.h>
#include <Quorvel/Protocol.h>

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <tuple>

#include <Quorvel/Errors.h>
#include "platform/Socket.h"
#include "protocol/FrameLength.h"
#include "TestBytes.h"

using namespace Quorvel;
using QuorvelTest::Bytes;
using QuorvelTest::Contents;
using QuorvelTest::Fill;
using QuorvelTest::Hex;

namespace {

// The request a send action issues for one display line: selector, then 20 blanks.
void BuildDisplayLine(const TModbusFrameCodec& Codec, TModbusBuffer& Buffer, Word Selector) {
  Codec.WriteAddress(1, Buffer);
  Buffer.WriteByte(16);
  Buffer.WriteWord(443);
  Buffer.WriteWord(11);
  Buffer.WriteByte(22);
  Buffer.WriteWord(Selector);
  for (int I = 0; I < 10; ++I) Buffer.WriteWord(0x2020);
  Codec.AppendChecksum(Buffer);
}

TFrameData Encode(const TModbusFrameCodec& Codec, const TModbusBuffer& Buffer) {
  std::array<Byte, 513> Raw{};
  const int Length = Codec.EncodeFrame(Buffer, Raw.data(), static_cast<int>(Raw.size()));
  return {Raw.begin(), Raw.begin() + Length};
}

void Decode(const TModbusFrameCodec& Codec, const TFrameData& Raw, TModbusBuffer& Buffer) {
  Codec.DecodeFrame(Raw.data(), Buffer, static_cast<int>(Raw.size()));
}

const TModbusFrameCodec Rtu(tmRTU, cmClient);
const TModbusFrameCodec Ascii(tmASCII, cmClient);
const TModbusFrameCodec ModbusTcp(tmModbusTCP, cmClient);

}  // namespace

TEST(FrameCodec, SizesFollowTheMode) {
  EXPECT_EQ(Rtu.FrameBufferSize(), 256);
  EXPECT_EQ(Rtu.RawFrameSize(), 256);
  EXPECT_EQ(Rtu.IOQueueSize(), 384);
  EXPECT_EQ(Rtu.MinRequestSize(), 4);
  EXPECT_EQ(Rtu.MinReplySize(), 5);
  EXPECT_EQ(Ascii.FrameBufferSize(), 255);
  EXPECT_EQ(Ascii.RawFrameSize(), 513);
  EXPECT_EQ(Ascii.IOQueueSize(), 768);
  EXPECT_EQ(Ascii.MinRequestSize(), 3);
  EXPECT_EQ(Ascii.MinReplySize(), 4);
  EXPECT_EQ(2 * Ascii.FrameBufferSize() + 3, Ascii.RawFrameSize()) << "a full buffer always fits the wire area";
  EXPECT_EQ(std::tuple(ModbusTcp.RawFrameSize(), ModbusTcp.ChecksumSize(), ModbusTcp.MinRequestSize(), ModbusTcp.MinReplySize()),
            std::tuple(260, 0, 2, 3));
}

TEST(FrameCodec, DisplayLineRequestsAsSent) {
  TModbusBuffer Line1(256);
  BuildDisplayLine(Rtu, Line1, 3);
  const TFrameData Expected = Hex("01 10 01 BB 00 0B 16 00 03 2020 2020 2020 2020 2020 2020 2020 2020 2020 2020 05 45");
  EXPECT_EQ(Encode(Rtu, Line1), Expected);
  ASSERT_EQ(Expected.size(), 31u);

  TModbusBuffer Line2(256);
  BuildDisplayLine(Rtu, Line2, 4);
  EXPECT_EQ(Encode(Rtu, Line2).back(), 0xF2);
  EXPECT_EQ(Contents(Line2)[29], 0x73);

  TModbusBuffer AsciiLine1(255);
  BuildDisplayLine(Ascii, AsciiLine1, 3);
  EXPECT_EQ(Contents(AsciiLine1).back(), 0x8F) << "the LRC byte replaces the CRC";
  EXPECT_EQ(Encode(Ascii, AsciiLine1).size(), 2u * 30 + 3);
}

TEST(FrameCodec, ReadHoldingRegisterInBothModes) {
  TModbusBuffer Buffer(256);
  Fill(Buffer, Hex("01 03 00 00 00 01"));
  Rtu.AppendChecksum(Buffer);
  EXPECT_EQ(Encode(Rtu, Buffer), Hex("01 03 00 00 00 01 84 0A"));

  Fill(Buffer, Hex("01 03 00 00 00 01"));
  Ascii.AppendChecksum(Buffer);
  EXPECT_EQ(Encode(Ascii, Buffer), Bytes(":010300000001FB\r\n"));

  TModbusBuffer Back(255);
  Decode(Ascii, Bytes(":010300000001FB\r\n"), Back);
  EXPECT_EQ(Contents(Back), Hex("01 03 00 00 00 01 FB"));
  EXPECT_TRUE(Ascii.IsValidFrame(Back));

  // Modbus TCP: the MBAP header in front (the sender sets the transaction id), no check behind.
  Fill(Buffer, Hex("01 03 00 00 00 01"));
  ModbusTcp.AppendChecksum(Buffer);
  EXPECT_EQ(Encode(ModbusTcp, Buffer), Hex("0000 0000 0006 01 03 00 00 00 01"));
  TModbusBuffer Reply(256);
  const TFrameData Wire = Hex("1234 0000 0005 01 03 02 00 2A");
  EXPECT_TRUE(ModbusTcp.DecodeReceivedFrame(Wire.data(), Reply, static_cast<int>(Wire.size())));
  EXPECT_EQ(Contents(Reply), Hex("01 03 02 00 2A"));
  EXPECT_TRUE(ModbusTcp.IsValidFrame(Reply));
  // A header that is not this frame's: another protocol, a length that lies either way.
  for (const char* Bad : {"1234 0001 0005 01 03 02 00 2A", "1234 0000 0006 01 03 02 00 2A", "1234 0000 0004 01 03 02 00 2A"}) {
    const TFrameData Refused = Hex(Bad);
    EXPECT_FALSE(ModbusTcp.DecodeReceivedFrame(Refused.data(), Reply, static_cast<int>(Refused.size()))) << Bad;
    EXPECT_EQ(Reply.Size(), 0) << Bad;
  }
}

TEST(TcpPortName, HostAndPortAsAUserWritesThem) {
  using Platform::ParseTcpPortName;
  using Platform::TTcpPortName;
  struct Row {
    const char* Name;
    Word DefaultPort;
    TTcpPortName::TKind Kind;
    const char* Host;
    Word Port;
  };
  const Row Rows[] = {
      {"tcp://127.0.0.1:4001", 0, TTcpPortName::Connect, "127.0.0.1", 4001},
      {"tcp://device-server.local:502", 0, TTcpPortName::Connect, "device-server.local", 502},
      {"tcp://[::1]:1502", 0, TTcpPortName::Connect, "::1", 1502},
      {"tcp://10.0.0.7", 502, TTcpPortName::Connect, "10.0.0.7", 502},  // Modbus TCP's own port
      {"tcp-listen://0.0.0.0:0", 0, TTcpPortName::Listen, "0.0.0.0", 0},
      {"tcp://10.0.0.7", 0, TTcpPortName::None, "", 0},
      {"tcp://10.0.0.7:0", 0, TTcpPortName::None, "", 0},
      {"tcp://10.0.0.7:65536", 0, TTcpPortName::None, "", 0},
      {"tcp://:502", 0, TTcpPortName::None, "", 0},
      {"tcp://[::1]502", 0, TTcpPortName::None, "", 0},
      {"tcp://host:50 ", 0, TTcpPortName::None, "", 0},
      {"/dev/ttyUSB0", 502, TTcpPortName::None, "", 0},
      {"TCP://host:1", 0, TTcpPortName::None, "", 0},
  };
  for (const auto& R : Rows) {
    const TTcpPortName Name = ParseTcpPortName(R.Name, R.DefaultPort);
    EXPECT_EQ(Name.Kind, R.Kind) << R.Name;
    if (R.Kind == TTcpPortName::None) continue;
    EXPECT_EQ(Name.Host, R.Host) << R.Name;
    EXPECT_EQ(Name.Port, R.Port) << R.Name;
  }
}

TEST(FrameCodec, EncodesUpperCaseHexAndNothingForAnEmptyBuffer) {
  TModbusBuffer Buffer(4);
  EXPECT_TRUE(Encode(Ascii, Buffer).empty()) << "no lone colon CR LF";
  EXPECT_TRUE(Encode(Rtu, Buffer).empty());
  Fill(Buffer, Hex("0A FF"));
  EXPECT_EQ(Encode(Ascii, Buffer), Bytes(":0AFF\r\n"));
}

TEST(FrameCodec, EncodingThatDoesNotFitWritesNothing) {
  TModbusBuffer Buffer(8);
  Fill(Buffer, Hex("01 02 03 04"));
  std::array<Byte, 10> Raw;
  Raw.fill(0xCC);
  EXPECT_THROW(Rtu.EncodeFrame(Buffer, Raw.data(), 3), EQuorvelError);
  EXPECT_THROW(Ascii.EncodeFrame(Buffer, Raw.data(), 10), EQuorvelError);  // needs 11
  for (const auto B : Raw) EXPECT_EQ(B, 0xCC);
  EXPECT_EQ(Ascii.EncodeFrame(Buffer, Raw.data(), 11), 11);
}

TEST(FrameCodec, DecodingNothingLeavesAnEmptyBuffer) {
  for (const auto* Codec : {&Rtu, &Ascii}) {
    TModbusBuffer Buffer(8);
    Fill(Buffer, Hex("01 02"));
    Codec->DecodeFrame(nullptr, Buffer, 0);
    EXPECT_EQ(Buffer.Size(), 0);
    Codec->DecodeFrame(nullptr, Buffer, -5);
    EXPECT_EQ(Buffer.Size(), 0);
  }
}

TEST(FrameCodec, RtuFrameLongerThanTheBufferIsRefused) {
  TModbusBuffer Buffer(4);
  try {
    Decode(Rtu, Hex("01 02 03 04 05"), Buffer);
    ADD_FAILURE();
  } catch (const EQuorvelError& E) {
    EXPECT_STREQ(E.what(), "Failed to decode frame");
  }
  EXPECT_EQ(Buffer.Size(), 0);
}

TEST(FrameCodec, MalformedAsciiFramesFailTheirAssertion) {
  struct Row {
    std::string Raw;
    std::string Message;
  };
  const Row Rows[] = {
      {":\r\n", "DecodeFrame: The size is too small."},
      {"", ""},  // a time-out, not an error
      {":0\r\n", "DecodeFrame: The size is not an odd number."},
      {"X0102\r\n", "DecodeFrame: Leading colon is missing."},
      {":0102\n\n", "DecodeFrame: Trailing CR is missing."},
      {":0102\r\r", "DecodeFrame: Trailing LF is missing."},
      {"0102\r\n", "DecodeFrame: The size is not an odd number."},  // tests run in order
  };
  for (const auto& R : Rows) {
    TModbusBuffer Buffer(255);
    try {
      Decode(Ascii, Bytes(R.Raw), Buffer);
      EXPECT_TRUE(R.Message.empty()) << "accepted: " << R.Raw;
    } catch (const EAssertionFailed& E) {
      const std::string What = E.what();
      EXPECT_EQ(What.rfind(R.Message + " (FrameCodec.cpp, line ", 0), 0u) << What;
      EXPECT_EQ(What.back(), ')');
    }
    // What the worker decodes from the line refuses the same frames without raising.
    Fill(Buffer, Hex("01 02"));
    const TFrameData Raw = Bytes(R.Raw);
    EXPECT_EQ(Ascii.DecodeReceivedFrame(Raw.data(), Buffer, static_cast<int>(Raw.size())), R.Message.empty()) << R.Raw;
    EXPECT_EQ(Buffer.Size(), 0) << R.Raw;
  }
  // From the line, a character that is no upper-case hexadecimal digit refuses a frame of the
  // right shape; the decoder called directly leaves it to the LRC.
  for (const std::string Frame : {":0a03\r\n", ":01G3\r\n"}) {
    TModbusBuffer Buffer(255);
    const TFrameData Raw = Bytes(Frame);
    EXPECT_FALSE(Ascii.DecodeReceivedFrame(Raw.data(), Buffer, static_cast<int>(Raw.size()))) << Frame;
    EXPECT_NO_THROW(Decode(Ascii, Raw, Buffer));
    EXPECT_EQ(Buffer.Size(), 2);
  }
}

TEST(FrameCodec, AsciiNibblesAreNotValidated) {
  TModbusBuffer Buffer(255);
  Decode(Ascii, Bytes(":0a\r\n"), Buffer);
  EXPECT_EQ(Contents(Buffer), Hex("2A")) << "lower case decodes to another value; the LRC decides";
  Decode(Ascii, Bytes(":G/\r\n"), Buffer);
  EXPECT_EQ(Contents(Buffer), Hex("FF"));  // G gives 0x10, / gives 0xFF: (0x100 mod 256) or 0xFF
}

TEST(FrameCodec, ExceptionReplyIsJudged) {
  TModbusBuffer Request(256);
  Fill(Request, Hex("01 03 00 00 00 01 84 0A"));
  TModbusBuffer Reply(256);
  Decode(Rtu, Hex("01 83 02 C0 F1"), Reply);
  EXPECT_TRUE(Rtu.IsValidFrame(Reply));
  EXPECT_TRUE(Rtu.MatchesRequest(Request, Reply));
  EXPECT_TRUE(Rtu.IsExceptionReply(Reply));
  TExceptionKind Kind{};
  Byte Code = 0;
  Rtu.ReadExceptionCode(Reply, Kind, Code);
  EXPECT_EQ(Kind, ekIllegalDataAddress);
  EXPECT_EQ(Code, 2);

  Fill(Reply, Hex("01 83 0B"));
  Rtu.AppendChecksum(Reply);
  Rtu.ReadExceptionCode(Reply, Kind, Code);
  EXPECT_EQ(Kind, ekUnknown);
  EXPECT_EQ(Code, 0x0B);
  // The kinds the library names are the protocol's codes, and every code has its standard name.
  EXPECT_EQ(ekMemoryParityError, Exceptions::MemoryParityError);
  EXPECT_STREQ(ExceptionName(Code), "Gateway target device failed to respond");
  EXPECT_STREQ(ExceptionName(Exceptions::IllegalDataAddress), "Illegal data address");
  EXPECT_STREQ(ExceptionName(9), "Unknown exception");

  Fill(Reply, Hex("02 83 02"));
  Rtu.AppendChecksum(Reply);
  EXPECT_FALSE(Rtu.MatchesRequest(Request, Reply)) << "another server address";
  Fill(Reply, Hex("01 84 02"));
  Rtu.AppendChecksum(Reply);
  EXPECT_FALSE(Rtu.MatchesRequest(Request, Reply)) << "another function";
}

TEST(FrameCodec, ExceptionReplyNeedsItsExactSizeAndAFunctionAbove0x80) {
  TModbusBuffer Reply(256);
  Fill(Reply, Hex("01 80 02 00 00"));
  EXPECT_FALSE(Rtu.IsExceptionReply(Reply)) << "0x80 is not above 0x80";
  Fill(Reply, Hex("01 81 02 00 00 00"));
  EXPECT_FALSE(Rtu.IsExceptionReply(Reply)) << "one byte too long";
  Fill(Reply, Hex("01 81 02 00"));
  EXPECT_TRUE(Ascii.IsExceptionReply(Reply));
  Reply.SetSize(0);
  EXPECT_FALSE(Rtu.IsExceptionReply(Reply));
}

TEST(FrameCodec, ValidityDependsOnTheRoleAndTheCheck) {
  TModbusBuffer Frame(256);
  Fill(Frame, Hex("01 07"));
  Rtu.AppendChecksum(Frame);  // 4 bytes: a request's minimum, short of a reply's
  const TModbusFrameCodec RtuServer(tmRTU, cmServer);
  EXPECT_FALSE(Rtu.IsValidFrame(Frame));
  EXPECT_EQ(Frame.Position(), 4) << "the check is not even looked at";
  EXPECT_TRUE(RtuServer.IsValidFrame(Frame));
  Frame.Memory()[3] ^= 1;
  EXPECT_FALSE(RtuServer.IsValidFrame(Frame));

  const TModbusFrameCodec AsciiServer(tmASCII, cmServer);
  Fill(Frame, Hex("01 07"));
  Ascii.AppendChecksum(Frame);
  EXPECT_FALSE(Ascii.IsValidFrame(Frame));
  EXPECT_TRUE(AsciiServer.IsValidFrame(Frame));
  EXPECT_EQ(Frame.Position(), 2) << "left at the first byte of the check";
}

TEST(FrameCodec, EchoComparesWholeFrames) {
  TModbusBuffer Request(256);
  TModbusBuffer Reply(256);
  Fill(Request, Hex("01 06 00 01 00 03 98 0B"));
  Fill(Reply, Hex("01 06 00 01 00 03 98 0B"));
  EXPECT_TRUE(Rtu.IsEcho(Request, Reply));
  Fill(Reply, Hex("01 06 00 01 00 03 98 0B 01 06 00 01"));
  EXPECT_TRUE(Rtu.IsEcho(Request, Reply)) << "echo and reply in one read";
  Fill(Reply, Hex("01 06 00 01 00 03 98"));
  EXPECT_FALSE(Rtu.IsEcho(Request, Reply));
  Fill(Reply, Hex("01 06 00 01 00 03 98 0C"));
  EXPECT_FALSE(Rtu.IsEcho(Request, Reply)) << "the check is compared too";
}

// Whatever arrives on the line, decoding and judging stay inside the buffers or raise one of
// our own exceptions.
TEST(FrameCodec, ArbitraryReceivedBytesAreHandledSafely) {
  std::mt19937 Random(12345);
  std::array<Byte, 600> Raw{};
  TModbusBuffer Request(256);
  Fill(Request, Hex("01 03 00 00 00 01 84 0A"));
  for (int Round = 0; Round < 20000; ++Round) {
    const auto& Codec = Round % 2 == 0 ? Rtu : Ascii;
    const int Length = static_cast<int>(Random() % Raw.size());
    for (int I = 0; I < Length; ++I) {
      const auto Choice = Random() % 4;
      Raw[static_cast<std::size_t>(I)] = Choice == 0 ? Byte{':'} : static_cast<Byte>(Random());
    }
    if (Round % 3 == 0 && Length > 3) {
      Raw[0] = ':';
      Raw[static_cast<std::size_t>(Length - 2)] = '\r';
      Raw[static_cast<std::size_t>(Length - 1)] = '\n';
    }
    TModbusBuffer Reply(Codec.FrameBufferSize());
    try {
      Codec.DecodeFrame(Raw.data(), Reply, Length);
      if (Codec.IsValidFrame(Reply) && Codec.MatchesRequest(Request, Reply) && Codec.IsExceptionReply(Reply)) {
        TExceptionKind Kind{};
        Byte Code = 0;
        Codec.ReadExceptionCode(Reply, Kind, Code);
      }
      Codec.IsEcho(Request, Reply);
      const std::span<const Byte> Received(Raw.data(), static_cast<std::size_t>(Length));
      RtuRequestLength(Received);
      RtuReplyLength(Received, &Request);
      ContradictsRequest(Request, Reply, Codec.ChecksumSize());
    } catch (const EQuorvelError&) {
    } catch (const EAssertionFailed&) {
    }
    ASSERT_LE(Reply.Size(), Reply.Capacity());
  }
}

// A reply that matches its request by address and function, and whether its length, byte count
// or echoed fields still give it away as the answer to another request.
TEST(FrameLength, ContradictionsOfTheRequest) {
  struct Row {
    const char* Request;
    const char* Reply;
    bool Contradicts;
  };
  const Row Rows[] = {
      {"01 03 0000 0002", "01 03 04 0001 0002", false},
      {"01 03 0000 0002", "01 03 02 0001", true},             // a reply to a read of 1 register
      {"01 03 0000 0002", "01 03 04 0001 0002 0003", true},   // longer than its byte count says
      {"01 01 0000 000A", "01 01 02 FF 03", false},           // 10 coils: 2 bytes
      {"01 01 0000 000A", "01 01 01 FF", true},
      {"01 06 0001 0011", "01 06 0001 0011", false},
      {"01 06 0001 0011", "01 06 0002 0011", true},           // another register's echo
      {"01 10 0000 0001 02 002A", "01 10 0000 0001", false},
      {"01 10 0000 0001 02 002A", "01 10 0000 0002", true},
      {"01 03 0000 0002", "01 83 02", false},                 // an exception reply answers anything
      {"01 11", "01 11 03 01 FF 00", false},                  // no fixed answer to compare with
      {"01 0B", "01 0B 0000 0003", false},
      {"01 0B", "01 0B 0000", true},
      {"01 0C", "01 0C 08 0000 0001 0002 C0 80", false},
      {"01 0C", "01 0C 05 0000 0001 02", true},              // shorter than its three words
      {"01 0C", "01 0C 08 0000 0001 0002 C0", true},         // an event short
      {"01 17 0000 0002 0000 0001 02 0005", "01 17 04 0001 0002", false},
      {"01 17 0000 0002 0000 0001 02 0005", "01 17 02 0001", true},  // the read's count decides
      {"01 18 0001", "01 18 0004 0001 0009", false},
      {"01 18 0001", "01 18 0006 0001 0009 0000", true},     // byte count and queue count disagree
      {"01 2B 0E 01 00", "01 2B 0E 01 81 00 00 00", false},
      {"01 2B 0E 01 00", "01 2B 0E 02 81 00 00 00", true},   // another read code
  };
  for (const auto& R : Rows) {
    for (const auto* Codec : {&Rtu, &Ascii}) {
      TModbusBuffer Request(256), Reply(256);
      Fill(Request, Hex(R.Request));
      Codec->AppendChecksum(Request);
      Fill(Reply, Hex(R.Reply));
      Codec->AppendChecksum(Reply);
      EXPECT_EQ(ContradictsRequest(Request, Reply, Codec->ChecksumSize()), R.Contradicts) << R.Request << " / " << R.Reply;
    }
  }
}

TEST(FrameLength, WhatTheFirstBytesTell) {
  TModbusBuffer Diagnostics(256);
  Fill(Diagnostics, Hex("01 08 0000 A55A 0000"));
  struct Row {
    const char* Received;
    bool Reply;
    TFrameLength::TKind Kind;
    int Bytes;
  };
  const Row Rows[] = {
      {"01", true, TFrameLength::NeedMore, 2},
      {"01 03", true, TFrameLength::NeedMore, 3},           // the byte count comes third
      {"01 03 FA", true, TFrameLength::Known, 255},         // 3 + 250 + CRC
      {"01 83", true, TFrameLength::Known, 5},
      {"01 08", true, TFrameLength::Known, 8},              // the diagnostics request's echo
      {"01 41", true, TFrameLength::Unknown, 0},            // a code the library does not know
      {"01 18 00", true, TFrameLength::NeedMore, 4},        // a FIFO queue's byte count is a word
      {"01 18 0006", true, TFrameLength::Known, 12},
      {"01 2B", true, TFrameLength::NeedMore, 3},           // function 43 names its interface first
      {"01 2B 0D", true, TFrameLength::Unknown, 0},         // not device identification
      {"01 2B 0E 01 81 00 00", true, TFrameLength::NeedMore, 8},
      {"01 2B 0E 01 81 00 00 02 00 03", true, TFrameLength::NeedMore, 15},  // object 0: 3 bytes
      {"01 2B 0E 01 81 00 00 02 00 03 414243 01 02", true, TFrameLength::Known, 19},
      {"01 2B 0E 01 81 00 00 00", true, TFrameLength::Known, 10},
      {"01 2B 0E", false, TFrameLength::Known, 7},
      {"01 2B 0D", false, TFrameLength::Unknown, 0},
      {"01 18", false, TFrameLength::Known, 6},
      {"01 10 0000 00", false, TFrameLength::NeedMore, 7},  // the byte count comes seventh
      {"01 10 0000 0001 02", false, TFrameLength::Known, 11},
      {"01 07", false, TFrameLength::Known, 4},
      {"01 08", false, TFrameLength::Unknown, 0},
  };
  for (const auto& R : Rows) {
    const TFrameData Bytes = Hex(R.Received);
    const TFrameLength Length = R.Reply ? RtuReplyLength(Bytes, &Diagnostics) : RtuRequestLength(Bytes);
    EXPECT_EQ(Length.Kind, R.Kind) << R.Received;
    EXPECT_EQ(Length.Bytes, R.Bytes) << R.Received;
  }
}

// A raw request's own rule, in PDU offsets; an exception reply is five bytes whatever the rule.
TEST(FrameLength, RawRequestsTellTheirRepliesLength) {
  struct Row {
    TReplyLength Rule;
    const char* Received;
    TFrameLength::TKind Kind;
    int Bytes;
  };
  const Row Rows[] = {
      {{rlFixed, 0, 4}, "01 41", TFrameLength::Known, 7},
      {{rlByteCount, 1, 0}, "01 41", TFrameLength::NeedMore, 3},
      {{rlByteCount, 1, 0}, "01 41 05", TFrameLength::Known, 10},
      {{rlByteCount, 1, 2}, "01 41 05", TFrameLength::Known, 12},  // two more bytes after the counted ones
      {{rlWordCount, 1, 0}, "01 41 01", TFrameLength::NeedMore, 4},
      {{rlWordCount, 1, 0}, "01 41 0100", TFrameLength::Known, 262},
      {{rlFixed, 0, 4}, "01 C1", TFrameLength::Known, 5},
      {{rlSilence, 0, 0}, "01 03 02", TFrameLength::Unknown, 0},
      {{rlByFunction, 0, 0}, "01 03 02", TFrameLength::Known, 7},
      {{rlByFunction, 0, 0}, "01 41 02", TFrameLength::Unknown, 0},
  };
  for (const auto& R : Rows) {
    const TFrameLength Length = RtuReplyLength(Hex(R.Received), nullptr, R.Rule);
    EXPECT_EQ(Length.Kind, R.Kind) << R.Received << " rule " << int(R.Rule.Rule);
    EXPECT_EQ(Length.Bytes, R.Bytes) << R.Received << " rule " << int(R.Rule.Rule);
  }
}
