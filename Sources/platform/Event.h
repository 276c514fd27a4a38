#pragma once
// A wake-up event that one thread signals and another waits for, alone or beside a serial port.

#include <Quorvel/Types.h>
#include "platform/Handles.h"

namespace Quorvel::Platform {

// An event in the Windows sense. It keeps its signal until a wait takes it (auto-reset) or until
// Reset (manual-reset), so a Set that comes while nobody waits is never lost. Set, Reset and the
// waits may be called from any thread.
class TEventObject {
 public:
  // Created unsignalled; throws std::system_error if the OS refuses.
  explicit TEventObject(bool ManualReset);
  ~TEventObject();
  TEventObject(const TEventObject&) = delete;
  TEventObject& operator=(const TEventObject&) = delete;

  // Repeated Sets before a wait count as one signal.
  void Set() noexcept;
  void Reset() noexcept;

  // True when the event is signalled within TimeoutMs (Infinite: no limit, 0: just look). The
  // wait that an auto-reset event ends consumes the signal.
  bool Wait(Cardinal TimeoutMs) noexcept;

  // The system's object, for a wait beside other handles (the serial port's): an eventfd that is
  // readable while signalled on POSIX, an event HANDLE on Windows. After a POSIX wait saw it
  // readable, ConsumeIfSignalled takes an auto-reset signal; a Windows wait takes it itself.
  TOsHandle Handle() const noexcept { return Handle_; }

  // Never blocks. Auto-reset: takes the signal and returns true when there was one.
  // Manual-reset: reports whether it is signalled and leaves it so.
  bool ConsumeIfSignalled() noexcept;

  bool ManualReset() const noexcept { return ManualReset_; }

 private:
  TOsHandle Handle_;
  bool ManualReset_;
};

// Blocks until First or Second is signalled, or TimeoutMs passes (Infinite: no limit). Second wins
// when both are: the result is 2 for Second, 1 for First, 0 at the time-out; the signal of the event
// named is taken as its own Wait would take it. Second may be null.
int WaitForEither(TEventObject& First, TEventObject* Second, Cardinal TimeoutMs) noexcept;

}  // namespace Quorvel::Platform
