#include "platform/Handles.h"

#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace Quorvel::Platform {

TOsHandle InvalidHandle() noexcept { return -1; }

bool IsValidHandle(TOsHandle Handle) noexcept { return Handle >= 0; }

TOsHandle CheckHandle(TOsHandle Result) {
  if (IsValidHandle(Result)) return Result;
  // A caller that passes a failure without a cause still gets an error, not "Success".
  const int Error = errno != 0 ? errno : EBADF;
  throw std::system_error(Error, std::generic_category());
}

void SafeCloseHandle(TOsHandle& Handle) noexcept {
  if (!IsValidHandle(Handle)) return;
  // Never retried on EINTR: Linux releases the descriptor even then, and a retry could close a
  // descriptor that another thread has just been given.
  ::close(Handle);
  Handle = -1;
}

}  // namespace Quorvel::Platform
