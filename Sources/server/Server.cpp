#include <Quorvel/Server.h>

#include <Quorvel/BitPacking.h>
#include <Quorvel/Connection.h>
#include <Quorvel/Errors.h>
#include <Quorvel/Protocol.h>
#include "engine/ConnectionLink.h"

namespace Quorvel {

namespace {

using Exceptions::IllegalDataAddress;
using Exceptions::IllegalDataValue;
using Exceptions::IllegalFunction;

// A request that breaks a rule: answered with its exception code.
struct TRefusal {
  Byte Code;
};

[[noreturn]] void Refuse(Byte Code) { throw TRefusal{Code}; }

Word TakeWord(TModbusBuffer& B) {
  const Word Value = B.PeekWord();
  B.Seek(smNextWord);
  return Value;
}

bool IsBroadcast(const TModbusTransaction& T) { return T.Info.ServerAddress == 0; }

// Runs the reading of a request's fields. A request too short for its fields fails there with the
// buffer's error, which is a bad value; only the reading is guarded, so that what a data operation
// raises reaches the application instead of turning into an exception reply.
template <class TRead>
void ReadFields(TRead Read) {
  try {
    Read();
  } catch (const EQuorvelError&) {
    Refuse(IllegalDataValue);
  }
}

// A count outside 1..Max is a bad value; a range that runs past address 65535 a bad address.
void CheckRange(Word Start, Word Count, int Max) {
  if (Count < 1 || Count > Max) Refuse(IllegalDataValue);
  if (int{Start} + Count - 1 > 65535) Refuse(IllegalDataAddress);
}

}  // namespace

TModbusServer::TModbusServer(TComponent* Owner) : TComponent(Owner) {}

TModbusServer::~TModbusServer() { SetConnection(nullptr); }

void TModbusServer::SetConnection(TModbusConnection* Value) {
  LinkConnection(*this, FConnection, Value, &TModbusConnection::RegisterServer, &TModbusConnection::UnregisterServer);
}

void TModbusServer::Notification(TComponent* Component, TOperation Operation) {
  TComponent::Notification(Component, Operation);
  if (Operation == opRemove && Component == FConnection) FConnection = nullptr;
}

void TModbusServer::HandleRequest(TModbusTransaction& T) {
  CheckUsableConnection(FConnection);
  const Byte Function = FConnection->ReadFunctionCode(T.Request);
  const bool Known = (Function >= Functions::ReadCoils && Function <= Functions::WriteSingleRegister) ||
                     Function == Functions::WriteMultipleCoils || Function == Functions::WriteMultipleRegisters;
  if (!Known || !AcceptFunction(Function)) {
    if (!IsBroadcast(T)) SendExceptionReply(T.Reply, Function, IllegalFunction);
    return;
  }
  try {
    ReadFields([&T] { T.Request.SetPosition(TModbusFrameCodec::PduOffset + 1); });
    switch (Function) {
      case Functions::ReadCoils:
      case Functions::ReadDiscreteInputs: ReadBits(T, Function); break;
      case Functions::ReadHoldingRegisters:
      case Functions::ReadInputRegisters: ReadRegisters(T, Function); break;
      case Functions::WriteSingleCoil: WriteSingleCoil(T); break;
      case Functions::WriteSingleRegister: WriteSingleRegister(T); break;
      case Functions::WriteMultipleCoils: WriteMultipleCoils(T); break;
      default: WriteMultipleRegisters(T); break;
    }
  } catch (const TRefusal& Refusal) {
    // Writes leave a broadcast unanswered; the worker never sends a reply to one anyway.
    SendExceptionReply(T.Reply, Function, Refusal.Code);
  } catch (...) {
    // A data operation failed: no half-built reply is left behind, and the application is told.
    T.Reply.SetSize(0);
    throw;
  }
}

void TModbusServer::SendExceptionReply(TModbusBuffer& Reply, Byte Function, Byte ExceptionCode) {
  Reply.SetSize(0);
  FConnection->WriteOwnAddress(*this, Reply);
  Reply.WriteByte(static_cast<Byte>(Function | Functions::ExceptionFlag));
  Reply.WriteByte(ExceptionCode);
  FConnection->AppendChecksum(Reply);
}

void TModbusServer::BeginReply(TModbusBuffer& Reply, Byte Function) {
  Reply.SetSize(0);
  FConnection->WriteOwnAddress(*this, Reply);
  Reply.WriteByte(Function);
}

void TModbusServer::EndReply(TModbusBuffer& Reply) { FConnection->AppendChecksum(Reply); }

// The request's fields must lie before its frame check: the check is no data.
static void CheckFieldsEnd(const TModbusConnection& Connection, const TModbusBuffer& Request) {
  if (Request.Position() > Request.Size() - Connection.ChecksumSize()) RaiseError(Messages::BufferSpace);
}

void TModbusServer::ReadBits(TModbusTransaction& T, Byte Function) {
  Word Start = 0, Count = 0;
  ReadFields([&] {
    Start = TakeWord(T.Request);
    Count = TakeWord(T.Request);
    CheckFieldsEnd(*FConnection, T.Request);
  });
  CheckRange(Start, Count, MaxReadBits);
  const bool Coils = Function == Functions::ReadCoils;
  for (int I = 0; I < Count; ++I) {
    const auto Address = static_cast<Word>(Start + I);
    if (!(Coils ? CanReadCoil(Address) : CanReadDiscreteInput(Address))) Refuse(IllegalDataAddress);
  }
  TBitValues Values(Count);
  for (int I = 0; I < Count; ++I) {
    const auto Address = static_cast<Word>(Start + I);
    Values[static_cast<std::size_t>(I)] = Coils ? GetCoil(Address) : GetDiscreteInput(Address);
  }
  BeginReply(T.Reply, Function);
  T.Reply.WriteByte(static_cast<Byte>(BitsToBytes(Count)));
  PackBits(Values, T.Reply);
  EndReply(T.Reply);
}

void TModbusServer::ReadRegisters(TModbusTransaction& T, Byte Function) {
  Word Start = 0, Count = 0;
  ReadFields([&] {
    Start = TakeWord(T.Request);
    Count = TakeWord(T.Request);
    CheckFieldsEnd(*FConnection, T.Request);
  });
  CheckRange(Start, Count, MaxReadRegisters);
  const bool Holding = Function == Functions::ReadHoldingRegisters;
  for (int I = 0; I < Count; ++I) {
    const auto Address = static_cast<Word>(Start + I);
    if (!(Holding ? CanReadHoldingRegister(Address) : CanReadInputRegister(Address))) Refuse(IllegalDataAddress);
  }
  BeginReply(T.Reply, Function);
  T.Reply.WriteByte(static_cast<Byte>(2 * Count));
  for (int I = 0; I < Count; ++I) {
    const auto Address = static_cast<Word>(Start + I);
    T.Reply.WriteWord(Holding ? GetHoldingRegister(Address) : GetInputRegister(Address));
  }
  EndReply(T.Reply);
}

static void CheckWrite(TWriteCheck Answer) {
  if (Answer == wcBadAddress) Refuse(IllegalDataAddress);
  if (Answer == wcBadValue) Refuse(IllegalDataValue);
}

void TModbusServer::WriteSingleCoil(TModbusTransaction& T) {
  Word Address = 0, ValueWord = 0;
  ReadFields([&] {
    Address = TakeWord(T.Request);
    ValueWord = TakeWord(T.Request);
    CheckFieldsEnd(*FConnection, T.Request);
  });
  if (ValueWord != 0x0000 && ValueWord != 0xFF00) Refuse(IllegalDataValue);
  const bool Value = ValueWord == 0xFF00;
  CheckWrite(CanWriteCoil(Address, Value));
  SetCoil(Address, Value);
  CoilsWritten(Address, 1);
  if (IsBroadcast(T)) return;
  BeginReply(T.Reply, 5);
  T.Reply.WriteWord(Address);
  T.Reply.WriteWord(ValueWord);
  EndReply(T.Reply);
}

void TModbusServer::WriteSingleRegister(TModbusTransaction& T) {
  Word Address = 0, Value = 0;
  ReadFields([&] {
    Address = TakeWord(T.Request);
    Value = TakeWord(T.Request);
    CheckFieldsEnd(*FConnection, T.Request);
  });
  CheckWrite(CanWriteRegister(Address, Value));
  SetRegister(Address, Value);
  RegistersWritten(Address, 1);
  if (IsBroadcast(T)) return;
  BeginReply(T.Reply, 6);
  T.Reply.WriteWord(Address);
  T.Reply.WriteWord(Value);
  EndReply(T.Reply);
}

void TModbusServer::WriteMultipleCoils(TModbusTransaction& T) {
  Word Start = 0, Count = 0;
  TBitValues Values;
  ReadFields([&] {
    Start = TakeWord(T.Request);
    Count = TakeWord(T.Request);
    CheckRange(Start, Count, MaxWriteBits);
    // The byte count at offset 6 is not trusted: the values are sized by the bit count.
    T.Request.SetPosition(7);
    Values.resize(Count);
    UnpackBits(T.Request, Values);
    CheckFieldsEnd(*FConnection, T.Request);
  });
  for (int I = 0; I < Count; ++I)
    CheckWrite(CanWriteCoil(static_cast<Word>(Start + I), Values[static_cast<std::size_t>(I)]));
  for (int I = 0; I < Count; ++I) SetCoil(static_cast<Word>(Start + I), Values[static_cast<std::size_t>(I)]);
  CoilsWritten(Start, Count);
  if (IsBroadcast(T)) return;
  BeginReply(T.Reply, Functions::WriteMultipleCoils);
  T.Reply.WriteWord(Start);
  T.Reply.WriteWord(Count);
  EndReply(T.Reply);
}

void TModbusServer::WriteMultipleRegisters(TModbusTransaction& T) {
  Word Start = 0, Count = 0;
  TRegValues Values;
  ReadFields([&] {
    Start = TakeWord(T.Request);
    Count = TakeWord(T.Request);
    CheckRange(Start, Count, MaxWriteRegisters);
    T.Request.SetPosition(7);
    Values.resize(Count);
    for (auto& Value : Values) Value = TakeWord(T.Request);
    CheckFieldsEnd(*FConnection, T.Request);
  });
  for (int I = 0; I < Count; ++I)
    CheckWrite(CanWriteRegister(static_cast<Word>(Start + I), Values[static_cast<std::size_t>(I)]));
  for (int I = 0; I < Count; ++I) SetRegister(static_cast<Word>(Start + I), Values[static_cast<std::size_t>(I)]);
  RegistersWritten(Start, Count);
  if (IsBroadcast(T)) return;
  BeginReply(T.Reply, Functions::WriteMultipleRegisters);
  T.Reply.WriteWord(Start);
  T.Reply.WriteWord(Count);
  EndReply(T.Reply);
}

bool TModbusServer::AcceptFunction(Byte /*Function*/) { return true; }
bool TModbusServer::CanReadCoil(Word /*Address*/) { return false; }
bool TModbusServer::CanReadDiscreteInput(Word /*Address*/) { return false; }
bool TModbusServer::CanReadHoldingRegister(Word /*Address*/) { return false; }
bool TModbusServer::CanReadInputRegister(Word /*Address*/) { return false; }
TWriteCheck TModbusServer::CanWriteCoil(Word /*Address*/, bool /*Value*/) { return wcBadAddress; }
TWriteCheck TModbusServer::CanWriteRegister(Word /*Address*/, Word /*Value*/) { return wcBadAddress; }
bool TModbusServer::GetCoil(Word /*Address*/) { return false; }
bool TModbusServer::GetDiscreteInput(Word /*Address*/) { return false; }
Word TModbusServer::GetHoldingRegister(Word /*Address*/) { return 0; }
Word TModbusServer::GetInputRegister(Word /*Address*/) { return 0; }
void TModbusServer::SetCoil(Word /*Address*/, bool /*Value*/) {}
void TModbusServer::SetRegister(Word /*Address*/, Word /*Value*/) {}
void TModbusServer::CoilsWritten(Word /*Start*/, Word /*Count*/) {}
void TModbusServer::RegistersWritten(Word /*Start*/, Word /*Count*/) {}

}  // namespace Quorvel
