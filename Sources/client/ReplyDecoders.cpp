#include "client/ReplyDecoders.h"

#include <algorithm>
#include <tuple>
#include <utility>

#include <Quorvel/BitPacking.h>
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

// The action a request's sub-function and data word stand for.
TDiagnosticAction ActionOfRequest(Word SubFunction, Word Data) {
  const auto* Found = std::find(DiagnosticSubFunctions.begin(), DiagnosticSubFunctions.end(), SubFunction);
  if (Found == DiagnosticSubFunctions.end()) RaiseError(Messages::DiagnosticAction);
  const auto Action = static_cast<TDiagnosticAction>(Found - DiagnosticSubFunctions.begin());
  return Action == daRestartCommunications && Data == 0xFF00 ? daRestartCommunicationsClearLog : Action;
}

// What a read device identification has gathered over its exchanges so far.
struct TGatheredObjects : TTransactionCarry {
  Byte FirstObjectId = 0;  // as the caller asked
  int Exchanges = 0;
  Cardinal Attempts = 0;  // the sends of every exchange
  TDeviceObjects Objects;
};

// Takes what the earlier exchanges of T gathered, or starts with its first.
std::unique_ptr<TGatheredObjects> TakeGathered(TModbusTransaction& T, Byte FirstObjectId) {
  if (dynamic_cast<TGatheredObjects*>(T.Carry.get()) != nullptr)
    return std::unique_ptr<TGatheredObjects>(static_cast<TGatheredObjects*>(T.Carry.release()));
  auto First = std::make_unique<TGatheredObjects>();
  First->FirstObjectId = FirstObjectId;
  return First;
}

// The first two words after a request's function code: a start and a count, an address and a value.
std::pair<Word, Word> RequestWords(TModbusTransaction& T) {
  T.Request.SetPosition(2);
  const Word First = TakeWord(T.Request);
  return {First, TakeWord(T.Request)};
}

}  // namespace

TBitsReply DecodeBitsReadReply(const TModbusFrameCodec& Codec, TModbusTransaction& T) {
  TBitsReply V;
  std::tie(V.Start, V.Count) = RequestWords(T);
  V.Values.assign(V.Count, false);
  CheckReply(Codec, T, [&](TModbusBuffer& R) {
    Expect(TakeByte(R) == BitsToBytes(V.Count));
    UnpackBits(R, V.Values);
  });
  return V;
}

TRegistersReply DecodeRegistersReadReply(const TModbusFrameCodec& Codec, TModbusTransaction& T) {
  TRegistersReply V;
  std::tie(V.Start, V.Count) = RequestWords(T);
  V.Values.assign(V.Count, 0);
  CheckReply(Codec, T, [&](TModbusBuffer& R) {
    Expect(TakeByte(R) / 2 == V.Count);
    for (auto& Value : V.Values) Value = TakeWord(R);
  });
  return V;
}

TSingleWriteReply DecodeSingleWriteReply(const TModbusFrameCodec& Codec, TModbusTransaction& T) {
  TSingleWriteReply V;
  std::tie(V.Address, V.Value) = RequestWords(T);
  CheckReply(Codec, T, [&](TModbusBuffer& R) {
    Expect(TakeWord(R) == V.Address);
    Expect(TakeWord(R) == V.Value);
  });
  return V;
}

TExceptionStatusValues DecodeExceptionStatusReply(const TModbusFrameCodec& Codec, TModbusTransaction& T) {
  TExceptionStatusValues Status{};
  CheckReply(Codec, T, [&](TModbusBuffer& R) {
    TBitValues Bits(8);
    UnpackBits(R, Bits);
    std::copy(Bits.begin(), Bits.end(), Status.begin());
  });
  return Status;
}

TDiagnosticsReply DecodeDiagnosticsReply(const TModbusFrameCodec& Codec, TModbusTransaction& T) {
  // Plain names, not a structured binding: the check below captures them, which not every
  // compiler of C++20 takes.
  Word SubFunction = 0, Data = 0;
  std::tie(SubFunction, Data) = RequestWords(T);
  TDiagnosticsReply V;
  V.Action = ActionOfRequest(SubFunction, Data);
  CheckReply(Codec, T, [&](TModbusBuffer& R) {
    Expect(TakeWord(R) == SubFunction);
    if (DiagnosticEchoesData(V.Action))
      Expect(TakeWord(R) == Data);
    else
      V.Result = TakeWord(R);
  });
  return V;
}

TBitsReply DecodeMultipleCoilsWriteReply(const TModbusFrameCodec& Codec, TModbusTransaction& T) {
  TBitsReply V;
  std::tie(V.Start, V.Count) = RequestWords(T);
  V.Values.assign(V.Count, false);
  T.Request.SetPosition(7);
  UnpackBits(T.Request, V.Values);
  CheckReply(Codec, T, [&](TModbusBuffer& R) {
    Expect(TakeWord(R) == V.Start);
    Expect(TakeWord(R) == V.Count);
  });
  return V;
}

