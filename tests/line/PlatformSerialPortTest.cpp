// The POSIX serial port on pseudo-terminals: naming, exclusive use, set-up, line settings read back
// with termios, waits, hang-ups and transfers.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "FakeModemLines.h"
#include "TermiosProbe.h"
#include "VirtualSerialLine.h"
#include "platform/Event.h"
#include "platform/SerialPort.h"

namespace Quorvel::Platform {
namespace {

using namespace std::chrono_literals;
using Testing::TLinePeer;
using Testing::TVirtualSerialLine;
using TClock = std::chrono::steady_clock;

long long MsSince(TClock::time_point Start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - Start).count();
}

double ProcessCpuSeconds() {
  timespec Used{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &Used);
  return static_cast<double>(Used.tv_sec) + static_cast<double>(Used.tv_nsec) / 1e9;
}

// A bare pseudo-terminal pair whose master the test holds: closing it hangs up the port at once.
class TPtyPair {
 public:
  TPtyPair() {
    Master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (Master_ < 0 || ::grantpt(Master_) != 0 || ::unlockpt(Master_) != 0) throw std::runtime_error("no pty");
    Path_ = ::ptsname(Master_);
    termios Raw{};
    ::tcgetattr(Master_, &Raw);
    ::cfmakeraw(&Raw);
    ::tcsetattr(Master_, TCSANOW, &Raw);
  }
  ~TPtyPair() { CloseMaster(); }
  const std::string& Path() const { return Path_; }
  int Master() const { return Master_; }
  void CloseMaster() {
    if (Master_ >= 0) ::close(Master_);
    Master_ = -1;
  }

