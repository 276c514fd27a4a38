#include <Quorvel/BitPacking.h>

namespace Quorvel {

void PackBits(const TBitValues& Values, TModbusBuffer& Buffer) {
  Byte Accumulator = 0;
  int Bit = 0;
  for (std::size_t Index = 0; Index < Values.size(); ++Index) {
    if (Values[Index]) Accumulator = static_cast<Byte>(Accumulator | (1u << Bit));
    if (++Bit == 8 && Index + 1 < Values.size()) {
      Buffer.WriteByte(Accumulator);
      Accumulator = 0;
      Bit = 0;
    }
  }
  if (Bit > 0) Buffer.WriteByte(Accumulator);
}

void UnpackBits(TModbusBuffer& Buffer, TBitValues& Values) {
  auto TakeByte = [&Buffer] {
    const Byte Value = Buffer.PeekByte();
    Buffer.Seek(smNextByte);
    return Value;
  };
  Byte Current = TakeByte();
  int Bit = 0;
  for (std::size_t Index = 0; Index < Values.size(); ++Index) {
    Values[Index] = (Current & (1u << Bit)) != 0;
    if (++Bit == 8 && Index + 1 < Values.size()) {
      Current = TakeByte();
      Bit = 0;
    }
  }
}

}  // namespace Quorvel
