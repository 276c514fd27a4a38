// The client's request operations: argument checks, then the frame of each function code, byte
// for byte as the reply decoding reads it back.

#include <Quorvel/Protocol.h>
#include <Quorvel/BitPacking.h>
#include <Quorvel/Client.h>
#include <Quorvel/Connection.h>
#include <Quorvel/Errors.h>

namespace Quorvel {

namespace {

// Signed, so that no 16-bit wrap hides an address that runs past 65535.
void CheckAddressRange(Word Start, int Count) {
  if (int{Start} + Count - 1 > 65535) RaiseErrorFmt(Messages::StartRegIndex, Start);
}

void CheckRegisterCount(int Count, int Max) {
  if (Count < 1 || Count > Max) RaiseErrorFmt(Messages::RegCount, Max);
}

void CheckBitCount(int Count, int Max) {
  if (Count < 1 || Count > Max) RaiseErrorFmt(Messages::ValueRange, 1, Max);
}

// A file request holds at most 245 bytes of 7-byte sub-requests, and the part that carries the
// registers (the reply of a read, the request of a write) holds them beside RecordOverhead bytes
// per record, within 245 bytes too.
void CheckFileRecords(const TModbusFileRecordList& Records, int RecordOverhead) {
  const int MaxRecords = TModbusClient::MaxFileRecordBytes / 7;
  if (Records.Count() < 1 || Records.Count() > MaxRecords) RaiseErrorFmt(Messages::ValueRange, 1, MaxRecords);
  int Registers = 0;
  for (int I = 0; I < Records.Count(); ++I) {
    const int Count = Records.Items(I).RegCount();
    if (Count < 1) RaiseErrorFmt(Messages::RegCount, 1);
    Registers += Count;
  }
  const int MaxRegisters = (TModbusClient::MaxFileRecordBytes - RecordOverhead * Records.Count()) / 2;
  if (Registers > MaxRegisters) RaiseErrorFmt(Messages::RegCount, MaxRegisters);
}

constexpr Byte FileReferenceType = 6;

// The first register, the count, the byte count and the values: a register write's block.
void WriteRegisterBlock(TModbusBuffer& B, Word Start, const TRegValues& Values) {
  const auto Count = static_cast<Word>(Values.size());
  B.WriteWord(Start);
  B.WriteWord(Count);
  B.WriteByte(static_cast<Byte>(2 * Count));
  for (const Word Value : Values) B.WriteWord(Value);
}

// As many values as 1..Max, at addresses that end by 65535.
void CheckRegisterValues(Word Start, const TRegValues& Values, int Max) {
  const int Count = static_cast<int>(std::min<std::size_t>(Values.size(), 65536));
  CheckRegisterCount(Count, Max);
  CheckAddressRange(Start, Count);
}

void WriteDeviceIdentificationRequest(TModbusBuffer& B, TDeviceIdAccess Access, Byte ObjectId) {
  B.WriteByte(Functions::EncapsulatedInterface);
  B.WriteByte(MeiTypes::ReadDeviceIdentification);
  B.WriteByte(Access);
  B.WriteByte(ObjectId);
}

}  // namespace

// Steps shared by every request, in their binding order; the caller has checked the connection and
// the arguments. Until the hand-over the transaction is ours and freed on any failure.
template <class F>
Cardinal TModbusClient::Submit(Cardinal UserData, F WriteRequestData) {
  return Hand(NewTransaction(UserData), WriteRequestData);
}

std::unique_ptr<TModbusTransaction> TModbusClient::NewTransaction(Cardinal UserData) {
  auto Transaction = std::make_unique<TModbusTransaction>(FConnection->FrameBufferSize());
  Transaction->Info.TransactionID = FConnection->NextTransactionID();
  Transaction->Info.ServerAddress = FServerAddress;
  Transaction->Info.UserData = UserData;
  return Transaction;
}

// Builds the request frame of a transaction whose Info is filled in, and submits it.
template <class F>
Cardinal TModbusClient::Hand(std::unique_ptr<TModbusTransaction> Transaction, F WriteRequestData) {
  TModbusConnection& C = *FConnection;
  C.WriteAddress(Transaction->Info.ServerAddress, Transaction->Request);
  WriteRequestData(Transaction->Request);
  C.AppendChecksum(Transaction->Request);
  const Cardinal ID = Transaction->Info.TransactionID;
  C.SubmitTransaction(Transaction);
  return ID;
}

Cardinal TModbusClient::ReadRequest(Byte Function, Word Start, Word Count, int MaxCount, Cardinal UserData) {
  CheckConnection();
  if (Function == Functions::ReadCoils || Function == Functions::ReadDiscreteInputs)
    CheckBitCount(Count, MaxCount);
  else
    CheckRegisterCount(Count, MaxCount);
  CheckAddressRange(Start, Count);
  return Submit(UserData, [&](TModbusBuffer& B) {
    B.WriteByte(Function);
    B.WriteWord(Start);
    B.WriteWord(Count);
  });
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
  return Submit(UserData, [&](TModbusBuffer& B) {
    B.WriteByte(Functions::WriteSingleCoil);
    B.WriteWord(BitAddr);
    B.WriteWord(BitValue ? 0xFF00 : 0x0000);
  });
}

Cardinal TModbusClient::WriteSingleRegister(Word RegAddr, Word RegValue, Cardinal UserData) {
  CheckConnection();
  return Submit(UserData, [&](TModbusBuffer& B) {
    B.WriteByte(Functions::WriteSingleRegister);
    B.WriteWord(RegAddr);
    B.WriteWord(RegValue);
  });
}

Cardinal TModbusClient::ReadExceptionStatus(Cardinal UserData) {
  CheckConnection();
  return Submit(UserData, [](TModbusBuffer& B) { B.WriteByte(Functions::ReadExceptionStatus); });
}

Cardinal TModbusClient::Diagnostics(TDiagnosticAction Action, Cardinal UserData) {
  CheckConnection();
  if (Action >= DiagnosticSubFunctions.size()) RaiseError(Messages::DiagnosticAction);
  return Submit(UserData, [&](TModbusBuffer& B) {
    B.WriteByte(Functions::Diagnostics);
    B.WriteWord(DiagnosticSubFunctions[Action]);
    B.WriteWord(DiagnosticDataWord(Action));
  });
}

Cardinal TModbusClient::WriteMultipleCoils(Word StartBit, const TBitValues& BitValues, Cardinal UserData) {
  CheckConnection();
  const int Count = static_cast<int>(std::min<std::size_t>(BitValues.size(), 65536));
  CheckBitCount(Count, MaxWriteBits);
  CheckAddressRange(StartBit, Count);
  return Submit(UserData, [&](TModbusBuffer& B) {
    B.WriteByte(Functions::WriteMultipleCoils);
    B.WriteWord(StartBit);
    B.WriteWord(static_cast<Word>(Count));
    B.WriteByte(static_cast<Byte>(BitsToBytes(Count)));
    PackBits(BitValues, B);
  });
}

Cardinal TModbusClient::WriteMultipleRegisters(Word StartReg, const TRegValues& RegValues, Cardinal UserData) {
  CheckConnection();
  CheckRegisterValues(StartReg, RegValues, MaxWriteRegisters);
  return Submit(UserData, [&](TModbusBuffer& B) {
    B.WriteByte(Functions::WriteMultipleRegisters);
    WriteRegisterBlock(B, StartReg, RegValues);
  });
}

Cardinal TModbusClient::ReportServerIdentification(Cardinal UserData) {
  CheckConnection();
  return Submit(UserData, [](TModbusBuffer& B) { B.WriteByte(Functions::ReportServerId); });
}

Cardinal TModbusClient::ReadFileRecord(const TModbusFileRecordList& Records, Cardinal UserData) {
  CheckConnection();
  // Each record comes back as a length byte, a reference byte and its words.
  CheckFileRecords(Records, 2);
  const int Sub = Records.Count();
  return Submit(UserData, [&](TModbusBuffer& B) {
    B.WriteByte(Functions::ReadFileRecord);
    B.WriteByte(static_cast<Byte>(7 * Sub));
    for (int I = 0; I < Sub; ++I) {
      const TModbusFileRecord& R = Records.Items(I);
      B.WriteByte(FileReferenceType);
      B.WriteWord(R.FileNumber());
      B.WriteWord(R.StartReg());
      B.WriteWord(static_cast<Word>(R.RegCount()));
    }
  });
}

Cardinal TModbusClient::WriteFileRecord(const TModbusFileRecordList& Records, Cardinal UserData) {
  CheckConnection();
  CheckFileRecords(Records, 7);
  int Bytes = 0;
  for (int I = 0; I < Records.Count(); ++I) Bytes += 7 + 2 * Records.Items(I).RegCount();
  return Submit(UserData, [&](TModbusBuffer& B) {
    B.WriteByte(Functions::WriteFileRecord);
    B.WriteByte(static_cast<Byte>(Bytes));
    for (int I = 0; I < Records.Count(); ++I) {
      const TModbusFileRecord& R = Records.Items(I);
      B.WriteByte(FileReferenceType);
      B.WriteWord(R.FileNumber());
      B.WriteWord(R.StartReg());
      B.WriteWord(static_cast<Word>(R.RegCount()));
      for (const Word Value : R.RegValues()) B.WriteWord(Value);
    }
  });
}

Cardinal TModbusClient::MaskWriteSingleRegister(Word RegAddr, Word AndMask, Word OrMask, Cardinal UserData) {
  CheckConnection();
  return Submit(UserData, [&](TModbusBuffer& B) {
    B.WriteByte(Functions::MaskWriteRegister);
    B.WriteWord(RegAddr);
    B.WriteWord(AndMask);
    B.WriteWord(OrMask);
  });
}

Cardinal TModbusClient::GetCommEventCounter(Cardinal UserData) {
  CheckConnection();
  return Submit(UserData, [](TModbusBuffer& B) { B.WriteByte(Functions::GetCommEventCounter); });
}

Cardinal TModbusClient::GetCommEventLog(Cardinal UserData) {
  CheckConnection();
  return Submit(UserData, [](TModbusBuffer& B) { B.WriteByte(Functions::GetCommEventLog); });
}

Cardinal TModbusClient::ReadWriteMultipleRegisters(Word ReadStart, Word ReadCount, Word WriteStart,
                                                   const TRegValues& WriteValues, Cardinal UserData) {
  CheckConnection();
  CheckRegisterCount(ReadCount, MaxReadRegisters);
  CheckAddressRange(ReadStart, ReadCount);
  CheckRegisterValues(WriteStart, WriteValues, MaxReadWriteRegisters);
  return Submit(UserData, [&](TModbusBuffer& B) {
    B.WriteByte(Functions::ReadWriteMultipleRegisters);
    B.WriteWord(ReadStart);
    B.WriteWord(ReadCount);
    WriteRegisterBlock(B, WriteStart, WriteValues);
  });
}

Cardinal TModbusClient::ReadFifoQueue(Word FifoAddress, Cardinal UserData) {
  CheckConnection();
  return Submit(UserData, [&](TModbusBuffer& B) {
    B.WriteByte(Functions::ReadFifoQueue);
    B.WriteWord(FifoAddress);
  });
}

Cardinal TModbusClient::ReadDeviceIdentification(TDeviceIdAccess Access, Byte ObjectId, Cardinal UserData) {
  CheckConnection();
  if (Access < diBasic || Access > diSpecific) RaiseErrorFmt(Messages::ValueRange, diBasic, diSpecific);
  return Submit(UserData, [&](TModbusBuffer& B) { WriteDeviceIdentificationRequest(B, Access, ObjectId); });
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
  Hand(std::move(Next), [&](TModbusBuffer& B) { WriteDeviceIdentificationRequest(B, Access, NextObjectId); });
}

Cardinal TModbusClient::SendRawRequest(const TFrameData& Pdu, TReplyLength ReplyLength, Cardinal UserData) {
  CheckConnection();
  // Bit 7 marks an exception reply, and 0 is no function.
  const int Function = Pdu.empty() ? 0 : Pdu[0];
  if (Function < 1 || Function > Functions::LastFunction) RaiseErrorFmt(Messages::ValueRange, 1, Functions::LastFunction);
  if (Pdu.size() > MaxRawPdu) RaiseErrorFmt(Messages::ValueRange, 1, MaxRawPdu);
  auto Transaction = NewTransaction(UserData);
  Transaction->RawReply = ReplyLength;
  return Hand(std::move(Transaction), [&](TModbusBuffer& B) {
    for (const Byte Value : Pdu) B.WriteByte(Value);
  });
}

}  // namespace Quorvel
