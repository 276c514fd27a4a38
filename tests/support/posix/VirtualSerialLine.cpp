#include "VirtualSerialLine.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <system_error>
#include <thread>

namespace Quorvel::Testing {

namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;
using TTime = TClock::time_point;
using TNanoseconds = std::chrono::nanoseconds;

// The relay never sleeps less than this between two deliveries, so that the fastest lines are
// delivered in chunks of a few bytes instead of one wake-up per byte; at 115200 bit/s it is about
// a character time, so that a frame's last byte is never late by much more than one.
constexpr TNanoseconds ShortestWake = 100us;

[[noreturn]] void ThrowSystemError(const char* What) {
  throw std::system_error(errno, std::generic_category(), What);
}

int Check(int Result, const char* What) {
  if (Result < 0) ThrowSystemError(What);
  return Result;
}

void CloseDescriptor(int& Descriptor) {
  if (Descriptor >= 0) ::close(Descriptor);
  Descriptor = -1;
}

// Raw, so that no line discipline echoes, edits or translates what passes through a side, whoever
// opens it and whether or not that opener sets a mode itself.
void MakeRaw(int Descriptor) {
  termios Settings{};
  Check(::tcgetattr(Descriptor, &Settings), "tcgetattr");
  ::cfmakeraw(&Settings);
  Settings.c_cflag |= CLOCAL | CREAD;
  Settings.c_cc[VMIN] = 0;
  Settings.c_cc[VTIME] = 0;
  Check(::tcsetattr(Descriptor, TCSANOW, &Settings), "tcsetattr");
}

timespec ToTimespec(TNanoseconds Duration) {
  const auto Count = std::max<std::int64_t>(Duration.count(), 0);
  return timespec{static_cast<time_t>(Count / 1'000'000'000), static_cast<long>(Count % 1'000'000'000)};
}

// Waits for Events on Descriptor for at most Timeout; returns revents, 0 on time-out.
short PollFor(int Descriptor, short Events, TNanoseconds Timeout) {
  const TTime Until = TClock::now() + Timeout;
  for (;;) {
    pollfd Fd{Descriptor, Events, 0};
    const timespec Left = ToTimespec(Until - TClock::now());
    const int Ready = ::ppoll(&Fd, 1, &Left, nullptr);
    if (Ready > 0) return Fd.revents;
    if (Ready == 0 || errno != EINTR) return 0;
  }
}

bool WriteAll(int Descriptor, const Byte* Data, std::size_t Count, TNanoseconds PerWait) {
  while (Count > 0) {
    const ssize_t Written = ::write(Descriptor, Data, Count);
    if (Written > 0) {
      Data += Written;
      Count -= static_cast<std::size_t>(Written);
    } else if (Written < 0 && errno == EINTR) {
      continue;
    } else if (Written < 0 && errno == EAGAIN) {
      if ((PollFor(Descriptor, POLLOUT, PerWait) & POLLOUT) == 0) return false;
    } else {
      return false;
    }
  }
  return true;
}

struct TPending {
  TTime Due;
  Byte Value;
};

}  // namespace

class TVirtualSerialLine::TRelay {
 public:
  TRelay(Cardinal BaudRate, Cardinal BitsPerCharacter);
  ~TRelay();

  const std::string& Path(TLineSide Side) const { return SideOf(Side).Path; }
  void SetPacing(Cardinal BaudRate, Cardinal BitsPerCharacter);
  void SetEcho(TLineSide Side, bool On);
  void Split(TLineSide From, std::vector<std::size_t> Sizes, std::vector<TNanoseconds> Gaps);
  void Corrupt(TLineSide To, std::size_t Offset, Byte Mask);
  void Drop(TLineSide To, std::size_t Offset);
  void Inject(TLineSide To, const TFrameData& Bytes);
  void SetFaults(TLineSide From, const TLineFaults& Faults, unsigned Seed);
  TLineFaultCounts FaultCounts(TLineSide From) const;
  void Unplug();
  bool WaitForOpeners(TLineSide Side, bool Open, TNanoseconds Timeout);
  bool WaitForArrivals(TLineSide To, std::size_t Count, TNanoseconds Timeout);
  std::size_t Arrived(TLineSide To) const;

