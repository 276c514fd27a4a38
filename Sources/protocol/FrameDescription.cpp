#include <Quorvel/FrameDescription.h>

#include <algorithm>
#include <array>

#include <Quorvel/Checksums.h>
#include <Quorvel/Protocol.h>

namespace Quorvel {

namespace {

constexpr Byte Colon = ':';
constexpr Byte CR = 0x0D;
constexpr Byte LF = 0x0A;
constexpr std::size_t MaxBinarySize = 256;

// The binary frame: address, function code, data, check. Lives on the stack: a monitor describes
// every frame of a busy line and must not allocate for each.
struct TBinaryFrame {
  std::array<Byte, MaxBinarySize> Bytes{};
  int Size = 0;
  int CheckSize = 2;

  int DataEnd() const noexcept { return Size - CheckSize; }
  // Reads within the data only: a field that runs into the check is not there.
  bool HasWord(int Offset) const noexcept { return Offset + 2 <= DataEnd(); }
  Word WordAt(int Offset) const noexcept {
    return static_cast<Word>(Bytes[static_cast<std::size_t>(Offset)] << 8 | Bytes[static_cast<std::size_t>(Offset + 1)]);
  }
  Byte Address() const noexcept { return Bytes[0]; }
  Byte Function() const noexcept { return Bytes[1]; }
  std::span<const Byte> View() const noexcept { return {Bytes.data(), static_cast<std::size_t>(Size)}; }
};

// The same nibble rule as the codec: no validation, the LRC decides.
constexpr Byte Nibble(Byte Character) noexcept {
  return static_cast<Byte>(Character >= 0x41 ? Character - 0x37 : Character - 0x30);
}

// False for bytes that no frame of the mode can be: an ASCII frame needs its colon, an even
// number of digits and CR LF; a frame of either mode fits 256 binary bytes.
bool Unframe(TTransmissionMode Mode, std::span<const Byte> Wire, TBinaryFrame& Frame) {
  if (Mode == tmModbusTCP) {
    // The MBAP header's six bytes before the unit id; TCP carries the check.
    if (Wire.size() < 6 || Wire.size() - 6 > MaxBinarySize) return false;
    std::copy(Wire.begin() + 6, Wire.end(), Frame.Bytes.begin());
    Frame.Size = static_cast<int>(Wire.size() - 6);
    Frame.CheckSize = 0;
    return true;
  }
  if (Mode == tmRTU) {
    if (Wire.size() > MaxBinarySize) return false;
    std::copy(Wire.begin(), Wire.end(), Frame.Bytes.begin());
    Frame.Size = static_cast<int>(Wire.size());
    Frame.CheckSize = 2;
    return true;
  }
  const std::size_t Length = Wire.size();
  if (Length < 3 || Length % 2 == 0 || Wire[0] != Colon || Wire[Length - 2] != CR || Wire[Length - 1] != LF)
    return false;
  const std::size_t Count = (Length - 3) / 2;
  if (Count > MaxBinarySize) return false;
  for (std::size_t I = 0; I < Count; ++I)
    Frame.Bytes[I] = static_cast<Byte>(Nibble(Wire[1 + 2 * I]) << 4 | Nibble(Wire[2 + 2 * I]));
  Frame.Size = static_cast<int>(Count);
  Frame.CheckSize = 1;
  return true;
}

bool CheckValid(const TBinaryFrame& Frame) {
  if (Frame.CheckSize == 0) return true;
  const auto Data = Frame.View().first(static_cast<std::size_t>(Frame.DataEnd()));
  if (Frame.CheckSize == 1) return LRC(Data) == Frame.Bytes[static_cast<std::size_t>(Frame.DataEnd())];
  // The CRC travels low byte first.
  const auto Low = Frame.Bytes[static_cast<std::size_t>(Frame.DataEnd())];
  const auto High = Frame.Bytes[static_cast<std::size_t>(Frame.DataEnd() + 1)];
  return CRC16(Data) == static_cast<Word>(High << 8 | Low);
}

// Address, function code and check: the least a request has. A reply has one byte more.
int MinRequestSize(const TBinaryFrame& Frame) { return 2 + Frame.CheckSize; }
int MinReplySize(const TBinaryFrame& Frame) { return 3 + Frame.CheckSize; }

// Unframes Wire and tests its size and check; the description says what failed.
bool ReadGoodFrame(TTransmissionMode Mode, std::span<const Byte> Wire, TBinaryFrame& Frame, TFrameDescription& Result) {
  if (!Unframe(Mode, Wire, Frame) || Frame.Size < MinRequestSize(Frame)) {
    Result.Kind = fkMalformed;
    return false;
  }
  if (!CheckValid(Frame)) {
    Result.Kind = fkBadCheck;
    return false;
  }
  Result.Address = Frame.Address();
  Result.Function = Frame.Function();
  return true;
}

void SetRange(TFrameDescription& Result, Word Start, Word Count) {
  Result.HasRange = true;
  Result.Start = Start;
  Result.Count = Count;
}

bool IsReadFunction(Byte Function) {
  return (Function >= Functions::ReadCoils && Function <= Functions::ReadInputRegisters) ||
         Function == Functions::ReadWriteMultipleRegisters || Function == Functions::ReadFifoQueue;
}

// The addresses a frame names in its own fields: a range (start, count) for the reads and the
// multiple writes (the read's, for a read/write request), one address for the single writes, the
// mask write and a FIFO queue. A reply to a read names none: its range is the request's.
void ReadOwnRange(const TBinaryFrame& Frame, Byte Function, bool IsReply, TFrameDescription& Result) {
  if (IsReply && IsReadFunction(Function)) return;
  switch (Function) {
    case Functions::ReadCoils:
    case Functions::ReadDiscreteInputs:
    case Functions::ReadHoldingRegisters:
    case Functions::ReadInputRegisters:
    case Functions::ReadWriteMultipleRegisters:
    case Functions::WriteMultipleCoils:
    case Functions::WriteMultipleRegisters:
      if (Frame.HasWord(4)) SetRange(Result, Frame.WordAt(2), Frame.WordAt(4));
      return;
    case Functions::WriteSingleCoil:
    case Functions::WriteSingleRegister:
    case Functions::MaskWriteRegister:
    case Functions::ReadFifoQueue:
      if (Frame.HasWord(2)) SetRange(Result, Frame.WordAt(2), 1);
      return;
    default:
      return;
  }
}

}  // namespace

TFrameDescription DescribeRequest(TTransmissionMode Mode, std::span<const Byte> Wire) {
  TFrameDescription Result;
  TBinaryFrame Frame;
  if (!ReadGoodFrame(Mode, Wire, Frame, Result)) return Result;
  Result.Kind = fkRequest;
  ReadOwnRange(Frame, Result.Function, false, Result);
  return Result;
}

TFrameDescription DescribeReply(TTransmissionMode Mode, std::span<const Byte> Wire, std::span<const Byte> LastRequest) {
  TFrameDescription Result;
  if (Wire.empty()) {
    Result.Kind = fkNoReply;
    return Result;
  }
  TBinaryFrame Frame;
  if (!ReadGoodFrame(Mode, Wire, Frame, Result)) return Result;

  TBinaryFrame Request;
  TFrameDescription RequestDescription;
  const bool HaveRequest = !LastRequest.empty() && ReadGoodFrame(Mode, LastRequest, Request, RequestDescription);
  if (HaveRequest) ReadOwnRange(Request, Request.Function(), false, RequestDescription);
  if (HaveRequest && std::ranges::equal(Frame.View(), Request.View())) {
    Result.Kind = fkEcho;
    ReadOwnRange(Frame, Result.Function, false, Result);
    return Result;
  }

  // An exception reply is exactly address, function code with bit 7, exception code and check;
  // a function byte of 80h itself is no exception.
  const bool Exception = Frame.Function() > Functions::ExceptionFlag;
  if (Exception ? Frame.Size != MinReplySize(Frame) : Frame.Size < MinReplySize(Frame)) {
    Result = {};
    Result.Kind = fkMalformed;
    return Result;
  }
  Result.Function = static_cast<Byte>(Frame.Function() & 0x7F);
  if (HaveRequest && Result.Address != Request.Address()) {
    Result.Kind = fkOtherAddress;
    return Result;
  }
  if (HaveRequest && Result.Function != Request.Function()) {
    Result.Kind = fkOtherFunction;
    return Result;
  }
  if (HaveRequest && IsReadFunction(Result.Function)) {
    Result.HasRange = RequestDescription.HasRange;
    Result.Start = RequestDescription.Start;
    Result.Count = RequestDescription.Count;
  }
  if (Exception) {
    Result.Kind = fkExceptionReply;
    Result.ExceptionCode = Frame.Bytes[2];
    Result.ExceptionKind =
        Result.ExceptionCode <= ekMemoryParityError ? static_cast<TExceptionKind>(Result.ExceptionCode) : ekUnknown;
    return Result;
  }
  Result.Kind = fkReply;
  ReadOwnRange(Frame, Result.Function, true, Result);
  return Result;
}

}  // namespace Quorvel
