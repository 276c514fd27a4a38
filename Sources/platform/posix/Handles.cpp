#include "platform/Handles.h"

#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace Quorvel::Platform {

int CheckHandle(int Result) {
  if (Result >= 0) return Result;
  // A caller that passes a failure without a cause still gets an error, not "Success".
  const int Error = errno != 0 ? errno : EBADF;
  throw std::system_error(Error, std::generic_category());
}

void SafeCloseHandle(int& Handle) {
  if (Handle < 0) return;
  // Never retried on EINTR: Linux releases the descriptor even then, and a retry could close a
  // descriptor that another thread has just been given.
  ::close(Handle);
  Handle = -1;
}

}  // namespace Quorvel::Platform
