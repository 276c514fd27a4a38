#pragma once
// A server that keeps its own coils, discrete inputs, holding and input registers in memory. Each
// table covers the addresses First .. First + size - 1; the application sizes them, reads and
// writes them freely on the main thread, and is told after each request that wrote.

#include <functional>

#include "Export.h"
#include "Server.h"
#include "Types.h"

namespace Quorvel {

class TModbusMemoryServer;

template <class TValues>
struct TDataTable {
  Word First = 0;
  TValues Values;

  bool Contains(Word Address) const noexcept {
    return Address >= First && Address - First < static_cast<int>(Values.size());
  }
  decltype(auto) operator[](Word Address) { return Values.at(static_cast<std::size_t>(Address - First)); }
  auto operator[](Word Address) const { return Values.at(static_cast<std::size_t>(Address - First)); }
};

using TBitTable = TDataTable<TBitValues>;
using TRegisterTable = TDataTable<TRegValues>;

// Start and Count of the request's range, whose values are already in the table.
using TDataWrittenEvent = std::function<void(TModbusMemoryServer& Sender, Word Start, Word Count)>;

class QUORVEL_EXPORT TModbusMemoryServer : public TModbusServer {
 public:
  using TModbusServer::TModbusServer;

  TBitTable& Coils() noexcept { return FCoils; }
  TBitTable& DiscreteInputs() noexcept { return FDiscreteInputs; }
  TRegisterTable& HoldingRegisters() noexcept { return FHoldingRegisters; }
  TRegisterTable& InputRegisters() noexcept { return FInputRegisters; }

  const TDataWrittenEvent& OnCoilsWrite() const noexcept { return FOnCoilsWrite; }
  void SetOnCoilsWrite(TDataWrittenEvent Handler) { FOnCoilsWrite = std::move(Handler); }
  const TDataWrittenEvent& OnRegistersWrite() const noexcept { return FOnRegistersWrite; }
  void SetOnRegistersWrite(TDataWrittenEvent Handler) { FOnRegistersWrite = std::move(Handler); }

 protected:
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

 private:
  TBitTable FCoils, FDiscreteInputs;
  TRegisterTable FHoldingRegisters, FInputRegisters;
  TDataWrittenEvent FOnCoilsWrite, FOnRegistersWrite;
};

}  // namespace Quorvel
