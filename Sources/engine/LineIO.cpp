// The connection's timed port input and output. Only the worker thread calls these; none raises:
// a failed wait, read or write, or a line error (framing, parity, overrun, break), is a result.

#include <algorithm>
#include <cstring>

#include <Quorvel/Checksums.h>
#include <Quorvel/Connection.h>
#include "engine/ConnectionEngine.h"
#include "engine/Timing.h"
#include "platform/Clock.h"
#include "protocol/FrameLength.h"
#include "protocol/MbapFrame.h"

namespace Quorvel {

namespace {

constexpr Byte Colon = ':';
constexpr Byte CR = 0x0D;
constexpr Byte LF = 0x0A;

enum TASCIIScanState : std::uint8_t { asIdle, asInFrame, asGotCR, asComplete };

bool CrcChecks(const Byte* Frame, int Length) noexcept {
  const Word Crc = CRC16({Frame, static_cast<std::size_t>(Length - 2)});
  return Frame[Length - 2] == (Crc & 0xFF) && Frame[Length - 1] == (Crc >> 8);
}

// What a client's length-aware reader expects of the bytes it has: the echo of our own request
// (while the bytes so far are the request's), or a reply to it.
TFrameLength ExpectedReplyLength(std::span<const Byte> Received, const TModbusTransaction* Transaction,
                                 bool ExpectEcho) noexcept {
  if (Transaction == nullptr) return RtuReplyLength(Received, nullptr);
  const TModbusBuffer& Request = Transaction->Request;
  if (ExpectEcho) {
    const std::size_t Compared = std::min(Received.size(), static_cast<std::size_t>(Request.Size()));
    if (std::memcmp(Received.data(), Request.Memory(), Compared) == 0) return {TFrameLength::Known, Request.Size()};
  }
  return RtuReplyLength(Received, &Request, Transaction->RawReply.value_or(TReplyLength{}));
}

// Where the frame in Received ends as Length tells it: its length, once that has arrived and the
// CRC checks there; 0 while it may still (more bytes to come); -1 when it cannot.
int EndAt(TFrameLength Length, std::span<const Byte> Received, int Capacity) noexcept {
  if (Length.Kind == TFrameLength::NeedMore) return 0;
  if (Length.Kind != TFrameLength::Known || Length.Bytes > Capacity) return -1;
  if (static_cast<int>(Received.size()) < Length.Bytes) return 0;
  return CrcChecks(Received.data(), Length.Bytes) ? Length.Bytes : -1;
}

// Where the frame in Received ends by its own bytes (as EndAt). A server reads requests; on a line
// shared with other servers it also hears their replies, which end where a reply's bytes say, so
// that the request behind one is not run into it. The request's shape is asked first: a request
// is never cut short by a reply's length.
int FrameEnd(std::span<const Byte> Received, int Capacity, TConnectionMode Mode, const TModbusTransaction* Transaction,
             bool ExpectEcho) noexcept {
  if (Mode == cmClient) return EndAt(ExpectedReplyLength(Received, Transaction, ExpectEcho), Received, Capacity);
  const int End = EndAt(RtuRequestLength(Received), Received, Capacity);
  return End != -1 ? End : EndAt(RtuReplyLength(Received, nullptr), Received, Capacity);
}

}  // namespace

// Counts the received bytes it throws away, those read ahead by a length-aware read included. A
// Modbus TCP stream is framed by its length fields alone: it has no stray bytes, and cutting into
// it would only lose the start of the next frame.
void TModbusConnection::PurgePort(bool RxSide, bool TxSide) {
  if (IsModbusTCP()) return;
  if (RxSide) {
    Cardinal Waiting = 0;
    if (!FEngine->Line->InputCount(Waiting)) Waiting = 0;
    if (const auto Dropped = Waiting + static_cast<Cardinal>(FEngine->CarryCount); Dropped > 0)
      FEngine->Counters.Add(lcBytesPurged, Dropped);
    FEngine->CarryCount = 0;
  }
  if (RxSide || TxSide) FEngine->Line->Purge(RxSide, TxSide);
}

bool TModbusConnection::GetInputCount(Cardinal& Count) {
  const bool LineErrors = FEngine->Line->TakeLineErrors();
  Count = 0;
  return FEngine->Line->InputCount(Count) && !LineErrors;
}

bool TModbusConnection::ReadBytes(Byte* Dest, Cardinal Count) {
  const bool Ok = FEngine->Line->Read(Dest, Count);
  return !FEngine->Line->TakeLineErrors() && Ok;
}

// Closing ends a server's waits, and a wait without limit: nothing bounds them otherwise. A
// client's other waits belong to the attempts of the transaction in progress, which closing lets
// run through, each within its own time.
bool TModbusConnection::WaitForCharacter(Cardinal Timeout) {
  return WaitForLine(Timeout, FConnectionMode == cmServer || Timeout == Infinite);
}

bool TModbusConnection::WaitForLine(Cardinal Timeout, bool Stoppable) {
  const auto Result = FEngine->Line->WaitForInput(Timeout, Stoppable ? &FEngine->StopEvent : nullptr);
  if (Result == Platform::TWaitResult::Failed) NotePortFailure();
  return Result == Platform::TWaitResult::Input;
}

void TModbusConnection::DiscardInput() {
  PurgePort(true, true);
  if (IsASCII() || IsModbusTCP()) return;
  // Wait for one silent time of quiet, so that the first frame read starts on a frame boundary. On
  // a line that never falls silent only closing ends it.
  while (WaitForLine(GetSilentTime(), true)) PurgePort(true, false);
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
  if (Count > 0) FEngine->LastReceive = Platform::MonotonicMicroseconds();
  return true;
}

int TModbusConnection::ReadFrame(Byte* Dest, int Capacity, Cardinal& Remaining, const TModbusTransaction* Transaction,
                                 bool ExpectEcho) {
  if (IsModbusTCP()) return ReadMbapFrame(Dest, Capacity, Remaining);
  const Cardinal SilentTime = GetSilentTime();
  if (IsASCII()) return ReadASCIIFrame(Dest, Capacity, Remaining, SilentTime);
  if (FLengthAwareFraming) return ReadSizedRTUFrame(Dest, Capacity, Remaining, SilentTime, Transaction, ExpectEcho);
  return ReadRTUFrame(Dest, Capacity, Remaining, SilentTime);
}

// An RTU frame ends with a silence of SilentTime. The first character may take the whole budget.
int TModbusConnection::ReadRTUFrame(Byte* Dest, int Capacity, Cardinal& Remaining, Cardinal SilentTime) {
  if (Remaining == 0) return 0;
  FEngine->Line->TakeLineErrors();
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

// Length-aware: the frame ends as soon as its own bytes tell its length and the CRC at that length
// checks. Where they cannot tell, or the bytes at that length do not check, the silence ends it as
// in ReadRTUFrame: nothing that the silence frames right is framed otherwise here. Bytes read past
// the end are the next frame's start and are kept for the next read.
int TModbusConnection::ReadSizedRTUFrame(Byte* Dest, int Capacity, Cardinal& Remaining, Cardinal SilentTime,
                                         const TModbusTransaction* Transaction, bool ExpectEcho) {
  if (Remaining == 0) return 0;
  FEngine->Line->TakeLineErrors();
  int Total = TakeCarry(Dest, Capacity);
  if (Total == 0 && (!WaitTimed(Remaining, Remaining) || !ReadAvailable(Dest, Capacity, Total))) return 0;
  bool Sizing = true;
  for (;;) {
    if (Sizing) {
      const int End = FrameEnd({Dest, static_cast<std::size_t>(Total)}, Capacity, FConnectionMode, Transaction, ExpectEcho);
      if (End > 0) {
        FEngine->CarryCount = Total - End;
        std::memcpy(FEngine->Carry.data(), Dest + End, static_cast<std::size_t>(FEngine->CarryCount));
        return End;
      }
      Sizing = End == 0;
    }
    if (Remaining == 0 || !WaitTimed(SilentTime, Remaining)) return Total;
    int Count = 0;
    if (!ReadAvailable(Dest + Total, Capacity - Total, Count)) return 0;
    Total += Count;
  }
}

int TModbusConnection::TakeCarry(Byte* Dest, int Capacity) noexcept {
  const int Count = std::min(FEngine->CarryCount, Capacity);
  std::memcpy(Dest, FEngine->Carry.data(), static_cast<std::size_t>(Count));
  FEngine->CarryCount = 0;
  return Count;
}

// An ASCII frame runs from a colon to CR LF; SilentTime is the longest gap allowed inside it. What
// came after the LF in the same read (the reply behind an echo, the next request behind one to
// another server) is the next read's start.
int TModbusConnection::ReadASCIIFrame(Byte* Dest, int Capacity, Cardinal& Remaining, Cardinal SilentTime) {
  if (Remaining == 0) return 0;
  FEngine->Line->TakeLineErrors();
  TASCIIScanState State = asIdle;
  int Total = 0;

  // Scans Count bytes at Dest + Total. A colon always starts a new frame, whose bytes are then
  // moved to the front; bytes after the LF are carried over.
  const auto Scan = [&](int Count) {
    Byte* const Chunk = Dest + Total;
    int FrameStart = -1;
    int Counted = 0;
    int Index = 0;
    for (; Index < Count && State != asComplete; ++Index) {
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
    FEngine->CarryCount = Count - Index;
    std::memcpy(FEngine->Carry.data(), Chunk + Index, static_cast<std::size_t>(FEngine->CarryCount));
    if (FrameStart >= 0) {
      std::memmove(Dest, Chunk + FrameStart, static_cast<std::size_t>(Counted));
      Total = Counted;
    } else {
      Total += Counted;
    }
  };
  const auto ReadAndScan = [&]() {
    int Count = 0;
    if (!ReadAvailable(Dest + Total, Capacity - Total, Count)) return false;
    Scan(Count);
    return true;
  };

  if (const int Carried = TakeCarry(Dest, Capacity); Carried > 0) Scan(Carried);
  while (State == asIdle && Remaining > 0) {
    if (!WaitTimed(Remaining, Remaining) || !ReadAndScan()) break;
  }
  while ((State == asInFrame || State == asGotCR) && Remaining > 0) {
    if (!WaitTimed(SilentTime, Remaining) || !ReadAndScan()) break;
  }
  return State == asComplete ? Total : 0;
}

// A Modbus TCP frame ends where its header's length field says: TCP keeps the bytes in order, so
// no silence is waited for. What has arrived is read at once, up to the longest frame; bytes past
// this frame's end are the next one's start, kept for the next read. So every wait finds new bytes
// (no wait can spin on bytes left unread), and a whole reply costs one wait and one read. A header
// that cannot be, or a frame cut short by the end of the budget, leaves no way to find the next
// frame's start: the connection it came on is dropped.
int TModbusConnection::ReadMbapFrame(Byte* Dest, int Capacity, Cardinal& Remaining) {
  if (Remaining == 0) return 0;
  int Total = TakeCarry(Dest, Capacity);
  for (;;) {
    TMbapHeader Header;
    int Size = 0;
    const TMbapScan Scan = ScanMbapFrame({Dest, static_cast<std::size_t>(Total)}, Header, Size);
    if (Scan == TMbapScan::Whole && Size <= Capacity) {
      FEngine->CarryCount = Total - Size;
      std::memcpy(FEngine->Carry.data(), Dest + Size, static_cast<std::size_t>(FEngine->CarryCount));
      return Size;
    }
    if (Scan == TMbapScan::Bad || Total >= Capacity) {
      FEngine->Counters.Add(lcMalformedFrames);
      FEngine->Line->Abandon();
      return 0;
    }
    if (!WaitTimed(Remaining, Remaining)) {
      if (Total > 0) FEngine->Line->Abandon();
      return 0;
    }
    Cardinal Waiting = 0;
    if (!GetInputCount(Waiting)) return 0;
    const auto Take = static_cast<int>(std::min<Cardinal>(Waiting, static_cast<Cardinal>(Capacity - Total)));
    if (Take > 0 && !ReadBytes(Dest + Total, static_cast<Cardinal>(Take))) return 0;
    Total += Take;
    if (Take > 0) FEngine->LastReceive = Platform::MonotonicMicroseconds();
  }
}

// Length-aware framing ends a frame without the silence after it, so the quiet that the line's
// peers need between two frames is kept here, counted from the last byte received.
void TModbusConnection::WaitInterFrameGap() {
  const std::uint64_t Gap = GetInterFrameGap();
  if (Gap == 0 || FEngine->LastReceive == 0) return;
  const std::uint64_t Since = Platform::MonotonicMicroseconds() - FEngine->LastReceive;
  if (Since < Gap) Platform::SleepMicroseconds(Gap - Since);
}

bool TModbusConnection::WriteFrame(const Byte* Data, int Length, Cardinal Timeout) {
  if (FLengthAwareFraming && Length > 0) WaitInterFrameGap();
  FEngine->Line->TakeLineErrors();
  const bool Ok = FEngine->Line->WriteFrame(Data, static_cast<Cardinal>(Length), Timeout);
  return !FEngine->Line->TakeLineErrors() && Ok;
}

}  // namespace Quorvel
