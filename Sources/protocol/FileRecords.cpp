#include <Quorvel/FileRecords.h>

#include <Quorvel/Errors.h>

namespace Quorvel {

TModbusFileRecord::TModbusFileRecord(Word FileNumber, Word StartReg, Word RegCount) : FFileNumber(FileNumber) {
  // Signed: a record of 0 registers at 10000 ends at 9999 and is valid.
  if (int{StartReg} + int{RegCount} - 1 > MaxRecordNumber) RaiseErrorFmt(Messages::StartRegIndex, StartReg);
  FRegValues.assign(RegCount, 0);
  FStartReg = StartReg;
}

void TModbusFileRecord::CheckIndex(int Index) const {
  if (Index < 0 || Index >= RegCount()) RaiseErrorFmt(Messages::RegIndex, Index);
}

Word TModbusFileRecord::RegValue(int Index) const {
  CheckIndex(Index);
  return FRegValues[static_cast<std::size_t>(Index)];
}

void TModbusFileRecord::SetRegValue(int Index, Word Value) {
  CheckIndex(Index);
  FRegValues[static_cast<std::size_t>(Index)] = Value;
}

TModbusFileRecord& TModbusFileRecordList::Add(Word FileNumber, Word StartReg, Word RegCount) {
  FItems.push_back(std::make_unique<TModbusFileRecord>(FileNumber, StartReg, RegCount));
  return *FItems.back();
}

void TModbusFileRecordList::CheckIndex(int Index) const {
  if (Index < 0 || Index >= Count()) throw EListError(FormatMessage(Messages::ListIndex, Index));
}

TModbusFileRecord& TModbusFileRecordList::Items(int Index) {
  CheckIndex(Index);
  return *FItems[static_cast<std::size_t>(Index)];
}

const TModbusFileRecord& TModbusFileRecordList::Items(int Index) const {
  CheckIndex(Index);
  return *FItems[static_cast<std::size_t>(Index)];
}

void TModbusFileRecordList::Delete(int Index) {
  CheckIndex(Index);
  FItems.erase(FItems.begin() + Index);
}

void TModbusFileRecordList::Clear() noexcept {
  while (!FItems.empty()) FItems.erase(FItems.begin());
}

}  // namespace Quorvel
