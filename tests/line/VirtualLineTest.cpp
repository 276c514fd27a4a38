// The virtual serial line that the line and interop suites stand on: pacing, echo, split frames,
// corruption, loss, injection, stale bytes, unplugging, and an idle relay; and the bus of more
// stations that the same relay makes.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <string>
#include <thread>

#include "VirtualBus.h"
#include "VirtualSerialLine.h"
#include "platform/SerialPort.h"

namespace Quorvel::Testing {
namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

TFrameData Counting(std::size_t Count, Byte First = 1) {
  TFrameData Bytes(Count);
  for (std::size_t I = 0; I < Count; ++I) Bytes[I] = static_cast<Byte>(First + I);
  return Bytes;
}

// Reads until Count bytes came (or 5 s passed); returns them and when the last one arrived.
TFrameData ReadCount(TLinePeer& Peer, std::size_t Count, TClock::time_point& LastArrival) {
  TFrameData Bytes;
  const auto GiveUp = TClock::now() + 5s;
  while (Bytes.size() < Count && TClock::now() < GiveUp) {
    pollfd Fd{Peer.Descriptor(), POLLIN, 0};
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(GiveUp - TClock::now());
    if (::poll(&Fd, 1, static_cast<int>(Left.count()) + 1) != 1 || (Fd.revents & POLLIN) == 0) break;
    LastArrival = TClock::now();
    Byte Buffer[256];
    const ssize_t Length = ::read(Peer.Descriptor(), Buffer, sizeof Buffer);
    if (Length <= 0) break;
    Bytes.insert(Bytes.end(), Buffer, Buffer + Length);
  }
  return Bytes;
}

double ProcessCpuSeconds() {
  timespec Used{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &Used);
  return static_cast<double>(Used.tv_sec) + static_cast<double>(Used.tv_nsec) / 1e9;
}

TEST(VirtualLineTest, FramesTakeTheirTimeOnTheWire) {
  const struct {
    Cardinal Baud;
    Cardinal Bits;
    std::size_t Bytes;
    long long AtLeastMs;  // the real time is 16.1 ms, 45.8 ms and 20.8 ms
  } Cases[] = {{19200, 10, 31, 14}, {9600, 11, 40, 40}, {2400, 10, 5, 18}};
  for (const auto& Case : Cases) {
    SCOPED_TRACE(std::to_string(Case.Baud) + " bit/s, " + std::to_string(Case.Bytes) + " bytes");
    TVirtualSerialLine Line(Case.Baud, Case.Bits);
    TLinePeer Library(Line.PortA());
    TLinePeer Device(Line.PortB());
    const TFrameData Frame = Counting(Case.Bytes);
    const auto Sent = TClock::now();
    ASSERT_TRUE(Device.Write(Frame));
    TClock::time_point Last{};
    EXPECT_EQ(ReadCount(Library, Frame.size(), Last), Frame);
    EXPECT_GE(std::chrono::duration_cast<std::chrono::microseconds>(Last - Sent).count(), Case.AtLeastMs * 1000);
  }
}

TEST(VirtualLineTest, UnpacedLineCarriesBothWays) {
  TVirtualSerialLine Line(0, 10);
  TLinePeer Library(Line.PortA());
  TLinePeer Device(Line.PortB());
  const TFrameData Request = Counting(300, 7), Reply = Counting(17, 200);
  ASSERT_TRUE(Library.Write(Request));
  TClock::time_point Last{};
  EXPECT_EQ(ReadCount(Device, Request.size(), Last), Request);
  ASSERT_TRUE(Device.Write(Reply));
  EXPECT_EQ(ReadCount(Library, Reply.size(), Last), Reply);
  EXPECT_EQ(Line.Arrived(TLineSide::A), Reply.size());
  EXPECT_EQ(Line.Arrived(TLineSide::B), Request.size());
}

TEST(VirtualLineTest, EchoReturnsWhatASideSendsToThatSideOnly) {
  TVirtualSerialLine Line;
  TLinePeer Library(Line.PortA());
  TLinePeer Device(Line.PortB());
  Line.SetEcho(TLineSide::A, true);
  const TFrameData Request = Counting(8), Reply = Counting(5, 0x80);
  ASSERT_TRUE(Library.Write(Request));
  EXPECT_EQ(Library.ReadFrame(20ms, 2s), Request);
  EXPECT_EQ(Device.ReadFrame(20ms, 2s), Request);
  ASSERT_TRUE(Device.Write(Reply));
  EXPECT_EQ(Library.ReadFrame(20ms, 2s), Reply);
  EXPECT_TRUE(Device.ReadFor(60ms).empty()) << "side B has no echo";

  Line.SetEcho(TLineSide::A, false);
  ASSERT_TRUE(Library.Write(Request));
  EXPECT_EQ(Device.ReadFrame(20ms, 2s), Request);
  EXPECT_TRUE(Library.ReadFor(60ms).empty()) << "echo switched off";
}

// On a bus every station hears what any other writes, each frame paced once on the wire, and a
// fault on the wire reaches every receiver alike; the writer hears itself only with echo.
TEST(VirtualLineTest, ABusCarriesEachStationsBytesToEveryOther) {
  TVirtualBus Bus(3, 9600);
  TLinePeer Station0(Bus.Port(0)), Station1(Bus.Port(1)), Station2(Bus.Port(2));
  const TFrameData Request = Counting(8), Reply = Counting(5, 0x80);
  ASSERT_TRUE(Station0.Write(Request));
  TClock::time_point Last1{}, Last2{};
  const auto Start = TClock::now();
  EXPECT_EQ(ReadCount(Station1, Request.size(), Last1), Request);
  EXPECT_EQ(ReadCount(Station2, Request.size(), Last2), Request);
  EXPECT_GE(Last2 - Start, 7ms) << "8 characters at 9600 bit/s take 8.3 ms";
  EXPECT_TRUE(Station0.ReadFor(40ms).empty()) << "no echo";

  Bus.SetEcho(2, true);
  Bus.SetFaults(2, TLineFaults{.Flip = 1.0, .MaxPerFrame = 1}, 7);
  ASSERT_TRUE(Station2.Write(Reply));
  const TFrameData Heard = Station0.ReadFrame(20ms, 2s);
  ASSERT_EQ(Heard.size(), Reply.size());
  EXPECT_NE(Heard, Reply) << "one bit flipped on the wire";
  EXPECT_EQ(Station1.ReadFrame(20ms, 2s), Heard);
  EXPECT_EQ(Station2.ReadFrame(20ms, 2s), Heard) << "its echo, as the wire carried it";
  EXPECT_EQ(Bus.FaultCounts(2).Flips, 1u);
}

TEST(VirtualLineTest, NextFrameIsSplitIntoBurstsWithSilencesBetween) {
  TVirtualSerialLine Line;
  TLinePeer Library(Line.PortA());
  TLinePeer Device(Line.PortB());
  const TFrameData Frame = Counting(12);
  Line.SplitNextFrame(TLineSide::B, {3, 5}, 150ms);
  ASSERT_TRUE(Device.Write(Frame));
  const TFrameData First = Library.ReadFrame(40ms, 2s);
  const auto FirstEnd = TClock::now();
  const TFrameData Rest = Library.ReadFrame(40ms, 2s);
  EXPECT_EQ(First, TFrameData(Frame.begin(), Frame.begin() + 3));
  // The bytes past the planned bursts follow the last burst at once.
  EXPECT_EQ(Rest, TFrameData(Frame.begin() + 3, Frame.end()));
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - FirstEnd).count(), 100);

  // Only the next frame is split; with several gaps, each silence has its own length.
  ASSERT_TRUE(Device.Write(Frame));
  EXPECT_EQ(Library.ReadFrame(40ms, 2s), Frame);
  Line.SplitNextFrame(TLineSide::B, {2, 2, 8}, std::vector{150ms, 10ms});
  ASSERT_TRUE(Device.Write(Frame));
  EXPECT_EQ(Library.ReadFrame(60ms, 2s), TFrameData(Frame.begin(), Frame.begin() + 2));
  EXPECT_EQ(Library.ReadFrame(60ms, 2s), TFrameData(Frame.begin() + 2, Frame.end()));
}

