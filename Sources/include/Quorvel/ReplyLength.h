#pragma once
/// @file
/// How the reply to a raw request ends on the line, for length-aware framing: the rule that the
/// library knows for every public function code, given for a function it does not know.

#include <cstdint>

#include <Quorvel/Types.h>

namespace Quorvel {

/// How a reply tells its length. Offsets and sizes count the reply's PDU, whose function code is
/// byte 0. An exception reply is always five bytes, whatever the rule.
enum TReplyLengthRule : std::uint8_t {
  rlByFunction,  ///< the library's rule for the request's function code; the silence for a code it does not know
  rlSilence,     ///< the silence after the reply ends it
  rlFixed,       ///< always a PDU of Size bytes
  rlByteCount,   ///< a byte at Offset counts the bytes that follow it; Size more bytes come after those
  rlWordCount    ///< the same with a count word, high byte first, at Offset
};

/// Where the reply to a raw request ends (TModbusClient::SendRawRequest). It matters only with
/// TModbusConnection::LengthAwareFraming: otherwise the silence ends every RTU frame and CR LF
/// every ASCII frame. A rule that tells a wrong length costs the frame's early end, never the
/// frame: where the bytes at that length fail their check, the silence ends it after all.
struct TReplyLength {
  TReplyLengthRule Rule = rlByFunction;  ///< which rule
  Byte Offset = 0;                       ///< the count's place, for rlByteCount and rlWordCount
  Byte Size = 0;                         ///< the PDU's size (rlFixed), or what follows the counted bytes
};

}  // namespace Quorvel
