#include "client/ReplyDecoders.h"

#include <Quorvel/Protocol.h>
#include "client/ReplyCheck.h"
#include "protocol/BufferReading.h"

namespace Quorvel {

namespace {

constexpr Byte MoreObjects = 0xFF;
constexpr Byte NoMoreObjects = 0x00;

// The bytes between a frame's function code and its check.
TFrameData PduOf(const TModbusFrameCodec& Codec, const TModbusBuffer& Frame) {
  const int End = Frame.Size() - Codec.ChecksumSize();
  if (End <= TModbusFrameCodec::PduOffset) return {};
  return TFrameData(Frame.Memory() + TModbusFrameCodec::PduOffset, Frame.Memory() + End);
}

}  // namespace

TCommEventCounterReply DecodeCommEventCounterReply(const TModbusFrameCodec& Codec, TModbusTransaction& T) {
  TCommEventCounterReply V;
  CheckReply(Codec, T, [&](TModbusBuffer& R) {
    V.Status = TakeWord(R);
    V.EventCount = TakeWord(R);
  });
  return V;
}

TCommEventLogReply DecodeCommEventLogReply(const TModbusFrameCodec& Codec, TModbusTransaction& T) {
  TCommEventLogReply V;
  CheckReply(Codec, T, [&](TModbusBuffer& R) {
    // The byte count covers the three words and the events after them.
    const int Count = TakeByte(R);
    Expect(Count >= 6);
    V.Status = TakeWord(R);
    V.EventCount = TakeWord(R);
    V.MessageCount = TakeWord(R);
    V.Events.reserve(static_cast<std::size_t>(Count - 6));
    for (int I = 6; I < Count; ++I) V.Events.push_back(TakeByte(R));
  });
  return V;
}

TReadWriteRegistersReply DecodeReadWriteRegistersReply(const TModbusFrameCodec& Codec, TModbusTransaction& T) {
  TReadWriteRegistersReply V;
  T.Request.SetPosition(TModbusFrameCodec::PduOffset + 1);
  V.ReadStart = TakeWord(T.Request);
  V.ReadCount = TakeWord(T.Request);
  V.WriteStart = TakeWord(T.Request);
  V.WriteCount = TakeWord(T.Request);
  TakeByte(T.Request);  // the written values' byte count
  V.WriteValues = TakeWords(T.Request, V.WriteCount);
  V.ReadValues.assign(V.ReadCount, 0);
  CheckReply(Codec, T, [&](TModbusBuffer& R) {
    Expect(TakeByte(R) == 2 * V.ReadCount);
    for (auto& Value : V.ReadValues) Value = TakeWord(R);
  });
  return V;
}

TFifoQueueReply DecodeFifoQueueReply(const TModbusFrameCodec& Codec, TModbusTransaction& T) {
  TFifoQueueReply V;
  T.Request.SetPosition(TModbusFrameCodec::PduOffset + 1);
  V.FifoAddress = TakeWord(T.Request);
  CheckReply(Codec, T, [&](TModbusBuffer& R) {
    // A byte count word, then the queue's count word and its registers: at most 31 of them.
    const Word Bytes = TakeWord(R);
    const Word Count = TakeWord(R);
    Expect(Count <= 31 && Bytes == 2 + 2 * Count);
    V.Values = TakeWords(R, Count);
  });
  return V;
}

TDeviceIdentificationReply DecodeDeviceIdentificationReply(const TModbusFrameCodec& Codec, TModbusTransaction& T) {
  TDeviceIdentificationReply V;
  T.Request.SetPosition(TModbusFrameCodec::PduOffset + 2);  // past the interface type
  V.Access = static_cast<TDeviceIdAccess>(TakeByte(T.Request));
  V.ObjectId = TakeByte(T.Request);
  CheckReply(Codec, T, [&](TModbusBuffer& R) {
    Expect(TakeByte(R) == MeiTypes::ReadDeviceIdentification);
    Expect(TakeByte(R) == V.Access);
    V.ConformityLevel = TakeByte(R);
    const Byte More = TakeByte(R);
    Expect(More == MoreObjects || More == NoMoreObjects);
    V.NextObjectId = TakeByte(R);
    const int Count = TakeByte(R);
    for (int I = 0; I < Count; ++I) {
      const Byte Id = TakeByte(R);
      const int Length = TakeByte(R);
      std::string Value;
      Value.reserve(static_cast<std::size_t>(Length));
      for (int K = 0; K < Length; ++K) Value.push_back(static_cast<char>(TakeByte(R)));
      V.Objects[Id] = std::move(Value);
    }
    // More objects follow only in a stream, and only after the last one of this reply: a reply
    // that points back could keep its client asking for ever.
    V.MoreFollows = More == MoreObjects;
    if (V.MoreFollows)
      Expect(V.Access != diSpecific && !V.Objects.empty() && V.NextObjectId > V.Objects.rbegin()->first);
  });
  return V;
}

TRawReply DecodeRawReply(const TModbusFrameCodec& Codec, const TModbusTransaction& T) {
  TRawReply V;
  V.RequestPdu = PduOf(Codec, T.Request);
  if (T.Info.ReplyStatus == rsSuccess || T.Info.ReplyStatus == rsExceptionReply) V.ReplyPdu = PduOf(Codec, T.Reply);
  return V;
}

}  // namespace Quorvel
