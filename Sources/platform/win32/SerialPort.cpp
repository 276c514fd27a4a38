// The serial port on Windows: a COM port opened for overlapped input and output. Every operation
// starts an overlapped call and waits on its completion event, so nothing polls.
//
// The receive wait is an overlapped one-byte ReadFile, not WaitCommEvent(EV_RXCHAR). Both block
// until a character arrives on Windows, but only the read can be cancelled on its own (CancelIoEx)
// and behaves the same under Wine, where our tests run: there WaitCommEvent on a pseudo-terminal
// ends at once with ERROR_OPERATION_ABORTED and CancelIoEx cannot end it. The byte that ends the
// wait is kept and handed out first by the next Read, and a wait that times out stays pending for
// the next one, so an idle line costs no system call per wait.

#include "platform/SerialPort.h"

#include "platform/win32/CommState.h"
#include "platform/win32/Windows.h"

namespace Quorvel::Platform {

namespace {

constexpr DWORD LineErrorFlags = CE_FRAME | CE_OVERRUN | CE_RXPARITY | CE_BREAK | CE_RXOVER;

// A read of bytes that ClearCommError reported as waiting completes at once; this only bounds a
// driver that misbehaves, so that the worker cannot hang in it.
constexpr DWORD ReadCompletionLimitMs = 1000;

// Cancelling is quick (well under a millisecond); a driver that ignores it gets this long.
constexpr DWORD CancelLimitMs = 1000;

HANDLE NewManualResetEvent() { return CheckHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr)); }

}  // namespace

std::string DevicePath(const std::string& PortName) {
  if (PortName.empty()) return PortName;
  // "\\.\COM10", "\\?\..." name a device already. Every other name goes below "\\.\", which COM10
  // and up need and which does no harm below.
  if (PortName.rfind("\\\\", 0) == 0) return PortName;
  return "\\\\.\\" + PortName;
}

// What Windows keeps beside the handle: the completion events and the pending receive wait.
struct TSerialPort::TDriver {
  TDriver() : IoEvent(NewManualResetEvent()), WaitEvent(NewManualResetEvent()) {}
  ~TDriver() {
    SafeCloseHandle(IoEvent);
    SafeCloseHandle(WaitEvent);
  }
  TDriver(const TDriver&) = delete;
  TDriver& operator=(const TDriver&) = delete;

  // Completes the reads and writes; one at a time, all on the worker thread.
  HANDLE IoEvent;
  // Completes the one-byte read that serves as the receive wait. Its record must stay put while the
  // read is pending, so it lives here and not on a stack.
  HANDLE WaitEvent;
  OVERLAPPED WaitRecord{};
  Byte WaitByte = 0;
  bool WaitPending = false;
  // The receive wait ended with a byte that nobody has read yet.
  bool HaveByte = false;
  // Line errors that ClearCommError reported since TakeLineErrors last looked.
  DWORD Errors = 0;

  // Clears the port's error state, keeping its line errors for TakeLineErrors.
  bool ClearErrors(HANDLE Port, COMSTAT* Status = nullptr) noexcept;
  enum class TWaitStart : Byte { HaveByte, Pending, Failed };
  TWaitStart StartWaitRead(HANDLE Port) noexcept;
  // Takes the result of a completed receive wait. False when it failed without a line error.
  bool FinishWaitRead(HANDLE Port) noexcept;
  // Ends a pending receive wait; a byte it got before the cancel is kept.
  void CancelWaitRead(HANDLE Port) noexcept;
};

bool TSerialPort::TDriver::ClearErrors(HANDLE Port, COMSTAT* Status) noexcept {
  DWORD Flags = 0;
  COMSTAT Ignored{};
  if (!::ClearCommError(Port, &Flags, Status != nullptr ? Status : &Ignored)) return false;
  Errors |= Flags & LineErrorFlags;
  return true;
}

TSerialPort::TDriver::TWaitStart TSerialPort::TDriver::StartWaitRead(HANDLE Port) noexcept {
  ::ResetEvent(WaitEvent);
  WaitRecord = OVERLAPPED{};
  WaitRecord.hEvent = WaitEvent;
  DWORD Got = 0;
  if (::ReadFile(Port, &WaitByte, 1, &Got, &WaitRecord)) {
    if (Got == 1) {
      HaveByte = true;
      return TWaitStart::HaveByte;
    }
    return TWaitStart::Failed;
  }
  if (::GetLastError() == ERROR_IO_PENDING) {
    WaitPending = true;
    return TWaitStart::Pending;
  }
  // Abort on error stops reads until the error state is cleared: that is a line error, not a dead port.
  const DWORD Before = Errors;
  return ClearErrors(Port) && Errors != Before ? TWaitStart::HaveByte : TWaitStart::Failed;
}

