// The connection component: settings, opening and closing, and what reaches the port.

#include <iostream>

#include <Quorvel/Application.h>
#include <Quorvel/Errors.h>
#include "ErrorMessage.h"
#include "LineFixture.h"
#include "TestPlatform.h"

using namespace Quorvel;
using namespace QuorvelTest;

namespace {

const std::string MustNotBeActive = "Connection must NOT be active for the requested action to be performed";

// A port name that no system has: /dev/quorvel-no-such-port on POSIX, \\.\quorvel-no-such-port on Windows.
const std::string NoSuchPort = "quorvel-no-such-port";

}  // namespace

TEST(Connection, StartsWithTheDefaults) {
  TModbusConnection C;
  EXPECT_FALSE(C.Active());
  EXPECT_EQ(C.BaudRate(), br19200);
  EXPECT_EQ(C.ConnectionMode(), cmClient);
  EXPECT_EQ(C.CustomBaudRate(), 19200u);
  EXPECT_EQ(C.DataBits(), db8);
  EXPECT_TRUE(C.DTREnabled());
  EXPECT_FALSE(C.EchoQueryBeforeReply());
  EXPECT_EQ(C.FlowControl(), fcNone);
  EXPECT_FALSE(C.HookExistingPort());
  EXPECT_EQ(C.MaxRetries(), 1u);
  EXPECT_EQ(C.Parity(), psEven);
  EXPECT_EQ(C.Port(), "COM1");
  EXPECT_EQ(C.ReceiveTimeout(), 1000u);
  EXPECT_EQ(C.RefetchDelay(), 0u);
  EXPECT_TRUE(C.RTSEnabled());
  EXPECT_EQ(C.SendTimeout(), 1000u);
  EXPECT_EQ(C.SilentInterval(), 4u);
  EXPECT_EQ(C.StopBits(), sb1);
  EXPECT_EQ(C.ThreadPriority(), tpNormal);
  EXPECT_EQ(C.TransmissionMode(), tmRTU);
  EXPECT_EQ(C.TurnaroundDelay(), 100u);
  EXPECT_EQ(C.GetSilentTime(), 0u) << "computed only when the port opens";
  EXPECT_FALSE(C.LengthAwareFraming());
  EXPECT_EQ(C.InterFrameGap(), TModbusConnection::StandardInterFrameGap);
  EXPECT_EQ(C.NextTransactionID(), 0u);
  EXPECT_EQ(C.NextTransactionID(), 1u);
}

TEST(Connection, CustomRateAndRetries) {
  TModbusConnection C;
  C.SetCustomBaudRate(19200);
  EXPECT_EQ(C.BaudRate(), br19200) << "an equal value changes nothing";
  C.SetCustomBaudRate(500000);
  EXPECT_EQ(C.BaudRate(), brCustom);
  EXPECT_EQ(MessageOf([&] { C.SetMaxRetries(0); }), "Value must be between 1 and 4294967295");
  EXPECT_EQ(C.MaxRetries(), 1u);
  C.SetMaxRetries(4294967295u);
  EXPECT_EQ(C.MaxRetries(), 4294967295u);
}

TEST_F(LineTest, ModeAndPortSettingsWaitForAClosedPort) {
  Connection.Open();
  ASSERT_TRUE(Connection.Active());
  const std::string Port = Connection.Port();
  EXPECT_NO_THROW(Connection.SetPort(Port)) << "the same value is no change";
  EXPECT_NO_THROW(Connection.SetTransmissionMode(tmRTU));
  const std::function<void()> Changes[] = {
      [&] { Connection.SetPort("ttyS9"); },
      [&] { Connection.SetConnectionMode(cmServer); },
      [&] { Connection.SetTransmissionMode(tmASCII); },
      [&] { Connection.SetFlowControl(fcRtsCts); },
      [&] { Connection.SetHookExistingPort(true); },
      [&] { Connection.SetDTREnabled(false); },
      [&] { Connection.SetRTSEnabled(false); },
      [&] { Connection.SetLengthAwareFraming(!Connection.LengthAwareFraming()); },
  };
  for (const auto& Change : Changes) EXPECT_EQ(MessageOf(Change), MustNotBeActive);
  EXPECT_EQ(Connection.Port(), Port);
  EXPECT_EQ(Connection.TransmissionMode(), tmRTU);
  // Timing settings may change at any time.
  Connection.SetReceiveTimeout(123);
  Connection.SetMaxRetries(2);
  EXPECT_EQ(Connection.ReceiveTimeout(), 123u);
  Connection.Close();
  Connection.SetPort("ttyS9");
  EXPECT_EQ(Connection.Port(), "ttyS9");
}

