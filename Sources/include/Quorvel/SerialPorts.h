#pragma once
/// @file
/// The serial ports that the operating system knows, by the names a connection's Port accepts, and
/// what it knows of each.

#include <string>
#include <vector>

#include <Quorvel/Export.h>

namespace Quorvel {

/// Replaces the content of Ports with the names of the machine's serial ports. Nothing is opened,
/// so a port in use by another program is listed too. A machine without serial ports gives an
/// empty list, never an error; the list is emptied first, so a failure never leaves stale names.
QUORVEL_EXPORT void GetSerialPorts(std::vector<std::string>& Ports);

/// One serial port with what the system knows of it.
struct QUORVEL_EXPORT TSerialPortInfo {
  /// The name to open it by: its stable name where it has one, else its device's name.
  std::string Name;
  /// The device's own name ("ttyUSB0"), which may change when an adapter is plugged in again.
  std::string Device;
  /// A name that stays the port's own across unplugging (Linux: "/dev/serial/by-id/usb-..."), or
  /// empty. A connection opened through it keeps it as its Port.
  std::string StableName;
  std::string Manufacturer;  ///< the maker a USB adapter reports; empty for other ports
  std::string Product;       ///< the product a USB adapter reports; empty for other ports
  std::string SerialNumber;  ///< the serial number a USB adapter reports; empty for other ports

  /// "FTDI FT232R USB UART, serial A50285BI (ttyUSB0)": the device, and what the adapter says of
  /// itself where it says anything.
  std::string Description() const;
  /// True when a connection's Port of PortName means this port: its name, stable name or device,
  /// as written or as the device path they stand for ("COM1" and "/dev/ttyS0" for "ttyS0").
  bool IsNamedBy(const std::string& PortName) const;

  bool operator==(const TSerialPortInfo&) const = default;  ///< every field equal
};

/// As GetSerialPorts, with what the system knows of each port, sorted by device name.
QUORVEL_EXPORT void GetSerialPortInfos(std::vector<TSerialPortInfo>& Ports);

/// The stable names that lead to the same device as PortName does now, sorted; empty when it leads
/// nowhere or has none. Lets a program that opened "ttyUSB0" find the adapter again when it comes
/// back as "ttyUSB1".
QUORVEL_EXPORT std::vector<std::string> StableNamesOf(const std::string& PortName);

/// True when PortName (a connection's Port) leads to a serial device now. Opens nothing: cheap
/// enough to ask once a second while waiting for an unplugged adapter to come back. A TCP port
/// name ("tcp://HOST:PORT", "tcp-listen://HOST:PORT") is always true: only opening can tell
/// whether its device server is there.
QUORVEL_EXPORT bool SerialPortPresent(const std::string& PortName);

}  // namespace Quorvel
