#include <Quorvel/Server.h>

#include <algorithm>

#include <Quorvel/BitPacking.h>
#include <Quorvel/Connection.h>
#include <Quorvel/Errors.h>
#include <Quorvel/FileRecords.h>
#include <Quorvel/Protocol.h>
#include "engine/ConnectionLink.h"
#include "protocol/BufferReading.h"
#include "server/ServerDiagnostics.h"

namespace Quorvel {

namespace {

using Exceptions::IllegalDataAddress;
using Exceptions::IllegalDataValue;
using Exceptions::IllegalFunction;

constexpr Byte FileReferenceType = 6;
constexpr int RecordsPerFile = TModbusFileRecord::MaxRecordNumber + 1;
// Function code, interface type, read code, conformity level, more follows, next object id and the
// number of objects come before the objects, within the 253 bytes of a PDU.
constexpr int DeviceObjectsRoom = 253 - 7;

// A request that breaks a rule: answered with its exception code.
struct TRefusal {
  Byte Code;
};

[[noreturn]] void Refuse(Byte Code) { throw TRefusal{Code}; }

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

void CheckWrite(TWriteCheck Answer) {
  if (Answer == wcBadAddress) Refuse(IllegalDataAddress);
  if (Answer == wcBadValue) Refuse(IllegalDataValue);
}

// The request's fields must lie before its frame check: the check is no data.
void CheckFieldsEnd(const TModbusConnection& Connection, const TModbusBuffer& Request) {
  if (Request.Position() > Request.Size() - Connection.ChecksumSize()) RaiseError(Messages::BufferSpace);
}

// The functions that every server serves unless AcceptFunction refuses them.
bool IsStandingFunction(Byte Function) {
  return (Function >= Functions::ReadCoils && Function <= Functions::WriteSingleRegister) ||
         Function == Functions::WriteMultipleCoils || Function == Functions::WriteMultipleRegisters;
}

// The functions that a server answers only when the application provides them.
bool IsProvidableFunction(Byte Function) {
  const auto& Providable = TModbusServer::ProvidableFunctions;
  return std::find(Providable.begin(), Providable.end(), Function) != Providable.end();
}

constexpr Word SubFunction(TDiagnosticAction Action) { return DiagnosticSubFunctions[Action]; }

// A restart is the one request that a server in listen-only mode acts on.
bool IsRestart(const TModbusTransaction& T, int CheckSize) {
  const TModbusBuffer& Q = T.Request;
  return Q.Size() >= 4 + CheckSize && Q.Memory()[1] == Functions::Diagnostics &&
         (Q.Memory()[2] << 8 | Q.Memory()[3]) == SubFunction(daRestartCommunications);
}

// One sub-request of a file record request: which records of which file.
struct TFileRange {
  Word File = 0;
  Word Record = 0;
  Word Count = 0;
};

TFileRange TakeFileRange(TModbusBuffer& Request) {
  if (TakeByte(Request) != FileReferenceType) Refuse(IllegalDataAddress);
  TFileRange Range;
  Range.File = TakeWord(Request);
  Range.Record = TakeWord(Request);
  Range.Count = TakeWord(Request);
  return Range;
}

// Files are numbered from 1; their records from 0 to 9999.
void CheckFileRange(const TFileRange& Range) {
  if (Range.Count < 1) Refuse(IllegalDataValue);
  if (Range.File == 0 || int{Range.Record} + Range.Count > RecordsPerFile) Refuse(IllegalDataAddress);
}

// The objects that one reply to a read device identification carries, and where the next one
// starts when they do not all fit.
struct TObjectSelection {
  std::vector<TDeviceObjects::const_iterator> Objects;
  bool MoreFollows = false;
  Byte NextObjectId = 0;
};

TObjectSelection SelectObjects(const TDeviceObjects& Objects, Byte Access, Byte ObjectId) {
  TObjectSelection Selection;
  const auto Fits = [](const TDeviceObjects::const_iterator& Object, int Room) {
    return 2 + static_cast<int>(Object->second.size()) <= Room;
  };
  if (Access == diSpecific) {
    const auto Found = Objects.find(ObjectId);
    if (Found == Objects.end()) Refuse(IllegalDataAddress);
    if (!Fits(Found, DeviceObjectsRoom)) RaiseError(Messages::BufferSpace);
    Selection.Objects.push_back(Found);
    return Selection;
  }
  const Byte Last = Access == diBasic     ? DeviceObjects::LastBasic
                    : Access == diRegular ? DeviceObjects::LastRegular
                                          : Byte{0xFF};
  // A stream that names an object the device does not have starts from the first one.
  if (ObjectId > Last || !Objects.contains(ObjectId)) ObjectId = 0;
  int Room = DeviceObjectsRoom;
  for (auto Object = Objects.lower_bound(ObjectId); Object != Objects.end() && Object->first <= Last; ++Object) {
    if (!Fits(Object, Room)) {
      // An object longer than any reply could never be read.
      if (Selection.Objects.empty()) RaiseError(Messages::BufferSpace);
      Selection.MoreFollows = true;
      Selection.NextObjectId = Object->first;
      break;
    }
    Room -= 2 + static_cast<int>(Object->second.size());
    Selection.Objects.push_back(Object);
  }
  return Selection;
}

// Individual access (80h) is always offered; the level is the highest category the device has
// objects of.
Byte ConformityLevel(const TDeviceObjects& Objects) {
  Byte Level = diBasic;
  for (const auto& Object : Objects) {
    const Byte Id = Object.first;
    const Byte Category = Id >= DeviceObjects::FirstPrivate ? diExtended
                          : Id > DeviceObjects::LastBasic   ? diRegular
                                                            : diBasic;
    Level = std::max(Level, Category);
  }
  return static_cast<Byte>(0x80 | Level);
}

}  // namespace

// The address a request named, for the replies built while it is answered.
class TModbusServer::TReplyAddressScope {
 public:
  TReplyAddressScope(TModbusServer& Server, Byte Address) : FServer(Server) {
    if (Address != Server.FServerAddress && Server.AnswersAddress(Address)) Server.FReplyAddress = Address;
  }
  ~TReplyAddressScope() { FServer.FReplyAddress = 0; }
  TReplyAddressScope(const TReplyAddressScope&) = delete;
  TReplyAddressScope& operator=(const TReplyAddressScope&) = delete;

