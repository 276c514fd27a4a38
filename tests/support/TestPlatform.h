#pragma once
// What a test needs to know about the system it runs on.

namespace Quorvel::Testing {

// True for a Windows program that runs under Wine. Some Windows behaviour cannot be shown there
// (exclusive open, parity and 7 data bits on a pseudo-terminal, the driver's RTS toggle): the tests
// of it say so and are skipped there, and only there.
bool RunningUnderWine();

// The processor time (user and system) that this process has used, in seconds.
double ProcessCpuSeconds();

}  // namespace Quorvel::Testing
