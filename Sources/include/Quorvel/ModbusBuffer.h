#pragma once
/// @file
/// A fixed-capacity byte buffer in which Modbus frames are built and taken apart.

#include <cstdint>
#include <memory>

#include <Quorvel/Export.h>
#include <Quorvel/Types.h>

namespace Quorvel {

/// Where Seek moves the position: to the start or end of the data, or one byte or word back or on.
enum TBufferSeekMode : std::uint8_t { smStart, smEnd, smPrevByte, smNextByte, smPrevWord, smNextWord };

/// Invariant: 0 <= Position() <= Size() <= Capacity(). Reads look at the position and do not
/// move it; writes store at the position and advance it. Words are big-endian, as every Modbus
/// address, count and register value; the LE variants exist only for the RTU CRC. Every bounds
/// violation raises EQuorvelError before anything changes. The block is allocated once, here.
class QUORVEL_EXPORT TModbusBuffer {
 public:
  /// An empty buffer of Capacity bytes.
  explicit TModbusBuffer(int Capacity);

  TModbusBuffer(const TModbusBuffer&) = delete;
  TModbusBuffer& operator=(const TModbusBuffer&) = delete;

  /// The fixed size of the block, and the block itself.
  ///@{
  int Capacity() const noexcept { return FCapacity; }
  Byte* Memory() noexcept { return FMemory.get(); }
  const Byte* Memory() const noexcept { return FMemory.get(); }
  ///@}

  /// Where the next read or write happens, and how many bytes hold data; setting either outside
  /// the invariant raises EQuorvelError.
  ///@{
  int Position() const noexcept { return FPosition; }
  void SetPosition(int NewPosition);
  int Size() const noexcept { return FSize; }
  void SetSize(int NewSize);
  ///@}

  /// Raises EQuorvelError unless Count bytes fit from the position on.
  void CheckSpace(int Count) const;
  /// Moves the position (see TBufferSeekMode); raises EQuorvelError outside the data.
  void Seek(TBufferSeekMode Mode);

  /// Bounded by Capacity, not by Size: a decoder may look at bytes that were never received
  /// only inside the block, never outside it.
  ///@{
  Byte PeekByte() const;
  Word PeekWord() const;
  Word PeekWordLE() const;
  ///@}

  /// Store at the position and advance it, extending Size as needed.
  ///@{
  void WriteByte(Byte Value);
  void WriteWord(Word Value);
  void WriteWordLE(Word Value);
  ///@}

  /// Both checksums cover the bytes before the position, never up to Size.
  ///@{
  Word CRC16() const noexcept;
  Byte LRC() const noexcept;
  ///@}

  /// Removes the bytes before the position.
  void Compact() noexcept;

 private:
  void Store(Byte Value) noexcept;

  int FCapacity;
  int FPosition = 0;
  int FSize = 0;
  std::unique_ptr<Byte[]> FMemory;
};

}  // namespace Quorvel
