// The connection's timed port input and output. Only the worker thread calls these; none raises:
// a failed wait, read or write, or a line error (framing, parity, overrun, break), is a result.

#include <cstring>

#include "Connection.h"
#include "ConnectionLine.h"
#include "Timing.h"

namespace Quorvel {

namespace {

constexpr Byte Colon = ':';
constexpr Byte CR = 0x0D;
constexpr Byte LF = 0x0A;

enum TASCIIScanState : std::uint8_t { asIdle, asInFrame, asGotCR, asComplete };

}  // namespace

void TModbusConnection::PurgePort(bool RxSide, bool TxSide) {
  if (RxSide || TxSide) FLine->Serial.Purge(RxSide, TxSide);
}

bool TModbusConnection::GetInputCount(Cardinal& Count) {
  const bool LineErrors = FLine->Serial.TakeLineErrors();
  Count = 0;
  return FLine->Serial.InputCount(Count) && !LineErrors;
}

bool TModbusConnection::ReadBytes(Byte* Dest, Cardinal Count) {
  const bool Ok = FLine->Serial.Read(Dest, Count);
  return !FLine->Serial.TakeLineErrors() && Ok;
}

// Only an endless server wait listens to the stop event: closing wakes a server at once, while a
// client's waits are bounded by its time budget anyway.
bool TModbusConnection::WaitForCharacter(Cardinal Timeout) {
  const bool EndlessServerWait = Timeout == Infinite && FConnectionMode == cmServer;
  const auto Result = FLine->Serial.WaitForInput(Timeout, EndlessServerWait ? &FLine->StopEvent : nullptr);
  if (Result == Platform::TWaitResult::Failed) NotePortFailure();
  return Result == Platform::TWaitResult::Input;
}

void TModbusConnection::DiscardInput() {
  PurgePort(true, true);
  if (IsASCII()) return;
  // Wait for one silent time of quiet, so that the first frame read starts on a frame boundary.
  while (WaitForCharacter(GetSilentTime())) PurgePort(true, false);
}

// A client counts every wait against its budget; a server's budget is endless until a wait fails.
bool TModbusConnection::WaitTimed(Cardinal Timeout, Cardinal& Remaining) {
  if (FConnectionMode == cmClient) {
    Cardinal Start = 0;
    StartTimer(Start);
    const bool Ok = WaitForCharacter(Timeout);
    DeductElapsed(Start, Remaining);
    return Ok;
  }
  const bool Ok = WaitForCharacter(Timeout);
  if (!Ok) Remaining = 0;
  return Ok;
}

// Reads every byte waiting now. A burst larger than the space left is thrown away: left in the
// driver's queue it would keep the next wait from ever blocking.
bool TModbusConnection::ReadAvailable(Byte* Dest, int Space, int& Count) {
  Cardinal Waiting = 0;
  Count = 0;
  if (!GetInputCount(Waiting)) return false;
  if (Waiting > static_cast<Cardinal>(Space)) {
    PurgePort(true, false);
    return false;
  }
  if (!ReadBytes(Dest, Waiting)) return false;
  Count = static_cast<int>(Waiting);
  return true;
}

int TModbusConnection::ReadFrame(Byte* Dest, int Capacity, Cardinal& Remaining) {
  const Cardinal SilentTime = GetSilentTime();
  return IsASCII() ? ReadASCIIFrame(Dest, Capacity, Remaining, SilentTime)
                   : ReadRTUFrame(Dest, Capacity, Remaining, SilentTime);
}

// An RTU frame ends with a silence of SilentTime. The first character may take the whole budget.
int TModbusConnection::ReadRTUFrame(Byte* Dest, int Capacity, Cardinal& Remaining, Cardinal SilentTime) {
  if (Remaining == 0) return 0;
  FLine->Serial.TakeLineErrors();
  if (!WaitTimed(Remaining, Remaining)) return 0;
  int Total = 0;
  if (!ReadAvailable(Dest, Capacity, Total)) return 0;
  while (Remaining > 0) {
    if (!WaitTimed(SilentTime, Remaining)) return Total;
    int Count = 0;
    if (!ReadAvailable(Dest + Total, Capacity - Total, Count)) return 0;
    Total += Count;
  }
  return Total;
}

// An ASCII frame runs from a colon to CR LF; SilentTime is the longest gap allowed inside it.
int TModbusConnection::ReadASCIIFrame(Byte* Dest, int Capacity, Cardinal& Remaining, Cardinal SilentTime) {
  if (Remaining == 0) return 0;
  FLine->Serial.TakeLineErrors();
  TASCIIScanState State = asIdle;
  int Total = 0;

  // Reads a chunk at Dest + Total and scans it. A colon always starts a new frame, whose bytes are
  // then moved to the front; bytes after the LF are dropped.
  const auto ScanChunk = [&]() {
    int Count = 0;
    if (!ReadAvailable(Dest + Total, Capacity - Total, Count)) return false;
    Byte* const Chunk = Dest + Total;
    int FrameStart = -1;
    int Counted = 0;
    for (int Index = 0; Index < Count && State != asComplete; ++Index) {
      const Byte Character = Chunk[Index];
      if (Character == Colon) {
        State = asInFrame;
        FrameStart = Index;
        Counted = 1;
      } else if (State == asInFrame) {
        ++Counted;
        if (Character == CR) State = asGotCR;
      } else if (State == asGotCR) {
        if (Character == LF) {
          State = asComplete;
          ++Counted;
        } else {
          State = asIdle;
          FrameStart = -1;
          Counted = 0;
        }
      }
    }
    if (FrameStart >= 0) {
      std::memmove(Dest, Chunk + FrameStart, static_cast<std::size_t>(Counted));
      Total = Counted;
    } else {
      Total += Counted;
    }
    return true;
  };

  while (State == asIdle && Remaining > 0) {
    if (!WaitTimed(Remaining, Remaining) || !ScanChunk()) break;
  }
  while ((State == asInFrame || State == asGotCR) && Remaining > 0) {
    if (!WaitTimed(SilentTime, Remaining) || !ScanChunk()) break;
  }
  return State == asComplete ? Total : 0;
}

bool TModbusConnection::WriteFrame(const Byte* Data, int Length, Cardinal Timeout) {
  FLine->Serial.TakeLineErrors();
  // Where the driver cannot switch RTS around a send (no RS-485 mode), switch it here: raised
  // once the previous output is gone, lowered once this frame has left the wire.
  const bool SwitchRts = FFlowControl == fcRtsToggle && !FLine->Serial.DriverTogglesRts();
  if (SwitchRts) {
    FLine->Serial.Drain();
    FLine->Serial.SetRts(true);
  }
  const bool Ok = FLine->Serial.Write(Data, static_cast<Cardinal>(Length), Timeout);
  if (SwitchRts) {
    FLine->Serial.Drain();
    FLine->Serial.SetRts(false);
  }
  return !FLine->Serial.TakeLineErrors() && Ok;
}

}  // namespace Quorvel
