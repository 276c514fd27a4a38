// dorvane-device: the field display that the utility talks to, simulated on the library's server
// side, for running the utility without the hardware.

#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <Quorvel/Connection.h>
#include <Quorvel/Messages.h>
#include "DeviceOptions.h"
#include "DisplayDevice.h"
#include "PseudoTerminalPair.h"
#include "ProgramMain.h"
#include "StopSignals.h"

using namespace Quorvel;
using namespace Dorvane;

namespace {

int Run(const TDeviceOptions& Options) {
  TStopSignals Signals;
  std::optional<TPseudoTerminalPair> Line;
  std::string DevicePort = Options.Tcp.empty() ? Options.Port : "tcp-listen://" + Options.Tcp;
  if (DevicePort.empty()) {
    Line.emplace();
    DevicePort = Line->PortB();
  }

  TModbusConnection Connection;
  Connection.SetPort(DevicePort);
  ApplyLineSettings(Options, Connection);
  TDisplayDevice Device(Connection, Options.Address);
  Device.SetOnWrite([](TDisplayDevice& Sender, Word Start, Word Count) {
    std::cout << "Registers " << Start << ".." << Start + Count - 1 << " written:\n"
              << DisplayBox(Sender.Line(1), Sender.Line(2)) << std::flush;
  });
  // Announced once the device listens, so that a request sent on reading the port is answered.
  Connection.SetOnReady([&](TModbusConnection&) {
    if (Line) std::cout << "Port: " << Line->PortA() << '\n';
    std::cout << "Simulated field device on " << DevicePort << ": server address " << int(Device.Server().ServerAddress())
              << ", holding registers " << SelectorRegister << ".." << SelectorRegister + TextRegisterCount << ", "
              << DescribeLineSettings(Options) << ". Ctrl-C stops it.\n"
              << DisplayBox(Device.Line(1), Device.Line(2)) << std::flush;
  });
  Connection.Open();

  Signals.Start();
  while (!Signals.Stopped()) {
    MainThread::WaitForMessages(Infinite);
    MainThread::ProcessMessages();
  }
  Connection.Close();
  std::cout << "Stopped.\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return RunProgram<TDeviceOptions>({"dorvane-device", ParseDeviceOptions, DeviceUsage, Run}, argc, argv);
}
