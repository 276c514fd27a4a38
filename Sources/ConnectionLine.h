#pragma once
// The operating system's side of a connection: its serial port, and the event that ends a server's
// endless wait. Private to the library, so that the public headers name no platform type.

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
};

}  // namespace Quorvel
