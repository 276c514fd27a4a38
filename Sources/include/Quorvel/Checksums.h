#pragma once
/// @file
/// The two Modbus frame checks, over plain bytes.

#include <span>

#include <Quorvel/Export.h>
#include <Quorvel/Types.h>

namespace Quorvel {

/// CRC-16/MODBUS: reflected polynomial 0xA001, initial value 0xFFFF, no final XOR.
/// One table lookup per byte; the table is computed at compile time.
QUORVEL_EXPORT Word CRC16(std::span<const Byte> Data) noexcept;

/// The two's complement of the 8-bit sum of the bytes.
QUORVEL_EXPORT Byte LRC(std::span<const Byte> Data) noexcept;

}  // namespace Quorvel
