#pragma once
// The seam under the engine: the line that the worker reads and writes frames through. The serial
// port is one (SerialLine.h); an in-memory pair of ends (MemoryLine.h) is another, for tests; a
// socket to a serial device server can be the next. The engine above knows frames, time budgets
// and the rules of reading; a line knows only bytes, waits and its own medium.
//
// Only the worker thread calls the line operations, unless one says otherwise; none throws: a
// failure is a result.

#include <Quorvel/Types.h>
#include "platform/Event.h"
#include "platform/SerialPort.h"

namespace Quorvel {

using Platform::TWaitResult;

class TLine {
 public:
  virtual ~TLine() = default;

  // Main thread, while the worker may be using the line: the rate, character format, flow control
  // and modem lines. A line that has none of them (a socket) keeps and ignores them.
  virtual bool ApplySettings(const Platform::TLineSettings& Settings) noexcept = 0;

  // Blocks until bytes are waiting (Input), Stop is signalled (Stopped; the auto-reset signal is
  // consumed), TimeoutMs passes (Timeout; Infinite: no limit, 0: just look), or the line fails
  // (Failed). A stop request wins over waiting input. Once the line has failed, later waits that
  // find it still failed block for their time-out (or until Stop) before they report Failed again,
  // so that a caller that keeps waiting on a lost line does not spin.
  virtual TWaitResult WaitForInput(Cardinal TimeoutMs, Platform::TEventObject* Stop) noexcept = 0;
  // The idle wait of a worker that has nothing to send: until Wake is signalled (Stopped; consumed),
  // the line fails (Failed) or TimeoutMs passes (Timeout). Received bytes do not end it. On a line
  // already failed it waits on Wake alone.
  virtual TWaitResult WaitForSignal(Platform::TEventObject& Wake, Cardinal TimeoutMs) noexcept = 0;
  // The number of received bytes waiting.
  virtual bool InputCount(Cardinal& Count) noexcept = 0;
  // Reads exactly Count waiting bytes; false if fewer came, the line is gone or failed.
  virtual bool Read(Byte* Dest, Cardinal Count) noexcept = 0;
  // True when receive errors (framing, parity, overrun, break) happened since the previous call;
  // false where the line cannot tell.
  virtual bool TakeLineErrors() noexcept = 0;
  // Sends one whole frame within TimeoutMs (Infinite: no limit); Length 0 succeeds at once. On a
  // time-out what is left unsent is discarded and the result is false. A serial line switches RTS
  // around the frame where its flow control asks and its driver cannot.
  virtual bool WriteFrame(const Byte* Data, Cardinal Length, Cardinal TimeoutMs) noexcept = 0;
  // Discards what was received and not read, what was handed over and not sent, or both.
  virtual void Purge(bool Input, bool Output) noexcept = 0;
  // The peer that the frame being read came from has broken a framing that only lengths hold
  // together (a header that lies, a frame cut short): nothing it sends can be framed any more, so
  // its connection is dropped. Lines with no such peer have nothing to drop.
  virtual void Abandon() noexcept {}
};

}  // namespace Quorvel
