#pragma once
/// @file
/// Groups of registers inside numbered files, as read and written by Modbus functions 20 and 21.

#include <memory>
#include <vector>

#include <Quorvel/Export.h>
#include <Quorvel/Types.h>

namespace Quorvel {

/// RegCount registers of one file, from record StartReg on: what a file record request reads or
/// writes.
class QUORVEL_EXPORT TModbusFileRecord {
 public:
  /// Refuses, with "Starting register index is invalid (%d)", registers that would run past
  /// record 9999, the highest record number Modbus allows in a file.
  TModbusFileRecord(Word FileNumber, Word StartReg, Word RegCount);

  /// The highest record number of a file.
  static constexpr int MaxRecordNumber = 9999;

  /// The record's place and size, as constructed, and its register values (0 until set or read).
  ///@{
  Word FileNumber() const noexcept { return FFileNumber; }
  Word StartReg() const noexcept { return FStartReg; }
  int RegCount() const noexcept { return static_cast<int>(FRegValues.size()); }
  const TRegValues& RegValues() const noexcept { return FRegValues; }
  ///@}

  /// Both raise "Register index is invalid (%d)" outside 0..RegCount() - 1.
  ///@{
  Word RegValue(int Index) const;
  void SetRegValue(int Index, Word Value);
  ///@}

 private:
  void CheckIndex(int Index) const;

  Word FFileNumber;
  TRegValues FRegValues;
  Word FStartReg;
};

/// Owns its records: removing a record frees it.
class QUORVEL_EXPORT TModbusFileRecordList {
 public:
  /// Appends a record (see TModbusFileRecord's constructor) and returns it.
  TModbusFileRecord& Add(Word FileNumber, Word StartReg, Word RegCount);

  /// The number of records.
  int Count() const noexcept { return static_cast<int>(FItems.size()); }
  /// Both raise EListError "List index out of bounds (%d)" outside 0..Count() - 1.
  ///@{
  TModbusFileRecord& Items(int Index);
  const TModbusFileRecord& Items(int Index) const;
  ///@}
  /// Removes and frees the record at Index; raises EListError outside 0..Count() - 1.
  void Delete(int Index);
  /// Frees the records from the first to the last.
  void Clear() noexcept;

  ~TModbusFileRecordList() { Clear(); }
  /// An empty list.
  TModbusFileRecordList() = default;
  /// Moving hands the records over; the list moved from is left empty.
  ///@{
  TModbusFileRecordList(TModbusFileRecordList&& Other) noexcept = default;
  TModbusFileRecordList& operator=(TModbusFileRecordList&& Other) noexcept = default;
  ///@}

 private:
  void CheckIndex(int Index) const;

  std::vector<std::unique_ptr<TModbusFileRecord>> FItems;
};

}  // namespace Quorvel
