#pragma once
// Where the operating system keeps its list of serial ports: the device registry on Windows, the
// device model in sysfs on Linux; and what it knows of each port.

#include <string>
#include <vector>

namespace Quorvel::Platform {

// One serial port as the system knows it.
struct TPortDetails {
  // The device's own name, which DevicePath (SerialPort.h) turns into its path ("ttyUSB0").
  std::string Device;
  // A name that stays the port's own when it is plugged in again elsewhere (Linux: the link in
  // /dev/serial/by-id), or empty.
  std::string StableName;
  // What a USB adapter reports of itself; empty for other ports.
  std::string Manufacturer;
  std::string Product;
  std::string SerialNumber;

  bool operator==(const TPortDetails&) const = default;
};

// The names of the serial ports present now, each a name that DevicePath (SerialPort.h) turns
// into the port's device path. Opens no port. Empty when the system has none or its list cannot
// be read.
std::vector<std::string> ListSerialPorts();

// The same ports with what the system knows of each, in the same order.
std::vector<TPortDetails> DescribeSerialPorts();

// The stable names that lead to the device that PortName leads to now, sorted; empty when it leads
// nowhere or has none.
std::vector<std::string> StableNamesLeadingTo(const std::string& PortName);

// True when PortName leads to a serial device now (links followed, nothing opened).
bool IsSerialDevicePresent(const std::string& PortName);

}  // namespace Quorvel::Platform
