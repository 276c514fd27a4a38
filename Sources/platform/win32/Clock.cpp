#include "platform/Clock.h"

#include "platform/win32/Windows.h"

namespace Quorvel::Platform {

// The system's millisecond tick, which wraps after 49.7 days exactly as the library expects. Its
// steps follow the system timer (1 to 16 ms); the budgets it counts are far coarser.
Cardinal TickCount() { return static_cast<Cardinal>(::GetTickCount()); }

// Sleep(INFINITE) never returns, which is what a plain duration of Infinite means.
void SleepMs(Cardinal Ms) { ::Sleep(static_cast<DWORD>(Ms)); }

}  // namespace Quorvel::Platform
