#pragma once
/// @file
/// TReply: how a TRequester's request ended, with the values its reply carried; and the value
/// types of the functions whose reply is more than a list of bits or registers.

#include <Quorvel/DeviceIdentification.h>
#include <Quorvel/Diagnostics.h>
#include <Quorvel/Transaction.h>
#include <Quorvel/Types.h>

namespace Quorvel {

/// The end of one request made through a TRequester: exactly one per request.
template <class TValue>
struct TReply {
  /// The request's record: its number, server, attempts and outcome. For a cancelled request, the
  /// number and server it was given, and rsNoReply.
  TTransactionInfo Info;
  /// Ended by TRequest::Cancel, TRequester::CancelAll, the requester's destruction or the
  /// connection's closing: never sent, or its reply not waited for.
  bool Cancelled = false;
  /// The reply's values when Succeeded(); for a write, what was written. Zero values otherwise.
  TValue Values{};
  /// Whether the server answered as asked.
  bool Succeeded() const noexcept { return !Cancelled && Info.ReplyStatus == rsSuccess; }
};

/// What a mask write (function 22) sent, and its reply echoed.
struct TMaskWriteValues {
  Word AndMask = 0;  ///< the bits kept
  Word OrMask = 0;   ///< the bits set, of those not kept
};

/// A server's communication event counter (function 11).
struct TCommEventCounterReply {
  Word Status = 0;      ///< FFFFh while a previous command is still being processed
  Word EventCount = 0;  ///< the count of successful message completions
};

/// A server's communication event log (function 12).
struct TCommEventLogReply {
  Word Status = 0;        ///< as in TCommEventCounterReply
  Word EventCount = 0;    ///< as in TCommEventCounterReply
  Word MessageCount = 0;  ///< the messages the server processed since its last restart
  TCommEvents Events;     ///< the events, the most recent first
};

/// A server's identification objects (function 43, interface 14), gathered over every exchange.
struct TDeviceIdentificationValues {
  Byte ConformityLevel = 0;  ///< as the last reply gave it
  TDeviceObjects Objects;    ///< by object id
};

}  // namespace Quorvel
