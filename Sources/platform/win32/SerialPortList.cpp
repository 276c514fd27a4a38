#include "platform/SerialPortList.h"

#include <algorithm>
#include <cctype>

#include "platform/SerialPort.h"
#include "platform/win32/RegistryPorts.h"

namespace Quorvel::Platform {

namespace Win32 {

namespace {

// Closes the key on every path out.
class TRegistryKey {
 public:
  TRegistryKey(HKEY Root, const char* SubKey) {
    if (::RegOpenKeyExA(Root, SubKey, 0, KEY_READ, &Key_) != ERROR_SUCCESS) Key_ = nullptr;
  }
  ~TRegistryKey() {
    if (Key_ != nullptr) ::RegCloseKey(Key_);
  }
  TRegistryKey(const TRegistryKey&) = delete;
  TRegistryKey& operator=(const TRegistryKey&) = delete;
  HKEY Get() const { return Key_; }

 private:
  HKEY Key_ = nullptr;
};

std::vector<std::string> ValueNames(HKEY Key) {
  DWORD Count = 0, LongestName = 0;
  if (::RegQueryInfoKeyA(Key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &Count, &LongestName, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS)
    return {};
  std::vector<std::string> Names;
  std::string Name(static_cast<std::size_t>(LongestName) + 1, '\0');
  for (DWORD Index = 0; Index < Count; ++Index) {
    DWORD Length = static_cast<DWORD>(Name.size());
    if (::RegEnumValueA(Key, Index, Name.data(), &Length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) continue;
    Names.emplace_back(Name.data(), Length);
  }
  return Names;
}

// The data of a REG_SZ value, without the terminating null that the registry may or may not hold.
bool ReadString(HKEY Key, const std::string& Name, std::string& Value) {
  DWORD Type = 0, Size = 0;
  if (::RegQueryValueExA(Key, Name.c_str(), nullptr, &Type, nullptr, &Size) != ERROR_SUCCESS || Type != REG_SZ)
    return false;
  std::string Data(Size, '\0');
  if (Size > 0 &&
      ::RegQueryValueExA(Key, Name.c_str(), nullptr, &Type, reinterpret_cast<BYTE*>(Data.data()), &Size) != ERROR_SUCCESS)
    return false;
  Data.resize(Size);
  while (!Data.empty() && Data.back() == '\0') Data.pop_back();
  Value = std::move(Data);
  return true;
}

}  // namespace

std::vector<std::string> ListSerialPortsUnder(HKEY Root, const char* SubKey) {
  const TRegistryKey Key(Root, SubKey);
  if (Key.Get() == nullptr) return {};
  // Each value is one serial device: its name is the driver's device name, its data the port name.
  std::vector<std::string> Ports;
  for (const std::string& Name : ValueNames(Key.Get())) {
    std::string Port;
    if (ReadString(Key.Get(), Name, Port)) Ports.push_back(std::move(Port));
  }
  return Ports;
}

}  // namespace Win32

std::vector<std::string> ListSerialPorts() {
  return Win32::ListSerialPortsUnder(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM");
}

// The registry names each port by its COM name only: no stable name, no adapter strings.
std::vector<TPortDetails> DescribeSerialPorts() {
  std::vector<TPortDetails> Ports;
  for (std::string& Name : ListSerialPorts()) {
    TPortDetails Details;
    Details.Device = std::move(Name);
    Ports.push_back(std::move(Details));
  }
  std::sort(Ports.begin(), Ports.end(), [](const TPortDetails& A, const TPortDetails& B) { return A.Device < B.Device; });
  return Ports;
}

std::vector<std::string> StableNamesLeadingTo(const std::string&) { return {}; }

// Present when the registry lists it now: a pulled USB adapter leaves the list.
bool IsSerialDevicePresent(const std::string& PortName) {
  const auto Upper = [](std::string Text) {
    std::transform(Text.begin(), Text.end(), Text.begin(), [](unsigned char C) { return static_cast<char>(std::toupper(C)); });
    return Text;
  };
  const std::string Wanted = Upper(DevicePath(PortName));
  if (Wanted.empty()) return false;
  const std::vector<std::string> Ports = ListSerialPorts();
  return std::any_of(Ports.begin(), Ports.end(), [&](const std::string& Port) { return Upper(DevicePath(Port)) == Wanted; });
}

}  // namespace Quorvel::Platform