 private:
  TModbusServer& FServer;
};

TModbusServer::TModbusServer(TComponent* Owner)
    : TComponent(Owner), FDiagnostics(std::make_unique<TServerDiagnostics>()) {}

TModbusServer::~TModbusServer() { SetConnection(nullptr); }

void TModbusServer::SetConnection(TModbusConnection* Value) {
  LinkConnection(*this, FConnection, Value, &TModbusConnection::RegisterServer, &TModbusConnection::UnregisterServer);
}

void TModbusServer::Notification(TComponent* Component, TOperation Operation) {
  TComponent::Notification(Component, Operation);
  if (Operation == opRemove && Component == FConnection) FConnection = nullptr;
}

bool TModbusServer::AnswersAddress(Byte Address) const noexcept {
  return Address == FServerAddress || std::find(FOtherAddresses.begin(), FOtherAddresses.end(), Address) != FOtherAddresses.end();
}

void TModbusServer::SetFunctionProvided(Byte Function, bool Provided) { FProvided.set(Function, Provided); }

void TModbusServer::SetFunctionHandler(Byte Function, TFunctionHandler Handler) {
  if (Function < 1 || Function > Functions::LastFunction) RaiseErrorFmt(Messages::ValueRange, 1, Functions::LastFunction);
  if (Handler)
    FHandlers[Function] = std::move(Handler);
  else
    FHandlers.erase(Function);
}

// Every request addressed to this server is counted for the diagnostics, whether or not they are
// provided; only their own requests can show the counts or change the way the server answers.
void TModbusServer::HandleRequest(TModbusTransaction& T) {
  CheckUsableConnection(FConnection);
  const TReplyAddressScope Scope(*this, T.Info.ServerAddress);
  const Byte Function = FConnection->ReadFunctionCode(T.Request);
  TServerDiagnostics& Diagnostics = *FDiagnostics;
  Diagnostics.Received(IsBroadcast(T));
  if (Diagnostics.ListenOnly() && FunctionProvided(Functions::Diagnostics) &&
      !IsRestart(T, FConnection->ChecksumSize())) {
    Diagnostics.Ignored();
    return;
  }
  bool CarriedOut = false;
  try {
    CarriedOut = Answer(T, Function);
  } catch (...) {
    // A data operation failed: no half-built reply is left behind, and the application is told.
    T.Reply.SetSize(0);
    Diagnostics.Failed();
    throw;
  }
  if (Diagnostics.Answered(T.Reply, IsBroadcast(T), Function, CarriedOut)) FConnection->ResetStatistics();
}

bool TModbusServer::Serves(Byte Function) {
  if (IsStandingFunction(Function)) return AcceptFunction(Function);
  return IsProvidableFunction(Function) && FunctionProvided(Function);
}

// False when the request was refused (a broadcast gets no exception reply to tell it by).
bool TModbusServer::Answer(TModbusTransaction& T, Byte Function) {
  if (const auto Handler = FHandlers.find(Function); Handler != FHandlers.end()) {
    AnswerWithHandler(T, Handler->second);
    return true;
  }
  if (!Serves(Function)) {
    if (!IsBroadcast(T)) SendExceptionReply(T.Reply, Function, IllegalFunction);
    return false;
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
      case Functions::WriteMultipleRegisters: WriteMultipleRegisters(T); break;
      case Functions::ReadExceptionStatus: ReadExceptionStatus(T); break;
      case Functions::Diagnostics: Diagnose(T); break;
      case Functions::GetCommEventCounter: GetCommEventCounter(T); break;
      case Functions::GetCommEventLog: GetCommEventLog(T); break;
      case Functions::ReportServerId: ReportServerIdentification(T); break;
      case Functions::ReadFileRecord: ReadFileRecord(T); break;
      case Functions::WriteFileRecord: WriteFileRecord(T); break;
      case Functions::MaskWriteRegister: MaskWriteRegister(T); break;
      case Functions::ReadWriteMultipleRegisters: ReadWriteMultipleRegisters(T); break;
      case Functions::ReadFifoQueue: ReadFifoQueue(T); break;
      default: ReadDeviceIdentification(T); break;
    }
  } catch (const TRefusal& Refusal) {
    // Writes leave a broadcast unanswered; the worker never sends a reply to one anyway.
    SendExceptionReply(T.Reply, Function, Refusal.Code);
    return false;
  }
  return true;
}

