#include "DeviceOptions.h"

#include <Quorvel/Connection.h>

namespace Dorvane {

using namespace Quorvel;

TDeviceOptions ParseDeviceOptions(const std::vector<std::string>& Args) {
  TDeviceOptions Options;
  TCommandLine Command(Args);
  while (Command.Next()) {
    const std::string& Option = Command.Option();
    if (Option == "--help" || Option == "-h") {
      Command.Flag();
      Options.Help = true;
    } else if (Option == "--version") {
      Command.Flag();
      Options.Version = true;
    } else if (Option == "--port") {
      Options.Port = Command.Value();
      if (Options.Port.empty()) throw EUsageError("--port needs a port name");
    } else if (Option == "--tcp" || Option == "--modbus-tcp") {
      Options.Tcp = Command.Value();
      Options.ModbusTcp = Option == "--modbus-tcp";
      // The host and port themselves are checked by opening them.
      if (Options.Tcp.find(':') == std::string::npos) throw EUsageError(Option + " needs HOST:PORT");
    } else if (Option == "--address") {
      const Cardinal Address = ParseCount(Option, Command.Value());
      if (Address < 1 || Address > 247) throw EUsageError("--address: 1 to 247");
      Options.Address = static_cast<Byte>(Address);
    } else if (Option == "--length-aware") {
      Command.Flag();
      Options.LengthAware = true;
    } else if (Option == "--gap") {
      Options.InterFrameGap = ParseCount(Option, Command.Value());
      Options.LengthAware = true;
    } else if (!ReadLineOption(Command, Options)) {
      throw EUsageError("unknown argument '" + Command.Argument() + "'");
    }
  }
  if (!Options.Tcp.empty() && !Options.Port.empty()) throw EUsageError("--port and --tcp: one or the other");
  if (Options.ModbusTcp && Options.TransmissionMode == tmASCII) throw EUsageError("--modbus-tcp has its own framing: no --ascii");
  return Options;
}

std::string DeviceUsage(const std::string& Program) {
  return "Usage: " + Program +
         " [--port PATH | --tcp HOST:PORT | --modbus-tcp HOST:PORT] [--address N] [--ascii]\n"
         "       [--baud RATE] [--parity none|odd|even] [--data-bits 7|8] [--stop-bits 1|2] [--length-aware]\n"
         "       [--gap MICROSECONDS]\n"
         "\n"
         "A simulated field display: a Modbus server whose holding registers 443..453 carry the\n"
         "two 20-column lines of its display. It prints the display after every write.\n"
         "\n"
         "  --port PATH       serve on this serial port; without it the device makes a virtual\n"
         "                    serial line and prints the name of its other end as \"Port: NAME\"\n"
         "                    once it listens\n"
         "  --address N       the server address it answers at, 1 to 247 (default: 1)\n"
         "  --ascii           Modbus ASCII framing (default: RTU)\n"
         "  --baud RATE       bits per second (default: 19200)\n"
         "  --parity P        none, odd or even (default: none)\n"
         "  --data-bits N     7 or 8 (default: 8)\n"
         "  --stop-bits N     1 or 2 (default: 1)\n"
         "  --length-aware    RTU: answer as soon as a request's last byte is in, instead of after\n"
         "                    the silence that follows it\n"
         "  --gap US          with length-aware framing, the quiet kept before an answer, in\n"
         "                    microseconds (default: 3.5 characters; 0 for none)\n"
         "  --version         print the version and end\n"
         "\n"
         "Ctrl-C stops it.\n";
}

void ApplyLineSettings(const TDeviceOptions& Options, TModbusConnection& Connection) {
  ApplyLineOptions(Options, Connection);
  if (Options.ModbusTcp) Connection.SetTransmissionMode(tmModbusTCP);
  Connection.SetConnectionMode(cmServer);
  Connection.SetLengthAwareFraming(Options.LengthAware);
  Connection.SetInterFrameGap(Options.InterFrameGap);
}

std::string DescribeLineSettings(const TDeviceOptions& Options) {
  static const char ParityLetters[] = {'N', 'O', 'E'};
  if (Options.ModbusTcp) return "Modbus TCP";
  return std::string(Options.TransmissionMode == tmASCII ? "ASCII" : "RTU") + (Options.Tcp.empty() ? "" : " over TCP") + ", " +
         std::to_string(Options.BaudRate) + " bit/s, " + (Options.DataBits == db7 ? "7" : "8") +
         ParityLetters[Options.Parity] + (Options.StopBits == sb1 ? "1" : "2") +
         (Options.LengthAware ? ", length-aware" : "");
}

}  // namespace Dorvane
