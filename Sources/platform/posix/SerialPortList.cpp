#include "platform/SerialPortList.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <system_error>

#include "platform/posix/SysfsSerialPorts.h"

namespace Quorvel::Platform {

namespace Posix {

namespace {

namespace fs = std::filesystem;

// The kernel's own name for the node below /dev. sysfs cannot hold a '/' in a directory name and
// writes '!' instead, which only matters when uevent has no DEVNAME line.
std::string DeviceNodeName(const fs::path& ClassEntry) {
  std::ifstream Uevent(ClassEntry / "uevent");
  std::string Line;
  constexpr std::string_view Key = "DEVNAME=";
  while (std::getline(Uevent, Line)) {
    if (Line.compare(0, Key.size(), Key) == 0) return Line.substr(Key.size());
  }
  std::string Name = ClassEntry.filename().string();
  std::replace(Name.begin(), Name.end(), '!', '/');
  return Name;
}

// The 8250 driver registers a fixed number of ttyS slots whether or not a UART answers behind them;
// an empty slot reports the port type 0 (PORT_UNKNOWN) and cannot be opened. Other drivers have no
// such file, and a file we cannot read or understand says nothing either way.
bool IsEmptyUartSlot(const fs::path& ClassEntry) {
  std::ifstream TypeFile(ClassEntry / "type");
  std::string Text;
  if (!(TypeFile >> Text)) return false;
  int Type = -1;
  const auto [End, Error] = std::from_chars(Text.data(), Text.data() + Text.size(), Type);
  return Error == std::errc() && End == Text.data() + Text.size() && Type == 0;
}

}  // namespace

std::vector<std::string> ListSerialPortsUnder(const fs::path& SysfsRoot, const fs::path& DevRoot) {
  std::vector<std::string> Ports;
  std::error_code Error;
  fs::directory_iterator Entry(SysfsRoot / "class" / "tty", Error);
  for (; !Error && Entry != fs::directory_iterator(); Entry.increment(Error)) {
    const fs::path& ClassEntry = Entry->path();
    std::error_code Ignored;
    // Virtual consoles and pseudo-terminals are ttys too, but with no device behind them.
    if (!fs::exists(ClassEntry / "device", Ignored)) continue;
    if (IsEmptyUartSlot(ClassEntry)) continue;
    std::string Name = DeviceNodeName(ClassEntry);
    if (Name.empty() || Name.front() == '/') continue;
    // A container may see the host's devices in sysfs without their nodes.
    if (!fs::exists(DevRoot / Name, Ignored)) continue;
    Ports.push_back(std::move(Name));
  }
  // Directory order means nothing; a stable order keeps repeated calls comparable.
  std::sort(Ports.begin(), Ports.end());
  return Ports;
}

}  // namespace Posix

std::vector<std::string> ListSerialPorts() { return Posix::ListSerialPortsUnder("/sys", "/dev"); }

}  // namespace Quorvel::Platform