bool TSerialPort::TDriver::FinishWaitRead(HANDLE Port) noexcept {
  DWORD Got = 0;
  const BOOL Done = ::GetOverlappedResult(Port, &WaitRecord, &Got, FALSE);
  WaitPending = false;
  if (Done && Got == 1) {
    HaveByte = true;
    return true;
  }
  const DWORD Before = Errors;
  return ClearErrors(Port) && Errors != Before;
}

void TSerialPort::TDriver::CancelWaitRead(HANDLE Port) noexcept {
  if (!WaitPending) return;
  ::CancelIoEx(Port, &WaitRecord);
  if (::WaitForSingleObject(WaitEvent, CancelLimitMs) != WAIT_OBJECT_0) return;  // still pending: left for later
  DWORD Got = 0;
  if (::GetOverlappedResult(Port, &WaitRecord, &Got, FALSE) && Got == 1) HaveByte = true;
  WaitPending = false;
}

TSerialPort::TSerialPort() : Handle_(InvalidHandle()), Driver_(std::make_unique<TDriver>()) {}

TSerialPort::~TSerialPort() { Close(); }

bool TSerialPort::Open(const std::string& PortName) {
  Close();
  const std::string Path = DevicePath(PortName);
  if (Path.empty()) return false;
  // No sharing: Windows refuses a second opener of a COM port.
  const HANDLE Port = ::CreateFileA(Path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (Port == INVALID_HANDLE_VALUE) return false;
  Adopt(Port, true);
  return true;
}

bool TSerialPort::Attach(THookHandle Handle) {
  Close();
  DWORD Flags = 0;
  if (!IsValidHandle(Handle) || !::GetHandleInformation(Handle, &Flags)) return false;
  Adopt(Handle, false);
  return true;
}

void TSerialPort::Adopt(TOsHandle Handle, bool Owned) noexcept {
  Handle_ = Handle;
  Owned_ = Owned;
  Failed_ = false;
  DriverTogglesRts_.store(false, std::memory_order_relaxed);
  Driver_->WaitPending = false;
  Driver_->HaveByte = false;
  // Errors from before this open are not this connection's.
  Driver_->ClearErrors(Handle);
  Driver_->Errors = 0;
}

void TSerialPort::Close() noexcept {
  if (!IsOpen()) return;
  // A hooked handle stays open: our own read must not be left pending on it.
  Driver_->CancelWaitRead(Handle_);
  if (Owned_) ::CloseHandle(Handle_);
  Handle_ = InvalidHandle();
  Owned_ = false;
  Driver_->HaveByte = false;
  DriverTogglesRts_.store(false, std::memory_order_relaxed);
}

bool TSerialPort::SetupQueues(Cardinal InputSize, Cardinal OutputSize) noexcept {
  return IsOpen() && ::SetupComm(Handle_, InputSize, OutputSize);
}

bool TSerialPort::SetImmediateReads() noexcept {
  COMMTIMEOUTS Timeouts = Win32::PortTimeouts();
  return IsOpen() && ::SetCommTimeouts(Handle_, &Timeouts);
}

bool TSerialPort::ClearEventMask() noexcept { return IsOpen() && ::SetCommMask(Handle_, 0); }

namespace {

// SetCommState reports success when the driver took any of the block: read it back and compare.
bool ApplyDcb(HANDLE Port, DCB Wanted, DCB& Applied) noexcept {
  if (!::SetCommState(Port, &Wanted)) return false;
  Applied = DCB{};
  Applied.DCBlength = sizeof(DCB);
  return ::GetCommState(Port, &Applied) && Win32::SameLineSettings(Wanted, Applied);
}

}  // namespace

bool TSerialPort::ApplyLineSettings(const TLineSettings& Settings) noexcept {
  if (!IsOpen()) return false;
  if (Settings.BaudRate == 0 || (Settings.DataBits != 7 && Settings.DataBits != 8) ||
      (Settings.StopBits != 1 && Settings.StopBits != 2) || Settings.Dtr == TLineControl::Toggle)
    return false;
  const bool Toggle = Settings.Rts == TLineControl::Toggle;
  bool ByDriver = Toggle;
  DCB Applied{};
  if (!ApplyDcb(Handle_, Win32::MakeDcb(Settings, ByDriver), Applied) || (Toggle && !Win32::DriverTookToggle(Applied))) {
    if (!Toggle) return false;
    // The driver has no toggle mode (Windows 9x, some USB adapters, Wine): RTS rests low and the
    // writer raises it around each frame. Found out here, once per change, not per frame.
    ByDriver = false;
    if (!ApplyDcb(Handle_, Win32::MakeDcb(Settings, ByDriver), Applied)) return false;
  }
  DriverTogglesRts_.store(ByDriver, std::memory_order_relaxed);
  return true;
}

namespace {

// A port that has failed stays failed until it is opened again (a vanished USB adapter's handle
// never comes back): wait for the stop signal alone, or sit out the time, and fail again.
TWaitResult WaitForStopAlone(Cardinal TimeoutMs, TEventObject* Stop) noexcept {
  if (Stop == nullptr) {
    ::Sleep(TimeoutMs);
    return TWaitResult::Failed;
  }
  return ::WaitForSingleObject(Stop->Handle(), TimeoutMs) == WAIT_OBJECT_0 ? TWaitResult::Stopped : TWaitResult::Failed;
}

}  // namespace

TWaitResult TSerialPort::WaitForInput(Cardinal TimeoutMs, TEventObject* Stop) noexcept {
  if (!IsOpen()) return TWaitResult::Failed;
  if (Failed_) return WaitForStopAlone(TimeoutMs, Stop);
  TDriver& D = *Driver_;
  if (Stop != nullptr && Stop->ConsumeIfSignalled()) return TWaitResult::Stopped;
  if (D.HaveByte) return TWaitResult::Input;
  if (!D.WaitPending) {
    switch (D.StartWaitRead(Handle_)) {
      case TDriver::TWaitStart::HaveByte: return TWaitResult::Input;
      case TDriver::TWaitStart::Failed: Failed_ = true; return TWaitResult::Failed;
      case TDriver::TWaitStart::Pending: break;
    }
  }
  // The stop event first: WaitForMultipleObjects reports the lowest signalled index, so a stop
  // request wins over waiting input, and the wait takes its auto-reset signal.
  HANDLE Objects[2];
  DWORD Count = 0;
  if (Stop != nullptr) Objects[Count++] = Stop->Handle();
  const DWORD PortIndex = Count;
  Objects[Count++] = D.WaitEvent;
  const DWORD Result = ::WaitForMultipleObjects(Count, Objects, FALSE, TimeoutMs);
  if (Result == WAIT_TIMEOUT) return TWaitResult::Timeout;
  if (Stop != nullptr && Result == WAIT_OBJECT_0) return TWaitResult::Stopped;
  if (Result == WAIT_OBJECT_0 + PortIndex && D.FinishWaitRead(Handle_)) return TWaitResult::Input;
  Failed_ = true;
  return TWaitResult::Failed;
}

TWaitResult TSerialPort::WaitForSignal(TEventObject& Wake, Cardinal TimeoutMs) noexcept {
  const auto WakeAlone = [&Wake](Cardinal Ms) { return Wake.Wait(Ms) ? TWaitResult::Stopped : TWaitResult::Timeout; };
  if (!IsOpen() || Failed_) return WakeAlone(TimeoutMs);
  TDriver& D = *Driver_;
  // The pending receive wait is what shows a vanished port while nothing is sent. Bytes that end
  // it are kept for the next reader (or its purge); from then on only Wake can end this wait.
  if (!D.HaveByte && !D.WaitPending) {
    switch (D.StartWaitRead(Handle_)) {
      case TDriver::TWaitStart::Failed: Failed_ = true; return TWaitResult::Failed;
      case TDriver::TWaitStart::HaveByte: return WakeAlone(TimeoutMs);
      case TDriver::TWaitStart::Pending: break;
    }
  }
  if (!D.WaitPending) return WakeAlone(TimeoutMs);
  const Cardinal Start = ::GetTickCount();
  HANDLE Objects[2] = {Wake.Handle(), D.WaitEvent};
  const DWORD Result = ::WaitForMultipleObjects(2, Objects, FALSE, TimeoutMs);
  if (Result == WAIT_OBJECT_0) return TWaitResult::Stopped;
  if (Result == WAIT_TIMEOUT) return TWaitResult::Timeout;
  if (Result != WAIT_OBJECT_0 + 1 || !D.FinishWaitRead(Handle_)) {
    Failed_ = true;
    return TWaitResult::Failed;
  }
  if (TimeoutMs == Infinite) return WakeAlone(Infinite);
  const Cardinal Elapsed = ::GetTickCount() - Start;
  return WakeAlone(Elapsed < TimeoutMs ? TimeoutMs - Elapsed : 0);
}

bool TSerialPort::InputCount(Cardinal& Count) noexcept {
  if (!IsOpen()) return false;
  // A receive wait still pending would take the next byte out of order: end it first.
  Driver_->CancelWaitRead(Handle_);
  COMSTAT Status{};
  if (!Driver_->ClearErrors(Handle_, &Status)) return false;
  Count = static_cast<Cardinal>(Status.cbInQue) + (Driver_->HaveByte ? 1u : 0u);
  return true;
}

bool TSerialPort::Read(Byte* Dest, Cardinal Count) noexcept {
  if (!IsOpen()) return false;
  TDriver& D = *Driver_;
  D.CancelWaitRead(Handle_);
  if (Count > 0 && D.HaveByte) {
    *Dest++ = D.WaitByte;
    D.HaveByte = false;
    --Count;
  }
  if (Count == 0) return true;
  ::ResetEvent(D.IoEvent);
  OVERLAPPED Record{};
  Record.hEvent = D.IoEvent;
  DWORD Got = 0;
  if (::ReadFile(Handle_, Dest, Count, &Got, &Record)) return Got == Count;
  if (::GetLastError() != ERROR_IO_PENDING) return false;
  if (::WaitForSingleObject(D.IoEvent, ReadCompletionLimitMs) != WAIT_OBJECT_0) {
    ::CancelIoEx(Handle_, &Record);
    ::GetOverlappedResult(Handle_, &Record, &Got, TRUE);
    return false;
  }
  return ::GetOverlappedResult(Handle_, &Record, &Got, FALSE) && Got == Count;
}

bool TSerialPort::TakeLineErrors() noexcept {
  if (!IsOpen()) return false;
  Driver_->ClearErrors(Handle_);
  const bool Errors = Driver_->Errors != 0;
  Driver_->Errors = 0;
  return Errors;
}

bool TSerialPort::Write(const Byte* Data, Cardinal Length, Cardinal TimeoutMs) noexcept {
  if (!IsOpen()) return false;
  if (Length == 0) return true;
  TDriver& D = *Driver_;
  ::ResetEvent(D.IoEvent);
  OVERLAPPED Record{};
  Record.hEvent = D.IoEvent;
  DWORD Put = 0;
  if (::WriteFile(Handle_, Data, Length, &Put, &Record)) return Put == Length;
  if (::GetLastError() != ERROR_IO_PENDING) return false;
  if (::WaitForSingleObject(D.IoEvent, TimeoutMs) == WAIT_OBJECT_0)
    return ::GetOverlappedResult(Handle_, &Record, &Put, FALSE) && Put == Length;
  // Out of time: what is left goes, and the record is free again only once the write has ended.
  ::PurgeComm(Handle_, PURGE_TXABORT | PURGE_TXCLEAR);
  ::CancelIoEx(Handle_, &Record);
  ::GetOverlappedResult(Handle_, &Record, &Put, TRUE);
  return false;
}

void TSerialPort::Purge(bool Input, bool Output) noexcept {
  if (!IsOpen() || (!Input && !Output)) return;
  DWORD Flags = 0;
  if (Input) {
    // PURGE_RXABORT ends a pending read on Windows, but not under Wine: cancel our own first.
    Driver_->CancelWaitRead(Handle_);
    Driver_->HaveByte = false;
    Flags |= PURGE_RXABORT | PURGE_RXCLEAR;
  }
  if (Output) Flags |= PURGE_TXABORT | PURGE_TXCLEAR;
  ::PurgeComm(Handle_, Flags);
}

// FlushFileBuffers on a COM port returns once the driver has sent every byte.
bool TSerialPort::Drain() noexcept { return IsOpen() && ::FlushFileBuffers(Handle_); }

bool TSerialPort::SetRts(bool On) noexcept { return IsOpen() && ::EscapeCommFunction(Handle_, On ? SETRTS : CLRRTS); }

bool TSerialPort::SetDtr(bool On) noexcept { return IsOpen() && ::EscapeCommFunction(Handle_, On ? SETDTR : CLRDTR); }

}  // namespace Quorvel::Platform
