#pragma once
// The relay behind the virtual serial line and the virtual bus: pseudo-terminal ports, one per
// station, joined by a thread that paces every byte a station writes like a real line and delivers
// it to every other station (and back to the sender, with echo), meeting the faults asked for on
// the way. A line is two stations, a bus any number.

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "VirtualSerialLine.h"

namespace Quorvel::Testing {

class TLineRelay {
 public:
  using TClock = std::chrono::steady_clock;
  using TTime = TClock::time_point;
  using TNanoseconds = std::chrono::nanoseconds;

  TLineRelay(std::size_t Stations, Cardinal BaudRate, Cardinal BitsPerCharacter);
  ~TLineRelay();
  TLineRelay(const TLineRelay&) = delete;
  TLineRelay& operator=(const TLineRelay&) = delete;

  std::size_t Stations() const { return Sides_.size(); }
  const std::string& Path(std::size_t Station) const { return Sides_.at(Station).Path; }
  void SetPacing(Cardinal BaudRate, Cardinal BitsPerCharacter);
  void SetEcho(std::size_t Station, bool On);
  void Split(std::size_t From, std::vector<std::size_t> Sizes, std::vector<TNanoseconds> Gaps);
  void Corrupt(std::size_t To, std::size_t Offset, Byte Mask);
  void Drop(std::size_t To, std::size_t Offset);
  // Bytes on From's wire as if From had sent them, without an echo.
  void Inject(std::size_t From, const TFrameData& Bytes);
  void SetFaults(std::size_t From, const TLineFaults& Faults, unsigned Seed);
  TLineFaultCounts FaultCounts(std::size_t From) const;
  void Unplug();
  bool WaitForOpeners(std::size_t Station, bool Open, TNanoseconds Timeout);
  bool WaitForArrivals(std::size_t To, std::size_t Count, TNanoseconds Timeout);
  std::size_t Arrived(std::size_t To) const;

 private:
  struct TPending {
    TTime Due;
    Byte Value;
  };

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
    // This station as a sender: when its wire is free again, and the split of its next bytes.
    TTime WireFree{};
    std::vector<std::size_t> BurstEnds;
    std::vector<TNanoseconds> Gaps;
    std::size_t PlanSent = 0;
    std::size_t PlanBurst = 0;
    TLineFaults Faults;
    TLineFaultCounts FaultCounts;
    std::size_t FaultsInFrame = 0;
    std::mt19937 Random;
    // This station as a receiver.
    std::deque<TPending> Incoming;  // on the other stations' wires
    std::deque<TPending> Echoed;    // its own bytes, on its own wire
    std::uint64_t Arrived = 0;
    std::map<std::uint64_t, Byte> Corruptions;
    std::set<std::uint64_t> Losses;
  };

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
  std::vector<TSide> Sides_;
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

}  // namespace Quorvel::Testing
