#pragma once
// The descriptor calls that the virtual line's relay and its peers share: raw pseudo-terminals,
// timed waits and whole writes, each failing as the system says.

#include <time.h>

#include <chrono>
#include <cstddef>

#include <Quorvel/Types.h>

namespace Quorvel::Testing::Descriptors {

using TNanoseconds = std::chrono::nanoseconds;

// A duration for ppoll and nanosleep; a negative one is 0.
timespec ToTimespec(TNanoseconds Duration);
// Result, or a std::system_error for errno when it is negative.
int Check(int Result, const char* What);
// Closes Descriptor when open, and marks it closed.
void Close(int& Descriptor);
// Raw, so that no line discipline echoes, edits or translates what passes through a port, whoever
// opens it and whether or not that opener sets a mode itself.
void MakeRaw(int Descriptor);
// Waits for Events on Descriptor for at most Timeout; returns revents, 0 on time-out.
short PollFor(int Descriptor, short Events, TNanoseconds Timeout);
// Writes all Count bytes, waiting at most PerWait each time the descriptor takes no more.
bool WriteAll(int Descriptor, const Byte* Data, std::size_t Count, TNanoseconds PerWait);

}  // namespace Quorvel::Testing::Descriptors
