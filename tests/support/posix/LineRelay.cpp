#include "LineRelay.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "Descriptors.h"

namespace Quorvel::Testing {

using namespace Descriptors;

namespace {

using namespace std::chrono_literals;

// The relay never sleeps less than this between two deliveries, so that the fastest lines are
// delivered in chunks of a few bytes instead of one wake-up per byte; at 115200 bit/s it is about
// a character time, so that a frame's last byte is never late by much more than one.
constexpr std::chrono::nanoseconds ShortestWake = 100us;

}  // namespace

TLineRelay::TLineRelay(std::size_t Stations, Cardinal BaudRate, Cardinal BitsPerCharacter) : Sides_(Stations) {
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
      if (errno != 0) throw std::system_error(errno, std::generic_category(), "ptsname_r");
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

TLineRelay::~TLineRelay() {
  {
    std::lock_guard Lock(Mutex_);
    Stopping_ = true;
  }
  Wake();
  Thread_.join();
  CloseAll();
}

void TLineRelay::CloseAll() {
  Close(Notify_);
  Close(Control_);
  for (TSide& Side : Sides_) {
    Close(Side.Slave);
    Close(Side.Master);
  }
}

void TLineRelay::Wake() const {
  const std::uint64_t One = 1;
  while (::write(Control_, &One, sizeof One) < 0 && errno == EINTR) {
  }
}

void TLineRelay::SetPacing(Cardinal BaudRate, Cardinal BitsPerCharacter) {
  std::lock_guard Lock(Mutex_);
  CharacterTime_ = BaudRate == 0 ? TNanoseconds(0)
                                 : TNanoseconds(static_cast<std::int64_t>(BitsPerCharacter) * 1'000'000'000 / BaudRate);
}

void TLineRelay::SetEcho(std::size_t Station, bool On) {
  std::lock_guard Lock(Mutex_);
  Sides_.at(Station).Echo = On;
}

void TLineRelay::Split(std::size_t From, std::vector<std::size_t> Sizes, std::vector<TNanoseconds> Gaps) {
  std::lock_guard Lock(Mutex_);
  TSide& Side = Sides_.at(From);
  Side.BurstEnds.clear();
  std::size_t End = 0;
  for (const std::size_t Size : Sizes) Side.BurstEnds.push_back(End += Size);
  if (Gaps.empty()) Gaps.push_back(TNanoseconds(0));
  Gaps.resize(std::max<std::size_t>(Sizes.size(), 1), Gaps.back());
  Side.Gaps = std::move(Gaps);
  Side.PlanSent = 0;
  Side.PlanBurst = 0;
}

void TLineRelay::Corrupt(std::size_t To, std::size_t Offset, Byte Mask) {
  std::lock_guard Lock(Mutex_);
  TSide& Side = Sides_.at(To);
  Side.Corruptions[Side.Arrived + Offset] ^= Mask;
}

void TLineRelay::Drop(std::size_t To, std::size_t Offset) {
  std::lock_guard Lock(Mutex_);
  TSide& Side = Sides_.at(To);
  Side.Losses.insert(Side.Arrived + Offset);
}

void TLineRelay::Inject(std::size_t From, const TFrameData& Bytes) {
  {
    std::lock_guard Lock(Mutex_);
    if (Unplugged_ || UnplugAsked_) return;
    Schedule(Sides_.at(From), Bytes.data(), Bytes.size(), false, TClock::now());
  }
  Wake();
}

void TLineRelay::SetFaults(std::size_t From, const TLineFaults& Faults, unsigned Seed) {
  std::lock_guard Lock(Mutex_);
  TSide& Side = Sides_.at(From);
  Side.Faults = Faults;
  Side.Random.seed(Seed);
}

TLineFaultCounts TLineRelay::FaultCounts(std::size_t From) const {
  std::lock_guard Lock(Mutex_);
  return Sides_.at(From).FaultCounts;
}

void TLineRelay::Unplug() {
  std::unique_lock Lock(Mutex_);
  UnplugAsked_ = true;
  Wake();
  // The relay closes the masters itself: closing a descriptor that another thread is polling lets
  // its number be reused under that poll.
  Changed_.wait(Lock, [this] { return Unplugged_ || Finished_; });
  if (!Unplugged_) CloseMasters();
  Unplugged_ = true;
}

bool TLineRelay::WaitForOpeners(std::size_t Station, bool Open, TNanoseconds Timeout) {
  std::unique_lock Lock(Mutex_);
  const TSide& Side = Sides_.at(Station);
  return Changed_.wait_for(Lock, Timeout, [&] { return (Side.Openers > 0) == Open; });
}

bool TLineRelay::WaitForArrivals(std::size_t To, std::size_t Count, TNanoseconds Timeout) {
  std::unique_lock Lock(Mutex_);
  const TSide& Side = Sides_.at(To);
  return Changed_.wait_for(Lock, Timeout, [&] { return Side.Arrived >= Count; });
}

std::size_t TLineRelay::Arrived(std::size_t To) const {
  std::lock_guard Lock(Mutex_);
  return static_cast<std::size_t>(Sides_.at(To).Arrived);
}

void TLineRelay::Schedule(TSide& From, const Byte* Data, std::size_t Count, bool Echo, TTime Now) {
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

void TLineRelay::ScheduleByte(TSide& From, Byte Value, TTime Start, bool Echo) {
  // A byte reaches every other station when its last bit is on the wire.
  const TTime Due = Start + CharacterTime_;
  From.WireFree = Due;
  for (TSide& To : Sides_)
    if (&To != &From) To.Incoming.push_back({Due, Value});
  if (Echo) From.Echoed.push_back({Due, Value});
}

void TLineRelay::ReadNotifications() {
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

bool TLineRelay::ReadMaster(TSide& From, TTime Now) {
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

void TLineRelay::Deliver(TSide& To, TTime Now) {
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

std::optional<TLineRelay::TTime> TLineRelay::NextDue() const {
  std::optional<TTime> Next;
  for (const TSide& Side : Sides_) {
    for (const auto* Queue : {&Side.Incoming, &Side.Echoed})
      if (!Queue->empty() && (!Next || Queue->front().Due < *Next)) Next = Queue->front().Due;
  }
  return Next;
}

void TLineRelay::CloseMasters() {
  for (TSide& Side : Sides_) {
    Close(Side.Master);
    Side.Incoming.clear();
    Side.Echoed.clear();
  }
}

void TLineRelay::Run() {
  std::vector<pollfd> Fds;
  Fds.reserve(2 + Sides_.size());
  std::unique_lock Lock(Mutex_);
  while (!Stopping_) {
    if (UnplugAsked_ && !Unplugged_) {
      CloseMasters();
      Unplugged_ = true;
      Changed_.notify_all();
    }
    Fds.assign({{Control_, POLLIN, 0}, {Notify_, POLLIN, 0}});
    for (const TSide& Side : Sides_) Fds.push_back({Side.Master, POLLIN, 0});
    const std::optional<TTime> Due = NextDue();
    timespec Timeout{};
    if (Due) {
      TNanoseconds Left = *Due - TClock::now();
      if (Left > TNanoseconds(0)) Left = std::max(Left, ShortestWake);
      Timeout = ToTimespec(Left);
    }
    Lock.unlock();
    const int Ready = ::ppoll(Fds.data(), Fds.size(), Due ? &Timeout : nullptr, nullptr);
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
    for (std::size_t I = 0; I < Sides_.size(); ++I) {
      TSide& Side = Sides_[I];
      if (Ready <= 0 || Side.Master < 0 || Fds[2 + I].revents == 0) continue;
      // A master hangs up only if its port is gone under the relay; stop watching it then instead of
      // waking for ever.
      if (!ReadMaster(Side, Now) || (Fds[2 + I].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) Close(Side.Master);
    }
    for (TSide& Side : Sides_) Deliver(Side, Now);
    Changed_.notify_all();
  }
  Finished_ = true;
  Changed_.notify_all();
}

}  // namespace Quorvel::Testing
