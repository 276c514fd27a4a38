#include "SerialPorts.h"

#include "platform/SerialPortList.h"

namespace Quorvel {

void GetSerialPorts(std::vector<std::string>& Ports) {
  Ports.clear();
  Ports = Platform::ListSerialPorts();
}

}  // namespace Quorvel
