#include "protocol/FrameLength.h"

#include <algorithm>
#include <cstring>

#include <Quorvel/Protocol.h>

namespace Quorvel {

namespace {

constexpr int AddressAndFunction = 2;
constexpr int CrcSize = 2;
constexpr int ExceptionReplySize = 5;  // address, function | 80h, exception code, CRC
constexpr int MaxRtuFrame = 256;

// How a frame of one function and direction gives its length.
struct TShape {
  enum TRule : Byte {
    None,             // no fixed layout
    Fixed,            // always Arg bytes
    ByteCountAt,      // a byte count at offset Arg, then that many bytes and Extra more, then the CRC
    WordCountAt,      // the same with a count word (high byte first) at Arg
    SameAsRequest,    // an echo of the request (diagnostics)
    DeviceIdRequest,  // function 43: seven bytes for read device identification, unknown otherwise
    DeviceIdObjects   // its reply: a header, then objects that each give their own length
  };
  TRule Rule = None;
  int Arg = 0;
  int Extra = 0;
};

struct TFunctionShapes {
  Byte Function;
  TShape Request;
  TShape Reply;
};

constexpr TShape Fixed(int Size) { return {TShape::Fixed, Size}; }
constexpr TShape CountAt(int Offset) { return {TShape::ByteCountAt, Offset}; }
constexpr TShape WordCountAt(int Offset) { return {TShape::WordCountAt, Offset}; }
constexpr TShape None{};
constexpr TShape Echo{TShape::SameAsRequest};

// The public function codes whose frames have a layout that tells their length.
constexpr TFunctionShapes Shapes[] = {
    {Functions::ReadCoils, Fixed(8), CountAt(2)},
    {Functions::ReadDiscreteInputs, Fixed(8), CountAt(2)},
    {Functions::ReadHoldingRegisters, Fixed(8), CountAt(2)},
    {Functions::ReadInputRegisters, Fixed(8), CountAt(2)},
    {Functions::WriteSingleCoil, Fixed(8), Fixed(8)},
    {Functions::WriteSingleRegister, Fixed(8), Fixed(8)},
    {Functions::ReadExceptionStatus, Fixed(4), Fixed(5)},
    {Functions::Diagnostics, None, Echo},  // the request's data depend on the sub-function
    {Functions::GetCommEventCounter, Fixed(4), Fixed(8)},
    {Functions::GetCommEventLog, Fixed(4), CountAt(2)},
    {Functions::WriteMultipleCoils, CountAt(6), Fixed(8)},
    {Functions::WriteMultipleRegisters, CountAt(6), Fixed(8)},
    {Functions::ReportServerId, Fixed(4), CountAt(2)},
    {Functions::ReadFileRecord, CountAt(2), CountAt(2)},
    {Functions::WriteFileRecord, CountAt(2), CountAt(2)},
    {Functions::MaskWriteRegister, Fixed(10), Fixed(10)},
    {Functions::ReadWriteMultipleRegisters, CountAt(10), CountAt(2)},
    {Functions::ReadFifoQueue, Fixed(6), WordCountAt(2)},  // the reply's byte count is a word
    {Functions::EncapsulatedInterface, {TShape::DeviceIdRequest}, {TShape::DeviceIdObjects}},
};

const TFunctionShapes* FindShapes(Byte Function) noexcept {
  const auto* Found = std::find_if(std::begin(Shapes), std::end(Shapes),
                                   [Function](const TFunctionShapes& S) { return S.Function == Function; });
  return Found != std::end(Shapes) ? Found : nullptr;
}

constexpr TFrameLength NeedMore(int Bytes) { return {TFrameLength::NeedMore, Bytes}; }
constexpr TFrameLength Known(int Bytes) { return {TFrameLength::Known, Bytes}; }

bool IsDeviceIdentification(std::span<const Byte> Received) noexcept {
  return Received[2] == MeiTypes::ReadDeviceIdentification;
}

// A read device identification reply: eight bytes up to its number of objects, then each object as
// its id, its length and that many bytes.
TFrameLength DeviceObjectsLength(std::span<const Byte> Received) noexcept {
  constexpr int Header = 8;
  constexpr int CountOffset = 7;
  if (Received.size() < Header) return NeedMore(Header);
  int End = Header;
  for (int Object = 0; Object < Received[CountOffset]; ++Object) {
    // Objects that run past any frame cannot be told: the silence ends such bytes.
    if (End + 2 > MaxRtuFrame) return {};
    if (static_cast<int>(Received.size()) < End + 2) return NeedMore(End + 2);
    End += 2 + Received[static_cast<std::size_t>(End + 1)];
  }
  return Known(End + CrcSize);
}

TFrameLength LengthOf(TShape Shape, std::span<const Byte> Received, const TModbusBuffer* Request) noexcept {
  const int Size = static_cast<int>(Received.size());
  switch (Shape.Rule) {
    case TShape::Fixed:
      return Known(Shape.Arg);
    case TShape::ByteCountAt:
      if (Size <= Shape.Arg) return NeedMore(Shape.Arg + 1);
      return Known(Shape.Arg + 1 + Received[static_cast<std::size_t>(Shape.Arg)] + Shape.Extra + CrcSize);
    case TShape::WordCountAt:
      if (Size < Shape.Arg + 2) return NeedMore(Shape.Arg + 2);
      return Known(Shape.Arg + 2 + (Received[static_cast<std::size_t>(Shape.Arg)] << 8) +
                   Received[static_cast<std::size_t>(Shape.Arg + 1)] + Shape.Extra + CrcSize);
    case TShape::SameAsRequest:
      if (Request != nullptr && Request->Size() > 0) return Known(Request->Size());
      return {};
    case TShape::DeviceIdRequest:
      if (Size < 3) return NeedMore(3);
      return IsDeviceIdentification(Received) ? Known(7) : TFrameLength{};
    case TShape::DeviceIdObjects:
      if (Size < 3) return NeedMore(3);
      return IsDeviceIdentification(Received) ? DeviceObjectsLength(Received) : TFrameLength{};
    case TShape::None:
      break;
  }
  return {};
}

// A raw request's rule, from PDU offsets to frame offsets: the address byte comes first.
TShape ShapeOf(TReplyLength Rule) noexcept {
  switch (Rule.Rule) {
    case rlFixed: return Fixed(1 + Rule.Size + CrcSize);
    case rlByteCount: return {TShape::ByteCountAt, 1 + Rule.Offset, Rule.Size};
    case rlWordCount: return {TShape::WordCountAt, 1 + Rule.Offset, Rule.Size};
    default: return None;
  }
}

TFrameLength Length(std::span<const Byte> Received, bool IsReply, const TModbusBuffer* Request,
                    TReplyLength Rule) noexcept {
  if (Received.size() < AddressAndFunction) return NeedMore(AddressAndFunction);
  const Byte Function = Received[1];
  if (IsReply && Function > Functions::ExceptionFlag) return Known(ExceptionReplySize);
  if (IsReply && Rule.Rule != rlByFunction) return LengthOf(ShapeOf(Rule), Received, Request);
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

TFrameLength RtuRequestLength(std::span<const Byte> Received) noexcept { return Length(Received, false, nullptr, {}); }

TFrameLength RtuReplyLength(std::span<const Byte> Received, const TModbusBuffer* Request, TReplyLength Rule) noexcept {
  return Length(Received, true, Request, Rule);
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
    case Functions::ReadWriteMultipleRegisters:
      // The read's count is the request's second word in all three.
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
    case Functions::GetCommEventCounter:
      return ReplySize != Header + 4 + CheckSize;
    case Functions::GetCommEventLog:
      // Status, event count and message count come first: at least six bytes.
      return Reply.Memory()[2] < 6 || ReplySize != CountedSize(Reply.Memory()[2]);
    case Functions::ReadFifoQueue:
      // A byte count word, then the queue's count word and its registers.
      return ReplySize < Header + 4 + CheckSize || ReplySize != Header + 2 + WordAt(Reply, 2) + CheckSize ||
             WordAt(Reply, 2) != 2 + 2 * WordAt(Reply, 4);
    case Functions::EncapsulatedInterface:
      // The interface and the read code that were asked.
      return Request.Size() < Header + 2 || ReplySize < Header + 2 + CheckSize ||
             Reply.Memory()[2] != Request.Memory()[2] || Reply.Memory()[3] != Request.Memory()[3];
    default:
      return false;
  }
}

}  // namespace Quorvel
