#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "SerialPorts.h"
#include "platform/SerialPort.h"
#include "platform/SerialPortList.h"
#include "platform/posix/SysfsSerialPorts.h"

namespace {

namespace fs = std::filesystem;
using Quorvel::Platform::Posix::ListSerialPortsUnder;
using TNames = std::vector<std::string>;
using std::nullopt;

class TTempDir {
 public:
  TTempDir() {
    std::string Pattern = (fs::temp_directory_path() / "quorvel-ports-XXXXXX").string();
    if (::mkdtemp(Pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    Path = Pattern;
  }
  ~TTempDir() {
    std::error_code Ignored;
    fs::remove_all(Path, Ignored);
  }
  fs::path Path;
};

void WriteFile(const fs::path& Path, const std::string& Text) {
  fs::create_directories(Path.parent_path());
  std::ofstream(Path) << Text;
}

// One entry of a fake /sys/class/tty, laid out as the kernel does: the class entry links into the
// device tree, and "device" links to the hardware.
enum TDevice { NoDevice, DeviceLink, DanglingLink };
struct TTty {
  const char* SysName;
  TDevice Device;
  std::optional<std::string> Type, DevName, Node;  // "type", uevent's DEVNAME, the node below /dev
};

void Build(const fs::path& Root, const std::vector<TTty>& Entries) {
  fs::create_directories(Root / "sys/class/tty");
  fs::create_directories(Root / "dev");
  for (const TTty& Entry : Entries) {
    const fs::path Real = Root / "sys/devices/virtual/tty" / Entry.SysName;
    const fs::path Hardware = Root / "sys/devices/hardware" / Entry.SysName;
    fs::create_directories(Real);
    fs::create_directory_symlink(Real, Root / "sys/class/tty" / Entry.SysName);
    if (Entry.Device == DeviceLink) fs::create_directories(Hardware);
    if (Entry.Device != NoDevice) fs::create_directory_symlink(Hardware, Real / "device");
    if (Entry.Type) WriteFile(Real / "type", *Entry.Type);
    WriteFile(Real / "uevent", "MAJOR=4\nMINOR=64\n" + (Entry.DevName ? "DEVNAME=" + *Entry.DevName + "\n" : ""));
    if (Entry.Node) WriteFile(Root / "dev" / *Entry.Node, "");
  }
}

TEST(SerialPortList, PicksTheRealPortsOfASysfsTree) {
  TTempDir Dir;
  Build(Dir.Path, {
      {"ttyS0", DeviceLink, "4\n", "ttyS0", "ttyS0"},        // a UART that answered the 8250 probe
      {"ttyS1", DeviceLink, "0\n", "ttyS1", "ttyS1"},        // 8250 slots with no UART behind them
      {"ttyS2", DeviceLink, "0", "ttyS2", "ttyS2"},
      {"ttyS3", DeviceLink, "unknown", "ttyS3", "ttyS3"},    // a type not understood decides nothing
      {"ttyUSB0", DeviceLink, nullopt, "ttyUSB0", "ttyUSB0"},  // adapters have no type file
      {"ttyACM0", DeviceLink, nullopt, "ttyACM0", "ttyACM0"},
      {"ttyACM1", DeviceLink, nullopt, "ttyACM1", nullopt},  // no node here (a container)
      {"tty0", NoDevice, nullopt, "tty0", "tty0"},            // consoles and the like: no hardware
      {"ptmx", NoDevice, nullopt, "ptmx", "ptmx"},
      {"ttyUSB1", DanglingLink, nullopt, "ttyUSB1", "ttyUSB1"},  // hardware gone, entry lingering
      {"ttyAMA0", DeviceLink, nullopt, "serial/ama0", "serial/ama0"},  // the node name is uevent's
      {"tts!9", DeviceLink, nullopt, nullopt, "tts/9"},       // without DEVNAME, '!' stands for '/'
  });
  EXPECT_EQ(ListSerialPortsUnder(Dir.Path / "sys", Dir.Path / "dev"),
            TNames({"serial/ama0", "tts/9", "ttyACM0", "ttyS0", "ttyS3", "ttyUSB0"}));
}

TEST(SerialPortList, NoSerialHardwareMeansAnEmptyList) {
  TTempDir Dir;
  EXPECT_TRUE(ListSerialPortsUnder(Dir.Path / "sys", Dir.Path / "dev").empty());
  Build(Dir.Path, {{"tty1", NoDevice, nullopt, "tty1", "tty1"}});
  EXPECT_TRUE(ListSerialPortsUnder(Dir.Path / "sys", Dir.Path / "dev").empty());
}

TEST(SerialPortList, TheMachinesListNamesDevicesAConnectionCanReach) {
  TNames Ports = {"stale", "COM99"};
  ASSERT_NO_THROW(Quorvel::GetSerialPorts(Ports));
  EXPECT_EQ(Ports, Quorvel::Platform::ListSerialPorts());
  EXPECT_EQ(std::count(Ports.begin(), Ports.end(), "stale"), 0);
  for (const std::string& Name : Ports) {
    // A bare name, which DevicePath puts below /dev, where a character device answers to it.
    ASSERT_FALSE(Name.empty() || Name.front() == '/') << Name;
    struct stat Info {};
    ASSERT_EQ(::stat(Quorvel::Platform::DevicePath(Name).c_str(), &Info), 0) << Name;
    EXPECT_TRUE(S_ISCHR(Info.st_mode)) << Name;
  }
}

}  // namespace
