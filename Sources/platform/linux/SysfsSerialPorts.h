#pragma once
// The Linux serial port list, read from a sysfs tree and checked against a device directory. Both
// roots are parameters so that the rules can be exercised on a tree built elsewhere.

#include <filesystem>
#include <string>
#include <vector>

#include "platform/SerialPortList.h"

namespace Quorvel::Platform::Posix {

// The serial ports that SysfsRoot/class/tty describes and that have a node under DevRoot, as
// names relative to DevRoot ("ttyUSB0"), sorted. Reads files only; opens no port.
std::vector<std::string> ListSerialPortsUnder(const std::filesystem::path& SysfsRoot,
                                              const std::filesystem::path& DevRoot);

// The same ports with their USB adapter's maker, product and serial number from sysfs, and their
// link in DevRoot/serial/by-id (as a path below DevRoot) where one leads to them.
std::vector<TPortDetails> DescribeSerialPortsUnder(const std::filesystem::path& SysfsRoot,
                                                   const std::filesystem::path& DevRoot);

// The links in DevRoot/serial/by-id that lead to Device (a path), sorted.
std::vector<std::string> StableNamesUnder(const std::filesystem::path& DevRoot, const std::filesystem::path& Device);

}  // namespace Quorvel::Platform::Posix
