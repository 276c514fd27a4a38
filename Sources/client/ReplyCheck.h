#pragma once
// What every reply decoder of the client does around its own reading: the reply is looked at only
// when the line delivered a good one, and a reply that does not fit the request lowers the outcome
// instead of raising.

#include <Quorvel/Errors.h>
#include <Quorvel/FrameCodec.h>
#include <Quorvel/Transaction.h>

namespace Quorvel {

// A check of the reply's content: a failure makes the reply invalid.
inline void Expect(bool Condition) {
  if (!Condition) RaiseInternalError();
}

// Checks and decodes the reply only when the line delivered a good one. A failed check, or a
// step past the received data, lowers the outcome to rsInvalidReply; what was decoded before
// stays. The reply's data ends where its frame check begins: a byte count that promises more
// than arrived is a failed check, not a reason to read the check as data.
template <class F>
void CheckReply(const TModbusFrameCodec& Codec, TModbusTransaction& T, F Decode) {
  if (T.Info.ReplyStatus != rsSuccess) return;
  try {
    T.Reply.SetPosition(TModbusFrameCodec::PduOffset + 1);
    Decode(T.Reply);
    Expect(T.Reply.Position() <= T.Reply.Size() - Codec.ChecksumSize());
  } catch (const EQuorvelError&) {
    T.Info.ReplyStatus = rsInvalidReply;
  }
}

}  // namespace Quorvel
