#pragma once
/// @file
/// A copy of a frame on its way from the worker thread to the main thread. One pointer-sized
/// owner, so it can ride inside a posted message; the receiver releases it.

#include <cstddef>
#include <memory>

#include <Quorvel/Types.h>

namespace Quorvel {

/// The owner of one frame copy.
using TFrameDataCell = std::unique_ptr<TFrameData>;

/// A cell holding Length zero bytes.
TFrameDataCell NewFrameData(std::size_t Length);

/// Clears the variable first, then releases the cell; an empty variable is left alone.
void DisposeFrameData(TFrameDataCell& Cell) noexcept;

}  // namespace Quorvel
