// The line scanner: the scan core against the simulated device over virtual lines (another
// address, ASCII, burst mode, cancelled, misused), and quorvel-scan as a user runs it.

#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <Quorvel/Connection.h>
#include <Quorvel/Errors.h>
#include <Quorvel/Messages.h>
#include <Quorvel/Scanner.h>
#include <Quorvel/Version.h>
#include "DeviceOptions.h"
#include "DisplayDevice.h"
#include "ProgramProcess.h"
#include "ScanOptions.h"
#include "VirtualSerialLine.h"

namespace {

using namespace Quorvel;
using namespace std::chrono_literals;

const std::string DeviceIdentity = std::string("Quorvel dorvane-device ") + QUORVEL_VERSION_STRING;

// The simulated device at Address in Mode on one end of a line, served on this main thread.
struct TDevice {
  TDevice(const std::string& Port, Byte Address, TTransmissionMode Mode, bool LengthAware = false)
      : Display((Setup(Port, Mode, LengthAware), Connection), Address) {
    Connection.Open();
  }
  void Setup(const std::string& Port, TTransmissionMode Mode, bool LengthAware) {
    Dorvane::TDeviceOptions Options;
    Options.TransmissionMode = Mode;
    Options.LengthAware = LengthAware;
    Connection.SetPort(Port);
    Dorvane::ApplyLineSettings(Options, Connection);
  }
  TModbusConnection Connection;
  Dorvane::TDisplayDevice Display;
};

// A scanner on Port with what its events said.
struct TScan {
  explicit TScan(const std::string& Port) {
    Scanner.Connection().SetPort(Port);
    Scanner.SetOnDeviceFound([this](TModbusScanner&, const TScanDevice& Device) { Found.push_back(Device); });
    Scanner.SetOnProgress([this](TModbusScanner& Sender, const TScanProgress& Progress) {
      Steps.push_back(Progress);
      if (CancelAfter && Steps.size() == *CancelAfter) Sender.Cancel();
    });
    Scanner.SetOnFinished([this](TModbusScanner&, TScanOutcome How) { Outcome = How; });
  }
  // Runs the plan to its end.
  std::optional<TScanOutcome> Run(const TScanPlan& Plan) {
    Found.clear();
    Steps.clear();
    Outcome.reset();
    Scanner.SetPlan(Plan);
    Scanner.Start();
    MainThread::ProcessMessagesUntil([this] { return Outcome.has_value(); }, 60000);
    return Outcome;
  }
  TModbusScanner Scanner;
  std::vector<TScanDevice> Found;
  std::vector<TScanProgress> Steps;
  std::optional<TScanOutcome> Outcome;
  std::optional<std::size_t> CancelAfter;
};

TScanPlan PlanOf(std::vector<TTransmissionMode> Modes, std::vector<Byte> Addresses, Cardinal Timeout) {
  TScanPlan Plan;
  Plan.Modes = std::move(Modes);
  Plan.Addresses = std::move(Addresses);
  Plan.Timeout = Timeout;
  return Plan;
}

TEST(Scanner, FindsTheDeviceAtAnotherAddressInASCIIAndTellsWhoItIs) {
  Testing::TVirtualSerialLine Line(19200);
  TDevice Device(Line.PortB(), 5, tmASCII);
  TScan Scan(Line.PortA());
  Scan.Scanner.Connection().SetReceiveTimeout(777);
  ASSERT_EQ(Scan.Run(PlanOf({tmRTU, tmASCII}, {4, 5, 6}, 300)), soCompleted);

  ASSERT_EQ(Scan.Found.size(), 1u);
  const TScanDevice& Found = Scan.Found.front();
  EXPECT_EQ(Found.Address, 5);
  EXPECT_EQ(Found.Line, (TScanLineSettings{19200, psNone, tmASCII}));
  // Register 0 is not the display's: the exception reply tells just as well that it is there.
  EXPECT_TRUE(Found.Refused);
  EXPECT_EQ(Found.ExceptionCode, 2);
  EXPECT_EQ(Found.Identity, DeviceIdentity);
  EXPECT_GT(Found.RoundTrip, 0u);
  EXPECT_EQ(Scan.Scanner.Devices().size(), 1u);

  // Every combination counted, RTU's three first, the device once it had told who it is.
  ASSERT_EQ(Scan.Steps.size(), 6u);
  for (std::size_t I = 0; I < Scan.Steps.size(); ++I) {
    EXPECT_EQ(Scan.Steps[I].Done, I + 1);
    EXPECT_EQ(Scan.Steps[I].Total, 6u);
    EXPECT_EQ(Scan.Steps[I].Address, 4 + I % 3);
    EXPECT_EQ(Scan.Steps[I].Line.Mode, I < 3 ? tmRTU : tmASCII);
    EXPECT_EQ(Scan.Steps[I].Found, I < 4 ? 0u : 1u) << I;
  }
  // Done: the port let go, the connection's own time-out back.
  EXPECT_FALSE(Scan.Scanner.Scanning());
  EXPECT_FALSE(Scan.Scanner.Connection().Active());
  EXPECT_EQ(Scan.Scanner.Connection().ReceiveTimeout(), 777u);

  // A register the device holds: a plain answer.
  TScanPlan Held = PlanOf({tmASCII}, {5}, 300);
  Held.ProbeRegister = 443;
  ASSERT_EQ(Scan.Run(Held), soCompleted);
  ASSERT_EQ(Scan.Found.size(), 1u);
  EXPECT_FALSE(Scan.Found.front().Refused);
}

TEST(Scanner, BurstModeFindsAPromptDeviceWithinTheShortestTimeOut) {
  // The request and the reply on the wire, the device's silence (20 ms at least) and 25 ms.
  EXPECT_EQ(TModbusScanner::BurstTimeout(19200, tmRTU), 9u + 20u + 25u);
  EXPECT_EQ(TModbusScanner::BurstTimeout(19200, tmASCII), 19u + 20u + 25u);
  EXPECT_EQ(TModbusScanner::BurstTimeout(1200, tmRTU), 138u + 37u + 25u);
  EXPECT_EQ(TModbusScanner::BurstTimeout(0, tmRTU), Infinite);

  Testing::TVirtualSerialLine Line(19200);
  TDevice Device(Line.PortB(), 200, tmRTU, true);
  TScan Scan(Line.PortA());
  TScanPlan Plan = PlanOf({tmRTU}, {199, 200, 201}, 0);
  Plan.Burst = true;
  ASSERT_EQ(Scan.Run(Plan), soCompleted);
  ASSERT_EQ(Scan.Found.size(), 1u);
  EXPECT_EQ(Scan.Found.front().Address, 200);
  EXPECT_EQ(Scan.Found.front().Identity, DeviceIdentity);
  EXPECT_EQ(Scan.Steps.size(), 3u);
  EXPECT_FALSE(Scan.Scanner.Connection().LengthAwareFraming() && Scan.Scanner.Connection().Active());
}

TEST(Scanner, CancelEndsOnceTheRequestUnderWayIsAnsweredAndKeepsWhatWasFound) {
  Testing::TVirtualSerialLine Line(19200);  // nobody answers
  TScan Scan(Line.PortA());
  Scan.CancelAfter = 3;
  ASSERT_EQ(Scan.Run(PlanOf({tmRTU}, TScanPlan::AllAddresses(), 50)), soCancelled);
  EXPECT_EQ(Scan.Steps.size(), 3u);
  EXPECT_EQ(Scan.Scanner.Progress().Done, 3u);
  EXPECT_EQ(Scan.Scanner.Progress().Total, 247u);
  EXPECT_TRUE(Scan.Found.empty());
  EXPECT_FALSE(Scan.Scanner.Connection().Active());
  // Idle: cancelling does nothing.
  Scan.Scanner.Cancel();
  MainThread::ProcessMessages();
  EXPECT_EQ(Scan.Steps.size(), 3u);
}

TEST(Scanner, RefusesWhatItCannotScan) {
  Testing::TVirtualSerialLine Line(19200);
  TScan Scan(Line.PortA());
  EXPECT_NO_THROW(Scan.Scanner.SetPlan(PlanOf({}, {1}, 50))) << "accepted, but Start refuses it";
  EXPECT_THROW(Scan.Scanner.Start(), std::invalid_argument);
  Scan.Scanner.SetPlan(PlanOf({tmRTU}, {0}, 50));
  EXPECT_THROW(Scan.Scanner.Start(), std::invalid_argument);
  EXPECT_FALSE(Scan.Scanner.Scanning());

  // The port missing: what opening raises, and nothing runs.
  TScan Missing("/nonexistent/ttyScan0");
  Missing.Scanner.SetPlan(PlanOf({tmRTU}, {1}, 50));
  EXPECT_THROW(Missing.Scanner.Start(), EQuorvelError);
  EXPECT_FALSE(Missing.Scanner.Scanning());
  EXPECT_FALSE(Missing.Outcome.has_value());

  // While it scans: neither another start nor another plan.
  Scan.Scanner.SetPlan(PlanOf({tmRTU}, {1, 2}, 50));
  Scan.Scanner.Start();
  EXPECT_THROW(Scan.Scanner.Start(), std::logic_error);
  EXPECT_THROW(Scan.Scanner.SetPlan(TScanPlan{}), std::logic_error);
  EXPECT_TRUE(MainThread::ProcessMessagesUntil([&] { return Scan.Outcome.has_value(); }, 10000));
  EXPECT_EQ(Scan.Outcome, soCompleted);
}

TEST(ScanOptions, ListsRangesAndModes) {
  const auto Options = Dorvane::ParseScanOptions(
      {"--baud", "9600,19200,9600", "--parity=none,even", "--both", "--addresses", "1-3,10,2", "--timeout", "80",
       "--burst", "/dev/ttyUSB0"});
  EXPECT_EQ(Options.Port, "/dev/ttyUSB0");
  EXPECT_EQ(Options.Plan.BaudRates, (std::vector<Cardinal>{9600, 19200}));
  EXPECT_EQ(Options.Plan.Parities, (std::vector<TParityScheme>{psNone, psEven}));
  EXPECT_EQ(Options.Plan.Modes, (std::vector<TTransmissionMode>{tmRTU, tmASCII}));
  EXPECT_EQ(Options.Plan.Addresses, (std::vector<Byte>{1, 2, 3, 10}));
  EXPECT_EQ(Options.Plan.Timeout, 80u);
  EXPECT_TRUE(Options.Plan.Burst);
  EXPECT_EQ(Options.Plan.Combinations(), 2u * 2u * 2u * 4u);

  // The defaults are the utility's start-up settings, every address.
  const auto Defaults = Dorvane::ParseScanOptions({"COM1"});
  EXPECT_EQ(Defaults.Plan.LineSettings(), (std::vector<TScanLineSettings>{{19200, psNone, tmRTU}}));
  EXPECT_EQ(Defaults.Plan.Addresses.size(), 247u);
  EXPECT_FALSE(Defaults.Plan.Burst);
  EXPECT_EQ(Dorvane::ParseScanOptions({"--ascii", "p"}).Plan.Modes, std::vector<TTransmissionMode>{tmASCII});

  const std::vector<std::vector<std::string>> Refused = {
      {}, {"--baud", "0", "p"}, {"--baud", "9600,,19200", "p"}, {"--parity", "mark", "p"}, {"--addresses", "0-5", "p"},
      {"--addresses", "5-3", "p"}, {"--addresses", "248", "p"}, {"--timeout", "0", "p"}, {"--burst=1", "p"},
      {"--verbose", "p"}, {"p", "q"}, {"--timeout"}};
  for (const auto& Args : Refused) EXPECT_THROW(Dorvane::ParseScanOptions(Args), Dorvane::EUsageError) << ::testing::PrintToString(Args);

  TScanDevice Device;
  Device.Address = 7;
  Device.Line = {9600, psEven, tmASCII};
  Device.Refused = true;
  Device.ExceptionCode = 2;
  Device.RoundTrip = 31;
  EXPECT_EQ(Dorvane::DescribeScanDevice(Device, db7, sb1),
            "Found address 7 at 9600 bit/s, 7E1, ASCII: no identification, round trip 31 ms, probe refused with "
            "exception 2 (Illegal data address)");
  Device.Identity = "LMB3.1.6";
  Device.Refused = false;
  EXPECT_EQ(Dorvane::DescribeScanDevice(Device, db8, sb2),
            "Found address 7 at 9600 bit/s, 8E2, ASCII: \"LMB3.1.6\", round trip 31 ms");
}

#if defined(QUORVEL_SCAN_PROGRAM) && defined(DORVANE_DEVICE_PROGRAM)

// The port that the device's output names after "Port: ".
std::string PortIn(const std::string& Output) {
  const auto Start = Output.find("Port: ");
  if (Start == std::string::npos) return {};
  return Output.substr(Start + 6, Output.find('\n', Start) - Start - 6);
}

TEST(ScanProgram, FindsTheSimulatedDeviceAtAnUnknownAddressAndFraming) {
  Testing::TProgramProcess Device({DORVANE_DEVICE_PROGRAM, "--address", "9", "--ascii"});
  ASSERT_TRUE(Device.WaitForOutput("Ctrl-C stops it.\n", 5000ms)) << Device.Output;
  EXPECT_NE(Device.Output.find("server address 9"), std::string::npos) << Device.Output;
  const std::string Port = PortIn(Device.Output);
  ASSERT_FALSE(Port.empty()) << Device.Output;

  Testing::TProgramProcess Scan({QUORVEL_SCAN_PROGRAM, "--both", "--addresses", "8-10", "--timeout", "300", Port});
  ASSERT_EQ(Scan.WaitForExit(60s), 0) << Scan.Output;
  const std::regex Expected("Found address 9 at 19200 bit/s, 8N1, ASCII: \"Quorvel dorvane-device [^\"]+\", round trip "
                            "[0-9]+ ms, probe refused with exception 2 \\(Illegal data address\\)\n"
                            "Scanned 6 combinations: 1 device found\\.\n");
  EXPECT_TRUE(std::regex_match(Scan.Output, Expected)) << Scan.Output
      << "no progress line when the output is not a terminal";
  EXPECT_EQ(Device.Stop(SIGINT, 5000ms), 0);
}

TEST(ScanProgram, ASilentLineEndsWithNothingFoundAndCtrlCStopsIt) {
  Testing::TVirtualSerialLine Line(19200);
  {
    Testing::TProgramProcess Scan({QUORVEL_SCAN_PROGRAM, "--burst", "--addresses", "1-4", Line.PortA()});
    EXPECT_EQ(Scan.WaitForExit(60s), 1) << Scan.Output;
    EXPECT_EQ(Scan.Output, "Scanned 4 combinations: no device found.\n");
  }
  {
    // On a terminal a progress line, redrawn in place, and the summary where it was.
    Testing::TProgramProcess Scan({QUORVEL_SCAN_PROGRAM, "--burst", "--addresses", "1,2", Line.PortA()}, true);
    EXPECT_EQ(Scan.WaitForExit(60s), 1) << Scan.Output;
    EXPECT_EQ(Scan.Output,
              "\r\033[K1 of 2 combinations, 0 devices found; address 1 at 19200 bit/s, 8N1, RTU"
              "\r\033[K2 of 2 combinations, 0 devices found; address 2 at 19200 bit/s, 8N1, RTU"
              "\r\033[KScanned 2 combinations: no device found.\r\n");
  }
  {
    Testing::TProgramProcess Scan({QUORVEL_SCAN_PROGRAM, "--timeout", "100", Line.PortA()});
    ASSERT_TRUE(Line.WaitForOpen(Testing::TLineSide::A, 5s));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(Scan.Stop(SIGINT, 10s), 1) << Scan.Output;
    EXPECT_EQ(Scan.Output.rfind("Stopped after ", 0), 0u) << Scan.Output;
    EXPECT_NE(Scan.Output.find(" of 247 combinations: no device found.\n"), std::string::npos) << Scan.Output;
  }
  {
    Testing::TProgramProcess Scan({QUORVEL_SCAN_PROGRAM, "/nonexistent/ttyScan0"});
    EXPECT_EQ(Scan.WaitForExit(10s), 1);
    Testing::TProgramProcess Usage({QUORVEL_SCAN_PROGRAM, "--addresses", "300", "p"});
    EXPECT_EQ(Usage.WaitForExit(10s), 2);
  }
}

#endif

}  // namespace
