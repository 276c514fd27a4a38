// Arbitrary request frames against the server side, dispatched as the worker dispatches them.
//
// An input is a flags byte (bit 0: ASCII, bit 1: give the request a good frame check), then the
// frame: as it comes off the line, or as binary bytes that get a good check. Two memory servers
// listen: at address 1 one that provides none of the functions beyond 1-6, 15 and 16, at 2 (and
// 3) one that provides them all, with data for each, and a function of its own (41h) that echoes
// its request. What must hold: no crash and no exception; a frame that fails its check, a
// broadcast and a request to an address nobody has get no reply; the server at 1 refuses every
// further function with exception 1; any other reply is a well-formed frame from the addressed
// server, with a good check, that fits the worker's send area: an exception reply (codes 1 to 3)
// or the normal reply of the function asked, laid out as the protocol says. Only a request for
// listen-only mode goes unanswered; a restart after each input ends it.

#include <algorithm>
#include <cstdint>
#include <vector>

#include <Quorvel/BitPacking.h>
#include <Quorvel/Errors.h>
#include <Quorvel/MemoryServer.h>
#include "FuzzConnection.h"

using namespace Quorvel;
using QuorvelFuzz::TFuzzConnection;

namespace {

constexpr Byte CustomFunction = 0x41;

struct TSide {
  TFuzzConnection Line;
  TModbusMemoryServer Small, Full;

  explicit TSide(TTransmissionMode Mode) : Line(Mode, cmServer) {
    // Every address exists at 2, so that long requests get through to the reply.
    Full.SetServerAddress(2);
    Full.Coils() = {0, TBitValues(65536, true)};
    Full.DiscreteInputs() = {0, TBitValues(65536, false)};
    Full.HoldingRegisters() = {0, TRegValues(65536, 0x5AA5)};
    Full.InputRegisters() = {0, TRegValues(65536, 0xA55A)};
    Full.SetOtherAddresses({3});
    for (const Byte Function : TModbusServer::ProvidableFunctions) Full.SetFunctionProvided(Function, true);
    Full.ServerIdentification() = {2, 0xFF, 'F', 'u', 'l', 'l'};
    Full.DeviceIdentification() = {{0, "Quorvel"}, {1, "fuzz"}, {2, "1.0"}, {4, std::string(120, 'p')},
                                   {5, std::string(120, 'm')}, {0x80, "private"}};
    Full.FifoQueues()[0] = {};
    Full.FifoQueues()[1] = TRegValues(31, 0x1234);
    Full.FifoQueues()[2] = TRegValues(32, 0x4321);
    for (Word File = 1; File <= 3; ++File) Full.Files()[File] = {0, TRegValues(10000, File)};
    Full.SetFunctionHandler(CustomFunction, [](TModbusServer&, const TTransactionInfo&, const TFrameData& Pdu) { return Pdu; });
    Small.SetServerAddress(1);
    Small.SetConnection(&Line.Connection);
    Full.SetConnection(&Line.Connection);
    Line.Connection.Open();
  }

