#pragma once
// Time as the library counts it: a wrapping millisecond tick and a plain sleep.

#include "Types.h"

namespace Quorvel::Platform {

// Milliseconds of a monotonic clock, truncated to 32 bits. It wraps about every 49.7 days, so
// callers measure intervals by unsigned subtraction (Now - Start), which stays right across a wrap.
Cardinal TickCount();

// Blocks the calling thread for at least Ms milliseconds. Ms is a plain duration: Infinite is
// simply its largest value.
void SleepMs(Cardinal Ms);

}  // namespace Quorvel::Platform