 private:
  int Master_ = -1;
  std::string Path_;
};

bool OpenAndSetUp(TSerialPort& Port, const std::string& Name) {
  return Port.Open(Name) && Port.SetupQueues(384, 384) && Port.SetImmediateReads() && Port.ClearEventMask();
}

TEST(PlatformSerialPortTest, DevicePathRules) {
  const struct {
    const char* Name;
    const char* Path;
  } Cases[] = {
      {"/dev/ttyUSB0", "/dev/ttyUSB0"},
      {"/dev/serial/by-id/usb-FTDI_X-if00", "/dev/serial/by-id/usb-FTDI_X-if00"},
      {"ttyUSB0", "/dev/ttyUSB0"},
      {"pts/3", "/dev/pts/3"},
      {"COM1", "/dev/ttyS0"},
      {"COM10", "/dev/ttyS9"},
      {"com3", "/dev/ttyS2"},
      {"COM0", "/dev/COM0"},
      {"COM", "/dev/COM"},
      {"COM1A", "/dev/COM1A"},
      {"", ""},
  };
  for (const auto& Case : Cases) EXPECT_EQ(DevicePath(Case.Name), Case.Path) << Case.Name;
}

TEST(PlatformSerialPortTest, MissingPortLeavesNothingOpen) {
  TSerialPort Port;
  EXPECT_FALSE(Port.Open("/dev/quorvel-no-such-port"));
  EXPECT_FALSE(Port.Open(""));
  EXPECT_FALSE(Port.IsOpen());
  EXPECT_EQ(Port.Handle(), InvalidHandle());
  EXPECT_FALSE(Port.SetupQueues(384, 384));
  EXPECT_EQ(Port.WaitForInput(0, nullptr), TWaitResult::Failed);
  Port.Close();
}

TEST(PlatformSerialPortTest, SecondOpenerIsRefusedEvenAsRootUntilTheFirstCloses) {
  TVirtualSerialLine Line;
  TSerialPort First, Second;
  ASSERT_TRUE(First.Open(Line.PortA()));
  EXPECT_FALSE(Second.Open(Line.PortA()));
  EXPECT_FALSE(Second.Open(Line.PortA().substr(5)));  // the same device by its bare name
  EXPECT_FALSE(Second.IsOpen());
  int Exclusive = 0;
  ASSERT_EQ(::ioctl(First.Handle(), TIOCGEXCL, &Exclusive), 0);
  EXPECT_EQ(Exclusive, 1);

  First.Close();
  EXPECT_FALSE(First.IsOpen());
  First.Close();
  // The relay still holds the terminal: the exclusive flag must not outlive our close.
  const int Probe = ::open(Line.PortA().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(Probe, 0);
  ASSERT_EQ(::ioctl(Probe, TIOCGEXCL, &Exclusive), 0);
  EXPECT_EQ(Exclusive, 0);
  ::close(Probe);
  EXPECT_TRUE(Second.Open(Line.PortA()));
}

TEST(PlatformSerialPortTest, DestroyingAPortReleasesIt) {
  TVirtualSerialLine Line;
  {
    TSerialPort Port;
    ASSERT_TRUE(Port.Open(Line.PortA()));
  }
  TSerialPort Again;
  EXPECT_TRUE(Again.Open(Line.PortA()));
}

TEST(PlatformSerialPortTest, AttachedDescriptorIsUsedButNeverClosed) {
  TPtyPair Pair;
  TSerialPort Port;
  EXPECT_FALSE(Port.Attach(InvalidHookHandle));
  const int Fd = ::open(Pair.Path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);  // blocking, as an application may
  ASSERT_GE(Fd, 0);
  ASSERT_TRUE(Port.Attach(static_cast<THookHandle>(Fd)));
  EXPECT_EQ(Port.Handle(), Fd);
  EXPECT_TRUE(Port.SetupQueues(384, 384));
  EXPECT_TRUE(Port.SetImmediateReads());
  EXPECT_NE(::fcntl(Fd, F_GETFL) & O_NONBLOCK, 0);
  Port.Close();
  EXPECT_FALSE(Port.IsOpen());
  EXPECT_GE(::fcntl(Fd, F_GETFD), 0) << "an attached descriptor was closed";
  ::close(Fd);
  EXPECT_FALSE(Port.Attach(static_cast<THookHandle>(Fd))) << "a closed descriptor was accepted";
}

TEST(PlatformSerialPortTest, SetupRefusesADescriptorThatIsNoTerminal) {
  int Pipe[2];
  ASSERT_EQ(::pipe2(Pipe, O_CLOEXEC), 0);
  TSerialPort Port;
  ASSERT_TRUE(Port.Attach(static_cast<THookHandle>(Pipe[0])));
  EXPECT_FALSE(Port.SetupQueues(384, 384));
  EXPECT_FALSE(Port.SetImmediateReads());
  Port.Close();
  ::close(Pipe[0]);
  ::close(Pipe[1]);
}

TEST(PlatformSerialPortTest, ImmediateReadsGiveRawBytesAtOnce) {
  TPtyPair Pair;
  TSerialPort Port;
  ASSERT_TRUE(OpenAndSetUp(Port, Pair.Path()));
  termios Settings{};
  ASSERT_EQ(::tcgetattr(Port.Handle(), &Settings), 0);
  EXPECT_EQ(Settings.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(Settings.c_iflag & (ICRNL | INLCR | IGNCR | IXON | ISTRIP), 0u);
  EXPECT_EQ(Settings.c_oflag & OPOST, 0u);
  EXPECT_EQ(Settings.c_cc[VMIN], 0);
  EXPECT_EQ(Settings.c_cc[VTIME], 0);
  EXPECT_NE(Settings.c_cflag & CREAD, 0u);
  EXPECT_NE(Settings.c_cflag & CLOCAL, 0u);

  Byte Buffer[8] = {};
  EXPECT_FALSE(Port.Read(Buffer, 1)) << "a read with nothing waiting must not block or succeed";
  const Byte Sent[] = {':', '\r', '\n', 0x00, 0x03, 0x11, 0xFF};
  ASSERT_EQ(::write(Pair.Master(), Sent, sizeof Sent), static_cast<ssize_t>(sizeof Sent));
  ASSERT_EQ(Port.WaitForInput(2000, nullptr), TWaitResult::Input);
  // One write on the other side reaches this side in one piece.
  Cardinal Count = 0;
  ASSERT_TRUE(Port.InputCount(Count));
  ASSERT_EQ(Count, sizeof Sent);
  ASSERT_TRUE(Port.Read(Buffer, Count));
  EXPECT_EQ(std::vector<Byte>(Buffer, Buffer + Count), std::vector<Byte>(Sent, Sent + sizeof Sent));
  EXPECT_TRUE(Port.Read(Buffer, 0));

  ASSERT_EQ(::write(Pair.Master(), Sent, 3), 3);
  ASSERT_EQ(Port.WaitForInput(2000, nullptr), TWaitResult::Input);
  EXPECT_FALSE(Port.Read(Buffer, 4)) << "read more than was waiting";
}

struct TSettingsCase {
  const char* Name;
  TLineSettings Settings;
  speed_t Speed;  // B0: an arbitrary rate
  bool TwoStopBits;
  bool CtsFlow;
};

TEST(PlatformSerialPortTest, LineSettingsReadBackOnAPseudoTerminal) {
  TPtyPair Pair;
  TSerialPort Port;
  ASSERT_TRUE(OpenAndSetUp(Port, Pair.Path()));
  using enum TParity;
  const TSettingsCase Cases[] = {
      {"19200 8N1", {19200, 8, None, 1, false, false, TLineControl::Enable, TLineControl::Enable}, B19200, false, false},
      {"9600 8E2 cts", {9600, 8, Even, 2, true, false, TLineControl::Disable, TLineControl::Handshake}, B9600, true, true},
      // (DTR/DSR flow control needs modem lines, which a pseudo-terminal lacks: see DsrFlowHoldsEachSendUntilDsrIsUp.)
      {"115200 7O1", {115200, 7, Odd, 1, false, false, TLineControl::Disable, TLineControl::Disable}, B115200, false, false},
      {"500000 8N1", {500000, 8, None, 1, false, false, TLineControl::Enable, TLineControl::Enable}, B0, false, false},
      {"14400 8E1", {14400, 8, Even, 1, false, false, TLineControl::Enable, TLineControl::Toggle}, B0, false, false},
      {"56000 8N2", {56000, 8, None, 2, false, false, TLineControl::Enable, TLineControl::Enable}, B0, true, false},
      {"128000 8N1", {128000, 8, None, 1, false, false, TLineControl::Enable, TLineControl::Enable}, B0, false, false},
      {"256000 8N1", {256000, 8, None, 1, false, false, TLineControl::Enable, TLineControl::Enable}, B0, false, false},
      {"38400 after arbitrary", {38400, 8, None, 1, false, false, TLineControl::Enable, TLineControl::Enable}, B38400, false, false},
      {"1200 8O1 cts", {1200, 8, Odd, 1, true, false, TLineControl::Enable, TLineControl::Enable}, B1200, false, true},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    ASSERT_TRUE(Port.ApplyLineSettings(Case.Settings));
    termios Applied{};
    ASSERT_EQ(::tcgetattr(Port.Handle(), &Applied), 0);
    // A pseudo-terminal takes neither parity nor 7 data bits: both are left out there.
    EXPECT_EQ(Applied.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(Applied.c_cflag & PARENB, 0u);
    EXPECT_EQ((Applied.c_cflag & CSTOPB) != 0, Case.TwoStopBits);
    EXPECT_EQ((Applied.c_cflag & CRTSCTS) != 0, Case.CtsFlow);
    EXPECT_NE(Applied.c_cflag & CLOCAL, 0u);
    const Testing::TLineRate Rate = Testing::ReadLineRate(Port.Handle());
    ASSERT_TRUE(Rate.Valid);
    EXPECT_EQ(Rate.Output, Case.Settings.BaudRate);
    EXPECT_EQ(Rate.Input, Case.Settings.BaudRate);
    EXPECT_EQ(Rate.Arbitrary, Case.Speed == B0);
    if (Case.Speed != B0) {
      EXPECT_EQ(::cfgetospeed(&Applied), Case.Speed);
      EXPECT_EQ(::cfgetispeed(&Applied), Case.Speed);
    }
    // No RS-485 mode on a pseudo-terminal: the writer switches RTS itself.
    EXPECT_FALSE(Port.DriverTogglesRts());
  }
}

TEST(PlatformSerialPortTest, RefusedLineSettingsFailAndLeaveTheRateAlone) {
  TPtyPair Pair;
  TSerialPort Port;
  ASSERT_TRUE(OpenAndSetUp(Port, Pair.Path()));
  ASSERT_TRUE(Port.ApplyLineSettings({}));
  TLineSettings ZeroRate;
  ZeroRate.BaudRate = 0;
  TLineSettings SixBits;
  SixBits.DataBits = 6;
  TLineSettings ThreeStopBits;
  ThreeStopBits.StopBits = 3;
  TLineSettings DtrToggle;
  DtrToggle.Dtr = TLineControl::Toggle;
  for (const TLineSettings& Bad : {ZeroRate, SixBits, ThreeStopBits, DtrToggle}) EXPECT_FALSE(Port.ApplyLineSettings(Bad));
  termios Applied{};
  ASSERT_EQ(::tcgetattr(Port.Handle(), &Applied), 0);
  EXPECT_EQ(::cfgetospeed(&Applied), static_cast<speed_t>(B19200));
  TSerialPort Closed;
  EXPECT_FALSE(Closed.ApplyLineSettings({}));
}

TEST(PlatformSerialPortTest, PseudoTerminalHasNoModemLinesNorErrorCounters) {
  TPtyPair Pair;
  TSerialPort Port;
  ASSERT_TRUE(OpenAndSetUp(Port, Pair.Path()));
  EXPECT_FALSE(Port.SetRts(true));
  EXPECT_FALSE(Port.SetDtr(false));
  EXPECT_FALSE(Port.TakeLineErrors());
  EXPECT_TRUE(Port.Drain());
}

// DTR/DSR flow control: where the driver reports the modem lines, DTR is raised and each send waits
// for DSR within its time-out; where it cannot (a pseudo-terminal), the setting is refused.
TEST(PlatformSerialPortTest, DsrFlowHoldsEachSendUntilDsrIsUp) {
  TPtyPair Pair;
  TSerialPort Port;
  ASSERT_TRUE(OpenAndSetUp(Port, Pair.Path()));
  TLineSettings DsrFlow;
  DsrFlow.DsrOutputFlow = true;
  DsrFlow.Dtr = TLineControl::Handshake;
  EXPECT_FALSE(Port.ApplyLineSettings(DsrFlow)) << "a pseudo-terminal has no DSR to wait for";

  Testing::TFakeModemLines Lines;
  ASSERT_TRUE(Port.ApplyLineSettings(DsrFlow));
  EXPECT_EQ(Lines.Dtr, 1) << "DTR raised while the port is open";
  const TFrameData Frame{0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A};
  // What has reached the other end by now (the master blocks: look before reading).
  const auto Arrived = [&Pair] {
    pollfd Fd{Pair.Master(), POLLIN, 0};
    if (::poll(&Fd, 1, 200) <= 0) return std::size_t{0};
    Byte Buffer[64];
    const ssize_t Count = ::read(Pair.Master(), Buffer, sizeof Buffer);
    return Count > 0 ? static_cast<std::size_t>(Count) : std::size_t{0};
  };

  // DSR down for the whole time-out: nothing goes out and the send fails, having slept meanwhile.
  auto Start = TClock::now();
  EXPECT_FALSE(Port.Write(Frame.data(), static_cast<Cardinal>(Frame.size()), 150));
  EXPECT_GE(MsSince(Start), 140);
  EXPECT_LT(Lines.DsrReads, 150 / 2) << "looked at the line now and then, not in a busy loop";
  EXPECT_EQ(Arrived(), 0u);

  // DSR comes up during the wait: the frame goes out then.
  auto Raise = std::async(std::launch::async, [&Lines] {
    std::this_thread::sleep_for(100ms);
    Lines.Dsr = true;
  });
  Start = TClock::now();
  EXPECT_TRUE(Port.Write(Frame.data(), static_cast<Cardinal>(Frame.size()), 2000));
  EXPECT_GE(MsSince(Start), 90);
  Raise.get();
  EXPECT_EQ(Arrived(), Frame.size());

  // Without the flow control DSR is not looked at.
  Lines.Dsr = false;
  ASSERT_TRUE(Port.ApplyLineSettings({}));
  EXPECT_EQ(Lines.Dtr, 1) << "DTREnabled";
  EXPECT_TRUE(Port.Write(Frame.data(), static_cast<Cardinal>(Frame.size()), 50));
  EXPECT_EQ(Arrived(), Frame.size());
}

TEST(PlatformSerialPortTest, WaitsForInputOrTimesOut) {
  TPtyPair Pair;
  TSerialPort Port;
  ASSERT_TRUE(OpenAndSetUp(Port, Pair.Path()));
  EXPECT_EQ(Port.WaitForInput(0, nullptr), TWaitResult::Timeout);
  const auto Start = TClock::now();
  EXPECT_EQ(Port.WaitForInput(60, nullptr), TWaitResult::Timeout);
  EXPECT_GE(MsSince(Start), 55);

  auto Waiter = std::async(std::launch::async, [&] { return Port.WaitForInput(Infinite, nullptr); });
  std::this_thread::sleep_for(30ms);
  const Byte One = 0x42;
  ASSERT_EQ(::write(Pair.Master(), &One, 1), 1);
  ASSERT_EQ(Waiter.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(Waiter.get(), TWaitResult::Input);
  // Level-triggered: the byte is still waiting until read or purged.
  EXPECT_EQ(Port.WaitForInput(0, nullptr), TWaitResult::Input);
  Port.Purge(true, false);
  Cardinal Count = 1;
  ASSERT_TRUE(Port.InputCount(Count));
  EXPECT_EQ(Count, 0u);
  EXPECT_EQ(Port.WaitForInput(0, nullptr), TWaitResult::Timeout);
}

TEST(PlatformSerialPortTest, StopEndsAnEndlessWaitAndIsConsumed) {
  TPtyPair Pair;
  TSerialPort Port;
  ASSERT_TRUE(OpenAndSetUp(Port, Pair.Path()));
  TEventObject Stop(false);
  auto Waiter = std::async(std::launch::async, [&] { return Port.WaitForInput(Infinite, &Stop); });
  EXPECT_EQ(Waiter.wait_for(50ms), std::future_status::timeout);
  Stop.Set();
  ASSERT_EQ(Waiter.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(Waiter.get(), TWaitResult::Stopped);
  EXPECT_FALSE(Stop.Wait(0)) << "the wait that the stop ended must consume it";

  // Given before the wait, it is not lost; and it wins over waiting input.
  const Byte One = 0x42;
  ASSERT_EQ(::write(Pair.Master(), &One, 1), 1);
  ASSERT_EQ(Port.WaitForInput(2000, nullptr), TWaitResult::Input);
  Stop.Set();
  EXPECT_EQ(Port.WaitForInput(Infinite, &Stop), TWaitResult::Stopped);
  EXPECT_EQ(Port.WaitForInput(0, &Stop), TWaitResult::Input);

  TEventObject ManualStop(true);
  ManualStop.Set();
  EXPECT_EQ(Port.WaitForInput(Infinite, &ManualStop), TWaitResult::Stopped);
  EXPECT_TRUE(ManualStop.Wait(0)) << "a manual-reset stop stays signalled";
}

// A port whose other end vanished: the wait in progress fails at once, later waits do not spin, a
// stop still ends an endless wait, nothing crashes and closing works.
void ExpectVanishedPortBehaviour(TSerialPort& Port, std::future<TWaitResult>& Waiter, TEventObject& Stop) {
  ASSERT_EQ(Waiter.wait_for(10s), std::future_status::ready) << "a hang-up did not end the wait";
  EXPECT_EQ(Waiter.get(), TWaitResult::Failed);

  const double CpuBefore = ProcessCpuSeconds();
  const auto Start = TClock::now();
  int Waits = 0;
  while (MsSince(Start) < 1000) {
    EXPECT_EQ(Port.WaitForInput(50, &Stop), TWaitResult::Failed);
    ++Waits;
  }
  const double CpuUsed = ProcessCpuSeconds() - CpuBefore;
  EXPECT_LT(CpuUsed, 0.3) << "waiting on a vanished port burns the processor";
  EXPECT_LE(Waits, 25) << "waits on a vanished port return before their time-out";

  auto Endless = std::async(std::launch::async, [&] { return Port.WaitForInput(Infinite, &Stop); });
  EXPECT_EQ(Endless.wait_for(50ms), std::future_status::timeout);
  Stop.Set();
  ASSERT_EQ(Endless.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(Endless.get(), TWaitResult::Stopped);

  Byte Buffer[4];
  Cardinal Count = 0;
  EXPECT_FALSE(Port.Read(Buffer, 1));
  EXPECT_FALSE(Port.InputCount(Count));
  EXPECT_FALSE(Port.Write(Buffer, sizeof Buffer, 100));
  Port.Purge(true, true);
  Port.Close();
  EXPECT_FALSE(Port.IsOpen());
}

TEST(PlatformSerialPortTest, ClosingTheOtherSideFailsTheWaitWithoutSpinning) {
  TPtyPair Pair;
  TSerialPort Port;
  ASSERT_TRUE(OpenAndSetUp(Port, Pair.Path()));
  TEventObject Stop(false);
  auto Waiter = std::async(std::launch::async, [&] { return Port.WaitForInput(Infinite, &Stop); });
  std::this_thread::sleep_for(30ms);
  Pair.CloseMaster();
  ExpectVanishedPortBehaviour(Port, Waiter, Stop);
}

TEST(PlatformSerialPortTest, UnpluggedLineFailsTheWaitWithoutSpinning) {
  TVirtualSerialLine Line;
  TSerialPort Port;
  ASSERT_TRUE(OpenAndSetUp(Port, Line.PortA()));
  TEventObject Stop(false);
  auto Waiter = std::async(std::launch::async, [&] { return Port.WaitForInput(5000, &Stop); });
  std::this_thread::sleep_for(30ms);
  Line.Unplug();
  ExpectVanishedPortBehaviour(Port, Waiter, Stop);
}

TEST(PlatformSerialPortTest, WriteFinishesPartialWritesWhileTheOtherSideReads) {
  TPtyPair Pair;
  TSerialPort Port;
  ASSERT_TRUE(OpenAndSetUp(Port, Pair.Path()));
  EXPECT_TRUE(Port.Write(nullptr, 0, 0));
  // Far more than the pseudo-terminal buffers: the write must wait for room and go on.
  std::vector<Byte> Data(300000);
  for (std::size_t I = 0; I < Data.size(); ++I) Data[I] = static_cast<Byte>(I * 7);
  auto Reader = std::async(std::launch::async, [&] {
    std::vector<Byte> Got;
    Byte Buffer[4096];
    while (Got.size() < Data.size()) {
      const ssize_t Length = ::read(Pair.Master(), Buffer, sizeof Buffer);
      if (Length <= 0) break;
      Got.insert(Got.end(), Buffer, Buffer + Length);
    }
    return Got;
  });
  EXPECT_TRUE(Port.Write(Data.data(), static_cast<Cardinal>(Data.size()), 20000));
  ASSERT_EQ(Reader.wait_for(20s), std::future_status::ready);
  EXPECT_TRUE(Reader.get() == Data);
}

TEST(PlatformSerialPortTest, WriteThatCannotFinishInTimeFails) {
  TPtyPair Pair;
  TSerialPort Port;
  ASSERT_TRUE(OpenAndSetUp(Port, Pair.Path()));
  std::vector<Byte> Data(1 << 20, 0x55);  // nobody reads the other end
  const auto Start = TClock::now();
  EXPECT_FALSE(Port.Write(Data.data(), static_cast<Cardinal>(Data.size()), 150));
  EXPECT_GE(MsSince(Start), 140);
  EXPECT_FALSE(Port.Write(Data.data(), static_cast<Cardinal>(Data.size()), 0));
}

}  // namespace
}  // namespace Quorvel::Platform