  // Short tables away from address 0, so that range checks meet both of their ends.
  void ResetSmall() {
    Small.Coils() = {100, TBitValues(37, false)};
    Small.DiscreteInputs() = {0, TBitValues(20, true)};
    Small.HoldingRegisters() = {443, TRegValues(11, 0x2020)};
    Small.InputRegisters() = {65530, TRegValues(6, 7)};
  }
};

TSide& Side(bool Ascii) {
  static TSide Rtu(tmRTU);
  static TSide AsciiSide(tmASCII);
  return Ascii ? AsciiSide : Rtu;
}

Word WordAt(const TModbusBuffer& B, int Offset) {
  return static_cast<Word>(B.Memory()[Offset] << 8 | B.Memory()[Offset + 1]);
}

bool SameBytes(const TModbusBuffer& A, const TModbusBuffer& B, int From, int To) {
  return std::equal(A.Memory() + From, A.Memory() + To, B.Memory() + From);
}

// The objects of a read device identification reply end where its data end.
void CheckObjects(const TModbusBuffer& R, int Data) {
  FUZZ_CHECK(Data >= 8);
  FUZZ_CHECK(R.Memory()[5] == 0x00 || R.Memory()[5] == 0xFF);
  int End = 8;
  for (int Object = 0; Object < R.Memory()[7]; ++Object) {
    FUZZ_CHECK(End + 2 <= Data);
    End += 2 + R.Memory()[End + 1];
  }
  FUZZ_CHECK(End == Data);
}

bool IsStandingFunction(Byte Function) { return (Function >= 1 && Function <= 6) || Function == 15 || Function == 16; }

// A request for listen-only mode, the one a server never answers.
bool AsksForListenOnly(const TModbusBuffer& Q, int Check) {
  return Q.Size() >= 6 + Check && Q.Memory()[1] == 8 && WordAt(Q, 2) == 4;
}

void CheckReply(TModbusConnection& C, TModbusTransaction& T) {
  TModbusBuffer& Q = T.Request;
  TModbusBuffer& R = T.Reply;
  const int Check = C.ChecksumSize();
  const Byte Function = Q.Memory()[1];
  // The server's own function sends back its request, however short, with a check of its own.
  if (Function == CustomFunction && Q.Memory()[0] != 1) {
    FUZZ_CHECK(R.Size() == Q.Size() && SameBytes(R, Q, 0, R.Size() - Check) && C.ChecksumValid(R));
    return;
  }
  FUZZ_CHECK(R.Size() >= C.MinReplySize());
  FUZZ_CHECK(C.ChecksumValid(R));
  FUZZ_CHECK(R.Memory()[0] == Q.Memory()[0]);
  const Byte Answer = R.Memory()[1];
  if (Answer == (Function | 0x80)) {
    FUZZ_CHECK(R.Size() == C.MinReplySize());
    FUZZ_CHECK(R.Memory()[2] >= 1 && R.Memory()[2] <= 3);
    // A code of 80h and above is no function at all; bit 7 is already set in it. The server that
    // provides nothing beyond the standing functions refuses every other.
    if (Function >= 0x80 || (Q.Memory()[0] == 1 && !IsStandingFunction(Function))) FUZZ_CHECK(R.Memory()[2] == 1);
    return;
  }
  FUZZ_CHECK(Q.Memory()[0] != 1 || IsStandingFunction(Function));
  FUZZ_CHECK(Answer == Function);
  const int Data = R.Size() - Check;  // address, function code and data
  switch (Function) {
    case 1:
    case 2:
    case 3:
    case 4: {
      const Word Count = WordAt(Q, 4);
      const int Bytes = Function <= 2 ? BitsToBytes(Count) : 2 * Count;
      FUZZ_CHECK(Data == 3 + R.Memory()[2]);
      FUZZ_CHECK(R.Memory()[2] == Bytes);
      break;
    }
    case 5:
    case 6:
      // The echo of the request's fields.
      FUZZ_CHECK(Data == 6);
      FUZZ_CHECK(std::equal(R.Memory(), R.Memory() + 6, Q.Memory()));
      break;
    case 15:
    case 16:
      FUZZ_CHECK(Data == 6);
      FUZZ_CHECK(std::equal(R.Memory() + 2, R.Memory() + 6, Q.Memory() + 2));
      break;
    case 7:
      FUZZ_CHECK(Data == 3);
      break;
    case 8: {
      const Word Sub = WordAt(Q, 2);
      FUZZ_CHECK(WordAt(R, 2) == Sub);
      // The query data, a restart and a clear come back as they were; the counters are a word.
      if (Sub == 0 || Sub == 1 || Sub == 10)
        FUZZ_CHECK(SameBytes(R, Q, 0, Data));
      else
        FUZZ_CHECK(Data == 6 && Sub >= 11 && Sub <= 18);
      break;
    }
    case 11:
      FUZZ_CHECK(Data == 6);
      break;
    case 12:
      FUZZ_CHECK(R.Memory()[2] >= 6 && Data == 3 + R.Memory()[2]);
      break;
    case 17:
    case 20:
    case 23:
      FUZZ_CHECK(Data == 3 + R.Memory()[2]);
      if (Function == 23) FUZZ_CHECK(R.Memory()[2] == 2 * WordAt(Q, 4));
      break;
    case 21:
      // An echo of the request, as far as its byte count reaches.
      FUZZ_CHECK(Data == 3 + Q.Memory()[2] && SameBytes(R, Q, 0, Data));
      break;
    case 22:
      FUZZ_CHECK(Data == 8 && SameBytes(R, Q, 0, Data));
      break;
    case 24:
      FUZZ_CHECK(Data == 4 + WordAt(R, 2) && WordAt(R, 2) == 2 + 2 * WordAt(R, 4) && WordAt(R, 4) <= 31);
      break;
    case 43:
      FUZZ_CHECK(R.Memory()[2] == 0x0E && R.Memory()[3] == Q.Memory()[3]);
      CheckObjects(R, Data);
      break;
    default:
      FUZZ_CHECK(!"a normal reply to a function the server does not serve");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  if (Size < 1) return 0;
  const bool Ascii = (Data[0] & 1) != 0;
  const bool GoodCheck = (Data[0] & 2) != 0;
  TSide& S = Side(Ascii);
  TModbusConnection& C = S.Line.Connection;
  S.ResetSmall();

  std::vector<Byte> Raw(Data + 1, Data + Size);
  if (GoodCheck) {
    QuorvelFuzz::EncodeWithGoodCheck(C, Raw);
  }
  // The worker never reads more than its receive area holds.
  if (Raw.size() > static_cast<std::size_t>(C.RawFrameSize())) Raw.resize(static_cast<std::size_t>(C.RawFrameSize()));

  // As the worker takes a frame: decode, drop what fails its check, dispatch the rest.
  TModbusTransaction T(C.FrameBufferSize());
  try {
    C.DecodeFrame(Raw.data(), T.Request, static_cast<int>(Raw.size()));
  } catch (const EAssertionFailed&) {
    return 0;  // a malformed ASCII frame, reported by the worker and not answered
  } catch (const EQuorvelError&) {
    return 0;
  }
  if (!C.IsValidFrame(T.Request)) return 0;
  T.Info.ServerAddress = C.ReadServerAddress(T.Request);
  T.Reply.SetSize(0);
  C.DispatchRequest(T);

  const Byte Address = T.Info.ServerAddress;
  const bool ListenOnly = AsksForListenOnly(T.Request, C.ChecksumSize());
  if (ListenOnly) {
    // Ends the listen-only mode that the request may have begun.
    TModbusTransaction Restart(C.FrameBufferSize());
    Restart.Request.WriteByte(2);
    for (const Byte B : {0x08, 0x00, 0x01, 0x00, 0x00}) Restart.Request.WriteByte(B);
    C.AppendChecksum(Restart.Request);
    Restart.Info.ServerAddress = 2;
    C.DispatchRequest(Restart);
  }
  if (Address == 0) return 0;  // a broadcast: whatever was built is never sent
  if (Address < 1 || Address > 3) {
    FUZZ_CHECK(T.Reply.Size() == 0);
    return 0;
  }
  if (T.Reply.Size() == 0 && ListenOnly && Address != 1) return 0;
  FUZZ_CHECK(T.Reply.Size() > 0);  // the addressed server answers every valid frame
  CheckReply(C, T);
  std::vector<Byte> Wire(static_cast<std::size_t>(C.RawFrameSize()));
  C.EncodeFrame(T.Reply, Wire.data(), C.RawFrameSize());
  return 0;
}
