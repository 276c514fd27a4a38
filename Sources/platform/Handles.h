#pragma once
// Checks and closes the operating system's descriptors.

namespace Quorvel::Platform {

// Returns Result when it is a valid descriptor (>= 0); otherwise throws std::system_error with the
// error that errno holds.
int CheckHandle(int Result);

// Closes Handle when it is valid and sets it to -1; does nothing for an invalid one.
void SafeCloseHandle(int& Handle);

}  // namespace Quorvel::Platform
