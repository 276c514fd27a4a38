#pragma once
// The Linux serial port list, read from a sysfs tree and checked against a device directory. Both
// roots are parameters so that the rules can be exercised on a tree built elsewhere.

#include <filesystem>
#include <string>
#include <vector>

namespace Quorvel::Platform::Posix {

// The serial ports that SysfsRoot/class/tty describes and that have a node under DevRoot, as
// names relative to DevRoot ("ttyUSB0"), sorted. Reads files only; opens no port.
std::vector<std::string> ListSerialPortsUnder(const std::filesystem::path& SysfsRoot,
                                              const std::filesystem::path& DevRoot);

}  // namespace Quorvel::Platform::Posix
