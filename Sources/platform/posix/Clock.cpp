#include "platform/Clock.h"

#include <cerrno>
#include <ctime>

namespace Quorvel::Platform {

Cardinal TickCount() {
  timespec Now{};
  ::clock_gettime(CLOCK_MONOTONIC, &Now);
  const auto Ms = static_cast<std::uint64_t>(Now.tv_sec) * 1000u +
                  static_cast<std::uint64_t>(Now.tv_nsec) / 1'000'000u;
  return static_cast<Cardinal>(Ms);  // wraps on purpose
}

void SleepMs(Cardinal Ms) { SleepMicroseconds(std::uint64_t{Ms} * 1000u); }

std::uint64_t MonotonicMicroseconds() {
  timespec Now{};
  ::clock_gettime(CLOCK_MONOTONIC, &Now);
  return static_cast<std::uint64_t>(Now.tv_sec) * 1'000'000u + static_cast<std::uint64_t>(Now.tv_nsec) / 1000u;
}

void SleepMicroseconds(std::uint64_t Us) {
  // An absolute deadline, so that a signal in the middle does not shorten or stretch the sleep.
  timespec Until{};
  ::clock_gettime(CLOCK_MONOTONIC, &Until);
  Until.tv_sec += static_cast<time_t>(Us / 1'000'000u);
  Until.tv_nsec += static_cast<long>(Us % 1'000'000u) * 1000L;
  if (Until.tv_nsec >= 1'000'000'000L) {
    Until.tv_nsec -= 1'000'000'000L;
    ++Until.tv_sec;
  }
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &Until, nullptr) == EINTR) {
  }
}

}  // namespace Quorvel::Platform
