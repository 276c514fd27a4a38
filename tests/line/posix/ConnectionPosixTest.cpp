// The connection on a POSIX port that the test holds too: the settings as termios shows them,
// hooked descriptors, and DTR/DSR flow control and RTS toggling with the modem lines played by the
// test.

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "ErrorMessage.h"
#include "FakeModemLines.h"
#include "../LineFixture.h"
#include "TermiosProbe.h"

using namespace Quorvel;
using namespace QuorvelTest;

TEST_F(LineTest, LineSettingsReachThePort) {
  // The port is hooked, so the test holds its own descriptor to read the settings back.
  const int Descriptor = ::open(Line.PortA().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(Descriptor, 0);
  Connection.SetHookExistingPort(true);
  Connection.SetOnGetHookedPortHandle([Descriptor](auto&, Cardinal& Handle) { Handle = static_cast<Cardinal>(Descriptor); });
  Connection.SetBaudRate(br38400);
  Connection.SetStopBits(sb2);
  Connection.SetFlowControl(fcRtsCts);
  Connection.Open();
  termios Settings{};
  ASSERT_EQ(tcgetattr(Descriptor, &Settings), 0);
  EXPECT_EQ(cfgetospeed(&Settings), B38400);
  EXPECT_NE(Settings.c_cflag & CSTOPB, 0u);
  EXPECT_NE(Settings.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(Settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(Settings.c_lflag & (ICANON | ECHO), 0u) << "raw";
  EXPECT_EQ(Settings.c_iflag & ICRNL, 0u) << "CR passes unchanged: ASCII frames end in CR LF";

  // A rate without a termios constant goes through the arbitrary-rate interface, at once.
  Connection.SetCustomBaudRate(500000);
  const auto Rate = Testing::ReadLineRate(Descriptor);
  EXPECT_TRUE(Rate.Valid);
  EXPECT_EQ(Rate.Output, 500000u);
  Connection.SetStopBits(sb1);
  ASSERT_EQ(tcgetattr(Descriptor, &Settings), 0);
  EXPECT_EQ(Settings.c_cflag & CSTOPB, 0u);

  // A rate of 0 would hang the line up: refused, and the property keeps its new value.
  EXPECT_EQ(MessageOf([&] { Connection.SetCustomBaudRate(0); }), "Failed to update device control block");
  EXPECT_EQ(Connection.CustomBaudRate(), 0u);

  Connection.Close();
  EXPECT_NE(fcntl(Descriptor, F_GETFD), -1) << "a hooked descriptor belongs to whoever supplied it";
  ::close(Descriptor);
}

TEST_F(LineTest, HookedPortFailures) {
  Connection.SetHookExistingPort(true);
  EXPECT_EQ(MessageOf([&] { Connection.Open(); }), "Could not open serial port") << "no handler";
  // A descriptor that is no terminal fails the first set-up step and is left open for its owner.
  int Pipe[2];
  ASSERT_EQ(pipe(Pipe), 0);
  Connection.SetOnGetHookedPortHandle([&](auto&, Cardinal& Handle) { Handle = static_cast<Cardinal>(Pipe[0]); });
  EXPECT_EQ(MessageOf([&] { Connection.Open(); }), "Failed to initialize serial I/O buffers");
  EXPECT_FALSE(Connection.Active());
  EXPECT_NE(fcntl(Pipe[0], F_GETFD), -1);
  ::close(Pipe[0]);
  ::close(Pipe[1]);
}

// DTR/DSR flow control over a real line: refused on a port without modem lines; where the driver
// has them, a request waits for DSR and, DSR staying down, ends as a send that timed out.
TEST_F(LineTest, DtrDsrFlowControlWaitsForDsrOrIsRefused) {
  Connection.SetFlowControl(fcDtrDsr);
  EXPECT_EQ(MessageOf([&] { Connection.Open(); }), "Failed to update device control block");
  EXPECT_FALSE(Connection.Active());

  Testing::TFakeModemLines Lines;
  Connection.SetSendTimeout(200);
  Connection.Open();
  EXPECT_EQ(Lines.Dtr, 1);
  TDevice Device(Line.PortB(), [](Testing::TLinePeer& Peer) {
    // Only the second request reaches the line; the first never left.
    const TFrameData Request = Peer.ReadFrame(30ms, 5000ms);
    EXPECT_EQ(Request, WithCrc({0x01, 0x06, 0x00, 0x02, 0x00, 0x02}));
    Peer.Write(Request);
  });
  Line.WaitForOpen(Testing::TLineSide::B, 2s);
  Submit({0x06, 0x00, 0x01, 0x00, 0x01});
  ASSERT_TRUE(PumpUntil([&] { return Client.Replies.size() == 1; }));
  EXPECT_EQ(Client.Replies[0].Info.ReplyStatus, rsNoReply);
  EXPECT_EQ(Connection.Statistics().FramesSent, 0u) << "the send failed";

  Lines.Dsr = true;
  Submit({0x06, 0x00, 0x02, 0x00, 0x02});
  ASSERT_TRUE(PumpUntil([&] { return Client.Replies.size() == 2; }));
  EXPECT_EQ(Client.Replies[1].Info.ReplyStatus, rsSuccess);
  Device.Join();
}

// A line setting changed while a frame is being sent reaches the port between two frames: RTS, which
// the writer raises around each frame (no RS-485 mode on a pseudo-terminal), is never lowered by the
// new settings under the writer.
TEST_F(LineTest, ALineSettingChangedDuringASendIsAppliedAfterTheFrame) {
  Testing::TFakeModemLines Lines;
  Lines.RtsRaiseMs = 300;
  Connection.SetFlowControl(fcRtsToggle);
  Connection.Open();
  const auto Raised = [&Lines] {
    for (const auto& Change : Lines.RtsChanges())
      if (Change.On) return true;
    return false;
  };
  Submit(ReadRequestPdu);
  for (int I = 0; I < 200 && !Raised(); ++I) std::this_thread::sleep_for(5ms);
  ASSERT_TRUE(Raised());
  Connection.SetBaudRate(br9600);  // while the writer is inside its frame
  ASSERT_TRUE(PumpUntil([&] { return !Client.Replies.empty(); }));
  using TChange = Testing::TFakeModemLines::TRtsChange;
  EXPECT_EQ(Lines.RtsChanges(), (std::vector<TChange>{{false, true}, {true, false}, {false, false}, {false, true}}))
      << "opened with RTS at rest; the writer raised it and lowered it; only then did the new settings";
  const int Descriptor = ::open(Line.PortA().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(Descriptor, 0);
  termios Settings{};
  EXPECT_EQ(tcgetattr(Descriptor, &Settings), 0);
  EXPECT_EQ(cfgetospeed(&Settings), B9600);
  ::close(Descriptor);
}