// The handler sees the request's PDU and returns the reply's; it may raise, as a data operation.
void TModbusServer::AnswerWithHandler(TModbusTransaction& T, const TFunctionHandler& Handler) {
  const TModbusBuffer& Q = T.Request;
  const int End = std::max(Q.Size() - FConnection->ChecksumSize(), TModbusFrameCodec::PduOffset);
  const TFrameData Request(Q.Memory() + TModbusFrameCodec::PduOffset, Q.Memory() + End);
  const TFrameData Reply = Handler(*this, T.Info, Request);
  T.Reply.SetSize(0);
  if (Reply.empty()) return;
  FConnection->WriteOwnAddress(*this, T.Reply);
  for (const Byte Value : Reply) T.Reply.WriteByte(Value);
  EndReply(T.Reply);
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

// A reply that repeats the request's function code and its bytes after it, up to End.
void TModbusServer::EchoRequest(TModbusTransaction& T, int End) {
  BeginReply(T.Reply, T.Request.Memory()[TModbusFrameCodec::PduOffset]);
  for (int I = TModbusFrameCodec::PduOffset + 1; I < End; ++I) T.Reply.WriteByte(T.Request.Memory()[I]);
  EndReply(T.Reply);
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
  CheckRegistersReadable(Start, Count, Holding);
  ReplyRegisters(T.Reply, Function, Start, Count, Holding);
}

void TModbusServer::CheckRegistersReadable(Word Start, Word Count, bool Holding) {
  for (int I = 0; I < Count; ++I) {
    const auto Address = static_cast<Word>(Start + I);
    if (!(Holding ? CanReadHoldingRegister(Address) : CanReadInputRegister(Address))) Refuse(IllegalDataAddress);
  }
}

// Function, byte count, then the registers' values as words: the reply of every register read.
void TModbusServer::ReplyRegisters(TModbusBuffer& Reply, Byte Function, Word Start, Word Count, bool Holding) {
  BeginReply(Reply, Function);
  Reply.WriteByte(static_cast<Byte>(2 * Count));
  for (int I = 0; I < Count; ++I) {
    const auto Address = static_cast<Word>(Start + I);
    Reply.WriteWord(Holding ? GetHoldingRegister(Address) : GetInputRegister(Address));
  }
  EndReply(Reply);
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
  BeginReply(T.Reply, Functions::WriteSingleCoil);
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
  BeginReply(T.Reply, Functions::WriteSingleRegister);
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
    Values = TakeWords(T.Request, Count);
    CheckFieldsEnd(*FConnection, T.Request);
  });
  WriteRegisterValues(Start, Values);
  if (IsBroadcast(T)) return;
  BeginReply(T.Reply, Functions::WriteMultipleRegisters);
  T.Reply.WriteWord(Start);
  T.Reply.WriteWord(Count);
  EndReply(T.Reply);
}

