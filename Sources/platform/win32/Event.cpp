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

}  // namespace Quorvel::Platform
