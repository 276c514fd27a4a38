#pragma once
/// @file
/// One request/reply exchange: the two frames and the record that names and judges it.

#include <cstdint>
#include <memory>
#include <optional>

#include <Quorvel/ModbusBuffer.h>
#include <Quorvel/ReplyLength.h>
#include <Quorvel/Types.h>

namespace Quorvel {

/// How a request ended: no reply, a reply that does not fit the request, an exception reply, or
/// the reply asked for.
enum TReplyStatus : std::uint8_t { rsNoReply, rsInvalidReply, rsExceptionReply, rsSuccess };

/// The Modbus exception codes the library knows; any other code is ekUnknown.
enum TExceptionKind : std::uint8_t {
  ekUnknown,
  ekIllegalFunction,
  ekIllegalDataAddress,
  ekIllegalDataValue,
  ekServerDeviceFailure,
  ekAcknowledge,
  ekServerDeviceBusy,
  ekNegativeAcknowledge,
  ekMemoryParityError
};

/// What a client's event says about the request it ends.
struct TTransactionInfo {
  /// The number that the request function returned.
  Cardinal TransactionID = 0;
  Byte ServerAddress = 0;  ///< 0 is a broadcast: no reply is awaited and no event fires
  /// What the request function was given as UserData.
  Cardinal UserData = 0;
  /// How many times the request was sent.
  Cardinal Attempts = 0;
  /// How the request ended.
  TReplyStatus ReplyStatus = rsNoReply;
  /// For rsExceptionReply: the exception code, and its kind when the library names it.
  ///@{
  TExceptionKind ExceptionKind = ekUnknown;
  Byte ExceptionCode = 0;
  ///@}
};

/// What a request of several exchanges carries from one exchange to the next (the objects that a
/// read device identification has gathered so far). The client's own; freed with the transaction.
struct TTransactionCarry {
  virtual ~TTransactionCarry() = default;  ///< frees what the client keeps in it
};

/// Owned by one party at a time: the requester, the worker thread, then the main thread.
class TModbusTransaction {
 public:
  /// A transaction with two empty buffers of Capacity bytes.
  explicit TModbusTransaction(int Capacity) : Request(Capacity), Reply(Capacity) {}

  TModbusBuffer Request;  ///< binary frames: address, function code, data, check
  /// The reply as read, in binary form.
  TModbusBuffer Reply;
  /// Its record.
  TTransactionInfo Info;
  /// Set for a raw request (TModbusClient::SendRawRequest): its reply is handed back as it came,
  /// and ends on the line as the rule says. Empty for every other request.
  std::optional<TReplyLength> RawReply;
  /// See TTransactionCarry; null for a request of one exchange.
  std::unique_ptr<TTransactionCarry> Carry;
};

}  // namespace Quorvel
