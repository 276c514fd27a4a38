// quorvel-scan: finds the Modbus devices on a serial line, at every line setting and address
// asked, and tells what each says it is.

#include <unistd.h>

#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include <Quorvel/Connection.h>
#include <Quorvel/Messages.h>
#include <Quorvel/Scanner.h>
#include "DeviceOptions.h"
#include "ScanOptions.h"
#include "ProgramMain.h"
#include "StopSignals.h"

using namespace Quorvel;
using namespace Dorvane;

namespace {

// The progress line is redrawn in place, so only a terminal gets it: a file or a pipe gets the
// devices found and the summary.
class TProgressLine {
 public:
  explicit TProgressLine(bool Terminal) : FTerminal(Terminal) {}
  void Show(const std::string& Text) {
    if (!FTerminal) return;
    std::cout << "\r\033[K" << Text << std::flush;
    FShown = true;
  }
  void Clear() {
    if (!FShown) return;
    std::cout << "\r\033[K" << std::flush;
    FShown = false;
  }

 private:
  bool FTerminal;
  bool FShown = false;
};

int Run(const TScanOptions& Options) {
  TStopSignals Signals;
  TModbusScanner Scanner;
  TModbusConnection& Connection = Scanner.Connection();
  Connection.SetPort(Options.Port);
  Scanner.SetPlan(Options.Plan);
  const TDataBits DataBits = Connection.DataBits();
  const TStopBits StopBits = Connection.StopBits();

  TProgressLine Progress(::isatty(STDOUT_FILENO) == 1);
  bool Finished = false;
  TScanOutcome Outcome = soCompleted;
  Scanner.SetOnDeviceFound([&](TModbusScanner&, const TScanDevice& Device) {
    Progress.Clear();
    std::cout << DescribeScanDevice(Device, DataBits, StopBits) << std::endl;
  });
  Scanner.SetOnProgress([&](TModbusScanner&, const TScanProgress& Now) {
    Progress.Show(DescribeScanProgress(Now, DataBits, StopBits));
  });
  Scanner.SetOnFinished([&](TModbusScanner&, TScanOutcome How) {
    Finished = true;
    Outcome = How;
  });

  try {
    Scanner.Start();
  } catch (const std::exception& Error) {
    std::cerr << "quorvel-scan: " << Options.Port << ": " << Error.what() << '\n';
    return 1;
  }
  Signals.Start();
  bool Cancelled = false;
  while (!Finished) {
    MainThread::WaitForMessages(Infinite);
    MainThread::ProcessMessages();
    if (Signals.Stopped() && !Cancelled) {
      Cancelled = true;
      Scanner.Cancel();
    }
  }
  Progress.Clear();

  const TScanProgress& Done = Scanner.Progress();
  const std::size_t Found = Scanner.Devices().size();
  const std::string Devices =
      Found == 0 ? "no device found" : std::to_string(Found) + (Found == 1 ? " device found" : " devices found");
  if (Outcome == soCompleted)
    std::cout << "Scanned " << Done.Total << " combinations: " << Devices << ".\n";
  else if (Outcome == soCancelled)
    std::cout << "Stopped after " << Done.Done << " of " << Done.Total << " combinations: " << Devices << ".\n";
  else
    std::cout << "Failed after " << Done.Done << " of " << Done.Total << " combinations (" << Scanner.FailureMessage()
              << "): " << Devices << ".\n";
  return Found > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  return RunProgram<TScanOptions>({"quorvel-scan", ParseScanOptions, ScanUsage, Run}, argc, argv);
}
