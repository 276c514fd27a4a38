#include "platform/SerialPort.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <ctime>

#include "platform/Handles.h"
#include "platform/linux/ArbitraryRate.h"
#include "platform/linux/ModemLines.h"
#include "platform/posix/PollWait.h"

namespace Quorvel::Platform {

namespace {

// Runs an ioctl-like call again when a signal interrupts it.
template <typename TCall>
int Retry(TCall Call) noexcept {
  int Result;
  do {
    Result = Call();
  } while (Result < 0 && errno == EINTR);
  return Result;
}

// The rates below have termios constants that every driver knows; any other rate goes through the
// arbitrary-rate interface.
speed_t StandardSpeed(Cardinal Rate) noexcept {
  switch (Rate) {
    case 50: return B50;
    case 75: return B75;
    case 110: return B110;
    case 134: return B134;
    case 150: return B150;
    case 200: return B200;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    default: return B0;
  }
}

// Unix98 pseudo-terminal slaves, the multiplexer's masters, and the old BSD pairs.
bool IsPseudoTerminal(int Fd) noexcept {
  struct stat Info {};
  if (::fstat(Fd, &Info) != 0 || !S_ISCHR(Info.st_mode)) return false;
  const unsigned Major = major(Info.st_rdev);
  const unsigned Minor = minor(Info.st_rdev);
  return (Major >= 136 && Major <= 143) || (Major == 5 && Minor == 2) || Major == 2 || Major == 3;
}

bool SetModemLine(int Fd, int Line, bool On) noexcept { return Posix::ModemLines().Set(Fd, Line, On); }

// The kernel offers no timed wait for a modem line (TIOCMIWAIT waits without limit): a send held
// for DSR looks at the line this often, sleeping in between, until its time-out.
constexpr Cardinal DsrCheckIntervalMs = 5;

constexpr short FailureEvents = POLLHUP | POLLERR | POLLNVAL;

struct TErrorCounts {
  Cardinal Frame = 0, Overrun = 0, Parity = 0, Break = 0, BufferOverrun = 0;
  bool operator==(const TErrorCounts&) const = default;
};

bool ReadErrorCounts(int Fd, TErrorCounts& Counts) noexcept {
  serial_icounter_struct Driver{};
  if (::ioctl(Fd, TIOCGICOUNT, &Driver) != 0) return false;
  Counts.Frame = static_cast<Cardinal>(Driver.frame);
  Counts.Overrun = static_cast<Cardinal>(Driver.overrun);
  Counts.Parity = static_cast<Cardinal>(Driver.parity);
  Counts.Break = static_cast<Cardinal>(Driver.brk);
  Counts.BufferOverrun = static_cast<Cardinal>(Driver.buf_overrun);
  return true;
}

// A failed port reports its failure at once, for ever: wait for the stop signal alone, or the time.
TWaitResult WaitForStopAlone(Cardinal TimeoutMs, TEventObject* Stop) noexcept {
  const Posix::TDeadline Deadline(TimeoutMs);
  pollfd StopFd{Stop != nullptr ? Stop->Handle() : -1, POLLIN, 0};
  for (;;) {
    if (Posix::PollUntil(&StopFd, 1, Deadline) <= 0) return TWaitResult::Failed;
    if (Stop->ConsumeIfSignalled()) return TWaitResult::Stopped;
  }
}

}  // namespace

// What Linux keeps beside the descriptor.
struct TSerialPort::TDriver {
  // Pseudo-terminals refuse parity and 7 data bits; the settings skip them there.
  bool PseudoTerminal = false;
  // The driver's error counters at the previous look, where the driver keeps them.
  bool HaveErrorCounts = false;
  TErrorCounts ErrorCounts;
  // This port switched the driver into RS-485 mode, so it switches it back out when the toggle
  // is no longer asked for or the port closes; a mode that was on before is left on.
  bool Rs485EnabledHere = false;
  // DTR/DSR flow control: each send waits for DSR. Set where the settings are applied, read by the
  // worker's writer.
  std::atomic<bool> DsrOutputFlow{false};

