#pragma once
// A virtual serial line for tests: two pseudo-terminal ports joined by a relay thread that paces the
// bytes like a real line and can echo, split, corrupt, drop and inject them on request.

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <Quorvel/Types.h>

namespace Quorvel::Testing {

enum class TLineSide : Byte { A, B };

// Random faults on the bytes one side sends, each drawn per byte (a delay per frame: a byte that
// starts on an idle wire), from a seeded generator so that a run can be repeated.
struct TLineFaults {
  double Drop = 0;       // the byte never arrives
  double Flip = 0;       // one of its bits is inverted
  double Garbage = 0;    // a random byte arrives before it
  double Duplicate = 0;  // it arrives twice
  double Delay = 0;      // the whole frame it starts arrives DelayBy later
  std::chrono::milliseconds DelayBy{0};
  std::size_t MaxPerFrame = 0;  // the most faults one frame (bytes after an idle wire) meets; 0: any
};

// What the faults did, counted as they were drawn.
struct TLineFaultCounts {
  std::size_t Drops = 0, Flips = 0, Garbage = 0, Duplicates = 0, Delays = 0;
  std::size_t Total() const { return Drops + Flips + Garbage + Duplicates + Delays; }
};

inline TLineSide OtherSide(TLineSide Side) { return Side == TLineSide::A ? TLineSide::B : TLineSide::A; }

// Side A is meant for the library, side B for the peer (a TLinePeer, libmodbus, pymodbus). Both are
// plain device paths that any program can open. In the Windows build the line lives in a Linux
// helper process (support/helper/): side A is then a COM port name ("COM5") that Wine maps to the
// pseudo-terminal, side B the helper's path of the other end, which only a TLinePeer opens.
//
// Bytes that one side writes travel over a "wire": each takes one character time at the chosen rate
// and reaches the other side when it is complete, delivered in small timed chunks. A side that nobody
// has open receives nothing: what was on the wire for it is discarded, and a later opener never reads
// bytes sent before it opened. What an opener received and left unread is discarded when it closes,
// as soon as the relay sees the close (WaitForClose).
class TVirtualSerialLine {
 public:
  // BaudRate 0: no pacing, bytes pass at once.
  explicit TVirtualSerialLine(Cardinal BaudRate = 19200, Cardinal BitsPerCharacter = 10);
  ~TVirtualSerialLine();
  TVirtualSerialLine(const TVirtualSerialLine&) = delete;
  TVirtualSerialLine& operator=(const TVirtualSerialLine&) = delete;

  const std::string& PortA() const;
  const std::string& PortB() const;
  const std::string& Port(TLineSide Side) const;

  // For the bytes sent from now on.
  void SetPacing(Cardinal BaudRate, Cardinal BitsPerCharacter);
  // What Side sends also comes back to Side, at the pace of the wire (RS-485 half duplex).
  void SetEcho(TLineSide Side, bool On);

  // The next bytes that From sends go out in bursts of these sizes, with a silence of Gap (or of
  // Gaps[i] after burst i) between the end of one burst and the start of the next; bytes past the
  // last burst flow as usual. The silence holds on the wire, so the echo shows it too.
  void SplitNextFrame(TLineSide From, std::vector<std::size_t> BurstSizes, std::chrono::milliseconds Gap);
  void SplitNextFrame(TLineSide From, std::vector<std::size_t> BurstSizes, std::vector<std::chrono::milliseconds> Gaps);

  // Offsets count the bytes that reach side To from now on (from the other side, its echo or an
  // injection): 0 is the next one. A corrupted byte is xored with Mask; a dropped byte never arrives.
  void CorruptNext(TLineSide To, std::size_t Offset, Byte Mask);
  void DropNext(TLineSide To, std::size_t Offset);
  // Bytes that reach To as if the other side had sent them (paced, after what is on that wire now),
  // without an echo.
  void Inject(TLineSide To, const TFrameData& Bytes);

  // From now on, the bytes that From sends meet Faults (all zero: none), drawn from Seed.
  void SetFaults(TLineSide From, const TLineFaults& Faults, unsigned Seed);
  TLineFaultCounts FaultCounts(TLineSide From) const;

  // Pulls the cable for good: both ports hang up (poll reports POLLHUP, read returns 0).
  void Unplug();

  // True once someone other than the relay has Side open.
  bool WaitForOpen(TLineSide Side, std::chrono::milliseconds Timeout);
  // True once nobody but the relay has Side open.
  bool WaitForClose(TLineSide Side, std::chrono::milliseconds Timeout);
  // The bytes that have reached To's receiver since the line was made, dropped ones and those that
  // nobody had open to receive included.
  std::size_t Arrived(TLineSide To) const;
  // True once Arrived(To) has reached Count.
  bool WaitForArrivals(TLineSide To, std::size_t Count, std::chrono::milliseconds Timeout);

 private:
  class TRelay;
  std::unique_ptr<TRelay> Relay_;
};

// The device end of a line for tests that play the device themselves: opens a port raw and
// non-blocking, and discards whatever it had received before.
class TLinePeer {
 public:
  // Throws std::system_error when the port cannot be opened.
  explicit TLinePeer(const std::string& Path);
  ~TLinePeer();
  TLinePeer(const TLinePeer&) = delete;
  TLinePeer& operator=(const TLinePeer&) = delete;

#if !defined(_WIN32)
  int Descriptor() const { return Descriptor_; }
#endif
  bool Write(const TFrameData& Bytes);
  // Writes the bursts with a pause of Gap between the writes (the pause starts when a write returns,
  // not when its bytes have left a paced line).
  bool WriteBursts(const TFrameData& Bytes, const std::vector<std::size_t>& Sizes, std::chrono::milliseconds Gap);
  // The bytes of one frame: waits up to Timeout for the first byte, then takes bytes until the line
  // has been silent for Silence. Empty when nothing came.
  TFrameData ReadFrame(std::chrono::milliseconds Silence, std::chrono::milliseconds Timeout);
  // Every byte that arrives within Duration.
  TFrameData ReadFor(std::chrono::milliseconds Duration);
  // True when the port hangs up within Timeout.
  bool WaitForHangUp(std::chrono::milliseconds Timeout);
  void Discard();
  // Discards what is left unread, then closes.
  void Close();

 private:
#if defined(_WIN32)
  // The peer is played by the Linux helper; this is the way to it.
  class TChannel;
  std::unique_ptr<TChannel> Channel_;
#else
  int Descriptor_ = -1;
#endif
};

}  // namespace Quorvel::Testing
