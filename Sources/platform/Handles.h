#pragma once
// The operating system's handles of open objects (ports, events), and their checks.

namespace Quorvel::Platform {

#if defined(_WIN32)
using TOsHandle = void*;  // a HANDLE
#else
using TOsHandle = int;  // a file descriptor
#endif

// The value that names no object (-1 on POSIX, INVALID_HANDLE_VALUE on Windows).
TOsHandle InvalidHandle() noexcept;
// False for the invalid value and for the other "none" value that the system's calls return (a
// negative descriptor; a null HANDLE).
bool IsValidHandle(TOsHandle Handle) noexcept;

// Returns Result when it is valid; otherwise throws std::system_error with the system's last
// error (errno, GetLastError).
TOsHandle CheckHandle(TOsHandle Result);

// Closes Handle when it is valid and sets it to InvalidHandle(); does nothing for an invalid one.
void SafeCloseHandle(TOsHandle& Handle) noexcept;

}  // namespace Quorvel::Platform
