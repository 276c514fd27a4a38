#include <Quorvel/FrameCodec.h>

#include <algorithm>
#include <cstring>

#include <Quorvel/Errors.h>
#include <Quorvel/Protocol.h>
#include "protocol/MbapFrame.h"

namespace Quorvel {

namespace {

constexpr Byte Colon = ':';
constexpr Byte CR = 0x0D;
constexpr Byte LF = 0x0A;
constexpr char HexDigits[] = "0123456789ABCDEF";

// No validation on purpose: a character that is not a hexadecimal digit yields some other
// nibble, and the frame then stands or falls by its LRC.
constexpr Byte Nibble(Byte Character) noexcept {
  return static_cast<Byte>(Character >= 0x41 ? Character - 0x37 : Character - 0x30);
}

}  // namespace

void TModbusFrameCodec::AppendChecksum(TModbusBuffer& Buffer) const {
  // TCP checks its own segments; Modbus TCP adds nothing.
  if (IsModbusTCP()) return;
  if (IsASCII()) {
    Buffer.WriteByte(Buffer.LRC());
  } else {
    // The CRC travels low byte first, unlike every other Modbus word.
    Buffer.WriteWordLE(Buffer.CRC16());
  }
}

Byte TModbusFrameCodec::ReadServerAddress(TModbusBuffer& Buffer) const {
  Buffer.SetPosition(0);
  return Buffer.PeekByte();
}

Byte TModbusFrameCodec::ReadFunctionCode(TModbusBuffer& Buffer) const {
  Buffer.SetPosition(PduOffset);
  return Buffer.PeekByte();
}

void TModbusFrameCodec::ReadExceptionCode(TModbusBuffer& Reply, TExceptionKind& Kind, Byte& Code) const {
  Reply.SetPosition(PduOffset + 1);
  Code = Reply.PeekByte();
  Kind = Code <= ekMemoryParityError ? static_cast<TExceptionKind>(Code) : ekUnknown;
}

int TModbusFrameCodec::EncodeFrame(const TModbusBuffer& Buffer, Byte* Raw, int RawCapacity) const {
  const int Size = Buffer.Size();
  if (Size == 0) return 0;
  const Byte* Binary = Buffer.Memory();
  if (IsModbusTCP()) {
    if (Size > MbapMaxLength || Size + MbapPrefixSize > RawCapacity) RaiseError(Messages::EncodeFrame);
    WriteMbapPrefix(Raw, 0, Size);
    std::memcpy(Raw + MbapPrefixSize, Binary, static_cast<std::size_t>(Size));
    return Size + MbapPrefixSize;
  }
  if (!IsASCII()) {
    if (Size > RawCapacity) RaiseError(Messages::EncodeFrame);
    std::memcpy(Raw, Binary, static_cast<std::size_t>(Size));
    return Size;
  }
  const int Length = 2 * Size + 3;
  if (Length > RawCapacity) RaiseError(Messages::EncodeFrame);
  Byte* Out = Raw;
  *Out++ = Colon;
  for (int Index = 0; Index < Size; ++Index) {
    *Out++ = static_cast<Byte>(HexDigits[Binary[Index] >> 4]);
    *Out++ = static_cast<Byte>(HexDigits[Binary[Index] & 0x0F]);
  }
  *Out++ = CR;
  *Out = LF;
  return Length;
}

void TModbusFrameCodec::DecodeFrame(const Byte* Raw, TModbusBuffer& Buffer, int RawLength) const {
  Buffer.SetSize(0);
  if (RawLength <= 0) return;  // a read that timed out
  if (IsASCII()) {
    if (const char* Fault = AsciiShapeFault(Raw, RawLength)) RaiseAssertion(Fault, __FILE__, __LINE__);
  }
  Decode(Raw, Buffer, RawLength);
}

bool TModbusFrameCodec::DecodeReceivedFrame(const Byte* Raw, TModbusBuffer& Buffer, int RawLength) const {
  Buffer.SetSize(0);
  if (RawLength <= 0) return true;
  if (IsASCII() && (AsciiShapeFault(Raw, RawLength) != nullptr || !AllHexDigits(Raw + 1, RawLength - 3))) return false;
  if (IsModbusTCP()) {
    TMbapHeader Header;
    int Size = 0;
    const auto Scan = ScanMbapFrame({Raw, static_cast<std::size_t>(RawLength)}, Header, Size);
    if (Scan != TMbapScan::Whole || Size != RawLength) return false;
  }
  Decode(Raw, Buffer, RawLength);
  return true;
}

// The decoder itself leaves the digits to the LRC. An 8-bit sum is a weak check, though, and a
// character that is no digit decodes to a nibble outside 0..15, which lets even one flipped bit
// slip through; from the line such a frame is refused before the LRC is asked.
bool TModbusFrameCodec::AllHexDigits(const Byte* Characters, int Count) noexcept {
  return std::all_of(Characters, Characters + Count,
                     [](Byte C) { return (C >= '0' && C <= '9') || (C >= 'A' && C <= 'F'); });
}

const char* TModbusFrameCodec::AsciiShapeFault(const Byte* Raw, int RawLength) noexcept {
  if (RawLength <= 3) return "DecodeFrame: The size is too small.";
  if (RawLength % 2 == 0) return "DecodeFrame: The size is not an odd number.";
  if (Raw[0] != Colon) return "DecodeFrame: Leading colon is missing.";
  if (Raw[RawLength - 2] != CR) return "DecodeFrame: Trailing CR is missing.";
  if (Raw[RawLength - 1] != LF) return "DecodeFrame: Trailing LF is missing.";
  return nullptr;
}

void TModbusFrameCodec::Decode(const Byte* Raw, TModbusBuffer& Buffer, int RawLength) const {
  if (IsModbusTCP()) {
    // What follows the six bytes before the unit id is the binary frame as it is.
    const int Count = std::max(RawLength - MbapPrefixSize, 0);
    if (Count > Buffer.Capacity()) RaiseError(Messages::DecodeFrame);
    if (Count > 0) std::memcpy(Buffer.Memory(), Raw + MbapPrefixSize, static_cast<std::size_t>(Count));
    Buffer.SetSize(Count);
    return;
  }
  if (!IsASCII()) {
    if (RawLength > Buffer.Capacity()) RaiseError(Messages::DecodeFrame);
    std::memcpy(Buffer.Memory(), Raw, static_cast<std::size_t>(RawLength));
    Buffer.SetSize(RawLength);
    return;
  }
  const int Count = (RawLength - 3) / 2;
  if (Count > Buffer.Capacity()) RaiseError(Messages::DecodeFrame);
  Byte* Binary = Buffer.Memory();
  for (int Index = 0; Index < Count; ++Index) {
    const Byte High = Nibble(Raw[1 + 2 * Index]);
    const Byte Low = Nibble(Raw[2 + 2 * Index]);
    Binary[Index] = static_cast<Byte>((High << 4) | Low);
  }
  Buffer.SetSize(Count);
}

bool TModbusFrameCodec::ChecksumValid(TModbusBuffer& Buffer) const {
  Buffer.Seek(smEnd);
  if (IsModbusTCP()) return true;
  if (IsASCII()) {
    Buffer.Seek(smPrevByte);
    return Buffer.LRC() == Buffer.PeekByte();
  }
  Buffer.Seek(smPrevWord);
  return Buffer.CRC16() == Buffer.PeekWordLE();
}

bool TModbusFrameCodec::IsValidFrame(TModbusBuffer& Buffer) const {
  const int MinSize = FConnectionMode == cmClient ? MinReplySize() : MinRequestSize();
  // The size test keeps the seek back over the check inside the buffer.
  return Buffer.Size() >= MinSize && ChecksumValid(Buffer);
}

bool TModbusFrameCodec::SameServerAddress(TModbusBuffer& A, TModbusBuffer& B) const {
  return ReadServerAddress(A) == ReadServerAddress(B);
}

bool TModbusFrameCodec::MatchesRequest(TModbusBuffer& Request, TModbusBuffer& Reply) const {
  // An exception reply answers its request too: compare with bit 7 masked off.
  return SameServerAddress(Request, Reply) && ReadFunctionCode(Request) == (ReadFunctionCode(Reply) & 0x7F);
}

bool TModbusFrameCodec::IsExceptionReply(TModbusBuffer& Reply) const {
  // A function byte of exactly 0x80 is not an exception reply.
  return Reply.Size() == MinReplySize() && ReadFunctionCode(Reply) > Functions::ExceptionFlag;
}

bool TModbusFrameCodec::IsEcho(const TModbusBuffer& Request, const TModbusBuffer& Reply) const noexcept {
  if (Reply.Size() < Request.Size()) return false;
  return std::memcmp(Reply.Memory(), Request.Memory(), static_cast<std::size_t>(Request.Size())) == 0;
}

}  // namespace Quorvel
