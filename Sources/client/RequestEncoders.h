#pragma once
// The request data unit of each function the client sends: each encoder checks its arguments
// first, raising EQuorvelError before it writes anything, then writes the function code and data at
// the buffer's position (after the address, before the check). TModbusClient and TRequester both
// build their frames with these.

#include <Quorvel/Diagnostics.h>
#include <Quorvel/FileRecords.h>
#include <Quorvel/DeviceIdentification.h>
#include <Quorvel/ModbusBuffer.h>
#include <Quorvel/Types.h>

namespace Quorvel {

// Functions 1..4: Count bits (1, 2) or registers (3, 4) from Start, Count at most MaxCount.
void EncodeReadRequest(TModbusBuffer& B, Byte Function, Word Start, Word Count, int MaxCount);
void EncodeWriteSingleCoil(TModbusBuffer& B, Word BitAddr, bool BitValue);
void EncodeWriteSingleRegister(TModbusBuffer& B, Word RegAddr, Word RegValue);
// A request of only its function code: 7, 11, 12, 17.
void EncodeFunctionOnly(TModbusBuffer& B, Byte Function);
void EncodeDiagnostics(TModbusBuffer& B, TDiagnosticAction Action);
void EncodeWriteMultipleCoils(TModbusBuffer& B, Word StartBit, const TBitValues& BitValues);
void EncodeWriteMultipleRegisters(TModbusBuffer& B, Word StartReg, const TRegValues& RegValues);
void EncodeReadFileRecord(TModbusBuffer& B, const TModbusFileRecordList& Records);
void EncodeWriteFileRecord(TModbusBuffer& B, const TModbusFileRecordList& Records);
void EncodeMaskWriteRegister(TModbusBuffer& B, Word RegAddr, Word AndMask, Word OrMask);
void EncodeReadWriteMultipleRegisters(TModbusBuffer& B, Word ReadStart, Word ReadCount, Word WriteStart,
                                      const TRegValues& WriteValues);
void EncodeReadFifoQueue(TModbusBuffer& B, Word FifoAddress);
void EncodeReadDeviceIdentification(TModbusBuffer& B, TDeviceIdAccess Access, Byte ObjectId);
// A raw request: Pdu as it is, a function code of 1..127 first, MaxRawPdu bytes at most.
void EncodeRawRequest(TModbusBuffer& B, const TFrameData& Pdu);

}  // namespace Quorvel
