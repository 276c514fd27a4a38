#pragma once
/// @file
/// One time budget spread over several waits, on a millisecond tick that wraps at 2^32.

#include <cstdint>

#include <Quorvel/Types.h>

namespace Quorvel {

/// Stores the current tick in Start.
void StartTimer(Cardinal& Start);

/// Subtracts the milliseconds elapsed since Start from Remaining, stopping at 0.
void DeductElapsed(Cardinal Start, Cardinal& Remaining);

/// The same against a given tick. Unsigned subtraction gives the true elapsed time across a
/// wrap of the tick counter (about every 49.7 days).
constexpr void DeductElapsedAt(Cardinal Start, Cardinal Now, Cardinal& Remaining) noexcept {
  const Cardinal Elapsed = Now - Start;
  Remaining = Elapsed < Remaining ? Remaining - Elapsed : 0;
}

/// The milliseconds left of a wait of TimeoutMs (Infinite stays Infinite) that began at StartUs on
/// the monotonic microsecond clock, for the lines that spread one wait over several.
Cardinal TimeLeft(std::uint64_t StartUs, Cardinal TimeoutMs) noexcept;

}  // namespace Quorvel
