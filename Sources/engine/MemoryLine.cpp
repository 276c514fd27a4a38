#include "engine/MemoryLine.h"

#include <algorithm>
#include <cstring>

#include "engine/Timing.h"
#include "platform/Clock.h"

namespace Quorvel {

namespace {

TMemoryLine::TSide Other(TMemoryLine::TSide Side) noexcept {
  return Side == TMemoryLine::SideA ? TMemoryLine::SideB : TMemoryLine::SideA;
}

}  // namespace

Platform::TLineSettings TMemoryWire::Settings(TMemoryLine::TSide Side) const {
  std::lock_guard Guard(Lock);
  return Ends[Side].Settings;
}

bool TMemoryWire::IsOpen(TMemoryLine::TSide Side) const {
  std::lock_guard Guard(Lock);
  return Ends[Side].Open;
}

std::size_t TMemoryWire::Arrived(TMemoryLine::TSide Side) const {
  std::lock_guard Guard(Lock);
  return Ends[Side].Arrived;
}

void TMemoryWire::Update(TMemoryLine::TSide Side) noexcept {
  TEnd& End = Ends[Side];
  const bool Gone = !Ends[Other(Side)].Open;
  if (Gone) End.HungUp.Set(); else End.HungUp.Reset();
  if (Gone || !End.Input.empty()) End.Readable.Set(); else End.Readable.Reset();
}

TMemoryLine::TMemoryLine(std::shared_ptr<TMemoryWire> Wire, TSide Side) : FWire(std::move(Wire)), FSide(Side) {
  std::lock_guard Guard(FWire->Lock);
  auto& End = FWire->Ends[FSide];
  End.Open = true;
  End.Input.clear();
  // Room for a few frames, so that the line path does not allocate once under way.
  End.Input.reserve(4096);
  FWire->Update(SideA);
  FWire->Update(SideB);
}

TMemoryLine::~TMemoryLine() {
  std::lock_guard Guard(FWire->Lock);
  FWire->Ends[FSide].Open = false;
  FWire->Ends[FSide].Input.clear();
  FWire->Update(SideA);
  FWire->Update(SideB);
}

bool TMemoryLine::ApplySettings(const Platform::TLineSettings& Settings) noexcept {
  std::lock_guard Guard(FWire->Lock);
  FWire->Ends[FSide].Settings = Settings;
  return true;
}

bool TMemoryLine::PeerGone() const noexcept {
  std::lock_guard Guard(FWire->Lock);
  return !FWire->Ends[Other(FSide)].Open;
}

TWaitResult TMemoryLine::WaitForInput(Cardinal TimeoutMs, Platform::TEventObject* Stop) noexcept {
  auto& End = FWire->Ends[FSide];
  if (FFailed) {
    if (PeerGone()) {
      // As a vanished port does: the time-out is sat out on the stop event alone.
      if (Stop == nullptr)
        Platform::SleepMs(TimeoutMs);
      else if (Stop->Wait(TimeoutMs))
        return TWaitResult::Stopped;
      return TWaitResult::Failed;
    }
    FFailed = false;
  }
  const std::uint64_t Start = Platform::MonotonicMicroseconds();
  for (;;) {
    const int Signalled = Platform::WaitForEither(End.Readable, Stop, TimeLeft(Start, TimeoutMs));
    if (Signalled == 2) return TWaitResult::Stopped;
    if (Signalled == 0) return TWaitResult::Timeout;
    std::lock_guard Guard(FWire->Lock);
    if (!End.Input.empty()) return TWaitResult::Input;
    if (!FWire->Ends[Other(FSide)].Open) {
      FFailed = true;
      return TWaitResult::Failed;
    }
  }
}

TWaitResult TMemoryLine::WaitForSignal(Platform::TEventObject& Wake, Cardinal TimeoutMs) noexcept {
  if (FFailed && PeerGone()) return Wake.Wait(TimeoutMs) ? TWaitResult::Stopped : TWaitResult::Timeout;
  switch (Platform::WaitForEither(FWire->Ends[FSide].HungUp, &Wake, TimeoutMs)) {
    case 2: return TWaitResult::Stopped;
    case 1: FFailed = true; return TWaitResult::Failed;
    default: return TWaitResult::Timeout;
  }
}

bool TMemoryLine::InputCount(Cardinal& Count) noexcept {
  std::lock_guard Guard(FWire->Lock);
  Count = static_cast<Cardinal>(FWire->Ends[FSide].Input.size());
  return true;
}

bool TMemoryLine::Read(Byte* Dest, Cardinal Count) noexcept {
  std::lock_guard Guard(FWire->Lock);
  auto& Input = FWire->Ends[FSide].Input;
  if (Input.size() < Count) return false;
  std::copy_n(Input.begin(), Count, Dest);
  Input.erase(Input.begin(), Input.begin() + Count);
  FWire->Update(FSide);
  return true;
}

bool TMemoryLine::WriteFrame(const Byte* Data, Cardinal Length, Cardinal) noexcept {
  std::lock_guard Guard(FWire->Lock);
  auto& To = FWire->Ends[Other(FSide)];
  To.Arrived += Length;
  if (!To.Open || Length == 0) return true;
  To.Input.insert(To.Input.end(), Data, Data + Length);
  FWire->Update(Other(FSide));
  return true;
}

void TMemoryLine::Purge(bool Input, bool) noexcept {
  if (!Input) return;
  std::lock_guard Guard(FWire->Lock);
  FWire->Ends[FSide].Input.clear();
  FWire->Update(FSide);
}

}  // namespace Quorvel
