#pragma once
// quorvel-gateway's command line.

#include <string>
#include <vector>

#include <Quorvel/ConnectionSettings.h>
#include <Quorvel/Types.h>
#include "LineOptions.h"

namespace Quorvel {
class TModbusConnection;
}

namespace Dorvane {

// The line options are the serial line's, where the gateway is the client.
struct TGatewayOptions : TLineOptions {
  // Where the Modbus TCP clients connect: this machine only, unless told otherwise.
  std::string Listen = "127.0.0.1:502";
  Quorvel::Cardinal MaxClients = 8;
  Quorvel::Cardinal IdleTimeout = 60000;
  std::string SerialPort;
  Quorvel::Cardinal Timeout = 1000;  // ms for a reply on the line
  Quorvel::Cardinal Retries = 1;     // attempts per request
  bool Help = false;
  bool Version = false;
};

// Args without the program name. Raises EUsageError on anything it does not understand.
TGatewayOptions ParseGatewayOptions(const std::vector<std::string>& Args);

std::string GatewayUsage(const std::string& Program);

// Sets up the two closed connections: Tcp as the Modbus TCP server, Serial as the line's client.
void ApplyGatewayOptions(const TGatewayOptions& Options, Quorvel::TModbusConnection& Tcp,
                         Quorvel::TModbusConnection& Serial);

}  // namespace Dorvane
