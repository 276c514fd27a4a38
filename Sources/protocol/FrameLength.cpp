#include "protocol/FrameLength.h"

#include <algorithm>
#include <cstring>

#include <Quorvel/Protocol.h>

namespace Quorvel {

namespace {

constexpr int AddressAndFunction = 2;
constexpr int CrcSize = 2;
constexpr int ExceptionReplySize = 5;  // address, function | 80h, exception code, CRC

// How a frame of one function and direction gives its length.
struct TShape {
  enum TRule : Byte {
    None,           // no fixed layout
    Fixed,          // always Arg bytes
    CountAt,        // a byte count at offset Arg, then that many bytes, then the CRC
    SameAsRequest   // an echo of the request (diagnostics)
  };
  TRule Rule = None;
  Byte Arg = 0;
};

struct TFunctionShapes {
  Byte Function;
  TShape Request;
  TShape Reply;
};

constexpr TShape Fixed(Byte Size) { return {TShape::Fixed, Size}; }
constexpr TShape CountAt(Byte Offset) { return {TShape::CountAt, Offset}; }
constexpr TShape None{};
constexpr TShape Echo{TShape::SameAsRequest, 0};

// The public function codes whose frames have a layout that tells their length.
constexpr TFunctionShapes Shapes[] = {
    {Functions::ReadCoils, Fixed(8), CountAt(2)},      // read coils
    {Functions::ReadDiscreteInputs, Fixed(8), CountAt(2)},      // read discrete inputs
    {Functions::ReadHoldingRegisters, Fixed(8), CountAt(2)},      // read holding registers
    {Functions::ReadInputRegisters, Fixed(8), CountAt(2)},      // read input registers
    {Functions::WriteSingleCoil, Fixed(8), Fixed(8)},        // write single coil
    {Functions::WriteSingleRegister, Fixed(8), Fixed(8)},        // write single register
    {Functions::ReadExceptionStatus, Fixed(4), Fixed(5)},        // read exception status
    {Functions::Diagnostics, None, Echo},                // diagnostics: the request's data depend on the sub-function
    {Functions::GetCommEventCounter, Fixed(4), Fixed(8)},       // get comm event counter
    {Functions::GetCommEventLog, Fixed(4), CountAt(2)},     // get comm event log
    {Functions::WriteMultipleCoils, CountAt(6), Fixed(8)},     // write multiple coils
    {Functions::WriteMultipleRegisters, CountAt(6), Fixed(8)},     // write multiple registers
    {Functions::ReportServerId, Fixed(4), CountAt(2)},     // report server ID
    {Functions::ReadFileRecord, CountAt(2), CountAt(2)},   // read file record
    {Functions::WriteFileRecord, CountAt(2), CountAt(2)},   // write file record
    {Functions::MaskWriteRegister, Fixed(10), Fixed(10)},     // mask write register
    {Functions::ReadWriteMultipleRegisters, CountAt(10), CountAt(2)},  // read/write multiple registers
};

const TFunctionShapes* FindShapes(Byte Function) noexcept {
  const auto* Found = std::find_if(std::begin(Shapes), std::end(Shapes),
                                   [Function](const TFunctionShapes& S) { return S.Function == Function; });
  return Found != std::end(Shapes) ? Found : nullptr;
}

TFrameLength LengthOf(TShape Shape, std::span<const Byte> Received, const TModbusBuffer* Request) noexcept {
  switch (Shape.Rule) {
    case TShape::Fixed:
      return {TFrameLength::Known, Shape.Arg};
    case TShape::CountAt:
      if (static_cast<int>(Received.size()) <= Shape.Arg) return {TFrameLength::NeedMore, Shape.Arg + 1};
      return {TFrameLength::Known, Shape.Arg + 1 + Received[Shape.Arg] + CrcSize};
    case TShape::SameAsRequest:
      if (Request != nullptr && Request->Size() > 0) return {TFrameLength::Known, Request->Size()};
      return {};
    case TShape::None:
      break;
  }
  return {};
}

TFrameLength Length(std::span<const Byte> Received, bool IsReply, const TModbusBuffer* Request) noexcept {
  if (Received.size() < AddressAndFunction) return {TFrameLength::NeedMore, AddressAndFunction};
  const Byte Function = Received[1];
  if (IsReply && Function > Functions::ExceptionFlag) return {TFrameLength::Known, ExceptionReplySize};
  const TFunctionShapes* S = FindShapes(Function);
  if (S == nullptr) return {};
  return LengthOf(IsReply ? S->Reply : S->Request, Received, Request);
}

bool SameBytes(const TModbusBuffer& A, const TModbusBuffer& B, int Count) noexcept {
  return A.Size() >= Count && B.Size() >= Count && std::memcmp(A.Memory(), B.Memory(), static_cast<std::size_t>(Count)) == 0;
}

Word WordAt(const TModbusBuffer& Frame, int Offset) noexcept {
  return static_cast<Word>((Frame.Memory()[Offset] << 8) | Frame.Memory()[Offset + 1]);
}

}  // namespace

TFrameLength RtuRequestLength(std::span<const Byte> Received) noexcept { return Length(Received, false, nullptr); }

TFrameLength RtuReplyLength(std::span<const Byte> Received, const TModbusBuffer* Request) noexcept {
  return Length(Received, true, Request);
}

bool ContradictsRequest(const TModbusBuffer& Request, const TModbusBuffer& Reply, int CheckSize) noexcept {
  constexpr int Header = AddressAndFunction;
  if (Request.Size() < Header || Reply.Size() < Header || Reply.Memory()[1] > Functions::ExceptionFlag) return false;
  const int ReplySize = Reply.Size();
  const auto CountedSize = [&](int Count) { return Header + 1 + Count + CheckSize; };
  switch (Request.Memory()[1]) {
    case Functions::ReadCoils:
    case Functions::ReadDiscreteInputs:
      // A byte count, then the bytes of BitCount bits.
      return Request.Size() < Header + 4 || ReplySize != CountedSize((WordAt(Request, 4) + 7) / 8) ||
             Reply.Memory()[2] != (WordAt(Request, 4) + 7) / 8;
    case Functions::ReadHoldingRegisters:
    case Functions::ReadInputRegisters:
      return Request.Size() < Header + 4 || ReplySize != CountedSize(2 * WordAt(Request, 4)) ||
             Reply.Memory()[2] != 2 * WordAt(Request, 4);
    case Functions::WriteSingleCoil:
    case Functions::WriteSingleRegister:
    case Functions::WriteFileRecord:
    case Functions::MaskWriteRegister:
      // A whole echo of the request: its check is then the request's too.
      return ReplySize != Request.Size() || !SameBytes(Request, Reply, ReplySize);
    case Functions::WriteMultipleCoils:
    case Functions::WriteMultipleRegisters:
      // The starting address and the count, echoed.
      return ReplySize != Header + 4 + CheckSize || !SameBytes(Request, Reply, Header + 4);
    case Functions::ReadExceptionStatus:
      return ReplySize != Header + 1 + CheckSize;
    case Functions::Diagnostics:
      return ReplySize != Request.Size();
    default:
      return false;
  }
}

}  // namespace Quorvel
