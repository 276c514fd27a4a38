#pragma once
// The replies of functions 11, 12, 23, 24 and 43/14, and of raw requests, as values. Each decoder
// reads what was asked from the request, checks and decodes the reply when the line delivered a
// good one (CheckReply), and returns what the request's one event reports: the request's own
// fields, and zero values wherever the reply was not decoded. Nothing here raises an event.

#include <Quorvel/DeviceIdentification.h>
#include <Quorvel/Diagnostics.h>
#include <Quorvel/FrameCodec.h>
#include <Quorvel/Transaction.h>
#include <Quorvel/Types.h>

namespace Quorvel {

struct TCommEventCounterReply {
  Word Status = 0;
  Word EventCount = 0;
};

struct TCommEventLogReply {
  Word Status = 0;
  Word EventCount = 0;
  Word MessageCount = 0;
  TCommEvents Events;
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

TCommEventCounterReply DecodeCommEventCounterReply(const TModbusFrameCodec& Codec, TModbusTransaction& T);
TCommEventLogReply DecodeCommEventLogReply(const TModbusFrameCodec& Codec, TModbusTransaction& T);
TReadWriteRegistersReply DecodeReadWriteRegistersReply(const TModbusFrameCodec& Codec, TModbusTransaction& T);
TFifoQueueReply DecodeFifoQueueReply(const TModbusFrameCodec& Codec, TModbusTransaction& T);
TDeviceIdentificationReply DecodeDeviceIdentificationReply(const TModbusFrameCodec& Codec, TModbusTransaction& T);
TRawReply DecodeRawReply(const TModbusFrameCodec& Codec, const TModbusTransaction& T);

}  // namespace Quorvel
