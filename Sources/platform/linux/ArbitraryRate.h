#pragma once
// Linux's arbitrary-rate interface (termios2 with BOTHER). Its kernel header clashes with
// <termios.h>, so it is used in a translation unit of its own behind these plain functions.

#include <Quorvel/Types.h>

namespace Quorvel::Platform::Posix {

// Sets both directions of the terminal Fd to Rate bits per second, leaving every other setting as
// it is, and reads the rate back. False when the driver refuses or the rate that reads back is not
// the one asked for (a driver may report the rate its divisor really gives: within 3 % is taken).
bool SetArbitraryRate(int Fd, Cardinal Rate) noexcept;

}  // namespace Quorvel::Platform::Posix
