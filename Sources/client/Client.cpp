#include <Quorvel/Client.h>

#include <Quorvel/Connection.h>
#include <Quorvel/Errors.h>
#include "engine/ConnectionLink.h"

namespace Quorvel {

TModbusClient::TModbusClient(TComponent* Owner) : TComponent(Owner) {}

TModbusClient::~TModbusClient() { SetConnection(nullptr); }

void TModbusClient::SetConnection(TModbusConnection* Value) {
  LinkConnection(*this, FConnection, Value, &TModbusConnection::RegisterClient, &TModbusConnection::UnregisterClient);
}

void TModbusClient::Notification(TComponent* Component, TOperation Operation) {
  TComponent::Notification(Component, Operation);
  // The connection is going away; it no longer has a client list to leave.
  if (Operation == opRemove && Component == FConnection) FConnection = nullptr;
}

void TModbusClient::SetServerAddress(Byte Value) {
  if (Value == FServerAddress) return;
  if (Value < 1 || Value > 247) RaiseErrorFmt(Messages::ValueRange, 1, 247);
  FServerAddress = Value;
}

// The first check of every request: the transaction counter, the client list and the connection's
// state are the main thread's.
void TModbusClient::CheckConnection() const {
  RequireMainThread("A request of TModbusClient");
  CheckUsableConnection(FConnection);
}

void TModbusClient::DoTranslateExceptionCode(Byte ExceptionCode, std::string& Description) {
  if (FOnTranslateExceptionCode) FOnTranslateExceptionCode(*this, ExceptionCode, Description);
}

// Each trigger raises its event when a handler is set, and does nothing otherwise.
void TModbusClient::DoCoilsRead(const TTransactionInfo& Info, Word StartBit, Word BitCount, const TBitValues& BitValues) {
  if (FOnCoilsRead) FOnCoilsRead(*this, Info, StartBit, BitCount, BitValues);
}
void TModbusClient::DoDiagnostics(const TTransactionInfo& Info, TDiagnosticAction Action, Word Result) {
  if (FOnDiagnostics) FOnDiagnostics(*this, Info, Action, Result);
}
void TModbusClient::DoDiscreteInputsRead(const TTransactionInfo& Info, Word StartBit, Word BitCount,
                                         const TBitValues& BitValues) {
  if (FOnDiscreteInputsRead) FOnDiscreteInputsRead(*this, Info, StartBit, BitCount, BitValues);
}
void TModbusClient::DoExceptionStatusRead(const TTransactionInfo& Info, const TExceptionStatusValues& StatusValues) {
  if (FOnExceptionStatusRead) FOnExceptionStatusRead(*this, Info, StatusValues);
}
void TModbusClient::DoFileRecordRead(const TTransactionInfo& Info, TModbusFileRecordList& FileRecList) {
  if (FOnFileRecordRead) FOnFileRecordRead(*this, Info, FileRecList);
}
void TModbusClient::DoFileRecordWrite(const TTransactionInfo& Info, TModbusFileRecordList& FileRecList) {
  if (FOnFileRecordWrite) FOnFileRecordWrite(*this, Info, FileRecList);
}
void TModbusClient::DoHoldingRegistersRead(const TTransactionInfo& Info, Word StartReg, Word RegCount,
                                           const TRegValues& RegValues) {
  if (FOnHoldingRegistersRead) FOnHoldingRegistersRead(*this, Info, StartReg, RegCount, RegValues);
}
void TModbusClient::DoInputRegistersRead(const TTransactionInfo& Info, Word StartReg, Word RegCount,
                                         const TRegValues& RegValues) {
  if (FOnInputRegistersRead) FOnInputRegistersRead(*this, Info, StartReg, RegCount, RegValues);
}
void TModbusClient::DoMultipleCoilsWrite(const TTransactionInfo& Info, Word StartBit, Word BitCount,
                                         const TBitValues& BitValues) {
  if (FOnMultipleCoilsWrite) FOnMultipleCoilsWrite(*this, Info, StartBit, BitCount, BitValues);
}
void TModbusClient::DoMultipleRegistersWrite(const TTransactionInfo& Info, Word StartReg, Word RegCount,
                                             const TRegValues& RegValues) {
  if (FOnMultipleRegistersWrite) FOnMultipleRegistersWrite(*this, Info, StartReg, RegCount, RegValues);
}
void TModbusClient::DoServerIdentificationReport(const TTransactionInfo& Info, int Count,
                                                 const TServerIdentificationData& Data) {
  if (FOnServerIdentificationReport) FOnServerIdentificationReport(*this, Info, Count, Data);
}
void TModbusClient::DoSingleCoilWrite(const TTransactionInfo& Info, Word BitAddr, bool BitValue) {
  if (FOnSingleCoilWrite) FOnSingleCoilWrite(*this, Info, BitAddr, BitValue);
}
void TModbusClient::DoSingleRegisterMaskWrite(const TTransactionInfo& Info, Word RegAddr, Word AndMask, Word OrMask) {
  if (FOnSingleRegisterMaskWrite) FOnSingleRegisterMaskWrite(*this, Info, RegAddr, AndMask, OrMask);
}
void TModbusClient::DoSingleRegisterWrite(const TTransactionInfo& Info, Word RegAddr, Word RegValue) {
  if (FOnSingleRegisterWrite) FOnSingleRegisterWrite(*this, Info, RegAddr, RegValue);
}

void TModbusClient::DoCommEventCounterRead(const TTransactionInfo& Info, Word Status, Word EventCount) {
  if (FOnCommEventCounterRead) FOnCommEventCounterRead(*this, Info, Status, EventCount);
}
void TModbusClient::DoCommEventLogRead(const TTransactionInfo& Info, Word Status, Word EventCount, Word MessageCount,
                                       const TCommEvents& Events) {
  if (FOnCommEventLogRead) FOnCommEventLogRead(*this, Info, Status, EventCount, MessageCount, Events);
}
void TModbusClient::DoDeviceIdentificationRead(const TTransactionInfo& Info, TDeviceIdAccess Access, Byte ObjectId,
                                               Byte ConformityLevel, const TDeviceObjects& Objects) {
  if (FOnDeviceIdentificationRead) FOnDeviceIdentificationRead(*this, Info, Access, ObjectId, ConformityLevel, Objects);
}
void TModbusClient::DoFifoQueueRead(const TTransactionInfo& Info, Word FifoAddress, const TRegValues& Values) {
  if (FOnFifoQueueRead) FOnFifoQueueRead(*this, Info, FifoAddress, Values);
}
void TModbusClient::DoMultipleRegistersReadWrite(const TTransactionInfo& Info, Word ReadStart, Word ReadCount,
                                                 const TRegValues& ReadValues, Word WriteStart, Word WriteCount,
                                                 const TRegValues& WriteValues) {
  if (FOnMultipleRegistersReadWrite)
    FOnMultipleRegistersReadWrite(*this, Info, ReadStart, ReadCount, ReadValues, WriteStart, WriteCount, WriteValues);
}
void TModbusClient::DoRawReply(const TTransactionInfo& Info, const TFrameData& RequestPdu, const TFrameData& ReplyPdu) {
  if (FOnRawReply) FOnRawReply(*this, Info, RequestPdu, ReplyPdu);
}

}  // namespace Quorvel
