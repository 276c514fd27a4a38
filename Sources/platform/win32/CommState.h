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

// True when what GetCommState reads back holds every setting of Wanted that shapes the data: rate,
// character format and output flow control. A driver that quietly drops one (parity on a
// pseudo-terminal under Wine) fails this. The DTR and RTS modes are not compared: like the POSIX
// layer's modem lines they are best effort, and Wine reports them from the lines' state, which a
// pseudo-terminal refuses to give (it reads back "enable" whatever was set). Whether the driver
// took the RTS toggle is asked on its own (DriverTookToggle).
bool SameLineSettings(const DCB& Wanted, const DCB& Applied);

// Reads wait for the number of bytes they ask for, without a time-out of their own; writes have no
// time-out either. The port layer never asks a read for more than is waiting (apart from the
// one-byte read that serves as the receive wait) and bounds its writes with a wait of its own.
COMMTIMEOUTS PortTimeouts();

// True when the block read back keeps RTS in the driver's toggle mode.
bool DriverTookToggle(const DCB& Applied);

}  // namespace Quorvel::Platform::Win32