// Every register is asked first; only when all are accepted are they written, in order.
void TModbusServer::WriteRegisterValues(Word Start, const TRegValues& Values) {
  const auto Count = static_cast<Word>(Values.size());
  for (int I = 0; I < Count; ++I)
    CheckWrite(CanWriteRegister(static_cast<Word>(Start + I), Values[static_cast<std::size_t>(I)]));
  for (int I = 0; I < Count; ++I) SetRegister(static_cast<Word>(Start + I), Values[static_cast<std::size_t>(I)]);
  RegistersWritten(Start, Count);
}

void TModbusServer::ReadExceptionStatus(TModbusTransaction& T) {
  const Byte Status = GetExceptionStatus();
  BeginReply(T.Reply, Functions::ReadExceptionStatus);
  T.Reply.WriteByte(Status);
  EndReply(T.Reply);
}

// The sub-functions of the serial line diagnostics. What clears counters or changes the mode is
// carried out once the request itself has been counted (TServerDiagnostics::Schedule).
void TModbusServer::Diagnose(TModbusTransaction& T) {
  const int DataEnd = T.Request.Size() - FConnection->ChecksumSize();
  Word Sub = 0, Data = 0;
  ReadFields([&] {
    Sub = TakeWord(T.Request);
    CheckFieldsEnd(*FConnection, T.Request);
  });
  // The query data, however long, come back as they are.
  if (Sub == SubFunction(daReturnQueryData)) {
    EchoRequest(T, DataEnd);
    return;
  }
  ReadFields([&] {
    Data = TakeWord(T.Request);
    CheckFieldsEnd(*FConnection, T.Request);
  });
  TServerDiagnostics& Diagnostics = *FDiagnostics;
  switch (Sub) {
    case SubFunction(daRestartCommunications): {
      if (Data != 0x0000 && Data != 0xFF00) Refuse(IllegalDataValue);
      // A server that listened only stays silent; any other answers before it restarts.
      const bool Silent = Diagnostics.ListenOnly();
      Diagnostics.Schedule(Data == 0xFF00 ? dcRestartClearingLog : dcRestart);
      if (!Silent) EchoRequest(T, DataEnd);
      return;
    }
    case SubFunction(daForceListenOnlyMode):
      Diagnostics.Schedule(dcListenOnly);  // never answered
      return;
    case SubFunction(daClearCounters):
      Diagnostics.Schedule(dcClearCounters);
      EchoRequest(T, DataEnd);
      return;
    case SubFunction(daReturnBusMessageCount):
    case SubFunction(daReturnBusCommErrorCount):
    case SubFunction(daReturnBusExceptionErrorCount):
    case SubFunction(daReturnServerMessageCount):
    case SubFunction(daReturnServerNoResponseCount):
    case SubFunction(daReturnServerNAKCount):
    case SubFunction(daReturnServerBusyCount):
    case SubFunction(daReturnBusCharOverrunCount):
      BeginReply(T.Reply, Functions::Diagnostics);
      T.Reply.WriteWord(Sub);
      T.Reply.WriteWord(Diagnostics.Counter(Sub, FConnection->Statistics()));
      EndReply(T.Reply);
      return;
    default:
      Refuse(IllegalFunction);
  }
}

// The status word is never busy: this server carries out each request before the next.
void TModbusServer::GetCommEventCounter(TModbusTransaction& T) {
  BeginReply(T.Reply, Functions::GetCommEventCounter);
  T.Reply.WriteWord(0x0000);
  T.Reply.WriteWord(FDiagnostics->EventCount());
  EndReply(T.Reply);
}

void TModbusServer::GetCommEventLog(TModbusTransaction& T) {
  const TCommEvents Events = FDiagnostics->Events();
  BeginReply(T.Reply, Functions::GetCommEventLog);
  T.Reply.WriteByte(static_cast<Byte>(6 + Events.size()));
  T.Reply.WriteWord(0x0000);
  T.Reply.WriteWord(FDiagnostics->EventCount());
  T.Reply.WriteWord(TServerDiagnostics::BusMessages(FConnection->Statistics()));
  for (const Byte Event : Events) T.Reply.WriteByte(Event);
  EndReply(T.Reply);
}

