#include "engine/SerialLine.h"

#include <Quorvel/Errors.h>

namespace Quorvel {

std::unique_ptr<TSerialLine> TSerialLine::Open(const std::string& PortName, Cardinal QueueSize) {
  auto Line = std::make_unique<TSerialLine>();
  if (!Line->FPort.Open(PortName)) RaiseError(Messages::OpenPort);
  Line->Prepare(QueueSize);
  return Line;
}

std::unique_ptr<TSerialLine> TSerialLine::Attach(THookHandle Hooked, Cardinal QueueSize) {
  auto Line = std::make_unique<TSerialLine>();
  if (Hooked == InvalidHookHandle || !Line->FPort.Attach(Hooked)) RaiseError(Messages::OpenPort);
  Line->Prepare(QueueSize);
  return Line;
}

// A failed step leaves the port to the line's destructor, which closes an opened port and detaches
// a hooked one.
void TSerialLine::Prepare(Cardinal QueueSize) {
  if (!FPort.SetupQueues(QueueSize, QueueSize)) RaiseError(Messages::SerialBuffersInit);
  if (!FPort.SetImmediateReads()) RaiseError(Messages::TimeoutsInit);
  if (!FPort.ClearEventMask()) RaiseError(Messages::EventMaskInit);
}

// Called by the main thread while the worker may be sending: waits for the frame under way, and for
// the driver to have sent it, so that it leaves the wire as it began. With CTS flow control the
// other end may hold the driver's queue back for as long as it likes, so only the writer is
// waited for there.
bool TSerialLine::ApplySettings(const Platform::TLineSettings& Settings) noexcept {
  std::lock_guard Lock(FFrameLock);
  if (!Settings.CtsOutputFlow) FPort.Drain();
  const bool Ok = FPort.ApplyLineSettings(Settings);
  FSwitchRts = Settings.Rts == Platform::TLineControl::Toggle && !FPort.DriverTogglesRts();
  return Ok;
}

TWaitResult TSerialLine::WaitForInput(Cardinal TimeoutMs, Platform::TEventObject* Stop) noexcept {
  return FPort.WaitForInput(TimeoutMs, Stop);
}

TWaitResult TSerialLine::WaitForSignal(Platform::TEventObject& Wake, Cardinal TimeoutMs) noexcept {
  return FPort.WaitForSignal(Wake, TimeoutMs);
}

bool TSerialLine::InputCount(Cardinal& Count) noexcept { return FPort.InputCount(Count); }

bool TSerialLine::Read(Byte* Dest, Cardinal Count) noexcept { return FPort.Read(Dest, Count); }

bool TSerialLine::TakeLineErrors() noexcept { return FPort.TakeLineErrors(); }

// Where the driver cannot switch RTS around a send (no RS-485 mode), it is switched here: raised
// once the previous output is gone, lowered once this frame has left the wire.
bool TSerialLine::WriteFrame(const Byte* Data, Cardinal Length, Cardinal TimeoutMs) noexcept {
  std::lock_guard Lock(FFrameLock);
  const bool SwitchRts = FSwitchRts;
  if (SwitchRts) {
    FPort.Drain();
    FPort.SetRts(true);
  }
  const bool Ok = FPort.Write(Data, Length, TimeoutMs);
  if (SwitchRts) {
    FPort.Drain();
    FPort.SetRts(false);
  }
  return Ok;
}

void TSerialLine::Purge(bool Input, bool Output) noexcept { FPort.Purge(Input, Output); }

}  // namespace Quorvel