TEST_F(LineTest, SilentTimeFollowsTheLine) {
  struct Row {
    TBaudRate Rate;
    TParityScheme Parity;
    TTransmissionMode Mode;
    Cardinal Interval;
    Cardinal Expected;
    Cardinal Gap;  // the standard inter-frame gap, us: 3.5 characters with their start bit
  };
  const Row Rows[] = {
      {br19200, psEven, tmRTU, 4, 20, 2006},    // 2.08 ms, raised to the 20 ms floor; 11 bits
      {br1200, psNone, tmRTU, 4, 30, 29167},    // 9 bits x 4 x 1000 / 1200, exactly
      {br300, psEven, tmRTU, 4, 134, 128334},   // 133.3 rounded up
      {br9600, psNone, tmRTU, 0, 20, 3646},
      {br110, psNone, tmRTU, 1, 82, 318182},    // 81.8 rounded up
      {br19200, psNone, tmASCII, 50, 50, 1823},
      {br19200, psNone, tmASCII, 5, 20, 1823},
      {br115200, psNone, tmRTU, 4, 20, 1750},   // fixed above 19200 bit/s
  };
  for (const auto& R : Rows) {
    if (R.Parity != psNone && Testing::RunningUnderWine()) {
      // Wine applies parity to a pseudo-terminal, which drops it: the block reads back without it.
      std::cout << "[ SKIPPED  ] row with parity: Wine's pseudo-terminal reads it back as none\n";
      continue;
    }
    Connection.SetBaudRate(R.Rate);
    Connection.SetParity(R.Parity);
    Connection.SetTransmissionMode(R.Mode);
    Connection.SetSilentInterval(R.Interval);
    Connection.Open();
    EXPECT_EQ(Connection.GetSilentTime(), R.Expected) << R.Rate << " " << R.Interval;
    EXPECT_EQ(Connection.GetInterFrameGap(), R.Gap) << R.Rate;
    Connection.Close();
  }
  // While open, a line setting recomputes it at once.
  Connection.SetTransmissionMode(tmRTU);
  Connection.SetBaudRate(br1200);
  Connection.SetSilentInterval(4);
  Connection.Open();
  EXPECT_EQ(Connection.GetSilentTime(), 30u);
  Connection.SetStopBits(sb2);
  EXPECT_EQ(Connection.GetSilentTime(), 34u);  // 10 bits
  Connection.SetSilentInterval(8);
  EXPECT_EQ(Connection.GetSilentTime(), 67u);
  EXPECT_EQ(Connection.GetInterFrameGap(), 32084u);  // 3.5 x 11 bits at 1200 bit/s
  Connection.SetInterFrameGap(0);
  EXPECT_EQ(Connection.GetInterFrameGap(), 0u) << "for peers that need no gap";
  Connection.SetInterFrameGap(500);
  EXPECT_EQ(Connection.GetInterFrameGap(), 500u);
  Connection.SetInterFrameGap(TModbusConnection::StandardInterFrameGap);
  EXPECT_EQ(Connection.GetInterFrameGap(), 32084u);
}

TEST_F(LineTest, OpeningRunsItsEventsAroundThePort) {
  std::vector<std::string> Calls;
  const auto Record = [&](const char* Name) {
    return [&, Name](TModbusConnection& C) { Calls.push_back(std::string(Name) + (C.Active() ? "+" : "-")); };
  };
  Connection.SetOnBeforeOpen(Record("BeforeOpen"));
  Connection.SetOnAfterOpen(Record("AfterOpen"));
  Connection.SetOnBeforeClose(Record("BeforeClose"));
  Connection.SetOnAfterClose(Record("AfterClose"));
  Connection.Close();  // nothing to close: no events
  Connection.Open();
  Connection.Open();
  Connection.Close();
  EXPECT_EQ(Calls, (std::vector<std::string>{"BeforeOpen-", "AfterOpen-", "BeforeClose+", "AfterClose+"}))
      << "Active changes only after the events";

  // A throwing OnAfterOpen passes on and leaves the port closed and no worker behind: the port
  // opens again at once, which an exclusive port that was left open would refuse.
  Calls.clear();
  Connection.SetOnAfterOpen([](TModbusConnection&) { throw std::runtime_error("not now"); });
  EXPECT_EQ(MessageOf([&] { Connection.Open(); }), "not now");
  EXPECT_FALSE(Connection.Active());
  EXPECT_EQ(Calls, std::vector<std::string>{"BeforeOpen-"}) << "never active, so no closing events";
  Connection.SetOnAfterOpen(nullptr);
  EXPECT_NO_THROW(Connection.Open());
  EXPECT_TRUE(Connection.Active());
  Connection.Close();

  Calls.clear();
  Connection.SetPort(NoSuchPort);
  EXPECT_EQ(MessageOf([&] { Connection.Open(); }), "Could not open serial port");
  EXPECT_FALSE(Connection.Active());
  EXPECT_EQ(Calls, std::vector<std::string>{"BeforeOpen-"});
}

