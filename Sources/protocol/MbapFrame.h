#pragma once
// Modbus TCP's frame: the MBAP header (transaction id, protocol id 0, the length of what follows,
// the unit id) and the PDU, with no check of its own (TCP has one). Pure functions over bytes,
// every read bounds-checked: the bytes come from a peer that nothing obliges to tell the truth.

#include <span>

#include <Quorvel/Types.h>

namespace Quorvel {

struct TMbapHeader {
  Word TransactionId = 0;
  Word ProtocolId = 0;
  // The bytes after the length field: the unit id and the PDU.
  Word Length = 0;
  Byte UnitId = 0;
};

// The transaction id, protocol id and length fields, before the unit id.
inline constexpr int MbapPrefixSize = 6;
// The header with the unit id.
inline constexpr int MbapHeaderSize = 7;
// The unit id and the longest PDU (253 bytes): the most a length field may claim.
inline constexpr int MbapMaxLength = 254;
// The unit id and a function code: the least a length field may claim.
inline constexpr int MbapMinLength = 2;
// A whole frame at its longest.
inline constexpr int MbapMaxFrameSize = MbapPrefixSize + MbapMaxLength;

enum class TMbapScan : Byte {
  NeedMore,  // the bytes so far begin a frame that has not all arrived
  Whole,     // a frame of Size bytes begins there
  Bad,       // no frame can begin there: protocol id not 0, or a length out of bounds
};

// What the first bytes of Received (a frame's start on the stream) say: the header in Header and
// the frame's whole size in Size once they tell it.
TMbapScan ScanMbapFrame(std::span<const Byte> Received, TMbapHeader& Header, int& Size) noexcept;

// Writes the six bytes before the unit id for a frame whose unit id and PDU are Length bytes.
void WriteMbapPrefix(Byte* Dest, Word TransactionId, int Length) noexcept;

// The transaction id of a frame's first two bytes (0 for fewer).
Word MbapTransactionId(std::span<const Byte> Frame) noexcept;

}  // namespace Quorvel
