#include <Quorvel/SerialPorts.h>

#include "platform/SerialPort.h"
#include "platform/SerialPortList.h"
#include "platform/Socket.h"

namespace Quorvel {

void GetSerialPorts(std::vector<std::string>& Ports) {
  Ports.clear();
  Ports = Platform::ListSerialPorts();
}

std::string TSerialPortInfo::Description() const {
  std::string Text = Manufacturer;
  // Makers often repeat their name in the product string.
  if (!Product.empty() && Product.rfind(Manufacturer, 0) != 0) Text += (Text.empty() ? "" : " ") + Product;
  if (!Product.empty() && Product.rfind(Manufacturer, 0) == 0) Text = Product;
  if (!SerialNumber.empty()) Text += (Text.empty() ? "serial " : ", serial ") + SerialNumber;
  return Text.empty() ? Device : Text + " (" + Device + ")";
}

bool TSerialPortInfo::IsNamedBy(const std::string& PortName) const {
  if (PortName.empty()) return false;
  if (PortName == Name || PortName == StableName || PortName == Device) return true;
  const std::string Path = Platform::DevicePath(PortName);
  return Path == Platform::DevicePath(Device) || (!StableName.empty() && Path == Platform::DevicePath(StableName));
}

void GetSerialPortInfos(std::vector<TSerialPortInfo>& Ports) {
  Ports.clear();
  for (Platform::TPortDetails& Details : Platform::DescribeSerialPorts()) {
    TSerialPortInfo Info;
    Info.Name = Details.StableName.empty() ? Details.Device : Details.StableName;
    Info.Device = std::move(Details.Device);
    Info.StableName = std::move(Details.StableName);
    Info.Manufacturer = std::move(Details.Manufacturer);
    Info.Product = std::move(Details.Product);
    Info.SerialNumber = std::move(Details.SerialNumber);
    Ports.push_back(std::move(Info));
  }
}

std::vector<std::string> StableNamesOf(const std::string& PortName) { return Platform::StableNamesLeadingTo(PortName); }

// A device server may be back at any moment, and only connecting can tell: a TCP name is always
// worth a try.
bool SerialPortPresent(const std::string& PortName) {
  return Platform::ParseTcpPortName(PortName).Kind != Platform::TTcpPortName::None ||
         Platform::IsSerialDevicePresent(PortName);
}

}  // namespace Quorvel
