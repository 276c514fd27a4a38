#pragma once
/// @file
/// Coils and discrete inputs travel eight to a byte, the first value in bit 0.

#include <Quorvel/Export.h>
#include <Quorvel/ModbusBuffer.h>
#include <Quorvel/Types.h>

namespace Quorvel {

/// The number of bytes that hold Count bits.
constexpr int BitsToBytes(int Count) noexcept { return Count / 8 + (Count % 8 != 0 ? 1 : 0); }

/// Writes the values at the buffer's position; the unused high bits of the last byte are 0.
QUORVEL_EXPORT void PackBits(const TBitValues& Values, TModbusBuffer& Buffer);

/// Fills Values (its length is the count) from the bytes at the buffer's position and steps over
/// each byte it uses. Always consumes at least one byte.
QUORVEL_EXPORT void UnpackBits(TModbusBuffer& Buffer, TBitValues& Values);

}  // namespace Quorvel
