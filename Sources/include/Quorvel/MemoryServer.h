#pragma once
/// @file
/// A server that keeps its own coils, discrete inputs, holding and input registers in memory. Each
/// table covers the addresses First .. First + size - 1; the application sizes them, reads and
/// writes them freely on the main thread, and is told after each request that wrote. Beside them it
/// keeps the data of the functions that a server answers only when provided: the exception status,
/// the identification, FIFO queues and files of records.

#include <functional>
#include <map>

#include <Quorvel/Export.h>
#include <Quorvel/Server.h>
#include <Quorvel/Types.h>

namespace Quorvel {

class TModbusMemoryServer;

/// One table of values at consecutive addresses.
template <class TValues>
struct TDataTable {
  /// The address of Values[0].
  Word First = 0;
  /// The values; their number is the table's size.
  TValues Values;

  /// Whether the table has Address.
  bool Contains(Word Address) const noexcept {
    return Address >= First && Address - First < static_cast<int>(Values.size());
  }
  /// The value at Address; std::out_of_range outside the table.
  ///@{
  decltype(auto) operator[](Word Address) { return Values.at(static_cast<std::size_t>(Address - First)); }
  auto operator[](Word Address) const { return Values.at(static_cast<std::size_t>(Address - First)); }
  ///@}
};

/// Coils or discrete inputs; holding or input registers.
///@{
using TBitTable = TDataTable<TBitValues>;
using TRegisterTable = TDataTable<TRegValues>;
///@}

/// Start and Count of the request's range, whose values are already in the table.
using TDataWrittenEvent = std::function<void(TModbusMemoryServer& Sender, Word Start, Word Count)>;

/// A server whose data lives in four tables that the application sizes and fills; addresses
/// outside a table are refused with exception 2.
class QUORVEL_EXPORT TModbusMemoryServer : public TModbusServer {
 public:
  /// A server with four empty tables (see TModbusServer's constructor).
  using TModbusServer::TModbusServer;

  /// The four tables, for the application to size, read and write on the main thread.
  ///@{
  TBitTable& Coils() noexcept { return FCoils; }
  TBitTable& DiscreteInputs() noexcept { return FDiscreteInputs; }
  TRegisterTable& HoldingRegisters() noexcept { return FHoldingRegisters; }
  TRegisterTable& InputRegisters() noexcept { return FInputRegisters; }
  ///@}

  /// The data of the functions beyond 1-6, 15 and 16, each answered once provided
  /// (SetFunctionProvided): the exception status (7), the identification report's data (17), the
  /// device's identification objects (43/14), the FIFO queues by their address (24, 31 registers
  /// at most each) and the files by their number, each a table of records from First on (20 and
  /// 21). Functions 22 and 23 use the holding registers. All empty, and 0, to begin with.
  ///@{
  Byte ExceptionStatus() const noexcept { return FExceptionStatus; }
  void SetExceptionStatus(Byte Value) noexcept { FExceptionStatus = Value; }
  TServerIdentificationData& ServerIdentification() noexcept { return FServerIdentification; }
  TDeviceObjects& DeviceIdentification() noexcept { return FDeviceIdentification; }
  std::map<Word, TRegValues>& FifoQueues() noexcept { return FFifoQueues; }
  std::map<Word, TRegisterTable>& Files() noexcept { return FFiles; }
  ///@}

  /// Raised on the main thread after each request that wrote coils or holding registers, with the
  /// range it wrote.
  ///@{
  const TDataWrittenEvent& OnCoilsWrite() const noexcept { return FOnCoilsWrite; }
  void SetOnCoilsWrite(TDataWrittenEvent Handler) { FOnCoilsWrite = std::move(Handler); }
  const TDataWrittenEvent& OnRegistersWrite() const noexcept { return FOnRegistersWrite; }
  void SetOnRegistersWrite(TDataWrittenEvent Handler) { FOnRegistersWrite = std::move(Handler); }
  ///@}

 protected:
  /// The data operations of TModbusServer, answered from the tables.
  ///@{
  bool CanReadCoil(Word Address) override { return FCoils.Contains(Address); }
  bool CanReadDiscreteInput(Word Address) override { return FDiscreteInputs.Contains(Address); }
  bool CanReadHoldingRegister(Word Address) override { return FHoldingRegisters.Contains(Address); }
  bool CanReadInputRegister(Word Address) override { return FInputRegisters.Contains(Address); }
  TWriteCheck CanWriteCoil(Word Address, bool) override { return FCoils.Contains(Address) ? wcAccept : wcBadAddress; }
  TWriteCheck CanWriteRegister(Word Address, Word) override {
    return FHoldingRegisters.Contains(Address) ? wcAccept : wcBadAddress;
  }
  bool GetCoil(Word Address) override { return FCoils[Address]; }
  bool GetDiscreteInput(Word Address) override { return FDiscreteInputs[Address]; }
  Word GetHoldingRegister(Word Address) override { return FHoldingRegisters[Address]; }
  Word GetInputRegister(Word Address) override { return FInputRegisters[Address]; }
  void SetCoil(Word Address, bool Value) override { FCoils[Address] = Value; }
  void SetRegister(Word Address, Word Value) override { FHoldingRegisters[Address] = Value; }
  void CoilsWritten(Word Start, Word Count) override {
    if (FOnCoilsWrite) FOnCoilsWrite(*this, Start, Count);
  }
  void RegistersWritten(Word Start, Word Count) override {
    if (FOnRegistersWrite) FOnRegistersWrite(*this, Start, Count);
  }
  Byte GetExceptionStatus() override { return FExceptionStatus; }
  TServerIdentificationData GetServerIdentification() override { return FServerIdentification; }
  TDeviceObjects GetDeviceIdentification() override { return FDeviceIdentification; }
  bool CanReadFifoQueue(Word Address) override { return FFifoQueues.contains(Address); }
  TRegValues GetFifoQueue(Word Address) override { return FFifoQueues.at(Address); }
  bool CanReadFileRecord(Word File, Word Record) override { return HasFileRecord(File, Record); }
  Word GetFileRecord(Word File, Word Record) override { return FFiles.at(File)[Record]; }
  TWriteCheck CanWriteFileRecord(Word File, Word Record, Word) override {
    return HasFileRecord(File, Record) ? wcAccept : wcBadAddress;
  }
  void SetFileRecord(Word File, Word Record, Word Value) override { FFiles.at(File)[Record] = Value; }
  ///@}

 private:
  bool HasFileRecord(Word File, Word Record) const {
    const auto Found = FFiles.find(File);
    return Found != FFiles.end() && Found->second.Contains(Record);
  }

  TBitTable FCoils, FDiscreteInputs;
  TRegisterTable FHoldingRegisters, FInputRegisters;
  TDataWrittenEvent FOnCoilsWrite, FOnRegistersWrite;
  Byte FExceptionStatus = 0;
  TServerIdentificationData FServerIdentification;
  TDeviceObjects FDeviceIdentification;
  std::map<Word, TRegValues> FFifoQueues;
  std::map<Word, TRegisterTable> FFiles;
};

}  // namespace Quorvel
