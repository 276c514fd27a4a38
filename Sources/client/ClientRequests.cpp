// The client's request operations: the connection is checked first, then the arguments (by the
// encoder of the function, before the request takes a number), then the frame goes to the worker.

#include <Quorvel/Protocol.h>
#include <Quorvel/Client.h>
#include <Quorvel/Connection.h>
#include <Quorvel/Errors.h>
#include "client/RequestEncoders.h"

namespace Quorvel {

// Steps shared by every request, in their binding order; the caller has checked the connection.
// Until the hand-over the transaction is ours and freed on any failure.
template <class F>
Cardinal TModbusClient::Submit(Cardinal UserData, F WriteRequestData) {
  auto Transaction = NewTransaction(UserData);
  return Hand(std::move(Transaction), WriteRequestData);
}

std::unique_ptr<TModbusTransaction> TModbusClient::NewTransaction(Cardinal UserData) {
  auto Transaction = std::make_unique<TModbusTransaction>(FConnection->FrameBufferSize());
  Transaction->Info.ServerAddress = FServerAddress;
  Transaction->Info.UserData = UserData;
  return Transaction;
}

// Builds the request frame of a transaction and submits it. A request refused by its encoder has
// taken no number; one that carries a number already (a further exchange) keeps it.
template <class F>
Cardinal TModbusClient::Hand(std::unique_ptr<TModbusTransaction> Transaction, F WriteRequestData, bool Numbered) {
  TModbusConnection& C = *FConnection;
  C.WriteAddress(Transaction->Info.ServerAddress, Transaction->Request);
  WriteRequestData(Transaction->Request);
  C.AppendChecksum(Transaction->Request);
  if (!Numbered) Transaction->Info.TransactionID = C.NextTransactionID();
  const Cardinal ID = Transaction->Info.TransactionID;
  C.SubmitTransaction(Transaction);
  return ID;
}

Cardinal TModbusClient::ReadRequest(Byte Function, Word Start, Word Count, int MaxCount, Cardinal UserData) {
  CheckConnection();
  return Submit(UserData, [&](TModbusBuffer& B) { EncodeReadRequest(B, Function, Start, Count, MaxCount); });
}

Cardinal TModbusClient::ReadCoils(Word StartBit, Word BitCount, Cardinal UserData) {
  return ReadRequest(Functions::ReadCoils, StartBit, BitCount, MaxReadBits, UserData);
}

Cardinal TModbusClient::ReadDiscreteInputs(Word StartBit, Word BitCount, Cardinal UserData) {
  return ReadRequest(Functions::ReadDiscreteInputs, StartBit, BitCount, MaxReadBits, UserData);
}

Cardinal TModbusClient::ReadHoldingRegisters(Word StartReg, Word RegCount, Cardinal UserData) {
  return ReadRequest(Functions::ReadHoldingRegisters, StartReg, RegCount, MaxReadRegisters, UserData);
}

Cardinal TModbusClient::ReadInputRegisters(Word StartReg, Word RegCount, Cardinal UserData) {
  return ReadRequest(Functions::ReadInputRegisters, StartReg, RegCount, MaxReadRegisters, UserData);
}

Cardinal TModbusClient::WriteSingleCoil(Word BitAddr, bool BitValue, Cardinal UserData) {
  CheckConnection();
  return Submit(UserData, [&](TModbusBuffer& B) { EncodeWriteSingleCoil(B, BitAddr, BitValue); });
}

Cardinal TModbusClient::WriteSingleRegister(Word RegAddr, Word RegValue, Cardinal UserData) {
  CheckConnection();
  return Submit(UserData, [&](TModbusBuffer& B) { EncodeWriteSingleRegister(B, RegAddr, RegValue); });
}

Cardinal TModbusClient::ReadExceptionStatus(Cardinal UserData) {
  CheckConnection();
  return Submit(UserData, [](TModbusBuffer& B) { EncodeFunctionOnly(B, Functions::ReadExceptionStatus); });
}

Cardinal TModbusClient::Diagnostics(TDiagnosticAction Action, Cardinal UserData) {
  CheckConnection();
  return Submit(UserData, [&](TModbusBuffer& B) { EncodeDiagnostics(B, Action); });
}

Cardinal TModbusClient::WriteMultipleCoils(Word StartBit, const TBitValues& BitValues, Cardinal UserData) {
  CheckConnection();
  return Submit(UserData, [&](TModbusBuffer& B) { EncodeWriteMultipleCoils(B, StartBit, BitValues); });
}

Cardinal TModbusClient::WriteMultipleRegisters(Word StartReg, const TRegValues& RegValues, Cardinal UserData) {
  CheckConnection();
  return Submit(UserData, [&](TModbusBuffer& B) { EncodeWriteMultipleRegisters(B, StartReg, RegValues); });
}

Cardinal TModbusClient::ReportServerIdentification(Cardinal UserData) {
  CheckConnection();
  return Submit(UserData, [](TModbusBuffer& B) { EncodeFunctionOnly(B, Functions::ReportServerId); });
}

Cardinal TModbusClient::ReadFileRecord(const TModbusFileRecordList& Records, Cardinal UserData) {
  CheckConnection();
  return Submit(UserData, [&](TModbusBuffer& B) { EncodeReadFileRecord(B, Records); });
}

Cardinal TModbusClient::WriteFileRecord(const TModbusFileRecordList& Records, Cardinal UserData) {
  CheckConnection();
  return Submit(UserData, [&](TModbusBuffer& B) { EncodeWriteFileRecord(B, Records); });
}

Cardinal TModbusClient::MaskWriteSingleRegister(Word RegAddr, Word AndMask, Word OrMask, Cardinal UserData) {
  CheckConnection();
  return Submit(UserData, [&](TModbusBuffer& B) { EncodeMaskWriteRegister(B, RegAddr, AndMask, OrMask); });
}

Cardinal TModbusClient::GetCommEventCounter(Cardinal UserData) {
  CheckConnection();
  return Submit(UserData, [](TModbusBuffer& B) { EncodeFunctionOnly(B, Functions::GetCommEventCounter); });
}

Cardinal TModbusClient::GetCommEventLog(Cardinal UserData) {
  CheckConnection();
  return Submit(UserData, [](TModbusBuffer& B) { EncodeFunctionOnly(B, Functions::GetCommEventLog); });
}

Cardinal TModbusClient::ReadWriteMultipleRegisters(Word ReadStart, Word ReadCount, Word WriteStart,
                                                   const TRegValues& WriteValues, Cardinal UserData) {
  CheckConnection();
  return Submit(UserData, [&](TModbusBuffer& B) {
    EncodeReadWriteMultipleRegisters(B, ReadStart, ReadCount, WriteStart, WriteValues);
  });
}

Cardinal TModbusClient::ReadFifoQueue(Word FifoAddress, Cardinal UserData) {
  CheckConnection();
  return Submit(UserData, [&](TModbusBuffer& B) { EncodeReadFifoQueue(B, FifoAddress); });
}

Cardinal TModbusClient::ReadDeviceIdentification(TDeviceIdAccess Access, Byte ObjectId, Cardinal UserData) {
  CheckConnection();
  return Submit(UserData, [&](TModbusBuffer& B) { EncodeReadDeviceIdentification(B, Access, ObjectId); });
}

// The next exchange of a read device identification: the same number, server and user data, and
// what the exchanges so far gathered.
void TModbusClient::RequestMoreObjects(const TTransactionInfo& Info, TDeviceIdAccess Access, Byte NextObjectId,
                                       std::unique_ptr<TTransactionCarry> Gathered) {
  auto Next = std::make_unique<TModbusTransaction>(FConnection->FrameBufferSize());
  Next->Info.TransactionID = Info.TransactionID;
  Next->Info.ServerAddress = Info.ServerAddress;
  Next->Info.UserData = Info.UserData;
  Next->Carry = std::move(Gathered);
  Hand(
      std::move(Next), [&](TModbusBuffer& B) { EncodeReadDeviceIdentification(B, Access, NextObjectId); }, true);
}

Cardinal TModbusClient::SendRawRequest(const TFrameData& Pdu, TReplyLength ReplyLength, Cardinal UserData) {
  CheckConnection();
  auto Transaction = NewTransaction(UserData);
  Transaction->RawReply = ReplyLength;
  return Hand(std::move(Transaction), [&](TModbusBuffer& B) { EncodeRawRequest(B, Pdu); });
}

}  // namespace Quorvel
