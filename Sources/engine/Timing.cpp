#include "engine/Timing.h"

#include "platform/Clock.h"

namespace Quorvel {

void StartTimer(Cardinal& Start) { Start = Platform::TickCount(); }

void DeductElapsed(Cardinal Start, Cardinal& Remaining) { DeductElapsedAt(Start, Platform::TickCount(), Remaining); }

Cardinal TimeLeft(std::uint64_t StartUs, Cardinal TimeoutMs) noexcept {
  if (TimeoutMs == Infinite) return Infinite;
  const std::uint64_t Spent = (Platform::MonotonicMicroseconds() - StartUs) / 1000;
  return Spent >= TimeoutMs ? 0 : static_cast<Cardinal>(TimeoutMs - Spent);
}

}  // namespace Quorvel
