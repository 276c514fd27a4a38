#pragma once
/// @file
/// The priorities of the library's worker threads.

#include <cstdint>

namespace Quorvel {

/// A worker thread's priority, from lowest to highest (see TModbusConnection::SetThreadPriority).
/// On Linux the levels are niceness steps relative to the niceness the thread started with (+19,
/// +10, +5, 0, -5, -10, -15, within the system's range); on Windows the thread priorities of the
/// same names. Best effort: raising priority may need privilege, and a refusal is ignored. Never a
/// real-time policy on Linux.
enum TThreadPriority : std::uint8_t { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

}  // namespace Quorvel
