#include "ScanOptions.h"

#include <Quorvel/Protocol.h>
#include "DeviceOptions.h"

namespace Dorvane {

using namespace Quorvel;

namespace {

// "a,b,c", each item once, in the order given.
std::vector<std::string_view> Items(const std::string& Option, const std::string& List) {
  std::vector<std::string_view> Result;
  std::string_view Rest = List;
  for (;;) {
    const auto Comma = Rest.find(',');
    const std::string_view Item = Rest.substr(0, Comma);
    if (Item.empty()) throw EUsageError(Option + ": an empty item in '" + List + "'");
    Result.push_back(Item);
    if (Comma == std::string_view::npos) return Result;
    Rest.remove_prefix(Comma + 1);
  }
}

template <class T>
void AddOnce(std::vector<T>& Values, T Value) {
  for (const T& Existing : Values)
    if (Existing == Value) return;
  Values.push_back(Value);
}

std::vector<Cardinal> ParseRates(const std::string& List) {
  std::vector<Cardinal> Rates;
  for (const auto Item : Items("--baud", List)) {
    const Cardinal Rate = ParseCount("--baud", Item);
    if (Rate == 0) throw EUsageError("--baud: a rate must be above 0");
    AddOnce(Rates, Rate);
  }
  return Rates;
}

std::vector<TParityScheme> ParseParities(const std::string& List) {
  std::vector<TParityScheme> Parities;
  for (const auto Item : Items("--parity", List)) {
    if (Item == "none") AddOnce(Parities, psNone);
    else if (Item == "even") AddOnce(Parities, psEven);
    else if (Item == "odd") AddOnce(Parities, psOdd);
    else throw EUsageError("--parity: '" + std::string(Item) + "' is not none, even or odd");
  }
  return Parities;
}

// "1-247", "5", "1,5,10-20".
std::vector<Byte> ParseAddresses(const std::string& List) {
  std::vector<Byte> Addresses;
  for (const auto Item : Items("--addresses", List)) {
    const auto Dash = Item.find('-');
    const Cardinal First = ParseCount("--addresses", Item.substr(0, Dash));
    const Cardinal Last = Dash == std::string_view::npos ? First : ParseCount("--addresses", Item.substr(Dash + 1));
    if (First < 1 || Last > 247 || First > Last)
      throw EUsageError("--addresses: '" + std::string(Item) + "' is not within 1 to 247");
    for (Cardinal Address = First; Address <= Last; ++Address) AddOnce(Addresses, static_cast<Byte>(Address));
  }
  return Addresses;
}

const char* ModeName(TTransmissionMode Mode) { return Mode == tmASCII ? "ASCII" : "RTU"; }

}  // namespace

TScanOptions ParseScanOptions(const std::vector<std::string>& Args) {
  TScanOptions Options;
  TCommandLine Command(Args);
  while (Command.Next()) {
    const std::string& Option = Command.Option();
    if (Option == "--help" || Option == "-h") {
      Command.Flag();
      Options.Help = true;
    } else if (Option == "--version") {
      Command.Flag();
      Options.Version = true;
    } else if (Option == "--rtu" || Option == "--ascii" || Option == "--both") {
      Command.Flag();
      Options.Plan.Modes = Option == "--rtu" ? std::vector{tmRTU} : Option == "--ascii" ? std::vector{tmASCII} : std::vector{tmRTU, tmASCII};
    } else if (Option == "--baud") {
      Options.Plan.BaudRates = ParseRates(Command.Value());
    } else if (Option == "--parity") {
      Options.Plan.Parities = ParseParities(Command.Value());
    } else if (Option == "--addresses") {
      Options.Plan.Addresses = ParseAddresses(Command.Value());
    } else if (Option == "--timeout") {
      Options.Plan.Timeout = ParseCount(Option, Command.Value());
      if (Options.Plan.Timeout == 0) throw EUsageError("--timeout: at least 1 ms");
    } else if (Option == "--burst") {
      Command.Flag();
      Options.Plan.Burst = true;
    } else if (Option.rfind("-", 0) == 0 && Option != "-") {
      throw EUsageError("unknown option '" + Command.Argument() + "'");
    } else if (Options.Port.empty()) {
      Options.Port = Command.Argument();
    } else {
      throw EUsageError("one port only: '" + Command.Argument() + "' follows '" + Options.Port + "'");
    }
  }
  if (Options.Port.empty() && !Options.Help && !Options.Version) throw EUsageError("which port? Name it last");
  return Options;
}

std::string ScanUsage(const std::string& Program) {
  return "Usage: " + Program +
         " [--baud LIST] [--parity LIST] [--ascii|--rtu|--both] [--addresses LIST]\n"
         "       [--timeout MS] [--burst] PORT\n"
         "\n"
         "Finds the Modbus devices on a serial line whose settings are not known: at each line\n"
         "setting and address it reads one holding register; any answer, an exception too, means\n"
         "that a device is there, which is then asked who it is (17, or 43/14).\n"
         "\n"
         "  --baud LIST       rates to try, in bit/s, comma-separated (default: 19200)\n"
         "  --parity LIST     none, even and odd, comma-separated (default: none)\n"
         "  --rtu, --ascii    the framing to try (default: RTU); --both tries RTU, then ASCII\n"
         "  --addresses LIST  addresses and ranges, comma-separated (default: 1-247)\n"
         "  --timeout MS      how long to wait for each answer (default: 1000; in burst mode the\n"
         "                    shortest that a prompt device answers within)\n"
         "  --burst           fast: length-aware framing, one attempt, the shortest time-outs\n"
         "  --version         print the version and end\n"
         "\n"
         "Ctrl-C stops it with what it found. Exit status 0 when a device was found, 1 when none\n"
         "was (or the port could not be used), 2 for a mistake on the command line.\n";
}

std::string DescribeScanLine(const TScanLineSettings& Line, TDataBits DataBits, TStopBits StopBits) {
  static const char ParityLetters[] = {'N', 'O', 'E'};
  return std::to_string(Line.BaudRate) + " bit/s, " + (DataBits == db7 ? "7" : "8") + ParityLetters[Line.Parity] +
         (StopBits == sb1 ? "1" : "2") + ", " + ModeName(Line.Mode);
}

std::string DescribeScanDevice(const TScanDevice& Device, TDataBits DataBits, TStopBits StopBits) {
  std::string Text = "Found address " + std::to_string(Device.Address) + " at " +
                     DescribeScanLine(Device.Line, DataBits, StopBits) + ": " +
                     (Device.Identity.empty() ? std::string("no identification") : "\"" + Device.Identity + "\"") +
                     ", round trip " + std::to_string(Device.RoundTrip) + " ms";
  if (Device.Refused)
    Text += ", probe refused with exception " + std::to_string(Device.ExceptionCode) + " (" +
            ExceptionName(Device.ExceptionCode) + ")";
  return Text;
}

std::string DescribeScanProgress(const TScanProgress& Progress, TDataBits DataBits, TStopBits StopBits) {
  return std::to_string(Progress.Done) + " of " + std::to_string(Progress.Total) + " combinations, " +
         std::to_string(Progress.Found) + (Progress.Found == 1 ? " device" : " devices") + " found; address " +
         std::to_string(Progress.Address) + " at " + DescribeScanLine(Progress.Line, DataBits, StopBits);
}

}  // namespace Dorvane
