#pragma once
// Where the operating system keeps its list of serial ports: the device registry on Windows, the
// device model in sysfs on Linux.

#include <string>
#include <vector>

namespace Quorvel::Platform {

// The names of the serial ports present now, each a name that DevicePath (SerialPort.h) turns
// into the port's device path. Opens no port. Empty when the system has none or its list cannot
// be read.
std::vector<std::string> ListSerialPorts();

}  // namespace Quorvel::Platform
