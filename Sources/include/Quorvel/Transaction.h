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

class TModbusTransaction;

/// A transaction's own end, for a request that is not reported through a client's events (a
/// TRequester's). The connection's worker asks it before sending and hands it the transaction once
/// its attempts are over; a transaction freed before that (queued at closing, dropped by a failure)
/// tells it so. Each call may come from any thread, so an implementation guards its own state.
class TTransactionCompletion {
 public:
  virtual ~TTransactionCompletion() = default;  ///< frees what the completion keeps
  /// Worker, before the first attempt: false when the request must not go out (it was cancelled).
  virtual bool Start() noexcept = 0;
  /// Worker: the transaction has run through its attempts; it is the completion's from here on.
  virtual void Complete(std::unique_ptr<TModbusTransaction> Transaction) noexcept = 0;
  /// The transaction is being freed without Complete having been called.
  virtual void Abandon() noexcept = 0;
};

/// Owned by one party at a time: the requester, the worker thread, then the main thread.
class TModbusTransaction {
 public:
  /// A transaction with two empty buffers of Capacity bytes.
  explicit TModbusTransaction(int Capacity) : Request(Capacity), Reply(Capacity) {}
  /// Tells the completion, if there still is one, that the transaction ended without it.
  ~TModbusTransaction() {
    if (Completion) Completion->Abandon();
  }
  /// One owner at a time: a transaction is moved through unique_ptr, never copied.
  ///@{
  TModbusTransaction(const TModbusTransaction&) = delete;
  TModbusTransaction& operator=(const TModbusTransaction&) = delete;
  ///@}

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
  /// Set for a request that ends through its own completion instead of a client's event; the
  /// completion takes itself off before it keeps or frees the transaction.
  std::shared_ptr<TTransactionCompletion> Completion;
};

}  // namespace Quorvel
