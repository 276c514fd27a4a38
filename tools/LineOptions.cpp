#include "LineOptions.h"

#include <Quorvel/Connection.h>

namespace Dorvane {

using namespace Quorvel;

namespace {

TParityScheme ParseParity(const std::string& Name) {
  if (Name == "none") return psNone;
  if (Name == "odd") return psOdd;
  if (Name == "even") return psEven;
  throw EUsageError("--parity: '" + Name + "' is not none, odd or even");
}

}  // namespace

bool ReadLineOption(TCommandLine& Command, TLineOptions& Line) {
  const std::string& Option = Command.Option();
  if (Option == "--ascii" || Option == "--rtu") {
    Command.Flag();
    Line.TransmissionMode = Option == "--ascii" ? tmASCII : tmRTU;
  } else if (Option == "--baud") {
    Line.BaudRate = ParseCount(Option, Command.Value());
    if (Line.BaudRate == 0) throw EUsageError("--baud: the rate must be above 0");
  } else if (Option == "--parity") {
    Line.Parity = ParseParity(Command.Value());
  } else if (Option == "--data-bits") {
    const Cardinal Bits = ParseCount(Option, Command.Value());
    if (Bits != 7 && Bits != 8) throw EUsageError("--data-bits: 7 or 8");
    Line.DataBits = Bits == 7 ? db7 : db8;
  } else if (Option == "--stop-bits") {
    const Cardinal Bits = ParseCount(Option, Command.Value());
    if (Bits != 1 && Bits != 2) throw EUsageError("--stop-bits: 1 or 2");
    Line.StopBits = Bits == 1 ? sb1 : sb2;
  } else {
    return false;
  }
  return true;
}

void ApplyLineOptions(const TLineOptions& Line, TModbusConnection& Connection) {
  Connection.SetTransmissionMode(Line.TransmissionMode);
  // ASCII frames end at CR LF; the silence between two characters of one frame may be long.
  // The settings dialog's ASCII defaults allow a second, and so do the programs.
  if (Line.TransmissionMode == tmASCII) Connection.SetSilentInterval(1000);
  TBaudRate Rate = brCustom;
  for (int R = br110; R < brCustom; ++R) {
    if (BaudRateValue(static_cast<TBaudRate>(R), 0) == Line.BaudRate) Rate = static_cast<TBaudRate>(R);
  }
  if (Rate == brCustom)
    Connection.SetCustomBaudRate(Line.BaudRate);
  else
    Connection.SetBaudRate(Rate);
  Connection.SetParity(Line.Parity);
  Connection.SetDataBits(Line.DataBits);
  Connection.SetStopBits(Line.StopBits);
}

}  // namespace Dorvane
