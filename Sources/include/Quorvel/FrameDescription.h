#pragma once
/// @file
/// What one frame on the line is, told from its wire bytes alone: a request, the answer to one, or
/// why it is neither. For traffic monitors and logs, fed from a connection's frame events; the
/// worker judges replies on its own and does not use this.

#include <cstdint>
#include <span>

#include <Quorvel/ConnectionSettings.h>
#include <Quorvel/Export.h>
#include <Quorvel/Transaction.h>
#include <Quorvel/Types.h>

namespace Quorvel {

/// What a frame is.
enum TFrameKind : std::uint8_t {
  fkNoReply,         ///< an empty received frame: the wait for an answer ran out
  fkMalformed,       ///< too short or too long for a frame, or an ASCII frame of the wrong shape
  fkBadCheck,        ///< the CRC (RTU) or the LRC (ASCII) does not match
  fkRequest,         ///< a request
  fkEcho,            ///< the last request, read back from a half-duplex line
  fkReply,           ///< a normal reply
  fkExceptionReply,  ///< an exception reply
  fkOtherAddress,    ///< a good frame from a server other than the one asked
  fkOtherFunction    ///< a good frame from the server asked, for another function
};

/// What one frame is, and what it is about.
struct TFrameDescription {
  TFrameKind Kind = fkMalformed;  ///< what the frame is
  /// The frame's address byte (0: a broadcast); 0 when the frame has none that can be trusted (no
  /// reply, malformed, bad check).
  Byte Address = 0;
  Byte Function = 0;  ///< its function code, bit 7 cleared in an exception reply; 0 as Address
  /// Whether the frame is about a range of addresses: StartReg/RegCount, StartBit/BitCount, or one
  /// address with a count of 1. A reply to a read has it from the request it answers.
  bool HasRange = false;
  Word Start = 0;  ///< the first address of the range
  Word Count = 0;  ///< how many addresses the range holds
  Byte ExceptionCode = 0;                       ///< an exception reply's code
  TExceptionKind ExceptionKind = ekUnknown;     ///< its name (ekUnknown for a code it has none for)

  bool operator==(const TFrameDescription&) const = default;  ///< every field equal
};

/// A frame as a request: one that a client sent, or that a server received. Any bytes are accepted.
QUORVEL_EXPORT TFrameDescription DescribeRequest(TTransmissionMode Mode, std::span<const Byte> Wire);

/// A frame that a client received, judged as the answer to LastRequest, the wire bytes of the last
/// request it sent. An empty Wire is a time-out. With no (usable) LastRequest the frame is described
/// by its own fields only. Any bytes are accepted in either.
QUORVEL_EXPORT TFrameDescription DescribeReply(TTransmissionMode Mode, std::span<const Byte> Wire, std::span<const Byte> LastRequest);

}  // namespace Quorvel
