#pragma once
// Byte vectors written as hexadecimal text, as the protocol's examples print them.

#include <cstdlib>
#include <string>
#include <string_view>

#include <Quorvel/ModbusBuffer.h>
#include <Quorvel/Types.h>

namespace QuorvelTest {

// "01 03 00 00" -> {0x01, 0x03, 0x00, 0x00}; blanks are ignored.
inline Quorvel::TFrameData Hex(std::string_view Text) {
  Quorvel::TFrameData Bytes;
  std::string Digits;
  for (const char C : Text)
    if (C != ' ') Digits += C;
  for (std::size_t I = 0; I + 1 < Digits.size(); I += 2)
    Bytes.push_back(static_cast<Quorvel::Byte>(std::strtoul(Digits.substr(I, 2).c_str(), nullptr, 16)));
  return Bytes;
}

inline Quorvel::TFrameData Bytes(std::string_view Text) { return {Text.begin(), Text.end()}; }

inline Quorvel::TFrameData Contents(const Quorvel::TModbusBuffer& Buffer) {
  return {Buffer.Memory(), Buffer.Memory() + Buffer.Size()};
}

inline void Fill(Quorvel::TModbusBuffer& Buffer, const Quorvel::TFrameData& Data) {
  Buffer.SetSize(0);
  for (const auto B : Data) Buffer.WriteByte(B);
}

}  // namespace QuorvelTest
