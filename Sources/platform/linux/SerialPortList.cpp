#include "platform/SerialPortList.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <system_error>

#include "platform/SerialPort.h"
#include "platform/linux/SysfsSerialPorts.h"

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

// A sysfs attribute's first line, or empty. USB strings come from the device itself: untrusted,
// so control characters are dropped and the length is bounded.
std::string ReadAttribute(const fs::path& File) {
  std::ifstream Stream(File);
  std::string Line;
  std::getline(Stream, Line);
  std::string Clean;
  for (const char Character : Line) {
    if (static_cast<unsigned char>(Character) >= 0x20 && Character != 0x7F) Clean += Character;
    if (Clean.size() >= 128) break;
  }
  return Clean;
}

// The USB device a tty belongs to: the nearest ancestor of its hardware that has a vendor id.
// Stays inside the sysfs tree, however the links run.
void ReadUsbStrings(const fs::path& SysfsRoot, const fs::path& ClassEntry, TPortDetails& Details) {
  std::error_code Error;
  const fs::path Root = fs::canonical(SysfsRoot, Error);
  if (Error) return;
  fs::path Hardware = fs::canonical(ClassEntry / "device", Error);
  for (int Depth = 0; !Error && Depth < 16; ++Depth) {
    const auto [RootEnd, Inside] = std::mismatch(Root.begin(), Root.end(), Hardware.begin(), Hardware.end());
    if (RootEnd != Root.end() || Hardware == Root) return;
    if (fs::exists(Hardware / "idVendor", Error)) {
      Details.Manufacturer = ReadAttribute(Hardware / "manufacturer");
      Details.Product = ReadAttribute(Hardware / "product");
      Details.SerialNumber = ReadAttribute(Hardware / "serial");
      return;
    }
    Hardware = Hardware.parent_path();
  }
}

// The node a link leads to, or empty when it leads nowhere.
fs::path Target(const fs::path& Link) {
  std::error_code Error;
  fs::path Result = fs::canonical(Link, Error);
  return Error ? fs::path() : Result;
}

template <class TVisit>
void ForEachPort(const fs::path& SysfsRoot, const fs::path& DevRoot, TVisit Visit) {
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
    Visit(ClassEntry, std::move(Name));
  }
}

}  // namespace

std::vector<std::string> StableNamesUnder(const fs::path& DevRoot, const fs::path& Device) {
  std::vector<std::string> Names;
  const fs::path Wanted = Target(Device);
  if (Wanted.empty()) return Names;
  std::error_code Error;
  fs::directory_iterator Entry(DevRoot / "serial" / "by-id", Error);
  for (; !Error && Entry != fs::directory_iterator(); Entry.increment(Error)) {
    // A link that points nowhere (the adapter has gone, udev has not tidied up) leads to no port.
    if (Target(Entry->path()) == Wanted) Names.push_back(Entry->path().string());
  }
  std::sort(Names.begin(), Names.end());
  return Names;
}

std::vector<TPortDetails> DescribeSerialPortsUnder(const fs::path& SysfsRoot, const fs::path& DevRoot) {
  std::vector<TPortDetails> Ports;
  ForEachPort(SysfsRoot, DevRoot, [&](const fs::path& ClassEntry, std::string Name) {
    TPortDetails Details;
    const std::vector<std::string> Stable = StableNamesUnder(DevRoot, DevRoot / Name);
    if (!Stable.empty()) Details.StableName = Stable.front();
    ReadUsbStrings(SysfsRoot, ClassEntry, Details);
    Details.Device = std::move(Name);
    Ports.push_back(std::move(Details));
  });
  std::sort(Ports.begin(), Ports.end(), [](const TPortDetails& A, const TPortDetails& B) { return A.Device < B.Device; });
  return Ports;
}

std::vector<std::string> ListSerialPortsUnder(const fs::path& SysfsRoot, const fs::path& DevRoot) {
  std::vector<std::string> Ports;
  ForEachPort(SysfsRoot, DevRoot, [&Ports](const fs::path&, std::string Name) { Ports.push_back(std::move(Name)); });
  // Directory order means nothing; a stable order keeps repeated calls comparable.
  std::sort(Ports.begin(), Ports.end());
  return Ports;
}

}  // namespace Posix

std::vector<std::string> ListSerialPorts() { return Posix::ListSerialPortsUnder("/sys", "/dev"); }

std::vector<TPortDetails> DescribeSerialPorts() { return Posix::DescribeSerialPortsUnder("/sys", "/dev"); }

std::vector<std::string> StableNamesLeadingTo(const std::string& PortName) {
  const std::string Path = DevicePath(PortName);
  return Path.empty() ? std::vector<std::string>() : Posix::StableNamesUnder("/dev", Path);
}

bool IsSerialDevicePresent(const std::string& PortName) {
  const std::string Path = DevicePath(PortName);
  struct stat Info {};
  return !Path.empty() && ::stat(Path.c_str(), &Info) == 0 && S_ISCHR(Info.st_mode);
}

}  // namespace Quorvel::Platform
