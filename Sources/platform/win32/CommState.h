#pragma once
// The Win32 device control block and time-outs of the library's line settings, apart from any port
// so that the mapping can be checked on its own.

#include "platform/SerialPort.h"
#include "platform/win32/Windows.h"

namespace Quorvel::Platform::Win32 {

// The block SetCommState gets: every field zero unless the settings say otherwise; binary mode,
// abort on error, XON 11h and XOFF 13h. RTS toggle is asked of the driver here; ToggleByDriver
// false puts RTS at rest (disabled) for a writer that switches it itself.
DCB MakeDcb(const TLineSettings& Settings, bool ToggleByDriver);

// True when what GetCommState reads back holds every setting of Wanted that reaches the line:
// rate, format, flow control and the DTR and RTS modes. A driver that quietly drops a setting
// (parity on a pseudo-terminal under Wine) fails this.
bool SameLineSettings(const DCB& Wanted, const DCB& Applied);

// Reads wait for the number of bytes they ask for, without a time-out of their own; writes have no
// time-out either. The port layer never asks a read for more than is waiting (apart from the
// one-byte read that serves as the receive wait) and bounds its writes with a wait of its own.
COMMTIMEOUTS PortTimeouts();

}  // namespace Quorvel::Platform::Win32
