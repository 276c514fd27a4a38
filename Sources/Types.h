#pragma once
// The library's fixed-width numbers and dynamic arrays.

#include <cstdint>
#include <vector>

#include "Export.h"

namespace Quorvel {

using Cardinal = std::uint32_t;
using Word = std::uint16_t;
using Byte = std::uint8_t;

using TRegValues = std::vector<Word>;
using TBitValues = std::vector<bool>;
using TFrameData = std::vector<Byte>;

// A time budget of this many milliseconds means "no limit".
inline constexpr Cardinal Infinite = 0xFFFFFFFFu;

}  // namespace Quorvel
