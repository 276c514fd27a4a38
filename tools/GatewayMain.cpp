// quorvel-gateway: a Modbus TCP server in front of a serial line (RTU or ASCII), for reaching
// the devices on a local port from anywhere that speaks Modbus TCP.

#include <iostream>
#include <string>
#include <vector>

#include <Quorvel/Connection.h>
#include <Quorvel/Messages.h>
#include "Gateway.h"
#include "GatewayOptions.h"
#include "ProgramMain.h"
#include "StopSignals.h"

using namespace Quorvel;
using namespace Dorvane;

namespace {

// A lost line is tried again this often.
constexpr Cardinal ReconnectIntervalMs = 1000;

int Run(const TGatewayOptions& Options) {
  TStopSignals Signals(true);
  TModbusConnection Serial;
  TModbusConnection Tcp;
  ApplyGatewayOptions(Options, Tcp, Serial);
  TGateway Gateway(Tcp, Serial);
  Serial.Open();
  bool Announced = false;
  Tcp.SetOnReady([&](TModbusConnection&) {
    if (Announced) return;
    Announced = true;
    std::cout << "Gateway on " << Options.Listen << " (at most " << Options.MaxClients << " clients) to "
              << Options.SerialPort << " (" << (Options.TransmissionMode == tmASCII ? "ASCII" : "RTU") << ", "
              << Options.BaudRate << " bit/s). Ctrl-C stops it.\n"
              << std::flush;
  });
  Tcp.Open();

  Signals.Start();
  while (!Signals.Stopped()) {
    MainThread::WaitForMessages(Gateway.LineLost() ? ReconnectIntervalMs : Infinite);
    MainThread::ProcessMessages();
    if (Signals.TakeReportRequest()) std::cout << Gateway.Report() << std::flush;
    if (Gateway.LineLost() && Gateway.Reconnect()) std::cout << "Serial line " << Options.SerialPort << " back.\n" << std::flush;
  }
  Tcp.Close();
  Serial.Close();
  std::cout << Gateway.Report() << "Stopped.\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return RunProgram<TGatewayOptions>({"quorvel-gateway", ParseGatewayOptions, GatewayUsage, Run}, argc, argv);
}
