#pragma once
// Time as the library counts it: a wrapping millisecond tick and a plain sleep.

#include <cstdint>

#include <Quorvel/Types.h>

namespace Quorvel::Platform {

// Milliseconds of a monotonic clock, truncated to 32 bits. It wraps about every 49.7 days, so
// callers measure intervals by unsigned subtraction (Now - Start), which stays right across a wrap.
Cardinal TickCount();

// Blocks the calling thread for at least Ms milliseconds. Ms is a plain duration: Infinite is
// simply its largest value.
void SleepMs(Cardinal Ms);

// Microseconds of the same monotonic clock, not truncated: for the short spans of line timing
// (the gap between two frames is under 2 ms at the usual rates).
std::uint64_t MonotonicMicroseconds();

// Blocks the calling thread for at least Us microseconds.
void SleepMicroseconds(std::uint64_t Us);

}  // namespace Quorvel::Platform
