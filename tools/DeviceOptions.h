#pragma once
// The simulated device's command line.

#include <string>
#include <vector>

#include <Quorvel/ConnectionSettings.h>
#include <Quorvel/Types.h>
#include "LineOptions.h"

namespace Quorvel {
class TModbusConnection;
}

namespace Dorvane {

struct TDeviceOptions : TLineOptions {
  std::string Port;  // empty: the device makes a virtual serial line of its own
  // HOST:PORT where it serves its frames over TCP, as a serial device server does; empty: a
  // serial line. The line settings still time the frames.
  std::string Tcp;
  // --modbus-tcp: Tcp is where it serves Modbus TCP, not RTU or ASCII frames.
  bool ModbusTcp = false;
  // The server address it answers at, 1..247; the utility sends to 1.
  Quorvel::Byte Address = 1;
  // Length-aware framing: it answers at a request's last byte (after the gap) instead of after
  // the silence that follows it.
  bool LengthAware = false;
  Quorvel::Cardinal InterFrameGap = 0xFFFFFFFFu;  // microseconds; the standard gap by default
  bool Help = false;
  bool Version = false;
};

// Args without the program name. Raises EUsageError, with a message for the user, on anything it
// does not understand.
TDeviceOptions ParseDeviceOptions(const std::vector<std::string>& Args);

std::string DeviceUsage(const std::string& Program);

// Puts Connection in server mode with the options' framing and line settings (not the port).
// Connection must be closed.
void ApplyLineSettings(const TDeviceOptions& Options, Quorvel::TModbusConnection& Connection);

// "RTU, 19200 bit/s, 8N1"
std::string DescribeLineSettings(const TDeviceOptions& Options);

}  // namespace Dorvane