// More than one frame holds raises the buffer's error, as a data operation's failure.
void TModbusServer::ReportServerIdentification(TModbusTransaction& T) {
  const TServerIdentificationData Data = GetServerIdentification();
  BeginReply(T.Reply, Functions::ReportServerId);
  T.Reply.WriteByte(static_cast<Byte>(Data.size()));
  for (const Byte Value : Data) T.Reply.WriteByte(Value);
  EndReply(T.Reply);
}

void TModbusServer::ReadFileRecord(TModbusTransaction& T) {
  std::vector<TFileRange> Ranges;
  ReadFields([&] {
    const int Bytes = TakeByte(T.Request);
    if (Bytes < 7 || Bytes > MaxFileRecordBytes || Bytes % 7 != 0) Refuse(IllegalDataValue);
    for (int I = 0; I < Bytes / 7; ++I) Ranges.push_back(TakeFileRange(T.Request));
    CheckFieldsEnd(*FConnection, T.Request);
  });
  // Each record comes back as its length, its reference type and its registers.
  int ReplyBytes = 0;
  for (const TFileRange& Range : Ranges) {
    CheckFileRange(Range);
    ReplyBytes += 2 + 2 * Range.Count;
  }
  if (ReplyBytes > MaxFileRecordBytes) Refuse(IllegalDataValue);
  for (const TFileRange& Range : Ranges)
    for (int K = 0; K < Range.Count; ++K)
      if (!CanReadFileRecord(Range.File, static_cast<Word>(Range.Record + K))) Refuse(IllegalDataAddress);
  BeginReply(T.Reply, Functions::ReadFileRecord);
  T.Reply.WriteByte(static_cast<Byte>(ReplyBytes));
  for (const TFileRange& Range : Ranges) {
    T.Reply.WriteByte(static_cast<Byte>(1 + 2 * Range.Count));
    T.Reply.WriteByte(FileReferenceType);
    for (int K = 0; K < Range.Count; ++K) T.Reply.WriteWord(GetFileRecord(Range.File, static_cast<Word>(Range.Record + K)));
  }
  EndReply(T.Reply);
}

void TModbusServer::WriteFileRecord(TModbusTransaction& T) {
  std::vector<std::pair<TFileRange, TRegValues>> Writes;
  int End = 0;
  ReadFields([&] {
    const int Bytes = TakeByte(T.Request);
    // Each sub-request holds seven bytes and a register at the least; all fit one request's 253.
    if (Bytes < 9 || Bytes > 251) Refuse(IllegalDataValue);
    End = T.Request.Position() + Bytes;
    while (T.Request.Position() < End) {
      const TFileRange Range = TakeFileRange(T.Request);
      if (Range.Count > (End - T.Request.Position()) / 2) Refuse(IllegalDataValue);
      Writes.emplace_back(Range, TakeWords(T.Request, Range.Count));
    }
    CheckFieldsEnd(*FConnection, T.Request);
  });
  for (const auto& [Range, Values] : Writes) CheckFileRange(Range);
  for (const auto& [Range, Values] : Writes)
    for (int K = 0; K < Range.Count; ++K)
      CheckWrite(CanWriteFileRecord(Range.File, static_cast<Word>(Range.Record + K), Values[static_cast<std::size_t>(K)]));
  for (const auto& [Range, Values] : Writes)
    for (int K = 0; K < Range.Count; ++K)
      SetFileRecord(Range.File, static_cast<Word>(Range.Record + K), Values[static_cast<std::size_t>(K)]);
  if (IsBroadcast(T)) return;
  // The reply is the request.
  EchoRequest(T, End);
}

void TModbusServer::MaskWriteRegister(TModbusTransaction& T) {
  Word Address = 0, AndMask = 0, OrMask = 0;
  ReadFields([&] {
    Address = TakeWord(T.Request);
    AndMask = TakeWord(T.Request);
    OrMask = TakeWord(T.Request);
    CheckFieldsEnd(*FConnection, T.Request);
  });
  if (!CanReadHoldingRegister(Address)) Refuse(IllegalDataAddress);
  // The bits set in AndMask keep the register's value; the others take OrMask's.
  const auto Value = static_cast<Word>((GetHoldingRegister(Address) & AndMask) | (OrMask & ~AndMask));
  CheckWrite(CanWriteRegister(Address, Value));
  SetRegister(Address, Value);
  RegistersWritten(Address, 1);
  if (IsBroadcast(T)) return;
  EchoRequest(T, T.Request.Position());
}

