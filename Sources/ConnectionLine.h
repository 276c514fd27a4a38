#pragma once
// The operating system's side of a connection: its serial port, and the event that ends a server's
// endless wait. Private to the library, so that the public headers name no platform type.

#include <cstdint>
#include <vector>

#include "Connection.h"
#include "LineCounters.h"
#include "platform/Event.h"
#include "platform/SerialPort.h"

namespace Quorvel {

struct TModbusConnection::TLine {
  Platform::TSerialPort Serial;
  Platform::TEventObject StopEvent{false};
  TLineCounters Counters;
  // Worker only, cleared at each opening: the port's failure has been reported.
  bool FailureReported = false;
  // Worker only. Bytes that a length-aware read took past the end of its frame: the start of the
  // next frame, which the next read begins with. Allocated at opening, emptied by every input purge.
  std::vector<Byte> Carry;
  int CarryCount = 0;
  // Worker only: when bytes last arrived, on the monotonic clock in microseconds.
  std::uint64_t LastReceive = 0;
};

}  // namespace Quorvel
