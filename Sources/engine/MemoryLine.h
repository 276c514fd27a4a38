#pragma once
// A line in memory: two ends of one wire, what one end writes the other can read at once. No
// operating-system port, no pacing and no noise: the engine's framing, retries, echo handling and
// time-outs run over it in unit tests, with a test playing the other end. Closing an end is a
// cable pulled for the other: its waits fail until an end on that side is made again.

#include <memory>
#include <mutex>
#include <vector>

#include "engine/Line.h"
#include "platform/Event.h"

namespace Quorvel {

class TMemoryWire;

class TMemoryLine final : public TLine {
 public:
  enum TSide : Byte { SideA, SideB };

  // The end Side of Wire. What Side had received before is dropped: an opener never reads what was
  // sent before it opened. One end per side at a time.
  TMemoryLine(std::shared_ptr<TMemoryWire> Wire, TSide Side);
  ~TMemoryLine() override;
  TMemoryLine(const TMemoryLine&) = delete;
  TMemoryLine& operator=(const TMemoryLine&) = delete;

  // Kept, so that a test can see what the connection applied.
  bool ApplySettings(const Platform::TLineSettings& Settings) noexcept override;
  TWaitResult WaitForInput(Cardinal TimeoutMs, Platform::TEventObject* Stop) noexcept override;
  TWaitResult WaitForSignal(Platform::TEventObject& Wake, Cardinal TimeoutMs) noexcept override;
  bool InputCount(Cardinal& Count) noexcept override;
  bool Read(Byte* Dest, Cardinal Count) noexcept override;
  bool TakeLineErrors() noexcept override { return false; }
  // Bytes for a side that nobody has open are lost, as on a wire.
  bool WriteFrame(const Byte* Data, Cardinal Length, Cardinal TimeoutMs) noexcept override;
  void Purge(bool Input, bool Output) noexcept override;

 private:
  bool PeerGone() const noexcept;

  std::shared_ptr<TMemoryWire> FWire;
  TSide FSide;
  // Set when a wait found the other end gone, cleared when one finds it back.
  bool FFailed = false;
};

// The wire between the two ends; made by the test, shared with the ends it makes.
class TMemoryWire {
 public:
  // The settings that the end on Side applied last.
  Platform::TLineSettings Settings(TMemoryLine::TSide Side) const;
  // Whether an end on Side exists now.
  bool IsOpen(TMemoryLine::TSide Side) const;
  // The bytes sent towards Side since the wire was made, lost ones included.
  std::size_t Arrived(TMemoryLine::TSide Side) const;

 private:
  friend class TMemoryLine;

  struct TEnd {
    std::vector<Byte> Input;
    bool Open = false;
    std::size_t Arrived = 0;
    Platform::TLineSettings Settings;
    // Signalled while Input holds bytes or the other end is gone: what a wait for input ends on.
    Platform::TEventObject Readable{true};
    // Signalled while the other end is gone.
    Platform::TEventObject HungUp{true};
  };

  // With Lock held: sets End's events from its state.
  void Update(TMemoryLine::TSide Side) noexcept;

  mutable std::mutex Lock;
  TEnd Ends[2];
};

}  // namespace Quorvel
