#include "platform/Event.h"

#include "platform/win32/Windows.h"

namespace Quorvel::Platform {

// A Win32 event object is exactly the event this class describes: it keeps its signal until a wait
// takes it (auto-reset) or until ResetEvent (manual-reset).

TEventObject::TEventObject(bool ManualReset)
    : Handle_(CheckHandle(::CreateEventW(nullptr, ManualReset ? TRUE : FALSE, FALSE, nullptr))),
      ManualReset_(ManualReset) {}

TEventObject::~TEventObject() { SafeCloseHandle(Handle_); }

void TEventObject::Set() noexcept { ::SetEvent(Handle_); }

void TEventObject::Reset() noexcept { ::ResetEvent(Handle_); }

bool TEventObject::ConsumeIfSignalled() noexcept { return ::WaitForSingleObject(Handle_, 0) == WAIT_OBJECT_0; }

// Infinite is INFINITE: both are 0xFFFFFFFF.
bool TEventObject::Wait(Cardinal TimeoutMs) noexcept {
  return ::WaitForSingleObject(Handle_, static_cast<DWORD>(TimeoutMs)) == WAIT_OBJECT_0;
}

int WaitForEither(TEventObject& First, TEventObject* Second, Cardinal TimeoutMs) noexcept {
  // WaitForMultipleObjects reports the lowest index of the signalled ones: Second goes first.
  if (Second == nullptr) return First.Wait(TimeoutMs) ? 1 : 0;
  const HANDLE Handles[2] = {Second->Handle(), First.Handle()};
  const DWORD Result = ::WaitForMultipleObjects(2, Handles, FALSE, static_cast<DWORD>(TimeoutMs));
  if (Result == WAIT_OBJECT_0) return 2;
  if (Result == WAIT_OBJECT_0 + 1) return 1;
  return 0;
}

}  // namespace Quorvel::Platform
