#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <Quorvel/SerialPorts.h>
#include "platform/linux/SysfsSerialPorts.h"
#include "platform/SerialPort.h"
#include "platform/SerialPortList.h"

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

namespace {

// A USB adapter as the kernel lays it out: the device (with the strings it reports), its
// interface, and the tty below that; "device" of the class entry links to the tty's parent.
void AddUsbAdapter(const fs::path& Root, const char* Tty, const std::map<std::string, std::string>& Strings) {
  const fs::path Usb = Root / "sys/devices/pci0000:00/usb1" / (std::string("1-") + Tty);
  const fs::path Interface = Usb / "1-1:1.0";
  const fs::path Real = Interface / Tty / "tty" / Tty;
  fs::create_directories(Real);
  WriteFile(Usb / "idVendor", "0403\n");
  for (const auto& [Name, Value] : Strings) WriteFile(Usb / Name, Value + "\n");
  fs::create_directory_symlink(Interface / Tty, Real / "device");
  WriteFile(Real / "uevent", std::string("DEVNAME=") + Tty + "\n");
  fs::create_directories(Root / "sys/class/tty");
  fs::create_directory_symlink(Real, Root / "sys/class/tty" / Tty);
  WriteFile(Root / "dev" / Tty, "");
}

void AddById(const fs::path& Root, const std::string& Link, const std::string& Target) {
  fs::create_directories(Root / "dev/serial/by-id");
  fs::create_symlink(Target, Root / "dev/serial/by-id" / Link);
}

}  // namespace

TEST(SerialPortList, DescribesUsbAdaptersAndTheirStableNames) {
  TTempDir Dir;
  Build(Dir.Path, {{"ttyS0", DeviceLink, "4\n", "ttyS0", "ttyS0"}});
  AddUsbAdapter(Dir.Path, "ttyUSB0", {{"manufacturer", "FTDI"}, {"product", "FT232R USB UART"}, {"serial", "A5\x01" "0285BI"}});
  AddUsbAdapter(Dir.Path, "ttyACM0", {{"product", "Pico"}});
  AddById(Dir.Path, "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "../../ttyUSB0");
  AddById(Dir.Path, "usb-gone-if00", "../../ttyUSB7");  // a link that points nowhere
  const fs::path Dev = Dir.Path / "dev";
  const std::string ById = (Dev / "serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0").string();

  using Quorvel::Platform::TPortDetails;
  const std::vector<TPortDetails> Expected = {
      {"ttyACM0", "", "", "Pico", ""},
      {"ttyS0", "", "", "", ""},
      {"ttyUSB0", ById, "FTDI", "FT232R USB UART", "A50285BI"},  // the control character is dropped
  };
  EXPECT_EQ(Quorvel::Platform::Posix::DescribeSerialPortsUnder(Dir.Path / "sys", Dev), Expected);
  EXPECT_EQ(ListSerialPortsUnder(Dir.Path / "sys", Dev), TNames({"ttyACM0", "ttyS0", "ttyUSB0"}));

  using Quorvel::Platform::Posix::StableNamesUnder;
  EXPECT_EQ(StableNamesUnder(Dev, Dev / "ttyUSB0"), TNames({ById}));
  EXPECT_EQ(StableNamesUnder(Dev, ById), TNames({ById})) << "a stable name leads to itself";
  EXPECT_TRUE(StableNamesUnder(Dev, Dev / "ttyS0").empty());
  EXPECT_TRUE(StableNamesUnder(Dev, Dev / "serial/by-id/usb-gone-if00").empty());
  EXPECT_TRUE(StableNamesUnder(Dev, Dev / "ttyUSB7").empty());
}

TEST(SerialPortList, InfosNameEachPortByItsStableNameWhereItHasOne) {
  Quorvel::TSerialPortInfo Adapter{"/dev/serial/by-id/usb-FTDI_X", "ttyUSB0", "/dev/serial/by-id/usb-FTDI_X",
                                   "FTDI", "FT232R USB UART", "A50285BI"};
  EXPECT_EQ(Adapter.Description(), "FTDI FT232R USB UART, serial A50285BI (ttyUSB0)");
  Adapter.Product = "FTDI USB Serial";
  EXPECT_EQ(Adapter.Description(), "FTDI USB Serial, serial A50285BI (ttyUSB0)") << "the maker is not said twice";
  EXPECT_EQ((Quorvel::TSerialPortInfo{"ttyS0", "ttyS0", "", "", "", ""}.Description()), "ttyS0");
  for (const char* Name : {"/dev/serial/by-id/usb-FTDI_X", "ttyUSB0", "/dev/ttyUSB0"}) EXPECT_TRUE(Adapter.IsNamedBy(Name)) << Name;
  for (const char* Name : {"", "ttyUSB1", "/dev/serial/by-id/usb-FTDI_Y", "COM1"}) EXPECT_FALSE(Adapter.IsNamedBy(Name)) << Name;
  EXPECT_TRUE((Quorvel::TSerialPortInfo{"ttyS0", "ttyS0", "", "", "", ""}.IsNamedBy("COM1")));

  std::vector<Quorvel::TSerialPortInfo> Infos{Adapter};
  Quorvel::GetSerialPortInfos(Infos);
  std::vector<std::string> Names;
  Quorvel::GetSerialPorts(Names);
  ASSERT_EQ(Infos.size(), Names.size());
  for (std::size_t I = 0; I < Infos.size(); ++I) {
    EXPECT_EQ(Infos[I].Device, Names[I]);
    EXPECT_EQ(Infos[I].Name, Infos[I].StableName.empty() ? Infos[I].Device : Infos[I].StableName);
    EXPECT_TRUE(Quorvel::SerialPortPresent(Infos[I].Name)) << Infos[I].Name;
  }
}

TEST(SerialPortList, PresenceFollowsLinksAndOpensNothing) {
  TTempDir Dir;
  const fs::path Link = Dir.Path / "port with spaces é";
  fs::create_symlink("/dev/null", Link);  // a character device
  EXPECT_TRUE(Quorvel::SerialPortPresent(Link.string()));
  fs::remove(Link);
  fs::create_symlink(Dir.Path / "nowhere", Link);
  EXPECT_FALSE(Quorvel::SerialPortPresent(Link.string())) << "a link that points nowhere";
  WriteFile(Dir.Path / "file", "");
  EXPECT_FALSE(Quorvel::SerialPortPresent((Dir.Path / "file").string())) << "not a device";
  EXPECT_FALSE(Quorvel::SerialPortPresent(""));
  EXPECT_TRUE(Quorvel::StableNamesOf((Dir.Path / "nowhere").string()).empty());
}