 private:
  struct TSide {
    int Master = -1;
    // The relay keeps each port open itself: otherwise the master hangs up (POLLHUP for ever)
    // whenever nobody else has the port open.
    int Slave = -1;
    int Watch = -1;
    std::string Path;
    // Openers other than the relay, counted from open and close notifications.
    int Openers = 0;
    bool Echo = false;
    // This side as a sender: when its wire is free again, and the split of its next bytes.
    TTime WireFree{};
    std::vector<std::size_t> BurstEnds;
    std::vector<TNanoseconds> Gaps;
    std::size_t PlanSent = 0;
    std::size_t PlanBurst = 0;
    TLineFaults Faults;
    TLineFaultCounts FaultCounts;
    std::size_t FaultsInFrame = 0;
    std::mt19937 Random;
    // This side as a receiver.
    std::deque<TPending> Incoming;  // on the other side's wire
    std::deque<TPending> Echoed;    // its own bytes, on its own wire
    std::uint64_t Arrived = 0;
    std::map<std::uint64_t, Byte> Corruptions;
    std::set<std::uint64_t> Losses;
  };

  TSide& SideOf(TLineSide Side) { return Sides_[Side == TLineSide::A ? 0 : 1]; }
  const TSide& SideOf(TLineSide Side) const { return Sides_[Side == TLineSide::A ? 0 : 1]; }
  TSide& Other(const TSide& Side) { return &Side == &Sides_[0] ? Sides_[1] : Sides_[0]; }

  void Run();
  void Wake() const;
  void CloseAll();
  // With Mutex_ held:
  void Schedule(TSide& From, const Byte* Data, std::size_t Count, bool Echo, TTime Now);
  void ScheduleByte(TSide& From, Byte Value, TTime Start, bool Echo);
  void ReadNotifications();
  bool ReadMaster(TSide& From, TTime Now);
  void Deliver(TSide& To, TTime Now);
  std::optional<TTime> NextDue() const;
  void CloseMasters();

  mutable std::mutex Mutex_;
  std::condition_variable Changed_;
  std::array<TSide, 2> Sides_;
  TNanoseconds CharacterTime_{0};
  int Control_ = -1;
  int Notify_ = -1;
  bool Stopping_ = false;
  bool UnplugAsked_ = false;
  bool Unplugged_ = false;
  bool Finished_ = false;  // the relay thread has ended
  std::vector<Byte> Chunk_;
  std::thread Thread_;
};

TVirtualSerialLine::TRelay::TRelay(Cardinal BaudRate, Cardinal BitsPerCharacter) {
  SetPacing(BaudRate, BitsPerCharacter);
  try {
    Control_ = Check(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), "eventfd");
    Notify_ = Check(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK), "inotify_init1");
    for (TSide& Side : Sides_) {
      Side.Master = Check(::open("/dev/ptmx", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC), "open /dev/ptmx");
      Check(::grantpt(Side.Master), "grantpt");
      Check(::unlockpt(Side.Master), "unlockpt");
      char Name[128];
      errno = ::ptsname_r(Side.Master, Name, sizeof Name);
      if (errno != 0) ThrowSystemError("ptsname_r");
      Side.Path = Name;
      Side.Slave = Check(::open(Name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC), "open pseudo-terminal");
      MakeRaw(Side.Slave);
      // Watched only after the relay's own open, which must not count as an opener.
      Side.Watch = Check(::inotify_add_watch(Notify_, Name, IN_OPEN | IN_CLOSE), "inotify_add_watch");
    }
    Chunk_.reserve(4096);
    Thread_ = std::thread([this] { Run(); });
  } catch (...) {
    CloseAll();
    throw;
  }
}

TVirtualSerialLine::TRelay::~TRelay() {
  {
    std::lock_guard Lock(Mutex_);
    Stopping_ = true;
  }
  Wake();
  Thread_.join();
  CloseAll();
}

