#include "protocol/MbapFrame.h"

namespace Quorvel {

namespace {
Word WordAt(std::span<const Byte> Bytes, std::size_t At) noexcept {
  return static_cast<Word>(Bytes[At] << 8 | Bytes[At + 1]);
}
}  // namespace

TMbapScan ScanMbapFrame(std::span<const Byte> Received, TMbapHeader& Header, int& Size) noexcept {
  Size = 0;
  // The protocol id is refused as soon as it has arrived, the length as soon as it has: a peer
  // that sends garbage is found out at its first bytes, not after a frame's worth of them.
  if (Received.size() >= 4) {
    Header.ProtocolId = WordAt(Received, 2);
    if (Header.ProtocolId != 0) return TMbapScan::Bad;
  }
  if (Received.size() < MbapPrefixSize) return TMbapScan::NeedMore;
  Header.TransactionId = WordAt(Received, 0);
  Header.Length = WordAt(Received, 4);
  if (Header.Length < MbapMinLength || Header.Length > MbapMaxLength) return TMbapScan::Bad;
  if (Received.size() < MbapHeaderSize) return TMbapScan::NeedMore;
  Header.UnitId = Received[6];
  const int Whole = MbapPrefixSize + Header.Length;
  if (static_cast<int>(Received.size()) < Whole) return TMbapScan::NeedMore;
  Size = Whole;
  return TMbapScan::Whole;
}

void WriteMbapPrefix(Byte* Dest, Word TransactionId, int Length) noexcept {
  Dest[0] = static_cast<Byte>(TransactionId >> 8);
  Dest[1] = static_cast<Byte>(TransactionId & 0xFF);
  Dest[2] = 0;
  Dest[3] = 0;
  Dest[4] = static_cast<Byte>(Length >> 8);
  Dest[5] = static_cast<Byte>(Length & 0xFF);
}

Word MbapTransactionId(std::span<const Byte> Frame) noexcept { return Frame.size() < 2 ? 0 : WordAt(Frame, 0); }

}  // namespace Quorvel
