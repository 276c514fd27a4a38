#pragma once
// The serial line's settings as the console programs take them: --ascii or --rtu, --baud,
// --parity, --data-bits and --stop-bits.

#include <Quorvel/ConnectionSettings.h>
#include <Quorvel/Types.h>
#include "CommandLine.h"

namespace Quorvel {
class TModbusConnection;
}

namespace Dorvane {

// The utility starts with 19200 bit/s, 8 data bits, no parity, 1 stop bit and RTU framing; the
// programs use the same unless told otherwise.
struct TLineOptions {
  Quorvel::TTransmissionMode TransmissionMode = Quorvel::tmRTU;
  Quorvel::Cardinal BaudRate = 19200;
  Quorvel::TParityScheme Parity = Quorvel::psNone;
  Quorvel::TDataBits DataBits = Quorvel::db8;
  Quorvel::TStopBits StopBits = Quorvel::sb1;
};

// Takes Command's current option into Line when it is one of the line's; false when it is not.
// Raises EUsageError on a value out of range.
bool ReadLineOption(TCommandLine& Command, TLineOptions& Line);

// Sets Connection's framing and line settings. Connection must be closed.
void ApplyLineOptions(const TLineOptions& Line, Quorvel::TModbusConnection& Connection);

}  // namespace Dorvane