TEST_F(LineTest, APortIsUsedByOneConnectionAtATime) {
  if (Testing::RunningUnderWine()) GTEST_SKIP() << "Wine lets a second CreateFile open a COM port; Windows refuses it";
  Connection.Open();
  TModbusConnection Second;
  Second.SetPort(Line.PortA());
  Second.SetParity(psNone);
  EXPECT_EQ(MessageOf([&] { Second.Open(); }), "Could not open serial port");
  Connection.Close();
  EXPECT_NO_THROW(Second.Open());
}

TEST_F(LineTest, StoredActiveOpensAtTheEndOfLoading) {
  std::vector<std::string> Shown;
  Application::SetExceptionDisplay([&Shown](const std::string& Message) { Shown.push_back(Message); });
  TComponent Form;
  TModbusConnection* Good = Form.CreateOwned<TModbusConnection>();
  TModbusConnection* Bad = Form.CreateOwned<TModbusConnection>();
  Form.BeginLoading();
  Good->SetActive(true);  // remembered, applied after the other properties
  Good->SetPort(Line.PortA());
  Good->SetParity(psNone);
  EXPECT_FALSE(Good->Active());
  Bad->SetActive(true);
  Bad->SetPort(NoSuchPort);
  Form.EndLoading();
  Application::SetExceptionDisplay(nullptr);
  EXPECT_TRUE(Good->Active());
  EXPECT_FALSE(Bad->Active());
  EXPECT_EQ(Shown, std::vector<std::string>{"Could not open serial port"}) << "shown, and loading went on";
}

TEST_F(LineTest, WhileDesigningActiveIsOnlyAFlag) {
  Connection.SetDesigning(true);
  Connection.Open();
  EXPECT_TRUE(Connection.Active());
  EXPECT_EQ(MessageOf([&] { Connection.CheckActive(); }),
            "Connection MUST be active for the requested action to be performed");
  EXPECT_NO_THROW(Connection.SetTransmissionMode(tmASCII)) << "counts as inactive for the settings";
  TModbusConnection Other;
  Other.SetPort(Line.PortA());
  Other.SetParity(psNone);  // a pseudo-terminal under Wine refuses parity
  EXPECT_NO_THROW(Other.Open()) << "no port was touched";
  Connection.Close();
  EXPECT_FALSE(Connection.Active());
}

TEST_F(LineTest, ClientsFollowTheirConnection) {
  TRecordingClient Second;
  Second.SetConnection(&Connection);
  Second.SetConnection(&Connection);
  Client.SetServerAddress(7);
  Second.SetServerAddress(7);
  EXPECT_EQ(Connection.FindClient(7), &Client) << "registered first";
  EXPECT_EQ(MessageOf([&] { Client.SetServerAddress(0); }), "Value must be between 1 and 247");
  EXPECT_EQ(MessageOf([&] { Client.SetServerAddress(248); }), "Value must be between 1 and 247");
  EXPECT_EQ(Client.ServerAddress(), 7);
  EXPECT_EQ(MessageOf([&] { Client.CheckConnection(); }), "There is no active connection");
  Connection.Open();
  EXPECT_NO_THROW(Client.CheckConnection());

  Client.SetConnection(nullptr);
  EXPECT_EQ(Connection.FindClient(7), &Second);
  {
    TModbusConnection Doomed;
    Client.SetConnection(&Doomed);
  }
  EXPECT_EQ(Client.Connection(), nullptr) << "told by free notification";
  EXPECT_EQ(MessageOf([&] { Client.CheckConnection(); }), "There is no active connection");
}