void TVirtualSerialLine::TRelay::CloseAll() {
  CloseDescriptor(Notify_);
  CloseDescriptor(Control_);
  for (TSide& Side : Sides_) {
    CloseDescriptor(Side.Slave);
    CloseDescriptor(Side.Master);
  }
}

void TVirtualSerialLine::TRelay::Wake() const {
  const std::uint64_t One = 1;
  while (::write(Control_, &One, sizeof One) < 0 && errno == EINTR) {
  }
}

void TVirtualSerialLine::TRelay::SetPacing(Cardinal BaudRate, Cardinal BitsPerCharacter) {
  std::lock_guard Lock(Mutex_);
  CharacterTime_ = BaudRate == 0 ? TNanoseconds(0)
                                 : TNanoseconds(static_cast<std::int64_t>(BitsPerCharacter) * 1'000'000'000 / BaudRate);
}

void TVirtualSerialLine::TRelay::SetEcho(TLineSide Side, bool On) {
  std::lock_guard Lock(Mutex_);
  SideOf(Side).Echo = On;
}

void TVirtualSerialLine::TRelay::Split(TLineSide From, std::vector<std::size_t> Sizes, std::vector<TNanoseconds> Gaps) {
  std::lock_guard Lock(Mutex_);
  TSide& Side = SideOf(From);
  Side.BurstEnds.clear();
  std::size_t End = 0;
  for (const std::size_t Size : Sizes) Side.BurstEnds.push_back(End += Size);
  if (Gaps.empty()) Gaps.push_back(TNanoseconds(0));
  Gaps.resize(std::max<std::size_t>(Sizes.size(), 1), Gaps.back());
  Side.Gaps = std::move(Gaps);
  Side.PlanSent = 0;
  Side.PlanBurst = 0;
}

void TVirtualSerialLine::TRelay::Corrupt(TLineSide To, std::size_t Offset, Byte Mask) {
  std::lock_guard Lock(Mutex_);
  TSide& Side = SideOf(To);
  Side.Corruptions[Side.Arrived + Offset] ^= Mask;
}

void TVirtualSerialLine::TRelay::Drop(TLineSide To, std::size_t Offset) {
  std::lock_guard Lock(Mutex_);
  TSide& Side = SideOf(To);
  Side.Losses.insert(Side.Arrived + Offset);
}

void TVirtualSerialLine::TRelay::Inject(TLineSide To, const TFrameData& Bytes) {
  {
    std::lock_guard Lock(Mutex_);
    if (Unplugged_ || UnplugAsked_) return;
    Schedule(SideOf(OtherSide(To)), Bytes.data(), Bytes.size(), false, TClock::now());
  }
  Wake();
}

void TVirtualSerialLine::TRelay::SetFaults(TLineSide From, const TLineFaults& Faults, unsigned Seed) {
  std::lock_guard Lock(Mutex_);
  TSide& Side = SideOf(From);
  Side.Faults = Faults;
  Side.Random.seed(Seed);
}

TLineFaultCounts TVirtualSerialLine::TRelay::FaultCounts(TLineSide From) const {
  std::lock_guard Lock(Mutex_);
  return SideOf(From).FaultCounts;
}

void TVirtualSerialLine::TRelay::Unplug() {
  std::unique_lock Lock(Mutex_);
  UnplugAsked_ = true;
  Wake();
  // The relay closes the masters itself: closing a descriptor that another thread is polling lets
  // its number be reused under that poll.
  Changed_.wait(Lock, [this] { return Unplugged_ || Finished_; });
  if (!Unplugged_) CloseMasters();
  Unplugged_ = true;
}

bool TVirtualSerialLine::TRelay::WaitForOpeners(TLineSide Side, bool Open, TNanoseconds Timeout) {
  std::unique_lock Lock(Mutex_);
  return Changed_.wait_for(Lock, Timeout, [&] { return (SideOf(Side).Openers > 0) == Open; });
}

bool TVirtualSerialLine::TRelay::WaitForArrivals(TLineSide To, std::size_t Count, TNanoseconds Timeout) {
  std::unique_lock Lock(Mutex_);
  return Changed_.wait_for(Lock, Timeout, [&] { return SideOf(To).Arrived >= Count; });
}

std::size_t TVirtualSerialLine::TRelay::Arrived(TLineSide To) const {
  std::lock_guard Lock(Mutex_);
  return static_cast<std::size_t>(SideOf(To).Arrived);
}

void TVirtualSerialLine::TRelay::Schedule(TSide& From, const Byte* Data, std::size_t Count, bool Echo, TTime Now) {
  std::uniform_real_distribution<double> Chance(0, 1);
  const TLineFaults& F = From.Faults;
  const auto Drawn = [&](double Rate, std::size_t& Counted) {
    if (Rate <= 0 || (F.MaxPerFrame > 0 && From.FaultsInFrame >= F.MaxPerFrame) || Chance(From.Random) >= Rate)
      return false;
    ++Counted;
    ++From.FaultsInFrame;
    return true;
  };
  for (std::size_t I = 0; I < Count; ++I) {
    TTime Start = std::max(Now, From.WireFree);
    if (From.PlanBurst < From.BurstEnds.size()) {
      if (From.PlanSent == From.BurstEnds[From.PlanBurst]) {
        ++From.PlanBurst;
        if (From.PlanBurst < From.BurstEnds.size()) Start = std::max(Now, From.WireFree + From.Gaps[From.PlanBurst - 1]);
      }
      if (From.PlanBurst < From.BurstEnds.size()) ++From.PlanSent;
    }
    if (Start == Now) From.FaultsInFrame = 0;  // a frame starts on an idle wire
    if (Start == Now && Drawn(F.Delay, From.FaultCounts.Delays)) Start += F.DelayBy;
    if (Drawn(F.Drop, From.FaultCounts.Drops)) continue;
    if (Drawn(F.Garbage, From.FaultCounts.Garbage)) {
      ScheduleByte(From, static_cast<Byte>(From.Random()), Start, Echo);
      Start = From.WireFree;
    }
    Byte Value = Data[I];
    if (Drawn(F.Flip, From.FaultCounts.Flips)) Value ^= static_cast<Byte>(1u << (From.Random() % 8));
    ScheduleByte(From, Value, Start, Echo);
    if (Drawn(F.Duplicate, From.FaultCounts.Duplicates)) ScheduleByte(From, Value, From.WireFree, Echo);
  }
}

void TVirtualSerialLine::TRelay::ScheduleByte(TSide& From, Byte Value, TTime Start, bool Echo) {
  // A byte reaches its receivers when its last bit is on the wire.
  const TTime Due = Start + CharacterTime_;
  From.WireFree = Due;
  Other(From).Incoming.push_back({Due, Value});
  if (Echo) From.Echoed.push_back({Due, Value});
}

void TVirtualSerialLine::TRelay::ReadNotifications() {
  alignas(inotify_event) char Buffer[4096];
  for (;;) {
    const ssize_t Length = ::read(Notify_, Buffer, sizeof Buffer);
    if (Length <= 0) {
      if (Length < 0 && errno == EINTR) continue;
      return;
    }
    for (ssize_t At = 0; At < Length;) {
      const auto* Event = reinterpret_cast<const inotify_event*>(Buffer + At);
      At += static_cast<ssize_t>(sizeof(inotify_event) + Event->len);
      for (TSide& Side : Sides_) {
        if (Event->wd != Side.Watch) continue;
        // Whatever sits in the port's input when it gains its first opener or loses its last one
        // was meant for someone else: a new opener must not read it.
        if ((Event->mask & IN_OPEN) != 0 && Side.Openers++ == 0) ::tcflush(Side.Slave, TCIFLUSH);
        if ((Event->mask & IN_CLOSE) != 0 && Side.Openers > 0 && --Side.Openers == 0) ::tcflush(Side.Slave, TCIFLUSH);
      }
    }
  }
}

bool TVirtualSerialLine::TRelay::ReadMaster(TSide& From, TTime Now) {
  Byte Buffer[4096];
  for (;;) {
    const ssize_t Got = ::read(From.Master, Buffer, sizeof Buffer);
    if (Got > 0) {
      Schedule(From, Buffer, static_cast<std::size_t>(Got), From.Echo, Now);
      continue;
    }
    if (Got < 0 && errno == EINTR) continue;
    return Got < 0 && errno == EAGAIN;
  }
}

void TVirtualSerialLine::TRelay::Deliver(TSide& To, TTime Now) {
  Chunk_.clear();
  for (;;) {
    std::deque<TPending>* From = nullptr;
    if (!To.Incoming.empty() && To.Incoming.front().Due <= Now) From = &To.Incoming;
    if (!To.Echoed.empty() && To.Echoed.front().Due <= Now && (From == nullptr || To.Echoed.front().Due < From->front().Due))
      From = &To.Echoed;
    if (From == nullptr) break;
    Byte Value = From->front().Value;
    From->pop_front();
    const std::uint64_t Index = To.Arrived++;
    if (To.Losses.erase(Index) != 0) continue;
    if (const auto It = To.Corruptions.find(Index); It != To.Corruptions.end()) {
      Value ^= It->second;
      To.Corruptions.erase(It);
    }
    Chunk_.push_back(Value);
  }
  // A port that nobody has open receives nothing, as a line with no device on it.
  if (!Chunk_.empty() && To.Openers > 0 && To.Master >= 0) WriteAll(To.Master, Chunk_.data(), Chunk_.size(), 50ms);
}

std::optional<TTime> TVirtualSerialLine::TRelay::NextDue() const {
  std::optional<TTime> Next;
  for (const TSide& Side : Sides_) {
    for (const auto* Queue : {&Side.Incoming, &Side.Echoed})
      if (!Queue->empty() && (!Next || Queue->front().Due < *Next)) Next = Queue->front().Due;
  }
  return Next;
}

void TVirtualSerialLine::TRelay::CloseMasters() {
  for (TSide& Side : Sides_) {
    CloseDescriptor(Side.Master);
    Side.Incoming.clear();
    Side.Echoed.clear();
  }
}

void TVirtualSerialLine::TRelay::Run() {
  std::unique_lock Lock(Mutex_);
  while (!Stopping_) {
    if (UnplugAsked_ && !Unplugged_) {
      CloseMasters();
      Unplugged_ = true;
      Changed_.notify_all();
    }
    pollfd Fds[4] = {{Control_, POLLIN, 0},
                     {Notify_, POLLIN, 0},
                     {Sides_[0].Master, POLLIN, 0},
                     {Sides_[1].Master, POLLIN, 0}};
    const std::optional<TTime> Due = NextDue();
    timespec Timeout{};
    if (Due) {
      TNanoseconds Left = *Due - TClock::now();
      if (Left > TNanoseconds(0)) Left = std::max(Left, ShortestWake);
      Timeout = ToTimespec(Left);
    }
    Lock.unlock();
    const int Ready = ::ppoll(Fds, 4, Due ? &Timeout : nullptr, nullptr);
    const int PollError = errno;
    Lock.lock();
    if (Ready < 0 && PollError != EINTR) break;  // nothing sensible left to do, and no spinning
    if (Ready > 0 && (Fds[0].revents & POLLIN) != 0) {
      std::uint64_t Count;
      while (::read(Control_, &Count, sizeof Count) < 0 && errno == EINTR) {
      }
    }
    // Opens and closes first: bytes read below must see every opener that came before them.
    ReadNotifications();
    const TTime Now = TClock::now();
    for (int I = 0; I < 2; ++I) {
      TSide& Side = Sides_[I];
      if (Ready <= 0 || Side.Master < 0 || Fds[2 + I].revents == 0) continue;
      // A master hangs up only if its port is gone under the relay; stop watching it then instead of
      // waking for ever.
      if (!ReadMaster(Side, Now) || (Fds[2 + I].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) CloseDescriptor(Side.Master);
    }
    for (TSide& Side : Sides_) Deliver(Side, Now);
    Changed_.notify_all();
  }
  Finished_ = true;
  Changed_.notify_all();
}

// ---- TVirtualSerialLine

TVirtualSerialLine::TVirtualSerialLine(Cardinal BaudRate, Cardinal BitsPerCharacter)
    : Relay_(std::make_unique<TRelay>(BaudRate, BitsPerCharacter)) {}

TVirtualSerialLine::~TVirtualSerialLine() = default;

const std::string& TVirtualSerialLine::PortA() const { return Relay_->Path(TLineSide::A); }
const std::string& TVirtualSerialLine::PortB() const { return Relay_->Path(TLineSide::B); }
const std::string& TVirtualSerialLine::Port(TLineSide Side) const { return Relay_->Path(Side); }

void TVirtualSerialLine::SetPacing(Cardinal BaudRate, Cardinal BitsPerCharacter) {
  Relay_->SetPacing(BaudRate, BitsPerCharacter);
}

void TVirtualSerialLine::SetEcho(TLineSide Side, bool On) { Relay_->SetEcho(Side, On); }

void TVirtualSerialLine::SplitNextFrame(TLineSide From, std::vector<std::size_t> BurstSizes,
                                        std::chrono::milliseconds Gap) {
  Relay_->Split(From, std::move(BurstSizes), {Gap});
}

void TVirtualSerialLine::SplitNextFrame(TLineSide From, std::vector<std::size_t> BurstSizes,
                                        std::vector<std::chrono::milliseconds> Gaps) {
  Relay_->Split(From, std::move(BurstSizes), std::vector<TNanoseconds>(Gaps.begin(), Gaps.end()));
}

void TVirtualSerialLine::CorruptNext(TLineSide To, std::size_t Offset, Byte Mask) { Relay_->Corrupt(To, Offset, Mask); }
void TVirtualSerialLine::DropNext(TLineSide To, std::size_t Offset) { Relay_->Drop(To, Offset); }
void TVirtualSerialLine::Inject(TLineSide To, const TFrameData& Bytes) { Relay_->Inject(To, Bytes); }
void TVirtualSerialLine::SetFaults(TLineSide From, const TLineFaults& Faults, unsigned Seed) {
  Relay_->SetFaults(From, Faults, Seed);
}
TLineFaultCounts TVirtualSerialLine::FaultCounts(TLineSide From) const { return Relay_->FaultCounts(From); }
void TVirtualSerialLine::Unplug() { Relay_->Unplug(); }

bool TVirtualSerialLine::WaitForOpen(TLineSide Side, std::chrono::milliseconds Timeout) {
  return Relay_->WaitForOpeners(Side, true, Timeout);
}

bool TVirtualSerialLine::WaitForClose(TLineSide Side, std::chrono::milliseconds Timeout) {
  return Relay_->WaitForOpeners(Side, false, Timeout);
}

bool TVirtualSerialLine::WaitForArrivals(TLineSide To, std::size_t Count, std::chrono::milliseconds Timeout) {
  return Relay_->WaitForArrivals(To, Count, Timeout);
}

std::size_t TVirtualSerialLine::Arrived(TLineSide To) const { return Relay_->Arrived(To); }

// ---- TLinePeer

TLinePeer::TLinePeer(const std::string& Path) {
  Descriptor_ = Check(::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC), "open peer port");
  try {
    MakeRaw(Descriptor_);
  } catch (...) {
    CloseDescriptor(Descriptor_);
    throw;
  }
  ::tcflush(Descriptor_, TCIOFLUSH);
}

TLinePeer::~TLinePeer() { Close(); }

void TLinePeer::Close() {
  if (Descriptor_ >= 0) ::tcflush(Descriptor_, TCIFLUSH);
  CloseDescriptor(Descriptor_);
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