  bool ApplyTermios(int Fd, const TLineSettings& Settings) const noexcept;
  // DSR output flow and DTR handshake need a driver that reports and drives the modem lines.
  bool ApplyDsrFlow(int Fd, const TLineSettings& Settings) noexcept;
  // True once DSR is up, false when the deadline passes first or the lines cannot be read.
  static bool WaitForDsr(int Fd, const Posix::TDeadline& Deadline) noexcept;
  // Returns whether the driver now toggles RTS itself.
  bool ApplyModemLines(int Fd, const TLineSettings& Settings) noexcept;
  void LeaveRs485Mode(int Fd) noexcept;
};

std::string DevicePath(const std::string& PortName) {
  if (PortName.empty() || PortName.front() == '/') return PortName;
  // "COMn": the n-th serial port of the machine, so that a Windows default such as COM1 still names
  // the first one.
  if (PortName.size() > 3 && PortName.size() <= 12 && std::toupper(static_cast<unsigned char>(PortName[0])) == 'C' &&
      std::toupper(static_cast<unsigned char>(PortName[1])) == 'O' &&
      std::toupper(static_cast<unsigned char>(PortName[2])) == 'M') {
    unsigned long long Number = 0;
    bool Digits = true;
    for (std::size_t I = 3; I < PortName.size() && Digits; ++I) {
      const auto Character = static_cast<unsigned char>(PortName[I]);
      Digits = std::isdigit(Character) != 0;
      Number = Number * 10 + (Character - '0');
    }
    if (Digits && Number >= 1) return "/dev/ttyS" + std::to_string(Number - 1);
  }
  return "/dev/" + PortName;
}

TSerialPort::TSerialPort() : Handle_(InvalidHandle()), Driver_(std::make_unique<TDriver>()) {}

TSerialPort::~TSerialPort() { Close(); }

bool TSerialPort::Open(const std::string& PortName) {
  Close();
  const std::string Path = DevicePath(PortName);
  if (Path.empty()) return false;
  int Fd = ::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (Fd < 0) return false;
  // TIOCEXCL keeps out later openers, but not root; the advisory lock keeps out every opener that
  // follows the same rule, root included. A device that is not a terminal has no TIOCEXCL: the set-up
  // steps refuse it later with their own message.
  if (::flock(Fd, LOCK_EX | LOCK_NB) != 0 || (::ioctl(Fd, TIOCEXCL) != 0 && errno != ENOTTY)) {
    SafeCloseHandle(Fd);
    return false;
  }
  Adopt(Fd, true);
  return true;
}

bool TSerialPort::Attach(THookHandle Handle) {
  Close();
  // The hooked number is a descriptor; 0xFFFFFFFF, the "none" value, is -1.
  const int Fd = static_cast<int>(Handle);
  if (Fd < 0 || ::fcntl(Fd, F_GETFD) < 0) return false;
  Adopt(Fd, false);
  return true;
}

void TSerialPort::Adopt(TOsHandle Handle, bool Owned) noexcept {
  Handle_ = Handle;
  Owned_ = Owned;
  Failed_ = false;
  DriverTogglesRts_.store(false, std::memory_order_relaxed);
  Driver_->PseudoTerminal = IsPseudoTerminal(Handle);
  Driver_->Rs485EnabledHere = false;
  // Errors counted before this open are not this connection's.
  Driver_->HaveErrorCounts = ReadErrorCounts(Handle, Driver_->ErrorCounts);
}

void TSerialPort::Close() noexcept {
  if (!IsOpen()) return;
  Driver_->LeaveRs485Mode(Handle_);
  if (Owned_) {
    // The exclusive flag belongs to the terminal, not to this descriptor: it would outlive the close
    // while anyone else (a relay, a monitor) still holds the terminal open.
    ::ioctl(Handle_, TIOCNXCL);
    SafeCloseHandle(Handle_);
  }
  Handle_ = InvalidHandle();
  Owned_ = false;
  DriverTogglesRts_.store(false, std::memory_order_relaxed);
}

bool TSerialPort::SetupQueues(Cardinal /*InputSize*/, Cardinal /*OutputSize*/) noexcept {
  termios Settings{};
  return IsOpen() && ::tcgetattr(Handle_, &Settings) == 0;
}

bool TSerialPort::SetImmediateReads() noexcept {
  termios Settings{};
  if (!IsOpen() || ::tcgetattr(Handle_, &Settings) != 0) return false;
  // Raw bytes both ways: no echo, no line editing, no signals, no CR/LF translation, no software
  // flow control. The character format is ApplyLineSettings' business.
  constexpr tcflag_t InputOff = IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY;
  constexpr tcflag_t LocalOff = ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN;
  Settings.c_iflag &= ~InputOff;
  Settings.c_oflag &= ~OPOST;
  Settings.c_lflag &= ~LocalOff;
  Settings.c_cflag |= CLOCAL | CREAD;
  Settings.c_cc[VMIN] = 0;
  Settings.c_cc[VTIME] = 0;
  if (Retry([&] { return ::tcsetattr(Handle_, TCSANOW, &Settings); }) != 0) return false;
  termios Applied{};
  if (::tcgetattr(Handle_, &Applied) != 0 || (Applied.c_iflag & InputOff) != 0 || (Applied.c_oflag & OPOST) != 0 ||
      (Applied.c_lflag & LocalOff) != 0 || Applied.c_cc[VMIN] != 0 || Applied.c_cc[VTIME] != 0)
    return false;
  // The descriptor may come from the application with blocking reads.
  const int Flags = ::fcntl(Handle_, F_GETFL);
  return Flags >= 0 && ((Flags & O_NONBLOCK) != 0 || ::fcntl(Handle_, F_SETFL, Flags | O_NONBLOCK) == 0);
}

bool TSerialPort::ClearEventMask() noexcept { return IsOpen(); }

bool TSerialPort::ApplyLineSettings(const TLineSettings& Settings) noexcept {
  if (!IsOpen()) return false;
  // A rate of 0 means "hang up" to termios.
  if (Settings.BaudRate == 0 || (Settings.DataBits != 7 && Settings.DataBits != 8) ||
      (Settings.StopBits != 1 && Settings.StopBits != 2) || Settings.Dtr == TLineControl::Toggle)
    return false;
  if (!Driver_->ApplyTermios(Handle_, Settings)) return false;
  if (!Driver_->ApplyDsrFlow(Handle_, Settings)) return false;
  DriverTogglesRts_.store(Driver_->ApplyModemLines(Handle_, Settings), std::memory_order_relaxed);
  return true;
}

bool TSerialPort::TDriver::ApplyTermios(int Fd, const TLineSettings& Settings) const noexcept {
  termios Wanted{};
  if (::tcgetattr(Fd, &Wanted) != 0) return false;
  // A pseudo-terminal carries bytes, not bits: it refuses parity and 7 data bits, and there is no
  // line on which they could matter. Such a port gets the rest.
  const bool Parity = Settings.Parity != TParity::None && !PseudoTerminal;
  const bool SevenBits = Settings.DataBits == 7 && !PseudoTerminal;
  constexpr tcflag_t Format = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CMSPAR;
  Wanted.c_cflag &= ~Format;
  Wanted.c_cflag |= CLOCAL | CREAD | (SevenBits ? CS7 : CS8);
  if (Parity) {
    Wanted.c_cflag |= PARENB | (Settings.Parity == TParity::Odd ? PARODD : 0);
    Wanted.c_iflag |= INPCK;
  } else {
    Wanted.c_iflag &= ~INPCK;
  }
  if (Settings.StopBits == 2) Wanted.c_cflag |= CSTOPB;
  if (Settings.CtsOutputFlow) Wanted.c_cflag |= CRTSCTS;

  const speed_t Speed = StandardSpeed(Settings.BaudRate);
  if (Speed != B0) {
    // No input rate of its own (CIBAUD 0): the input follows the output, also after an arbitrary rate.
    Wanted.c_cflag &= ~CIBAUD;
    ::cfsetispeed(&Wanted, Speed);
    ::cfsetospeed(&Wanted, Speed);
  } else if (::cfgetospeed(&Wanted) == B0) {
    // The arbitrary rate comes in a second step; until then the line must not see a rate of 0,
    // which would drop DTR.
    ::cfsetospeed(&Wanted, B38400);
  }
  if (Retry([&] { return ::tcsetattr(Fd, TCSANOW, &Wanted); }) != 0) return false;

  // tcsetattr succeeds when any part was taken: compare what the driver really holds.
  termios Applied{};
  if (::tcgetattr(Fd, &Applied) != 0 || (Applied.c_cflag & Format) != (Wanted.c_cflag & Format) ||
      (Applied.c_iflag & INPCK) != (Wanted.c_iflag & INPCK))
    return false;
  if (Speed != B0) return ::cfgetospeed(&Applied) == Speed && ::cfgetispeed(&Applied) == Speed;
  return Posix::SetArbitraryRate(Fd, Settings.BaudRate);
}

bool TSerialPort::TDriver::ApplyDsrFlow(int Fd, const TLineSettings& Settings) noexcept {
  const bool Wanted = Settings.DsrOutputFlow || Settings.Dtr == TLineControl::Handshake;
  if (!Wanted) {
    DsrOutputFlow.store(false, std::memory_order_relaxed);
    return true;
  }
  // termios has no DTR/DSR flow control: the writer holds each send until DSR is up, and DTR stays
  // raised while the port is open, which tells the other end that this one is ready. A port whose
  // driver cannot report or drive the lines (a pseudo-terminal) cannot do this at all: refused.
  int Lines = 0;
  if (!Posix::ModemLines().Get(Fd, Lines) || !SetModemLine(Fd, TIOCM_DTR, true)) return false;
  DsrOutputFlow.store(Settings.DsrOutputFlow, std::memory_order_relaxed);
  return true;
}

bool TSerialPort::TDriver::WaitForDsr(int Fd, const Posix::TDeadline& Deadline) noexcept {
  for (;;) {
    int Lines = 0;
    if (!Posix::ModemLines().Get(Fd, Lines)) return false;
    if ((Lines & TIOCM_DSR) != 0) return true;
    if (!Deadline.Unlimited() && Deadline.NanosecondsLeft() <= 0) return false;
    std::int64_t SleepNs = std::int64_t{DsrCheckIntervalMs} * 1'000'000;
    if (!Deadline.Unlimited()) SleepNs = std::min(SleepNs, Deadline.NanosecondsLeft());
    const timespec Pause{0, static_cast<long>(SleepNs)};
    ::nanosleep(&Pause, nullptr);
  }
}

bool TSerialPort::TDriver::ApplyModemLines(int Fd, const TLineSettings& Settings) noexcept {
  // Modem-line requests are best effort: pseudo-terminals and three-wire adapters have no such lines
  // and refuse them, and the line settings still hold there. Handshake leaves a line to the driver
  // (RTS with CRTSCTS) or to the DSR flow control above (DTR).
  if (Settings.Dtr != TLineControl::Handshake) SetModemLine(Fd, TIOCM_DTR, Settings.Dtr == TLineControl::Enable);

  if (Settings.Rts != TLineControl::Toggle) {
    LeaveRs485Mode(Fd);
    if (Settings.Rts != TLineControl::Handshake) SetModemLine(Fd, TIOCM_RTS, Settings.Rts == TLineControl::Enable);
    return false;
  }
  // Toggle: the driver's RS-485 mode raises RTS while it sends, where the driver offers it;
  // otherwise RTS rests low and the writer raises it around each frame.
  serial_rs485 Rs485{};
  if (::ioctl(Fd, TIOCGRS485, &Rs485) == 0) {
    const bool WasEnabled = (Rs485.flags & SER_RS485_ENABLED) != 0;
    Rs485.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    Rs485.flags &= ~static_cast<__u32>(SER_RS485_RTS_AFTER_SEND);
    serial_rs485 Applied{};
    if (::ioctl(Fd, TIOCSRS485, &Rs485) == 0 && ::ioctl(Fd, TIOCGRS485, &Applied) == 0 &&
        (Applied.flags & SER_RS485_ENABLED) != 0) {
      Rs485EnabledHere = Rs485EnabledHere || !WasEnabled;
      return true;
    }
  }
  SetModemLine(Fd, TIOCM_RTS, false);
  return false;
}

void TSerialPort::TDriver::LeaveRs485Mode(int Fd) noexcept {
  if (!Rs485EnabledHere) return;
  Rs485EnabledHere = false;
  serial_rs485 Rs485{};
  if (::ioctl(Fd, TIOCGRS485, &Rs485) == 0) {
    Rs485.flags &= ~static_cast<__u32>(SER_RS485_ENABLED);
    ::ioctl(Fd, TIOCSRS485, &Rs485);
  }
}

TWaitResult TSerialPort::WaitForInput(Cardinal TimeoutMs, TEventObject* Stop) noexcept {
  if (!IsOpen()) return TWaitResult::Failed;
  if (Failed_) {
    // A port that has failed keeps reporting its failure at once (poll is level-triggered). Look
    // whether it has recovered; if not, sit out the time-out on the stop event alone.
    pollfd Port{Handle_, POLLIN, 0};
    if (::poll(&Port, 1, 0) < 0 || (Port.revents & FailureEvents) != 0) return WaitForStopAlone(TimeoutMs, Stop);
    Failed_ = false;
  }
  const Posix::TDeadline Deadline(TimeoutMs);
  pollfd Fds[2] = {{Handle_, POLLIN, 0}, {Stop != nullptr ? Stop->Handle() : -1, POLLIN, 0}};
  for (;;) {
    const int Ready = Posix::PollUntil(Fds, Stop != nullptr ? 2 : 1, Deadline);
    if (Ready < 0) return TWaitResult::Failed;
    if (Ready == 0) return TWaitResult::Timeout;
    if ((Fds[1].revents & POLLIN) != 0 && Stop->ConsumeIfSignalled()) return TWaitResult::Stopped;
    // A hang-up is reported together with POLLIN, and read then returns 0: it is a failure, not input.
    if ((Fds[0].revents & FailureEvents) != 0) {
      Failed_ = true;
      return TWaitResult::Failed;
    }
    if ((Fds[0].revents & POLLIN) != 0) return TWaitResult::Input;
    // Only a stop signal that another waiter took: wait on for the time left.
  }
}

TWaitResult TSerialPort::WaitForSignal(TEventObject& Wake, Cardinal TimeoutMs) noexcept {
  if (!IsOpen() || Failed_) return Wake.Wait(TimeoutMs) ? TWaitResult::Stopped : TWaitResult::Timeout;
  const Posix::TDeadline Deadline(TimeoutMs);
  // No events asked of the port: poll still reports its hang-up and errors, never its input.
  pollfd Fds[2] = {{Handle_, 0, 0}, {Wake.Handle(), POLLIN, 0}};
  for (;;) {
    const int Ready = Posix::PollUntil(Fds, 2, Deadline);
    if (Ready < 0) return TWaitResult::Failed;
    if (Ready == 0) return TWaitResult::Timeout;
    if ((Fds[1].revents & POLLIN) != 0 && Wake.ConsumeIfSignalled()) return TWaitResult::Stopped;
    if ((Fds[0].revents & FailureEvents) != 0) {
      Failed_ = true;
      return TWaitResult::Failed;
    }
  }
}

bool TSerialPort::InputCount(Cardinal& Count) noexcept {
  int Waiting = 0;
  if (!IsOpen() || ::ioctl(Handle_, FIONREAD, &Waiting) != 0 || Waiting < 0) return false;
  Count = static_cast<Cardinal>(Waiting);
  return true;
}

bool TSerialPort::Read(Byte* Dest, Cardinal Count) noexcept {
  if (!IsOpen()) return false;
  Cardinal Done = 0;
  while (Done < Count) {
    const ssize_t Got = ::read(Handle_, Dest + Done, Count - Done);
    if (Got > 0) {
      Done += static_cast<Cardinal>(Got);
    } else if (Got == 0 || errno != EINTR) {
      // 0: the other side is gone; EAGAIN: fewer bytes were waiting than asked for.
      return false;
    }
  }
  return true;
}

bool TSerialPort::TakeLineErrors() noexcept {
  // Whether the driver keeps error counters was probed once, at opening: a pseudo-terminal or a
  // USB adapter without them is not asked again on every frame.
  TErrorCounts Now;
  if (!IsOpen() || !Driver_->HaveErrorCounts || !ReadErrorCounts(Handle_, Now)) return false;
  const bool Errors = !(Now == Driver_->ErrorCounts);
  Driver_->ErrorCounts = Now;
  return Errors;
}

bool TSerialPort::Write(const Byte* Data, Cardinal Length, Cardinal TimeoutMs) noexcept {
  if (!IsOpen()) return false;
  if (Length == 0) return true;
  const Posix::TDeadline Deadline(TimeoutMs);
  // DTR/DSR flow: the other end says with DSR that it can take the frame; until then nothing goes
  // out, and a DSR that stays down fails the send as a time-out does.
  if (Driver_->DsrOutputFlow.load(std::memory_order_relaxed) && !TDriver::WaitForDsr(Handle_, Deadline)) return false;
  Cardinal Done = 0;
  while (Done < Length) {
    const ssize_t Sent = ::write(Handle_, Data + Done, Length - Done);
    if (Sent > 0) {
      Done += static_cast<Cardinal>(Sent);
      continue;
    }
    if (Sent < 0 && errno == EINTR) continue;
    if (Sent == 0 || errno != EAGAIN) return false;
    // The output queue is full: wait until it takes more, within the time left.
    pollfd Port{Handle_, POLLOUT, 0};
    const int Ready = Posix::PollUntil(&Port, 1, Deadline);
    if (Ready < 0 || (Ready > 0 && (Port.revents & FailureEvents) != 0)) return false;
    if (Ready == 0) {
      Purge(false, true);
      return false;
    }
  }
  return true;
}

void TSerialPort::Purge(bool Input, bool Output) noexcept {
  if (!IsOpen() || (!Input && !Output)) return;
  ::tcflush(Handle_, Input && Output ? TCIOFLUSH : Input ? TCIFLUSH : TCOFLUSH);
}

bool TSerialPort::Drain() noexcept {
  return IsOpen() && Retry([&] { return ::tcdrain(Handle_); }) == 0;
}

bool TSerialPort::SetRts(bool On) noexcept { return IsOpen() && SetModemLine(Handle_, TIOCM_RTS, On); }

bool TSerialPort::SetDtr(bool On) noexcept { return IsOpen() && SetModemLine(Handle_, TIOCM_DTR, On); }

}  // namespace Quorvel::Platform
