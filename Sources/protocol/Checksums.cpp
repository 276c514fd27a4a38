#include <Quorvel/Checksums.h>

#include <array>

namespace Quorvel {

namespace {

constexpr std::array<Word, 256> MakeCrcTable() {
  std::array<Word, 256> Table{};
  for (unsigned Index = 0; Index < Table.size(); ++Index) {
    Word Value = static_cast<Word>(Index);
    for (int Bit = 0; Bit < 8; ++Bit) {
      Value = (Value & 1u) != 0 ? static_cast<Word>((Value >> 1) ^ 0xA001u) : static_cast<Word>(Value >> 1);
    }
    Table[Index] = Value;
  }
  return Table;
}

// Built by the compiler, so it exists before any code can compute a CRC.
constexpr std::array<Word, 256> CrcTable = MakeCrcTable();

static_assert(CrcTable[1] == 0xC0C1 && CrcTable[255] == 0x4040, "CRC table of polynomial 0xA001");

}  // namespace

Word CRC16(std::span<const Byte> Data) noexcept {
  Word Crc = 0xFFFF;
  for (const Byte B : Data) {
    Crc = static_cast<Word>(CrcTable[(Crc ^ B) & 0xFFu] ^ (Crc >> 8));
  }
  return Crc;
}

Byte LRC(std::span<const Byte> Data) noexcept {
  Byte Sum = 0;
  for (const Byte B : Data) Sum = static_cast<Byte>(Sum + B);
  return static_cast<Byte>(-Sum);
}

}  // namespace Quorvel
