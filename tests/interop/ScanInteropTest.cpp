// The line scanner against libmodbus's RTU server: found at its address, told apart from the
// addresses around it, identified by its report (it has no 43/14).

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include <Quorvel/Connection.h>
#include <Quorvel/Messages.h>
#include <Quorvel/Scanner.h>
#include "InteropData.h"
#include "Peers.h"
#include "VirtualSerialLine.h"

using namespace Quorvel;
using namespace QuorvelInterop;

namespace {

TEST(ScanInterop, FindsALibmodbusServerAndItsIdentificationReport) {
  Testing::TVirtualSerialLine Line(BaudRate);
  TLibmodbusServer Server(Line.PortB(), 17, true);
  for (const bool Burst : {false, true}) {
    TModbusScanner Scanner;
    Scanner.Connection().SetPort(Line.PortA());
    TScanPlan Plan;
    // After a request to another address libmodbus waits 50 ms (the peer's setting) for that
    // server's reply and takes whatever comes meanwhile as it: a burst probe that follows an
    // unanswered one within its 54 ms can go unheard. Burst mode meets it first.
    Plan.Addresses = Burst ? std::vector<Byte>{17, 18} : std::vector<Byte>{15, 16, 17, 18};
    Plan.Burst = Burst;
    // libmodbus's server thread answers at once; the normal scan needs no second.
    if (!Burst) Plan.Timeout = 300;
    Scanner.SetPlan(Plan);
    std::optional<TScanOutcome> Outcome;
    Scanner.SetOnFinished([&Outcome](TModbusScanner&, TScanOutcome How) { Outcome = How; });
    Scanner.Start();
    ASSERT_TRUE(MainThread::ProcessMessagesUntil([&] { return Outcome.has_value(); }, 30000));
    EXPECT_EQ(Outcome, soCompleted);
    ASSERT_EQ(Scanner.Devices().size(), 1u) << "burst " << Burst;
    const TScanDevice& Device = Scanner.Devices().front();
    EXPECT_EQ(Device.Address, 17);
    EXPECT_EQ(Device.Line, (TScanLineSettings{BaudRate, psNone, tmRTU}));
    // Register 0 is in its table.
    EXPECT_FALSE(Device.Refused);
    // "LMB" and its version, after the server id and the run indicator.
    EXPECT_EQ(Device.Identity.rfind("LMB", 0), 0u) << Device.Identity;
  }
}

}  // namespace