TEST(VirtualLineTest, CorruptsDropsAndInjectsOnRequest) {
  TVirtualSerialLine Line;
  TLinePeer Library(Line.PortA());
  TLinePeer Device(Line.PortB());
  const TFrameData Frame = Counting(8);

  Line.CorruptNext(TLineSide::A, 2, 0xFF);
  Line.CorruptNext(TLineSide::A, 7, 0x01);
  ASSERT_TRUE(Device.Write(Frame));
  TFrameData Corrupted = Frame;
  Corrupted[2] ^= 0xFF;
  Corrupted[7] ^= 0x01;
  EXPECT_EQ(Library.ReadFrame(20ms, 2s), Corrupted);

  Line.DropNext(TLineSide::A, 0);
  Line.DropNext(TLineSide::A, 5);
  ASSERT_TRUE(Device.Write(Frame));
  EXPECT_EQ(Library.ReadFrame(20ms, 2s), (TFrameData{2, 3, 4, 5, 7, 8}));

  const TFrameData Noise{0x00, 0xFF, 0x3A};
  Line.Inject(TLineSide::A, Noise);
  EXPECT_EQ(Library.ReadFrame(20ms, 2s), Noise);
  EXPECT_TRUE(Device.ReadFor(60ms).empty()) << "an injection reaches only its target";

  // The requests were used up: the next frame passes untouched, the other direction too.
  ASSERT_TRUE(Device.Write(Frame));
  EXPECT_EQ(Library.ReadFrame(20ms, 2s), Frame);
  ASSERT_TRUE(Library.Write(Frame));
  EXPECT_EQ(Device.ReadFrame(20ms, 2s), Frame);
}