TRegistersReply DecodeMultipleRegistersWriteReply(const TModbusFrameCodec& Codec, TModbusTransaction& T) {
  TRegistersReply V;
  std::tie(V.Start, V.Count) = RequestWords(T);
  T.Request.SetPosition(7);
  V.Values = TakeWords(T.Request, V.Count);
  CheckReply(Codec, T, [&](TModbusBuffer& R) {
    Expect(TakeWord(R) == V.Start);
    Expect(TakeWord(R) == V.Count);
  });
  return V;
}

TServerIdentificationReply DecodeServerIdentificationReply(const TModbusFrameCodec& Codec, TModbusTransaction& T) {
  TServerIdentificationReply V;
  CheckReply(Codec, T, [&](TModbusBuffer& R) {
    V.Count = TakeByte(R);
    V.Data.reserve(static_cast<std::size_t>(V.Count));
    for (int I = 0; I < V.Count; ++I) V.Data.push_back(TakeByte(R));
  });
  return V;
}

TModbusFileRecordList DecodeFileRecordReadReply(const TModbusFrameCodec& Codec, TModbusTransaction& T) {
  TModbusFileRecordList Records;
  T.Request.SetPosition(2);
  const int SubRequests = TakeByte(T.Request) / 7;
  for (int I = 0; I < SubRequests; ++I) {
    TakeByte(T.Request);  // reference type
    const Word File = TakeWord(T.Request);
    const Word Start = TakeWord(T.Request);
    const Word Count = TakeWord(T.Request);
    Records.Add(File, Start, Count);
  }
  CheckReply(Codec, T, [&](TModbusBuffer& R) {
    int Expected = 0;
    for (int I = 0; I < Records.Count(); ++I) Expected += 2 * Records.Items(I).RegCount() + 2;
    Expect(TakeByte(R) == Expected);
    for (int I = 0; I < Records.Count(); ++I) {
      TModbusFileRecord& Record = Records.Items(I);
      Expect(TakeByte(R) == 2 * Record.RegCount() + 1);
      Expect(TakeByte(R) == 6);
      for (int V = 0; V < Record.RegCount(); ++V) Record.SetRegValue(V, TakeWord(R));
    }
  });
  return Records;
}

TModbusFileRecordList DecodeFileRecordWriteReply(const TModbusFrameCodec& Codec, TModbusTransaction& T) {
  TModbusFileRecordList Records;
  T.Request.SetPosition(2);
  const int End = 3 + TakeByte(T.Request);
  while (T.Request.Position() < End) {
    TakeByte(T.Request);  // reference type
    const Word File = TakeWord(T.Request);
    const Word Start = TakeWord(T.Request);
    const Word Count = TakeWord(T.Request);
    TModbusFileRecord& Record = Records.Add(File, Start, Count);
    for (int V = 0; V < Count; ++V) Record.SetRegValue(V, TakeWord(T.Request));
  }
  // The reply echoes the whole request, check included.
  CheckReply(Codec, T, [&](TModbusBuffer& R) {
    Expect(R.Size() == T.Request.Size() && std::equal(R.Memory(), R.Memory() + R.Size(), T.Request.Memory()));
  });
  return Records;
}

TMaskWriteReply DecodeMaskWriteReply(const TModbusFrameCodec& Codec, TModbusTransaction& T) {
  TMaskWriteReply V;
  std::tie(V.Address, V.Masks.AndMask) = RequestWords(T);
  V.Masks.OrMask = TakeWord(T.Request);
  CheckReply(Codec, T, [&](TModbusBuffer& R) {
    Expect(TakeWord(R) == V.Address);
    Expect(TakeWord(R) == V.Masks.AndMask);
    Expect(TakeWord(R) == V.Masks.OrMask);
  });
  return V;
}

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

// A further exchange must start past where the one before it did, so that the requests end (a
// first one may name an object the server does not have, which starts it from the first).
TDeviceIdentificationProgress GatherDeviceIdentification(const TModbusFrameCodec& Codec, TModbusTransaction& T) {
  TDeviceIdentificationReply V = DecodeDeviceIdentificationReply(Codec, T);
  std::unique_ptr<TGatheredObjects> Gathered = TakeGathered(T, V.ObjectId);
  if (Gathered->Exchanges > 0 && V.MoreFollows && V.NextObjectId <= V.ObjectId) {
    T.Info.ReplyStatus = rsInvalidReply;
    V.MoreFollows = false;
  }
  ++Gathered->Exchanges;
  Gathered->Attempts += T.Info.Attempts;
  Gathered->Objects.merge(V.Objects);
  TDeviceIdentificationProgress P;
  P.Info = T.Info;
  P.Access = V.Access;
  P.ConformityLevel = V.ConformityLevel;
  if (T.Info.ReplyStatus == rsSuccess && V.MoreFollows) {
    P.Finished = false;
    P.NextObjectId = V.NextObjectId;
    P.Gathered = std::move(Gathered);
    return P;
  }
  P.Info.Attempts = Gathered->Attempts;
  P.FirstObjectId = Gathered->FirstObjectId;
  P.Objects = std::move(Gathered->Objects);
  return P;
}

}  // namespace Quorvel
