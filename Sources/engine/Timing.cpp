#include "engine/Timing.h"

#include "platform/Clock.h"

namespace Quorvel {

void StartTimer(Cardinal& Start) { Start = Platform::TickCount(); }

void DeductElapsed(Cardinal Start, Cardinal& Remaining) { DeductElapsedAt(Start, Platform::TickCount(), Remaining); }

}  // namespace Quorvel