// Plain opens throughout, with no flush of their own, as any other program would open the port.
int OpenPlain(const std::string& Path) { return ::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); }

bool Readable(int Descriptor, int TimeoutMs) {
  pollfd Fd{Descriptor, POLLIN, 0};
  return ::poll(&Fd, 1, TimeoutMs) == 1;
}

TEST(VirtualLineTest, BytesSentBeforeASideIsOpenedNeverReachALaterOpener) {
  TVirtualSerialLine Line;
  TLinePeer Library(Line.PortA());
  EXPECT_FALSE(Line.WaitForOpen(TLineSide::B, 30ms));
  ASSERT_TRUE(Library.Write(Counting(20)));
  ASSERT_TRUE(Line.WaitForArrivals(TLineSide::B, 20, 5s));

  const int First = OpenPlain(Line.PortB());
  ASSERT_GE(First, 0);
  ASSERT_TRUE(Line.WaitForOpen(TLineSide::B, 5s));
  EXPECT_FALSE(Readable(First, 80)) << "bytes sent before the open reached the opener";
  // Received but never read: gone when this opener closes.
  ASSERT_TRUE(Library.Write(Counting(10, 50)));
  ASSERT_TRUE(Line.WaitForArrivals(TLineSide::B, 30, 5s));
  ASSERT_TRUE(Readable(First, 2000));
  ::close(First);
  ASSERT_TRUE(Line.WaitForClose(TLineSide::B, 5s));

  const int Second = OpenPlain(Line.PortB());
  ASSERT_GE(Second, 0);
  ASSERT_TRUE(Line.WaitForOpen(TLineSide::B, 5s));
  EXPECT_FALSE(Readable(Second, 80)) << "bytes of an earlier opener reached a later one";
  const TFrameData Fresh = Counting(4, 90);
  ASSERT_TRUE(Library.Write(Fresh));
  // The kernel hands bytes on to the port's reader a moment after the relay wrote them.
  TFrameData Got;
  while (Got.size() < Fresh.size() && Readable(Second, 2000)) {
    Byte Buffer[64];
    const ssize_t Length = ::read(Second, Buffer, sizeof Buffer);
    if (Length <= 0) break;
    Got.insert(Got.end(), Buffer, Buffer + Length);
  }
  EXPECT_FALSE(Readable(Second, 50));
  ::close(Second);
  EXPECT_EQ(Got, Fresh);
}

TEST(VirtualLineTest, UnplugHangsUpBothEnds) {
  TVirtualSerialLine Line;
  TLinePeer Library(Line.PortA());
  TLinePeer Device(Line.PortB());
  EXPECT_FALSE(Device.WaitForHangUp(20ms));
  Line.Unplug();
  EXPECT_TRUE(Device.WaitForHangUp(5s));
  EXPECT_TRUE(Library.WaitForHangUp(5s));
  EXPECT_FALSE(Device.Write(Counting(3)));
  EXPECT_TRUE(Library.ReadFor(30ms).empty());
  Line.Inject(TLineSide::A, Counting(3));  // harmless after the unplug
}

TEST(VirtualLineTest, IdleRelayUsesNoProcessorTime) {
  TVirtualSerialLine Line;
  TLinePeer Library(Line.PortA());
  TLinePeer Device(Line.PortB());
  ASSERT_TRUE(Device.Write(Counting(31)));
  ASSERT_TRUE(Line.WaitForArrivals(TLineSide::A, 31, 5s));
  const double Before = ProcessCpuSeconds();
  std::this_thread::sleep_for(500ms);
  Line.Unplug();
  std::this_thread::sleep_for(300ms);
  EXPECT_LT(ProcessCpuSeconds() - Before, 0.15);
}

}  // namespace
}  // namespace Quorvel::Testing
