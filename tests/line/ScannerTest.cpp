// The line scanner: the scan core against the simulated device over virtual lines (another
// address, ASCII, burst mode, cancelled, misused).

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <Quorvel/Connection.h>
#include <Quorvel/Errors.h>
#include <Quorvel/Messages.h>
#include <Quorvel/Scanner.h>
#include <Quorvel/Version.h>
#include "DeviceOptions.h"
#include "DisplayDevice.h"
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

}  // namespace
