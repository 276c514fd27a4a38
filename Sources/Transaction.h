#pragma once
// One request/reply exchange: the two frames and the record that names and judges it.

#include <cstdint>

#include "ModbusBuffer.h"
#include "Types.h"

namespace Quorvel {

enum TReplyStatus : std::uint8_t { rsNoReply, rsInvalidReply, rsExceptionReply, rsSuccess };

// The Modbus exception codes the library knows; any other code is ekUnknown.
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

struct TTransactionInfo {
  Cardinal TransactionID = 0;
  Byte ServerAddress = 0;  // 0 is a broadcast: no reply is awaited and no event fires
  Cardinal UserData = 0;
  Cardinal Attempts = 0;
  TReplyStatus ReplyStatus = rsNoReply;
  TExceptionKind ExceptionKind = ekUnknown;
  Byte ExceptionCode = 0;
};

// Owned by one party at a time: the requester, the worker thread, then the main thread.
class TModbusTransaction {
 public:
  explicit TModbusTransaction(int Capacity) : Request(Capacity), Reply(Capacity) {}

  TModbusBuffer Request;  // binary frames: address, function code, data, check
  TModbusBuffer Reply;
  TTransactionInfo Info;
};

}  // namespace Quorvel
