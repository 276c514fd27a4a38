// Arbitrary request frames against the server side, dispatched as the worker dispatches them.
//
// An input is a flags byte (bit 0: ASCII, bit 1: give the request a good frame check), then the
// frame: as it comes off the line, or as binary bytes that get a good check. Two memory servers
// listen, at addresses 1 and 2. What must hold: no crash and no exception; a frame that fails
// its check, a broadcast and a request to an address nobody has get no reply; any other reply is
// a well-formed frame from the addressed server, with a good check, that fits the worker's send
// area: an exception reply (codes 1 to 3) or the normal reply of the function asked.

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

void CheckReply(TModbusConnection& C, TModbusTransaction& T) {
  TModbusBuffer& Q = T.Request;
  TModbusBuffer& R = T.Reply;
  const int Check = C.ChecksumSize();
  FUZZ_CHECK(R.Size() >= C.MinReplySize());
  FUZZ_CHECK(C.ChecksumValid(R));
  FUZZ_CHECK(R.Memory()[0] == Q.Memory()[0]);
  const Byte Function = Q.Memory()[1];
  const Byte Answer = R.Memory()[1];
  if (Answer == (Function | 0x80)) {
    FUZZ_CHECK(R.Size() == C.MinReplySize());
    FUZZ_CHECK(R.Memory()[2] >= 1 && R.Memory()[2] <= 3);
    // A code of 80h and above is no function at all; bit 7 is already set in it.
    if (Function >= 0x80) FUZZ_CHECK(R.Memory()[2] == 1);
    return;
  }
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
  if (Address == 0) return 0;  // a broadcast: whatever was built is never sent
  if (Address != 1 && Address != 2) {
    FUZZ_CHECK(T.Reply.Size() == 0);
    return 0;
  }
  FUZZ_CHECK(T.Reply.Size() > 0);  // the addressed server answers every valid frame
  CheckReply(C, T);
  std::vector<Byte> Wire(static_cast<std::size_t>(C.RawFrameSize()));
  C.EncodeFrame(T.Reply, Wire.data(), C.RawFrameSize());
  return 0;
}
