#include "platform/Event.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/Handles.h"
#include "platform/posix/PollWait.h"

namespace Quorvel::Platform {

// The signal is an eventfd counter: non-zero means signalled. Reading it returns the whole count and
// sets it to zero, so any number of Sets is taken by one read, and a Set with nobody waiting stays in
// the counter until a wait takes it.

TEventObject::TEventObject(bool ManualReset)
    : Handle_(CheckHandle(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))), ManualReset_(ManualReset) {}

TEventObject::~TEventObject() { SafeCloseHandle(Handle_); }

void TEventObject::Set() noexcept {
  const std::uint64_t One = 1;
  // EAGAIN would mean the counter is full, which is signalled anyway.
  while (::write(Handle_, &One, sizeof One) < 0 && errno == EINTR) {
  }
}

void TEventObject::Reset() noexcept {
  std::uint64_t Count;
  while (::read(Handle_, &Count, sizeof Count) < 0 && errno == EINTR) {
  }
}

bool TEventObject::ConsumeIfSignalled() noexcept {
  if (ManualReset_) {
    pollfd Fd{Handle_, POLLIN, 0};
    return ::poll(&Fd, 1, 0) > 0 && (Fd.revents & POLLIN) != 0;
  }
  for (;;) {
    std::uint64_t Count;
    if (::read(Handle_, &Count, sizeof Count) == static_cast<ssize_t>(sizeof Count)) return true;
    if (errno != EINTR) return false;
  }
}

bool TEventObject::Wait(Cardinal TimeoutMs) noexcept {
  const Posix::TDeadline Deadline(TimeoutMs);
  for (;;) {
    pollfd Fd{Handle_, POLLIN, 0};
    const int Ready = Posix::PollUntil(&Fd, 1, Deadline);
    if (Ready <= 0) return false;
    // Another waiter may take an auto-reset signal between our poll and our read: then this wait
    // goes on for the time it has left.
    if (ConsumeIfSignalled()) return true;
  }
}

int WaitForEither(TEventObject& First, TEventObject* Second, Cardinal TimeoutMs) noexcept {
  const Posix::TDeadline Deadline(TimeoutMs);
  pollfd Fds[2] = {{First.Handle(), POLLIN, 0}, {Second != nullptr ? Second->Handle() : -1, POLLIN, 0}};
  for (;;) {
    if (Posix::PollUntil(Fds, Second != nullptr ? 2 : 1, Deadline) <= 0) return 0;
    if ((Fds[1].revents & POLLIN) != 0 && Second->ConsumeIfSignalled()) return 2;
    if ((Fds[0].revents & POLLIN) != 0 && First.ConsumeIfSignalled()) return 1;
    // Another waiter took the signal between our poll and our read: wait on for the time left.
  }
}

}  // namespace Quorvel::Platform
