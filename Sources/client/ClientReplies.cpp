// The client's reply processing: each finished transaction is checked against its request,
// decoded, and reported through the one event of its function code, whatever the outcome.

#include <Quorvel/Protocol.h>
#include <Quorvel/Client.h>
#include <Quorvel/Connection.h>
#include <Quorvel/Errors.h>
#include "client/ReplyDecoders.h"

namespace Quorvel {

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
  const TBitsReply V = DecodeBitsReadReply(*FConnection, T);
  if (Coils)
    DoCoilsRead(T.Info, V.Start, V.Count, V.Values);
  else
    DoDiscreteInputsRead(T.Info, V.Start, V.Count, V.Values);
}

void TModbusClient::DecodeRegistersRead(TModbusTransaction& T, bool Holding) {
  const TRegistersReply V = DecodeRegistersReadReply(*FConnection, T);
  if (Holding)
    DoHoldingRegistersRead(T.Info, V.Start, V.Count, V.Values);
  else
    DoInputRegistersRead(T.Info, V.Start, V.Count, V.Values);
}

void TModbusClient::DecodeSingleCoilWrite(TModbusTransaction& T) {
  const TSingleWriteReply V = DecodeSingleWriteReply(*FConnection, T);
  DoSingleCoilWrite(T.Info, V.Address, V.Value == 0xFF00);
}

void TModbusClient::DecodeSingleRegisterWrite(TModbusTransaction& T) {
  const TSingleWriteReply V = DecodeSingleWriteReply(*FConnection, T);
  DoSingleRegisterWrite(T.Info, V.Address, V.Value);
}

void TModbusClient::DecodeExceptionStatus(TModbusTransaction& T) {
  const TExceptionStatusValues Status = DecodeExceptionStatusReply(*FConnection, T);
  DoExceptionStatusRead(T.Info, Status);
}

void TModbusClient::DecodeDiagnostics(TModbusTransaction& T) {
  const TDiagnosticsReply V = DecodeDiagnosticsReply(*FConnection, T);
  DoDiagnostics(T.Info, V.Action, V.Result);
}

void TModbusClient::DecodeMultipleCoilsWrite(TModbusTransaction& T) {
  const TBitsReply V = DecodeMultipleCoilsWriteReply(*FConnection, T);
  DoMultipleCoilsWrite(T.Info, V.Start, V.Count, V.Values);
}

void TModbusClient::DecodeMultipleRegistersWrite(TModbusTransaction& T) {
  const TRegistersReply V = DecodeMultipleRegistersWriteReply(*FConnection, T);
  DoMultipleRegistersWrite(T.Info, V.Start, V.Count, V.Values);
}

void TModbusClient::DecodeServerIdentification(TModbusTransaction& T) {
  const TServerIdentificationReply V = DecodeServerIdentificationReply(*FConnection, T);
  DoServerIdentificationReport(T.Info, V.Count, V.Data);
}

void TModbusClient::DecodeFileRecordRead(TModbusTransaction& T) {
  TModbusFileRecordList Records = DecodeFileRecordReadReply(*FConnection, T);
  DoFileRecordRead(T.Info, Records);
}

void TModbusClient::DecodeFileRecordWrite(TModbusTransaction& T) {
  TModbusFileRecordList Records = DecodeFileRecordWriteReply(*FConnection, T);
  DoFileRecordWrite(T.Info, Records);
}

void TModbusClient::DecodeMaskWrite(TModbusTransaction& T) {
  const TMaskWriteReply V = DecodeMaskWriteReply(*FConnection, T);
  DoSingleRegisterMaskWrite(T.Info, V.Address, V.Masks.AndMask, V.Masks.OrMask);
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

// One exchange of a read device identification; the one event comes with the last exchange,
// whatever its outcome, and carries every object gathered.
void TModbusClient::DecodeDeviceIdentification(TModbusTransaction& T) {
  TDeviceIdentificationProgress P = GatherDeviceIdentification(*FConnection, T);
  if (!P.Finished) {
    RequestMoreObjects(P.Info, P.Access, P.NextObjectId, std::move(P.Gathered));
    return;
  }
  DoDeviceIdentificationRead(P.Info, P.Access, P.FirstObjectId, P.ConformityLevel, P.Objects);
}

void TModbusClient::DecodeRawReply(TModbusTransaction& T) {
  const TRawReply V = Quorvel::DecodeRawReply(*FConnection, T);
  DoRawReply(T.Info, V.RequestPdu, V.ReplyPdu);
}

}  // namespace Quorvel
