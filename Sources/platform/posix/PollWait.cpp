#include "platform/posix/PollWait.h"

#include <cerrno>
#include <ctime>

namespace Quorvel::Platform::Posix {

namespace {
constexpr std::int64_t NanosecondsPerMs = 1'000'000;
constexpr std::int64_t NanosecondsPerSecond = 1'000'000'000;
}  // namespace

std::int64_t MonotonicNanoseconds() noexcept {
  timespec Now{};
  ::clock_gettime(CLOCK_MONOTONIC, &Now);
  return static_cast<std::int64_t>(Now.tv_sec) * NanosecondsPerSecond + Now.tv_nsec;
}

TDeadline::TDeadline(Cardinal TimeoutMs) noexcept : Unlimited_(TimeoutMs == Infinite) {
  if (!Unlimited_) At_ = MonotonicNanoseconds() + static_cast<std::int64_t>(TimeoutMs) * NanosecondsPerMs;
}

std::int64_t TDeadline::NanosecondsLeft() const noexcept {
  const std::int64_t Left = At_ - MonotonicNanoseconds();
  return Left > 0 ? Left : 0;
}

int PollUntil(pollfd* Fds, nfds_t Count, const TDeadline& Deadline) noexcept {
  for (;;) {
    int Result;
    if (Deadline.Unlimited()) {
      Result = ::ppoll(Fds, Count, nullptr, nullptr);
    } else {
      // ppoll rather than poll: a time-out in nanoseconds neither overflows an int nor rounds a
      // resumed wait up by a millisecond each time.
      const std::int64_t Left = Deadline.NanosecondsLeft();
      timespec Timeout{static_cast<time_t>(Left / NanosecondsPerSecond),
                       static_cast<long>(Left % NanosecondsPerSecond)};
      Result = ::ppoll(Fds, Count, &Timeout, nullptr);
    }
    if (Result >= 0 || errno != EINTR) return Result;
  }
}

}  // namespace Quorvel::Platform::Posix
