#include "platform/win32/CommState.h"

namespace Quorvel::Platform::Win32 {

namespace {

DWORD DtrControl(TLineControl Control) {
  switch (Control) {
    case TLineControl::Enable: return DTR_CONTROL_ENABLE;
    case TLineControl::Handshake: return DTR_CONTROL_HANDSHAKE;
    default: return DTR_CONTROL_DISABLE;
  }
}

DWORD RtsControl(TLineControl Control, bool ToggleByDriver) {
  switch (Control) {
    case TLineControl::Enable: return RTS_CONTROL_ENABLE;
    case TLineControl::Handshake: return RTS_CONTROL_HANDSHAKE;
    case TLineControl::Toggle: return ToggleByDriver ? RTS_CONTROL_TOGGLE : RTS_CONTROL_DISABLE;
    default: return RTS_CONTROL_DISABLE;
  }
}

BYTE ParityCode(TParity Parity) {
  switch (Parity) {
    case TParity::Odd: return ODDPARITY;
    case TParity::Even: return EVENPARITY;
    default: return NOPARITY;
  }
}

}  // namespace

DCB MakeDcb(const TLineSettings& Settings, bool ToggleByDriver) {
  DCB Block{};
  Block.DCBlength = sizeof(DCB);
  Block.BaudRate = Settings.BaudRate;
  Block.fBinary = 1;
  Block.fParity = Settings.Parity != TParity::None ? 1 : 0;
  Block.fOutxCtsFlow = Settings.CtsOutputFlow ? 1 : 0;
  Block.fOutxDsrFlow = Settings.DsrOutputFlow ? 1 : 0;
  Block.fDtrControl = DtrControl(Settings.Dtr);
  Block.fRtsControl = RtsControl(Settings.Rts, ToggleByDriver);
  // A line error stops every read and write until ClearCommError, which the port layer calls
  // around each of them: no byte after an error can pass for part of a good frame.
  Block.fAbortOnError = 1;
  Block.ByteSize = Settings.DataBits;
  Block.Parity = ParityCode(Settings.Parity);
  Block.StopBits = Settings.StopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
  Block.XonChar = 0x11;
  Block.XoffChar = 0x13;
  return Block;
}

bool SameLineSettings(const DCB& Wanted, const DCB& Applied) {
  return Applied.BaudRate == Wanted.BaudRate && Applied.ByteSize == Wanted.ByteSize && Applied.Parity == Wanted.Parity &&
         Applied.StopBits == Wanted.StopBits && Applied.fParity == Wanted.fParity &&
         Applied.fOutxCtsFlow == Wanted.fOutxCtsFlow && Applied.fOutxDsrFlow == Wanted.fOutxDsrFlow &&
         Applied.fOutX == Wanted.fOutX && Applied.fInX == Wanted.fInX;
}

bool DriverTookToggle(const DCB& Applied) { return Applied.fRtsControl == RTS_CONTROL_TOGGLE; }

COMMTIMEOUTS PortTimeouts() { return COMMTIMEOUTS{0, 0, 0, 0, 0}; }

}  // namespace Quorvel::Platform::Win32