// The write comes first, then the read: a register in both ranges reads back what was written.
// Both ranges are checked before anything is written.
void TModbusServer::ReadWriteMultipleRegisters(TModbusTransaction& T) {
  Word ReadStart = 0, ReadCount = 0, WriteStart = 0, WriteCount = 0;
  TRegValues Values;
  ReadFields([&] {
    ReadStart = TakeWord(T.Request);
    ReadCount = TakeWord(T.Request);
    WriteStart = TakeWord(T.Request);
    WriteCount = TakeWord(T.Request);
    CheckRange(ReadStart, ReadCount, MaxReadRegisters);
    CheckRange(WriteStart, WriteCount, MaxReadWriteRegisters);
    // As for function 16, the byte count is not trusted: the values are sized by the count.
    TakeByte(T.Request);
    Values = TakeWords(T.Request, WriteCount);
    CheckFieldsEnd(*FConnection, T.Request);
  });
  CheckRegistersReadable(ReadStart, ReadCount, true);
  WriteRegisterValues(WriteStart, Values);
  ReplyRegisters(T.Reply, Functions::ReadWriteMultipleRegisters, ReadStart, ReadCount, true);
}

void TModbusServer::ReadFifoQueue(TModbusTransaction& T) {
  Word Address = 0;
  ReadFields([&] {
    Address = TakeWord(T.Request);
    CheckFieldsEnd(*FConnection, T.Request);
  });
  if (!CanReadFifoQueue(Address)) Refuse(IllegalDataAddress);
  const TRegValues Values = GetFifoQueue(Address);
  if (Values.size() > MaxFifoCount) Refuse(IllegalDataValue);
  // The byte count is a word here, and counts the queue's count word too.
  BeginReply(T.Reply, Functions::ReadFifoQueue);
  T.Reply.WriteWord(static_cast<Word>(2 + 2 * Values.size()));
  T.Reply.WriteWord(static_cast<Word>(Values.size()));
  for (const Word Value : Values) T.Reply.WriteWord(Value);
  EndReply(T.Reply);
}

// Function 43 carries other interfaces too; this server has only read device identification.
void TModbusServer::ReadDeviceIdentification(TModbusTransaction& T) {
  Byte Interface = 0, Access = 0, ObjectId = 0;
  ReadFields([&] { Interface = TakeByte(T.Request); });
  if (Interface != MeiTypes::ReadDeviceIdentification) Refuse(IllegalFunction);
  ReadFields([&] {
    Access = TakeByte(T.Request);
    ObjectId = TakeByte(T.Request);
    CheckFieldsEnd(*FConnection, T.Request);
  });
  if (Access < diBasic || Access > diSpecific) Refuse(IllegalDataValue);
  const TDeviceObjects Objects = GetDeviceIdentification();
  const TObjectSelection Selection = SelectObjects(Objects, Access, ObjectId);
  BeginReply(T.Reply, Functions::EncapsulatedInterface);
  T.Reply.WriteByte(MeiTypes::ReadDeviceIdentification);
  T.Reply.WriteByte(Access);
  T.Reply.WriteByte(ConformityLevel(Objects));
  T.Reply.WriteByte(Selection.MoreFollows ? 0xFF : 0x00);
  T.Reply.WriteByte(Selection.NextObjectId);
  T.Reply.WriteByte(static_cast<Byte>(Selection.Objects.size()));
  for (const auto& Object : Selection.Objects) {
    T.Reply.WriteByte(Object->first);
    T.Reply.WriteByte(static_cast<Byte>(Object->second.size()));
    for (const char Character : Object->second) T.Reply.WriteByte(static_cast<Byte>(Character));
  }
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
Byte TModbusServer::GetExceptionStatus() { return 0; }
TServerIdentificationData TModbusServer::GetServerIdentification() { return {}; }
TDeviceObjects TModbusServer::GetDeviceIdentification() { return {}; }
bool TModbusServer::CanReadFifoQueue(Word /*Address*/) { return false; }
TRegValues TModbusServer::GetFifoQueue(Word /*Address*/) { return {}; }
bool TModbusServer::CanReadFileRecord(Word /*File*/, Word /*Record*/) { return false; }
Word TModbusServer::GetFileRecord(Word /*File*/, Word /*Record*/) { return 0; }
TWriteCheck TModbusServer::CanWriteFileRecord(Word /*File*/, Word /*Record*/, Word /*Value*/) { return wcBadAddress; }
void TModbusServer::SetFileRecord(Word /*File*/, Word /*Record*/, Word /*Value*/) {}

}  // namespace Quorvel
