#pragma once
/// @file
/// The library's fixed-width numbers and dynamic arrays.

#include <cstdint>
#include <vector>

#include <Quorvel/Export.h>

/// Everything of the Quorvel library: a Modbus RTU and ASCII serial library.
namespace Quorvel {

/// Unsigned numbers of 32, 16 and 8 bits.
///@{
using Cardinal = std::uint32_t;
using Word = std::uint16_t;
using Byte = std::uint8_t;
///@}

/// Register values, bit values and frame bytes.
///@{
using TRegValues = std::vector<Word>;
using TBitValues = std::vector<bool>;
using TFrameData = std::vector<Byte>;
///@}

/// A time budget of this many milliseconds means "no limit".
inline constexpr Cardinal Infinite = 0xFFFFFFFFu;

}  // namespace Quorvel
