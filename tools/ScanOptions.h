#pragma once
// quorvel-scan's command line, and the words it prints for what the scan finds.

#include <string>
#include <vector>

#include <Quorvel/ConnectionSettings.h>
#include <Quorvel/Scanner.h>

namespace Dorvane {

struct TScanOptions {
  std::string Port;
  Quorvel::TScanPlan Plan;
  bool Help = false;
  bool Version = false;
};

// Args without the program name. Raises EUsageError (CommandLine.h), with a message for the
// user, on anything it does not understand.
TScanOptions ParseScanOptions(const std::vector<std::string>& Args);

std::string ScanUsage(const std::string& Program);

// "19200 bit/s, 8N1, RTU": the line setting with the connection's data and stop bits.
std::string DescribeScanLine(const Quorvel::TScanLineSettings& Line, Quorvel::TDataBits DataBits,
                             Quorvel::TStopBits StopBits);

// One line per device found: its address, line setting, round trip and identity, and the exception
// with which it refused the probe.
std::string DescribeScanDevice(const Quorvel::TScanDevice& Device, Quorvel::TDataBits DataBits,
                               Quorvel::TStopBits StopBits);

// "12 of 247 combinations, 1 device found; now address 12 at 19200 bit/s, 8N1, RTU"
std::string DescribeScanProgress(const Quorvel::TScanProgress& Progress, Quorvel::TDataBits DataBits,
                                 Quorvel::TStopBits StopBits);

}  // namespace Dorvane
