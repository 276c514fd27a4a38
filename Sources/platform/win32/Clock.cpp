#include "platform/Clock.h"

#include "platform/win32/Windows.h"

namespace Quorvel::Platform {

// The system's millisecond tick, which wraps after 49.7 days exactly as the library expects. Its
// steps follow the system timer (1 to 16 ms); the budgets it counts are far coarser.
Cardinal TickCount() { return static_cast<Cardinal>(::GetTickCount()); }

// Sleep(INFINITE) never returns, which is what a plain duration of Infinite means.
void SleepMs(Cardinal Ms) { ::Sleep(static_cast<DWORD>(Ms)); }

std::uint64_t MonotonicMicroseconds() {
  // The counter's frequency is fixed at boot.
  static const std::uint64_t Frequency = [] {
    LARGE_INTEGER Value;
    ::QueryPerformanceFrequency(&Value);
    return static_cast<std::uint64_t>(Value.QuadPart);
  }();
  LARGE_INTEGER Now;
  ::QueryPerformanceCounter(&Now);
  const auto Ticks = static_cast<std::uint64_t>(Now.QuadPart);
  // Whole seconds and the rest apart, so that the product cannot overflow.
  return Ticks / Frequency * 1'000'000u + Ticks % Frequency * 1'000'000u / Frequency;
}

// Sleep counts whole milliseconds: round up, so that the sleep is never shorter than asked.
void SleepMicroseconds(std::uint64_t Us) {
  const std::uint64_t Ms = (Us + 999u) / 1000u;
  ::Sleep(static_cast<DWORD>(Ms < INFINITE ? Ms : INFINITE - 1));
}

}  // namespace Quorvel::Platform
