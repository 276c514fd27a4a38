// The client's reply processing: each finished transaction is checked against its request,
// decoded, and reported through the one event of its function code, whatever the outcome.

#include <algorithm>

#include <Quorvel/Protocol.h>
#include <Quorvel/BitPacking.h>
#include <Quorvel/Client.h>
#include <Quorvel/Connection.h>
#include <Quorvel/Errors.h>
#include "client/ReplyCheck.h"
#include "client/ReplyDecoders.h"
#include "protocol/BufferReading.h"

namespace Quorvel {

namespace {

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

}  // namespace

void TModbusClient::ProcessReply(TModbusTransaction& T) {
  CheckConnection();
  if (T.RawReply) {
    DecodeRawReply(T);
    return;
  }
  // Dispatch by what was asked: an exception reply is reported under the function it answers.
  switch (FConnection->ReadFunctionCode(T.Request)) {
    case Functions::ReadCoils: DecodeBitsRead(T, true); break;
    case Functions::ReadDiscreteInputs: DecodeBitsRead(T, false); break;
    case Functions::ReadHoldingRegisters: DecodeRegistersRead(T, true); break;
    case Functions::ReadInputRegisters: DecodeRegistersRead(T, false); break;
    case Functions::WriteSingleCoil: DecodeSingleCoilWrite(T); break;
    case Functions::WriteSingleRegister: DecodeSingleRegisterWrite(T); break;
    case Functions::ReadExceptionStatus: DecodeExceptionStatus(T); break;
    case Functions::Diagnostics: DecodeDiagnostics(T); break;
    case Functions::WriteMultipleCoils: DecodeMultipleCoilsWrite(T); break;
    case Functions::WriteMultipleRegisters: DecodeMultipleRegistersWrite(T); break;
    case Functions::ReportServerId: DecodeServerIdentification(T); break;
    case Functions::ReadFileRecord: DecodeFileRecordRead(T); break;
    case Functions::WriteFileRecord: DecodeFileRecordWrite(T); break;
    case Functions::MaskWriteRegister: DecodeMaskWrite(T); break;
    case Functions::GetCommEventCounter: DecodeCommEventCounter(T); break;
    case Functions::GetCommEventLog: DecodeCommEventLog(T); break;
    case Functions::ReadWriteMultipleRegisters: DecodeReadWriteRegisters(T); break;
    case Functions::ReadFifoQueue: DecodeFifoQueue(T); break;
    case Functions::EncapsulatedInterface: DecodeDeviceIdentification(T); break;
    default: break;
  }
}

void TModbusClient::DecodeBitsRead(TModbusTransaction& T, bool Coils) {
  T.Request.SetPosition(2);
  const Word StartBit = TakeWord(T.Request);
  const Word BitCount = TakeWord(T.Request);
  TBitValues Values(BitCount, false);
  CheckReply(*FConnection, T, [&](TModbusBuffer& R) {
    Expect(TakeByte(R) == BitsToBytes(BitCount));
    UnpackBits(R, Values);
  });
  if (Coils)
    DoCoilsRead(T.Info, StartBit, BitCount, Values);
  else
    DoDiscreteInputsRead(T.Info, StartBit, BitCount, Values);
}

void TModbusClient::DecodeRegistersRead(TModbusTransaction& T, bool Holding) {
  T.Request.SetPosition(2);
  const Word StartReg = TakeWord(T.Request);
  const Word RegCount = TakeWord(T.Request);
  TRegValues Values(RegCount, 0);
  CheckReply(*FConnection, T, [&](TModbusBuffer& R) {
    Expect(TakeByte(R) / 2 == RegCount);
    for (auto& Value : Values) Value = TakeWord(R);
  });
  if (Holding)
    DoHoldingRegistersRead(T.Info, StartReg, RegCount, Values);
  else
    DoInputRegistersRead(T.Info, StartReg, RegCount, Values);
}

void TModbusClient::DecodeSingleCoilWrite(TModbusTransaction& T) {
  T.Request.SetPosition(2);
  const Word BitAddr = TakeWord(T.Request);
  const Word ValueWord = TakeWord(T.Request);
  CheckReply(*FConnection, T, [&](TModbusBuffer& R) {
    Expect(TakeWord(R) == BitAddr);
    Expect(TakeWord(R) == ValueWord);
  });
  DoSingleCoilWrite(T.Info, BitAddr, ValueWord == 0xFF00);
}

void TModbusClient::DecodeSingleRegisterWrite(TModbusTransaction& T) {
  T.Request.SetPosition(2);
  const Word RegAddr = TakeWord(T.Request);
  const Word RegValue = TakeWord(T.Request);
  CheckReply(*FConnection, T, [&](TModbusBuffer& R) {
    Expect(TakeWord(R) == RegAddr);
    Expect(TakeWord(R) == RegValue);
  });
  DoSingleRegisterWrite(T.Info, RegAddr, RegValue);
}

void TModbusClient::DecodeExceptionStatus(TModbusTransaction& T) {
  TExceptionStatusValues Status{};
  CheckReply(*FConnection, T, [&](TModbusBuffer& R) {
    TBitValues Bits(8);
    UnpackBits(R, Bits);
    std::copy(Bits.begin(), Bits.end(), Status.begin());
  });
  DoExceptionStatusRead(T.Info, Status);
}

void TModbusClient::DecodeDiagnostics(TModbusTransaction& T) {
  T.Request.SetPosition(2);
  const Word SubFunction = TakeWord(T.Request);
  const Word Data = TakeWord(T.Request);
  const TDiagnosticAction Action = ActionOfRequest(SubFunction, Data);
  Word Result = 0;
  CheckReply(*FConnection, T, [&](TModbusBuffer& R) {
    Expect(TakeWord(R) == SubFunction);
    if (DiagnosticEchoesData(Action))
      Expect(TakeWord(R) == Data);
    else
      Result = TakeWord(R);
  });
  DoDiagnostics(T.Info, Action, Result);
}

void TModbusClient::DecodeMultipleCoilsWrite(TModbusTransaction& T) {
  T.Request.SetPosition(2);
  const Word StartBit = TakeWord(T.Request);
  const Word BitCount = TakeWord(T.Request);
  TBitValues Values(BitCount, false);
  T.Request.SetPosition(7);
  UnpackBits(T.Request, Values);
  CheckReply(*FConnection, T, [&](TModbusBuffer& R) {
    Expect(TakeWord(R) == StartBit);
    Expect(TakeWord(R) == BitCount);
  });
  DoMultipleCoilsWrite(T.Info, StartBit, BitCount, Values);
}

void TModbusClient::DecodeMultipleRegistersWrite(TModbusTransaction& T) {
  T.Request.SetPosition(2);
  const Word StartReg = TakeWord(T.Request);
  const Word RegCount = TakeWord(T.Request);
  T.Request.SetPosition(7);
  const TRegValues Values = TakeWords(T.Request, RegCount);
  CheckReply(*FConnection, T, [&](TModbusBuffer& R) {
    Expect(TakeWord(R) == StartReg);
    Expect(TakeWord(R) == RegCount);
  });
  DoMultipleRegistersWrite(T.Info, StartReg, RegCount, Values);
}

void TModbusClient::DecodeServerIdentification(TModbusTransaction& T) {
  int Count = 0;
  TServerIdentificationData Data;
  CheckReply(*FConnection, T, [&](TModbusBuffer& R) {
    Count = TakeByte(R);
    Data.reserve(static_cast<std::size_t>(Count));
    for (int I = 0; I < Count; ++I) Data.push_back(TakeByte(R));
  });
  DoServerIdentificationReport(T.Info, Count, Data);
}

void TModbusClient::DecodeFileRecordRead(TModbusTransaction& T) {
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
  CheckReply(*FConnection, T, [&](TModbusBuffer& R) {
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
  DoFileRecordRead(T.Info, Records);
}

void TModbusClient::DecodeFileRecordWrite(TModbusTransaction& T) {
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
  CheckReply(*FConnection, T, [&](TModbusBuffer& R) {
    Expect(R.Size() == T.Request.Size() && std::equal(R.Memory(), R.Memory() + R.Size(), T.Request.Memory()));
  });
  DoFileRecordWrite(T.Info, Records);
}

void TModbusClient::DecodeMaskWrite(TModbusTransaction& T) {
  T.Request.SetPosition(2);
  const Word RegAddr = TakeWord(T.Request);
  const Word AndMask = TakeWord(T.Request);
  const Word OrMask = TakeWord(T.Request);
  CheckReply(*FConnection, T, [&](TModbusBuffer& R) {
    Expect(TakeWord(R) == RegAddr);
    Expect(TakeWord(R) == AndMask);
    Expect(TakeWord(R) == OrMask);
  });
  DoSingleRegisterMaskWrite(T.Info, RegAddr, AndMask, OrMask);
}

void TModbusClient::DecodeCommEventCounter(TModbusTransaction& T) {
  const TCommEventCounterReply V = DecodeCommEventCounterReply(*FConnection, T);
  DoCommEventCounterRead(T.Info, V.Status, V.EventCount);
}

void TModbusClient::DecodeCommEventLog(TModbusTransaction& T) {
  const TCommEventLogReply V = DecodeCommEventLogReply(*FConnection, T);
  DoCommEventLogRead(T.Info, V.Status, V.EventCount, V.MessageCount, V.Events);
}

void TModbusClient::DecodeReadWriteRegisters(TModbusTransaction& T) {
  const TReadWriteRegistersReply V = DecodeReadWriteRegistersReply(*FConnection, T);
  DoMultipleRegistersReadWrite(T.Info, V.ReadStart, V.ReadCount, V.ReadValues, V.WriteStart, V.WriteCount,
                               V.WriteValues);
}

void TModbusClient::DecodeFifoQueue(TModbusTransaction& T) {
  const TFifoQueueReply V = DecodeFifoQueueReply(*FConnection, T);
  DoFifoQueueRead(T.Info, V.FifoAddress, V.Values);
}

// One exchange of a read device identification. While the server says that more objects follow,
// the objects so far travel in a further request of the same transaction number; the one event
// comes with the last exchange, whatever its outcome, and carries every object gathered.
void TModbusClient::DecodeDeviceIdentification(TModbusTransaction& T) {
  TDeviceIdentificationReply V = DecodeDeviceIdentificationReply(*FConnection, T);
  std::unique_ptr<TGatheredObjects> Gathered = TakeGathered(T, V.ObjectId);
  // A further exchange must start past where the one before it did, so that the requests end
  // (a first one may name an object the server does not have, which starts it from the first).
  if (Gathered->Exchanges > 0 && V.MoreFollows && V.NextObjectId <= V.ObjectId) {
    T.Info.ReplyStatus = rsInvalidReply;
    V.MoreFollows = false;
  }
  ++Gathered->Exchanges;
  Gathered->Attempts += T.Info.Attempts;
  Gathered->Objects.merge(V.Objects);
  if (T.Info.ReplyStatus == rsSuccess && V.MoreFollows) {
    RequestMoreObjects(T.Info, V.Access, V.NextObjectId, std::move(Gathered));
    return;
  }
  TTransactionInfo Info = T.Info;
  Info.Attempts = Gathered->Attempts;
  DoDeviceIdentificationRead(Info, V.Access, Gathered->FirstObjectId, V.ConformityLevel, Gathered->Objects);
}

void TModbusClient::DecodeRawReply(TModbusTransaction& T) {
  const TRawReply V = Quorvel::DecodeRawReply(*FConnection, T);
  DoRawReply(T.Info, V.RequestPdu, V.ReplyPdu);
}

}  // namespace Quorvel
