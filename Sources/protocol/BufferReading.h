#pragma once
// Reading a frame's fields one after the other: each read takes the field at the buffer's position
// and moves past it, through the buffer's checked operations, so that a field beyond the data
// raises the buffer's error instead of reading past it.

#include <Quorvel/ModbusBuffer.h>
#include <Quorvel/Types.h>

namespace Quorvel {

inline Byte TakeByte(TModbusBuffer& B) {
  const Byte Value = B.PeekByte();
  B.Seek(smNextByte);
  return Value;
}

inline Word TakeWord(TModbusBuffer& B) {
  const Word Value = B.PeekWord();
  B.Seek(smNextWord);
  return Value;
}

inline TRegValues TakeWords(TModbusBuffer& B, int Count) {
  TRegValues Values(static_cast<std::size_t>(Count));
  for (auto& Value : Values) Value = TakeWord(B);
  return Values;
}

}  // namespace Quorvel
