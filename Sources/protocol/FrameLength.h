#pragma once
// The length of an RTU frame as its own bytes tell it, by function code: what lets a reader end a
// frame as soon as its last byte is in, instead of waiting for the silence after it. One table
// serves the client's reads of replies and the server's reads of requests.

#include <span>

#include <Quorvel/ModbusBuffer.h>
#include <Quorvel/ReplyLength.h>
#include <Quorvel/Types.h>

namespace Quorvel {

struct TFrameLength {
  enum TKind : Byte {
    Unknown,   // the bytes cannot tell (a function without a fixed layout): wait for the silence
    NeedMore,  // not yet: Bytes must have arrived before the length can be told
    Known      // the whole frame is Bytes long, check included
  };
  TKind Kind = Unknown;
  int Bytes = 0;
};

// A request as a server reads it: Received holds its first bytes.
TFrameLength RtuRequestLength(std::span<const Byte> Received) noexcept;

// A reply, normal or exception, to Request (a binary RTU frame): Received holds its first bytes.
// The request is needed where a reply echoes it (diagnostics); without one such a reply's length
// is Unknown. Rule is a raw request's own (rlByFunction: the table's).
TFrameLength RtuReplyLength(std::span<const Byte> Received, const TModbusBuffer* Request,
                            TReplyLength Rule = {}) noexcept;

// Whether a normal reply that matches Request's address and function still cannot be its answer:
// its length, byte count or echoed fields contradict what the request asked (a late reply to an
// earlier request of the same function, say). Binary frames of either transmission mode, whose
// check is CheckSize bytes; an exception reply never contradicts.
bool ContradictsRequest(const TModbusBuffer& Request, const TModbusBuffer& Reply, int CheckSize) noexcept;

}  // namespace Quorvel
