#pragma once
// The replies of every function the client sends, as values. Each decoder reads what was asked
// from the request, checks and decodes the reply when the line delivered a good one (CheckReply,
// which lowers the outcome in T.Info to rsInvalidReply when it does not fit), and returns what the
// request's one event reports: the request's own fields, and zero values wherever the reply was not
// decoded. Nothing here raises an event: TModbusClient raises its events with these values, and
// TRequester hands them to its caller.

#include <memory>

#include <Quorvel/Client.h>
#include <Quorvel/DeviceIdentification.h>
#include <Quorvel/Diagnostics.h>
#include <Quorvel/FileRecords.h>
#include <Quorvel/FrameCodec.h>
#include <Quorvel/ReplyValues.h>
#include <Quorvel/Transaction.h>
#include <Quorvel/Types.h>

namespace Quorvel {

// Functions 1, 2 and 15: the bits read, or written.
struct TBitsReply {
  Word Start = 0;
  Word Count = 0;
  TBitValues Values;
};

// Functions 3, 4 and 16: the registers read, or written.
struct TRegistersReply {
  Word Start = 0;
  Word Count = 0;
  TRegValues Values;
};

// Functions 5 and 6, whose reply echoes the address and the value word (FF00h: a coil on).
struct TSingleWriteReply {
  Word Address = 0;
  Word Value = 0;
};

struct TDiagnosticsReply {
  TDiagnosticAction Action = daReturnQueryData;
  Word Result = 0;
};

struct TServerIdentificationReply {
  int Count = 0;
  TServerIdentificationData Data;
};

struct TMaskWriteReply {
  Word Address = 0;
  TMaskWriteValues Masks;
};

// The written values are the request's; the read ones the reply's.
struct TReadWriteRegistersReply {
  Word ReadStart = 0;
  Word ReadCount = 0;
  TRegValues ReadValues;
  Word WriteStart = 0;
  Word WriteCount = 0;
  TRegValues WriteValues;
};

struct TFifoQueueReply {
  Word FifoAddress = 0;
  TRegValues Values;
};

// One exchange of a read device identification: Access and ObjectId as this exchange asked.
struct TDeviceIdentificationReply {
  TDeviceIdAccess Access = diBasic;
  Byte ObjectId = 0;
  Byte ConformityLevel = 0;
  bool MoreFollows = false;
  Byte NextObjectId = 0;
  TDeviceObjects Objects;
};

struct TRawReply {
  TFrameData RequestPdu;
  TFrameData ReplyPdu;
};

TBitsReply DecodeBitsReadReply(const TModbusFrameCodec& Codec, TModbusTransaction& T);
TRegistersReply DecodeRegistersReadReply(const TModbusFrameCodec& Codec, TModbusTransaction& T);
TSingleWriteReply DecodeSingleWriteReply(const TModbusFrameCodec& Codec, TModbusTransaction& T);
TExceptionStatusValues DecodeExceptionStatusReply(const TModbusFrameCodec& Codec, TModbusTransaction& T);
TDiagnosticsReply DecodeDiagnosticsReply(const TModbusFrameCodec& Codec, TModbusTransaction& T);
TBitsReply DecodeMultipleCoilsWriteReply(const TModbusFrameCodec& Codec, TModbusTransaction& T);
TRegistersReply DecodeMultipleRegistersWriteReply(const TModbusFrameCodec& Codec, TModbusTransaction& T);
TServerIdentificationReply DecodeServerIdentificationReply(const TModbusFrameCodec& Codec, TModbusTransaction& T);
TModbusFileRecordList DecodeFileRecordReadReply(const TModbusFrameCodec& Codec, TModbusTransaction& T);
TModbusFileRecordList DecodeFileRecordWriteReply(const TModbusFrameCodec& Codec, TModbusTransaction& T);
TMaskWriteReply DecodeMaskWriteReply(const TModbusFrameCodec& Codec, TModbusTransaction& T);
TCommEventCounterReply DecodeCommEventCounterReply(const TModbusFrameCodec& Codec, TModbusTransaction& T);
TCommEventLogReply DecodeCommEventLogReply(const TModbusFrameCodec& Codec, TModbusTransaction& T);
TReadWriteRegistersReply DecodeReadWriteRegistersReply(const TModbusFrameCodec& Codec, TModbusTransaction& T);
TFifoQueueReply DecodeFifoQueueReply(const TModbusFrameCodec& Codec, TModbusTransaction& T);
TDeviceIdentificationReply DecodeDeviceIdentificationReply(const TModbusFrameCodec& Codec, TModbusTransaction& T);
TRawReply DecodeRawReply(const TModbusFrameCodec& Codec, const TModbusTransaction& T);

// A read device identification over its exchanges: while the server says that more objects
// follow, the objects so far travel in T.Carry to a further request of the same number, from
// NextObjectId on. Finished: the request's end, with every object gathered and Info.Attempts
// counting the sends of every exchange.
struct TDeviceIdentificationProgress {
  bool Finished = true;
  TTransactionInfo Info;
  TDeviceIdAccess Access = diBasic;
  Byte FirstObjectId = 0;  // as the caller asked
  Byte ConformityLevel = 0;
  TDeviceObjects Objects;
  Byte NextObjectId = 0;                         // not finished: where the next exchange starts
  std::unique_ptr<TTransactionCarry> Gathered;  // not finished: what it carries on
};
TDeviceIdentificationProgress GatherDeviceIdentification(const TModbusFrameCodec& Codec, TModbusTransaction& T);

}  // namespace Quorvel
