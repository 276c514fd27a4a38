// The request data units: argument checks, then the data of each function code, byte for byte as
// the reply decoding reads it back.

#include "client/RequestEncoders.h"

#include <algorithm>

#include <Quorvel/Protocol.h>
#include <Quorvel/BitPacking.h>
#include <Quorvel/Client.h>
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

}  // namespace

void EncodeReadRequest(TModbusBuffer& B, Byte Function, Word Start, Word Count, int MaxCount) {
  if (Function == Functions::ReadCoils || Function == Functions::ReadDiscreteInputs)
    CheckBitCount(Count, MaxCount);
  else
    CheckRegisterCount(Count, MaxCount);
  CheckAddressRange(Start, Count);
  B.WriteByte(Function);
  B.WriteWord(Start);
  B.WriteWord(Count);
}

void EncodeWriteSingleCoil(TModbusBuffer& B, Word BitAddr, bool BitValue) {
  B.WriteByte(Functions::WriteSingleCoil);
  B.WriteWord(BitAddr);
  B.WriteWord(BitValue ? 0xFF00 : 0x0000);
}

void EncodeWriteSingleRegister(TModbusBuffer& B, Word RegAddr, Word RegValue) {
  B.WriteByte(Functions::WriteSingleRegister);
  B.WriteWord(RegAddr);
  B.WriteWord(RegValue);
}

void EncodeFunctionOnly(TModbusBuffer& B, Byte Function) { B.WriteByte(Function); }

void EncodeDiagnostics(TModbusBuffer& B, TDiagnosticAction Action) {
  if (Action >= DiagnosticSubFunctions.size()) RaiseError(Messages::DiagnosticAction);
  B.WriteByte(Functions::Diagnostics);
  B.WriteWord(DiagnosticSubFunctions[Action]);
  B.WriteWord(DiagnosticDataWord(Action));
}

void EncodeWriteMultipleCoils(TModbusBuffer& B, Word StartBit, const TBitValues& BitValues) {
  const int Count = static_cast<int>(std::min<std::size_t>(BitValues.size(), 65536));
  CheckBitCount(Count, TModbusClient::MaxWriteBits);
  CheckAddressRange(StartBit, Count);
  B.WriteByte(Functions::WriteMultipleCoils);
  B.WriteWord(StartBit);
  B.WriteWord(static_cast<Word>(Count));
  B.WriteByte(static_cast<Byte>(BitsToBytes(Count)));
  PackBits(BitValues, B);
}

void EncodeWriteMultipleRegisters(TModbusBuffer& B, Word StartReg, const TRegValues& RegValues) {
  CheckRegisterValues(StartReg, RegValues, TModbusClient::MaxWriteRegisters);
  B.WriteByte(Functions::WriteMultipleRegisters);
  WriteRegisterBlock(B, StartReg, RegValues);
}

void EncodeReadFileRecord(TModbusBuffer& B, const TModbusFileRecordList& Records) {
  // Each record comes back as a length byte, a reference byte and its words.
  CheckFileRecords(Records, 2);
  const int Sub = Records.Count();
  B.WriteByte(Functions::ReadFileRecord);
  B.WriteByte(static_cast<Byte>(7 * Sub));
  for (int I = 0; I < Sub; ++I) {
    const TModbusFileRecord& R = Records.Items(I);
    B.WriteByte(FileReferenceType);
    B.WriteWord(R.FileNumber());
    B.WriteWord(R.StartReg());
    B.WriteWord(static_cast<Word>(R.RegCount()));
  }
}

void EncodeWriteFileRecord(TModbusBuffer& B, const TModbusFileRecordList& Records) {
  CheckFileRecords(Records, 7);
  int Bytes = 0;
  for (int I = 0; I < Records.Count(); ++I) Bytes += 7 + 2 * Records.Items(I).RegCount();
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
}

void EncodeMaskWriteRegister(TModbusBuffer& B, Word RegAddr, Word AndMask, Word OrMask) {
  B.WriteByte(Functions::MaskWriteRegister);
  B.WriteWord(RegAddr);
  B.WriteWord(AndMask);
  B.WriteWord(OrMask);
}

void EncodeReadWriteMultipleRegisters(TModbusBuffer& B, Word ReadStart, Word ReadCount, Word WriteStart,
                                      const TRegValues& WriteValues) {
  CheckRegisterCount(ReadCount, TModbusClient::MaxReadRegisters);
  CheckAddressRange(ReadStart, ReadCount);
  CheckRegisterValues(WriteStart, WriteValues, TModbusClient::MaxReadWriteRegisters);
  B.WriteByte(Functions::ReadWriteMultipleRegisters);
  B.WriteWord(ReadStart);
  B.WriteWord(ReadCount);
  WriteRegisterBlock(B, WriteStart, WriteValues);
}

void EncodeReadFifoQueue(TModbusBuffer& B, Word FifoAddress) {
  B.WriteByte(Functions::ReadFifoQueue);
  B.WriteWord(FifoAddress);
}

void EncodeReadDeviceIdentification(TModbusBuffer& B, TDeviceIdAccess Access, Byte ObjectId) {
  if (Access < diBasic || Access > diSpecific) RaiseErrorFmt(Messages::ValueRange, diBasic, diSpecific);
  B.WriteByte(Functions::EncapsulatedInterface);
  B.WriteByte(MeiTypes::ReadDeviceIdentification);
  B.WriteByte(Access);
  B.WriteByte(ObjectId);
}

void EncodeRawRequest(TModbusBuffer& B, const TFrameData& Pdu) {
  // Bit 7 marks an exception reply, and 0 is no function.
  const int Function = Pdu.empty() ? 0 : Pdu[0];
  if (Function < 1 || Function > Functions::LastFunction) RaiseErrorFmt(Messages::ValueRange, 1, Functions::LastFunction);
  if (Pdu.size() > TModbusClient::MaxRawPdu) RaiseErrorFmt(Messages::ValueRange, 1, TModbusClient::MaxRawPdu);
  for (const Byte Value : Pdu) B.WriteByte(Value);
}

}  // namespace Quorvel
