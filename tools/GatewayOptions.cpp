#include "GatewayOptions.h"

#include <Quorvel/Connection.h>

namespace Dorvane {

using namespace Quorvel;

TGatewayOptions ParseGatewayOptions(const std::vector<std::string>& Args) {
  TGatewayOptions Options;
  TCommandLine Command(Args);
  while (Command.Next()) {
    const std::string& Option = Command.Option();
    if (Option == "--help" || Option == "-h") {
      Command.Flag();
      Options.Help = true;
    } else if (Option == "--version") {
      Command.Flag();
      Options.Version = true;
    } else if (Option == "--listen") {
      Options.Listen = Command.Value();
      if (Options.Listen.find(':') == std::string::npos) throw EUsageError("--listen needs HOST:PORT");
    } else if (Option == "--max-clients") {
      Options.MaxClients = ParseCount(Option, Command.Value());
      if (Options.MaxClients < 1 || Options.MaxClients > TModbusConnection::MaxClientsLimit)
        throw EUsageError("--max-clients: 1 to " + std::to_string(TModbusConnection::MaxClientsLimit));
    } else if (Option == "--idle-timeout") {
      Options.IdleTimeout = ParseCount(Option, Command.Value());
    } else if (Option == "--timeout") {
      Options.Timeout = ParseCount(Option, Command.Value());
      if (Options.Timeout == 0) throw EUsageError("--timeout: above 0 ms");
    } else if (Option == "--retries") {
      Options.Retries = ParseCount(Option, Command.Value());
      if (Options.Retries == 0) throw EUsageError("--retries: at least 1 attempt");
    } else if (!Option.empty() && Option[0] != '-' && Options.SerialPort.empty()) {
      Options.SerialPort = Option;
    } else if (!ReadLineOption(Command, Options)) {
      throw EUsageError("unknown argument '" + Command.Argument() + "'");
    }
  }
  if (Options.SerialPort.empty() && !Options.Help && !Options.Version) throw EUsageError("no serial port named");
  return Options;
}

std::string GatewayUsage(const std::string& Program) {
  return "Usage: " + Program +
         " [--listen HOST:PORT] [--max-clients N] [--idle-timeout MS] [--ascii] [--baud RATE]\n"
         "       [--parity none|odd|even] [--data-bits 7|8] [--stop-bits 1|2] [--timeout MS] [--retries N]\n"
         "       SERIAL_PORT\n"
         "\n"
         "A Modbus TCP server in front of a serial line: every request of its TCP clients goes on to\n"
         "the line, one at a time in the order they came, and the line's reply goes back. No reply is\n"
         "exception 0Bh, a lost line exception 0Ah; a broadcast (unit 0) is passed on unanswered.\n"
         "\n"
         "  --listen HOST:PORT  where clients connect (default: 127.0.0.1:502, this machine only)\n"
         "  --max-clients N     connections served at once (default: 8; at most 60)\n"
         "  --idle-timeout MS   a connection silent this long is closed (default: 60000)\n"
         "  --ascii             Modbus ASCII on the line (default: RTU)\n"
         "  --baud RATE         bits per second (default: 19200)\n"
         "  --parity P          none, odd or even (default: none)\n"
         "  --data-bits N       7 or 8 (default: 8)\n"
         "  --stop-bits N       1 or 2 (default: 1)\n"
         "  --timeout MS        how long a reply on the line may take (default: 1000)\n"
         "  --retries N         attempts per request (default: 1)\n"
         "  --version           print the version and end\n"
         "\n"
         "SIGUSR1 prints its statistics; Ctrl-C stops it, and prints them once more.\n";
}

void ApplyGatewayOptions(const TGatewayOptions& Options, TModbusConnection& Tcp, TModbusConnection& Serial) {
  Tcp.SetTransmissionMode(tmModbusTCP);
  Tcp.SetConnectionMode(cmServer);
  Tcp.SetPort("tcp-listen://" + Options.Listen);
  Tcp.SetMaxClients(Options.MaxClients);
  Tcp.SetIdleTimeout(Options.IdleTimeout);

  ApplyLineOptions(Options, Serial);
  Serial.SetConnectionMode(cmClient);
  Serial.SetPort(Options.SerialPort);
  Serial.SetReceiveTimeout(Options.Timeout);
  Serial.SetMaxRetries(Options.Retries);
}

}  // namespace Dorvane
