#include "VirtualSerialLine.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "Descriptors.h"
#include "LineRelay.h"

namespace Quorvel::Testing {

using namespace Descriptors;
using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;
using TTime = TClock::time_point;

namespace {

std::size_t Station(TLineSide Side) { return Side == TLineSide::A ? 0 : 1; }

}  // namespace

// A line is a bus of two stations, A and B.
class TVirtualSerialLine::TRelay : public TLineRelay {
 public:
  TRelay(Cardinal BaudRate, Cardinal BitsPerCharacter) : TLineRelay(2, BaudRate, BitsPerCharacter) {}
};

// ---- TVirtualSerialLine

TVirtualSerialLine::TVirtualSerialLine(Cardinal BaudRate, Cardinal BitsPerCharacter)
    : Relay_(std::make_unique<TRelay>(BaudRate, BitsPerCharacter)) {}

TVirtualSerialLine::~TVirtualSerialLine() = default;

const std::string& TVirtualSerialLine::PortA() const { return Relay_->Path(0); }
const std::string& TVirtualSerialLine::PortB() const { return Relay_->Path(1); }
const std::string& TVirtualSerialLine::Port(TLineSide Side) const { return Relay_->Path(Station(Side)); }

void TVirtualSerialLine::SetPacing(Cardinal BaudRate, Cardinal BitsPerCharacter) {
  Relay_->SetPacing(BaudRate, BitsPerCharacter);
}

void TVirtualSerialLine::SetEcho(TLineSide Side, bool On) { Relay_->SetEcho(Station(Side), On); }

void TVirtualSerialLine::SplitNextFrame(TLineSide From, std::vector<std::size_t> BurstSizes,
                                        std::chrono::milliseconds Gap) {
  Relay_->Split(Station(From), std::move(BurstSizes), {Gap});
}

void TVirtualSerialLine::SplitNextFrame(TLineSide From, std::vector<std::size_t> BurstSizes,
                                        std::vector<std::chrono::milliseconds> Gaps) {
  Relay_->Split(Station(From), std::move(BurstSizes), std::vector<TLineRelay::TNanoseconds>(Gaps.begin(), Gaps.end()));
}

void TVirtualSerialLine::CorruptNext(TLineSide To, std::size_t Offset, Byte Mask) { Relay_->Corrupt(Station(To), Offset, Mask); }
void TVirtualSerialLine::DropNext(TLineSide To, std::size_t Offset) { Relay_->Drop(Station(To), Offset); }
void TVirtualSerialLine::Inject(TLineSide To, const TFrameData& Bytes) { Relay_->Inject(Station(OtherSide(To)), Bytes); }
void TVirtualSerialLine::SetFaults(TLineSide From, const TLineFaults& Faults, unsigned Seed) {
  Relay_->SetFaults(Station(From), Faults, Seed);
}
TLineFaultCounts TVirtualSerialLine::FaultCounts(TLineSide From) const { return Relay_->FaultCounts(Station(From)); }
void TVirtualSerialLine::Unplug() { Relay_->Unplug(); }

bool TVirtualSerialLine::WaitForOpen(TLineSide Side, std::chrono::milliseconds Timeout) {
  return Relay_->WaitForOpeners(Station(Side), true, Timeout);
}

bool TVirtualSerialLine::WaitForClose(TLineSide Side, std::chrono::milliseconds Timeout) {
  return Relay_->WaitForOpeners(Station(Side), false, Timeout);
}

bool TVirtualSerialLine::WaitForArrivals(TLineSide To, std::size_t Count, std::chrono::milliseconds Timeout) {
  return Relay_->WaitForArrivals(Station(To), Count, Timeout);
}

std::size_t TVirtualSerialLine::Arrived(TLineSide To) const { return Relay_->Arrived(Station(To)); }

// ---- TLinePeer

TLinePeer::TLinePeer(const std::string& Path) {
  Descriptor_ = Check(::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC), "open peer port");
  try {
    MakeRaw(Descriptor_);
  } catch (...) {
    Descriptors::Close(Descriptor_);
    throw;
  }
  ::tcflush(Descriptor_, TCIOFLUSH);
}

TLinePeer::~TLinePeer() { Close(); }

void TLinePeer::Close() {
  if (Descriptor_ >= 0) ::tcflush(Descriptor_, TCIFLUSH);
  Descriptors::Close(Descriptor_);
}

void TLinePeer::Discard() { ::tcflush(Descriptor_, TCIFLUSH); }

bool TLinePeer::Write(const TFrameData& Bytes) { return WriteAll(Descriptor_, Bytes.data(), Bytes.size(), 1s); }

bool TLinePeer::WriteBursts(const TFrameData& Bytes, const std::vector<std::size_t>& Sizes,
                            std::chrono::milliseconds Gap) {
  std::size_t At = 0;
  for (const std::size_t Size : Sizes) {
    if (At > 0) std::this_thread::sleep_for(Gap);
    const std::size_t Count = std::min(Size, Bytes.size() - At);
    if (!WriteAll(Descriptor_, Bytes.data() + At, Count, 1s)) return false;
    At += Count;
  }
  if (At < Bytes.size()) {
    if (At > 0) std::this_thread::sleep_for(Gap);
    return WriteAll(Descriptor_, Bytes.data() + At, Bytes.size() - At, 1s);
  }
  return true;
}

namespace {

// Appends every byte waiting; false when none came (nothing waiting, or the other side is gone).
bool ReadWaiting(int Descriptor, TFrameData& Into) {
  bool Got = false;
  Byte Buffer[512];
  for (;;) {
    const ssize_t Length = ::read(Descriptor, Buffer, sizeof Buffer);
    if (Length > 0) {
      Into.insert(Into.end(), Buffer, Buffer + Length);
      Got = true;
    } else if (Length < 0 && errno == EINTR) {
      continue;
    } else {
      return Got;
    }
  }
}

}  // namespace

TFrameData TLinePeer::ReadFrame(std::chrono::milliseconds Silence, std::chrono::milliseconds Timeout) {
  TFrameData Frame;
  if ((PollFor(Descriptor_, POLLIN, Timeout) & POLLIN) == 0 || !ReadWaiting(Descriptor_, Frame)) return Frame;
  // A line that never falls silent must not hang the test.
  const TTime GiveUp = TClock::now() + Timeout + 10s;
  while (TClock::now() < GiveUp && (PollFor(Descriptor_, POLLIN, Silence) & POLLIN) != 0 &&
         ReadWaiting(Descriptor_, Frame)) {
  }
  return Frame;
}

TFrameData TLinePeer::ReadFor(std::chrono::milliseconds Duration) {
  TFrameData Bytes;
  const TTime Until = TClock::now() + Duration;
  for (TTime Now = TClock::now(); Now < Until; Now = TClock::now()) {
    const short Events = PollFor(Descriptor_, POLLIN, Until - Now);
    if (Events == 0) continue;
    if ((Events & POLLIN) == 0 || !ReadWaiting(Descriptor_, Bytes)) break;  // hung up
  }
  return Bytes;
}

bool TLinePeer::WaitForHangUp(std::chrono::milliseconds Timeout) {
  // No events asked for: poll reports only a hang-up or an error.
  return (PollFor(Descriptor_, 0, Timeout) & (POLLHUP | POLLERR)) != 0;
}

}  // namespace Quorvel::Testing
