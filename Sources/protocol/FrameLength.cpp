#include "protocol/FrameLength.h"

#include <algorithm>
#include <cstring>

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
    {1, Fixed(8), CountAt(2)},      // read coils
    {2, Fixed(8), CountAt(2)},      // read discrete inputs
    {3, Fixed(8), CountAt(2)},      // read holding registers
    {4, Fixed(8), CountAt(2)},      // read input registers
    {5, Fixed(8), Fixed(8)},        // write single coil
    {6, Fixed(8), Fixed(8)},        // write single register
    {7, Fixed(4), Fixed(5)},        // read exception status
    {8, None, Echo},                // diagnostics: the request's data depend on the sub-function
    {11, Fixed(4), Fixed(8)},       // get comm event counter
    {12, Fixed(4), CountAt(2)},     // get comm event log
    {15, CountAt(6), Fixed(8)},     // write multiple coils
    {16, CountAt(6), Fixed(8)},     // write multiple registers
    {17, Fixed(4), CountAt(2)},     // report server ID
    {20, CountAt(2), CountAt(2)},   // read file record
    {21, CountAt(2), CountAt(2)},   // write file record
    {22, Fixed(10), Fixed(10)},     // mask write register
    {23, CountAt(10), CountAt(2)},  // read/write multiple registers
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
  if (IsReply && Function > 0x80) return {TFrameLength::Known, ExceptionReplySize};
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
  if (Request.Size() < Header || Reply.Size() < Header || Reply.Memory()[1] > 0x80) return false;
  const int ReplySize = Reply.Size();
  const auto CountedSize = [&](int Count) { return Header + 1 + Count + CheckSize; };
  switch (Request.Memory()[1]) {
    case 1:
    case 2:
      // A byte count, then the bytes of BitCount bits.
      return Request.Size() < Header + 4 || ReplySize != CountedSize((WordAt(Request, 4) + 7) / 8) ||
             Reply.Memory()[2] != (WordAt(Request, 4) + 7) / 8;
    case 3:
    case 4:
      return Request.Size() < Header + 4 || ReplySize != CountedSize(2 * WordAt(Request, 4)) ||
             Reply.Memory()[2] != 2 * WordAt(Request, 4);
    case 5:
    case 6:
    case 21:
    case 22:
      // A whole echo of the request: its check is then the request's too.
      return ReplySize != Request.Size() || !SameBytes(Request, Reply, ReplySize);
    case 15:
    case 16:
      // The starting address and the count, echoed.
      return ReplySize != Header + 4 + CheckSize || !SameBytes(Request, Reply, Header + 4);
    case 7:
      return ReplySize != Header + 1 + CheckSize;
    case 8:
      return ReplySize != Request.Size();
    default:
      return false;
  }
}

}  // namespace Quorvel
