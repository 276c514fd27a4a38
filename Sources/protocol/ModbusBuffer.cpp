#include <Quorvel/ModbusBuffer.h>

#include <cstring>
#include <span>

#include <Quorvel/Checksums.h>
#include <Quorvel/Errors.h>

namespace Quorvel {

TModbusBuffer::TModbusBuffer(int Capacity) : FCapacity(Capacity) {
  if (Capacity < 0) RaiseErrorFmt(Messages::BufferSize, Capacity);
  // Zero-filled: a decoder that peeks past the received data reads zeros, not leftovers.
  FMemory = std::make_unique<Byte[]>(static_cast<std::size_t>(Capacity));
}

void TModbusBuffer::SetPosition(int NewPosition) {
  if (NewPosition == FPosition) return;
  if (NewPosition < 0 || NewPosition > FSize) RaiseErrorFmt(Messages::BufferPosition, NewPosition);
  FPosition = NewPosition;
}

void TModbusBuffer::SetSize(int NewSize) {
  if (NewSize == FSize) return;
  if (NewSize < 0 || NewSize > FCapacity) RaiseErrorFmt(Messages::BufferSize, NewSize);
  FSize = NewSize;
  if (FPosition > FSize) FPosition = FSize;
}

void TModbusBuffer::CheckSpace(int Count) const {
  if (FCapacity - FPosition < Count) RaiseError(Messages::BufferSpace);
}

void TModbusBuffer::Seek(TBufferSeekMode Mode) {
  switch (Mode) {
    case smStart: FPosition = 0; break;
    case smEnd: FPosition = FSize; break;
    case smPrevByte: SetPosition(FPosition - 1); break;
    case smNextByte: SetPosition(FPosition + 1); break;
    case smPrevWord: SetPosition(FPosition - 2); break;
    case smNextWord: SetPosition(FPosition + 2); break;
  }
}

Byte TModbusBuffer::PeekByte() const {
  CheckSpace(1);
  return FMemory[FPosition];
}

Word TModbusBuffer::PeekWord() const {
  CheckSpace(2);
  return static_cast<Word>((FMemory[FPosition] << 8) | FMemory[FPosition + 1]);
}

Word TModbusBuffer::PeekWordLE() const {
  CheckSpace(2);
  return static_cast<Word>(FMemory[FPosition] | (FMemory[FPosition + 1] << 8));
}

void TModbusBuffer::Store(Byte Value) noexcept {
  FMemory[FPosition++] = Value;
  if (FPosition > FSize) FSize = FPosition;
}

void TModbusBuffer::WriteByte(Byte Value) {
  CheckSpace(1);
  Store(Value);
}

void TModbusBuffer::WriteWord(Word Value) {
  CheckSpace(2);
  Store(static_cast<Byte>(Value >> 8));
  Store(static_cast<Byte>(Value));
}

void TModbusBuffer::WriteWordLE(Word Value) {
  CheckSpace(2);
  Store(static_cast<Byte>(Value));
  Store(static_cast<Byte>(Value >> 8));
}

Word TModbusBuffer::CRC16() const noexcept {
  return Quorvel::CRC16(std::span<const Byte>(FMemory.get(), static_cast<std::size_t>(FPosition)));
}

Byte TModbusBuffer::LRC() const noexcept {
  return Quorvel::LRC(std::span<const Byte>(FMemory.get(), static_cast<std::size_t>(FPosition)));
}

void TModbusBuffer::Compact() noexcept {
  if (FPosition == 0) return;
  const int Remaining = FSize - FPosition;
  if (Remaining == 0) return;
  std::memmove(FMemory.get(), FMemory.get() + FPosition, static_cast<std::size_t>(Remaining));
  FPosition = Remaining;
  FSize = Remaining;
}

}  // namespace Quorvel
