#pragma once
// Blocking waits for the POSIX layer: poll that survives signals, with time-outs in the library's
// milliseconds (Infinite included).

#include <poll.h>

#include <cstdint>

#include <Quorvel/Types.h>

namespace Quorvel::Platform::Posix {

// A point on the monotonic clock, or none for a wait without limit. Computed once, so that a wait
// interrupted and resumed (EINTR, a lost race for an event) never waits longer in total.
class TDeadline {
 public:
  explicit TDeadline(Cardinal TimeoutMs) noexcept;
  bool Unlimited() const noexcept { return Unlimited_; }
  // Nanoseconds left, never below 0; meaningless when unlimited.
  std::int64_t NanosecondsLeft() const noexcept;

 private:
  bool Unlimited_;
  std::int64_t At_ = 0;
};

std::int64_t MonotonicNanoseconds() noexcept;

// poll until a descriptor is ready or the deadline passes. Returns as poll does: the number of ready
// descriptors, 0 at the deadline, -1 on an error other than EINTR (errno set).
int PollUntil(pollfd* Fds, nfds_t Count, const TDeadline& Deadline) noexcept;

}  // namespace Quorvel::Platform::Posix
