#pragma once
// The serial port as the operating system offers it. Every serial OS call of the library lives
// behind this class; each operating system has its own implementation of it (platform/posix/,
// platform/win32/), with what only that system needs kept in its TDriver.

#include <atomic>
#include <memory>
#include <string>

#include <Quorvel/HookHandle.h>
#include <Quorvel/Types.h>
#include "platform/Event.h"
#include "platform/Handles.h"

namespace Quorvel::Platform {

// The system's name for a port name. POSIX: an absolute path as it is ("/dev/ttyUSB0",
// "/dev/serial/by-id/..."), "COMn" (any case, n >= 1) as the n-th serial port "/dev/ttyS(n-1)",
// and any other name below /dev ("ttyUSB0" -> "/dev/ttyUSB0"). Windows: a device path
// ("\\.\COM10", "\\?\...") as it is, any other name below "\\.\" ("COM3" -> "\\.\COM3"), which
// COM10 and up need. An empty name gives an empty path.
std::string DevicePath(const std::string& PortName);

// How a modem-control output line is driven.
enum class TLineControl : Byte { Disable, Enable, Handshake, Toggle };
enum class TParity : Byte { None, Odd, Even };

struct TLineSettings {
  Cardinal BaudRate = 19200;
  Byte DataBits = 8;  // 7 or 8
  TParity Parity = TParity::None;
  Byte StopBits = 1;  // 1 or 2
  bool CtsOutputFlow = false;
  // Each send waits until the other end raises DSR, and DTR stays raised while the port is open.
  // Needs a driver that reports the modem lines: refused where it cannot (a pseudo-terminal).
  bool DsrOutputFlow = false;
  TLineControl Dtr = TLineControl::Enable;  // Toggle is refused: only RTS can toggle
  TLineControl Rts = TLineControl::Enable;
};

enum class TWaitResult : Byte { Input, Timeout, Stopped, Failed };

class TSerialPort {
 public:
  TSerialPort();
  ~TSerialPort();  // closes an opened port, detaches an attached one
  TSerialPort(const TSerialPort&) = delete;
  TSerialPort& operator=(const TSerialPort&) = delete;

  // Opens DevicePath(PortName) for reading and writing, for exclusive use (a second opener is
  // refused), in the mode the waits below need (non-blocking; overlapped on Windows). False on any
  // failure (missing, in use, refused), with nothing left open. An open port is closed first.
  bool Open(const std::string& PortName);
  // Uses a handle that the application supplies; it is never closed here. False for a handle that
  // is not open.
  bool Attach(THookHandle Handle);
  // Closes an opened port, detaches an attached one; does nothing when closed.
  void Close() noexcept;
  bool IsOpen() const noexcept { return IsValidHandle(Handle_); }
  TOsHandle Handle() const noexcept { return Handle_; }

  // The set-up steps, in the order the connection runs them; each returns false on failure.
  // The driver's queue sizes, where the system has them; elsewhere a check that the handle is a
  // serial port at all.
  bool SetupQueues(Cardinal InputSize, Cardinal OutputSize) noexcept;
  // Raw bytes both ways, and reads that return at once with what has arrived.
  bool SetImmediateReads() noexcept;
  // No port events asked for until a wait asks for them.
  bool ClearEventMask() noexcept;
  // Speed, character format, flow control and the DTR and RTS lines, read back and compared. A
  // refused setting fails, except what a pseudo-terminal cannot carry (parity, 7 data bits) and
  // modem-line requests that a port without modem lines refuses; DTR/DSR flow control, which cannot
  // work without them, fails there. May run while the worker thread waits on the port.
  bool ApplyLineSettings(const TLineSettings& Settings) noexcept;
  // True when the last ApplyLineSettings with Rts == Toggle left RTS to the driver (an RS-485 mode,
  // the NT driver's toggle), so that the driver raises RTS while it sends; otherwise the writer
  // switches RTS itself.
  bool DriverTogglesRts() const noexcept { return DriverTogglesRts_.load(std::memory_order_relaxed); }

  // Line operations, for the worker thread only. None throws.

  // Blocks until bytes are waiting (Input), Stop is signalled (Stopped; an auto-reset signal is
  // consumed), TimeoutMs passes (Timeout; Infinite: no limit, 0: just look), or the port fails
  // (Failed: hang-up, error, or closed). A stop request wins over waiting input. Once a port has
  // failed, later waits that find it still failed block for their time-out (or until Stop) before
  // they report Failed again, so that a caller that keeps waiting on a vanished port does not spin.
  TWaitResult WaitForInput(Cardinal TimeoutMs, TEventObject* Stop) noexcept;
  // The idle wait of a worker that has nothing to send: blocks until Wake is signalled (Stopped; the
  // auto-reset signal is consumed), the port fails (Failed: hang-up, device removed), or TimeoutMs
  // passes (Timeout). Received bytes do not end it. On a port already failed it waits on Wake alone,
  // so that an idle worker on a vanished port does not spin.
  TWaitResult WaitForSignal(TEventObject& Wake, Cardinal TimeoutMs) noexcept;
  // The number of received bytes waiting.
  bool InputCount(Cardinal& Count) noexcept;
  // Reads exactly Count waiting bytes; false if fewer came, at end of file (the other side is gone)
  // or on an error.
  bool Read(Byte* Dest, Cardinal Count) noexcept;
  // True when framing, parity, overrun or break errors happened since the previous call (or since
  // the port was opened); false where the driver cannot tell (pseudo-terminals on Linux).
  bool TakeLineErrors() noexcept;
  // Hands all Length bytes to the driver within TimeoutMs (Infinite: no limit). Length 0 succeeds.
  // On a time-out what is left in the output queue is discarded and the result is false. With DSR
  // output flow the bytes wait for DSR first, within the same time.
  bool Write(const Byte* Data, Cardinal Length, Cardinal TimeoutMs) noexcept;
  // Discards the input queue, the output queue, or both.
  void Purge(bool Input, bool Output) noexcept;
  // Waits until every byte handed to the driver has been sent.
  bool Drain() noexcept;
  // Raise (true) or lower a modem-control line; false where the port refuses.
  bool SetRts(bool On) noexcept;
  bool SetDtr(bool On) noexcept;

 private:
  // What one operating system keeps beside the handle (terminal kind, error counters, RS-485 mode;
  // overlapped records and their events). Made with the port object, never per operation.
  struct TDriver;

  void Adopt(TOsHandle Handle, bool Owned) noexcept;

  TOsHandle Handle_;
  bool Owned_ = false;
  // Set by the worker when a wait finds the port failed; cleared when a later wait finds it well.
  bool Failed_ = false;
  // Written on the thread that applies the line settings, read by the worker's writer.
  std::atomic<bool> DriverTogglesRts_{false};
  std::unique_ptr<TDriver> Driver_;
};

}  // namespace Quorvel::Platform
