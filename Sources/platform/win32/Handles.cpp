#include "platform/Handles.h"

#include <system_error>

#include "platform/win32/Windows.h"

namespace Quorvel::Platform {

TOsHandle InvalidHandle() noexcept { return INVALID_HANDLE_VALUE; }

// CreateFile reports a failure as INVALID_HANDLE_VALUE, CreateEvent and most others as NULL.
bool IsValidHandle(TOsHandle Handle) noexcept { return Handle != INVALID_HANDLE_VALUE && Handle != nullptr; }

TOsHandle CheckHandle(TOsHandle Result) {
  if (IsValidHandle(Result)) return Result;
  const DWORD Error = ::GetLastError();
  throw std::system_error(static_cast<int>(Error != 0 ? Error : ERROR_INVALID_HANDLE), std::system_category());
}

void SafeCloseHandle(TOsHandle& Handle) noexcept {
  if (!IsValidHandle(Handle)) return;
  ::CloseHandle(Handle);
  Handle = INVALID_HANDLE_VALUE;
}

}  // namespace Quorvel::Platform
