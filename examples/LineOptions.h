#pragma once
// The command line that the examples share: a port name and the serial line's settings.
//
//   --baud N            bit/s (default 19200)
//   --parity P          none, odd or even (default even, as the Modbus serial line asks)
//   --data-bits N       7 or 8 (default 8)
//   --stop-bits N       1 or 2 (default 1)
//   --ascii             ASCII framing instead of RTU
//   --address N         the server's address, 1..247 (default 1)
//   --timeout MS        how long to wait for each reply (default 1000)
//
// Copy it with the example that you start from.

#include <Quorvel/Quorvel.h>

#include <charconv>
#include <stdexcept>
#include <string>
#include <vector>

namespace Example {

// A mistake on the command line; the programs print it with their usage and exit with status 2.
class EUsage : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline unsigned long ParseNumber(const std::string& What, const std::string& Text, unsigned long Max) {
  unsigned long Value = 0;
  int Base = 10;
  std::string Digits = Text;
  if (Digits.size() > 2 && (Digits.starts_with("0x") || Digits.starts_with("0X"))) {
    Base = 16;
    Digits.erase(0, 2);
  }
  const auto [End, Error] = std::from_chars(Digits.data(), Digits.data() + Digits.size(), Value, Base);
  if (Digits.empty() || Error != std::errc() || End != Digits.data() + Digits.size() || Value > Max)
    throw EUsage(What + ": '" + Text + "' is not a number from 0 to " + std::to_string(Max));
  return Value;
}

struct TLineOptions {
  std::string Port;
  Quorvel::Cardinal BaudRate = 19200;
  Quorvel::TParityScheme Parity = Quorvel::psEven;
  Quorvel::TDataBits DataBits = Quorvel::db8;
  Quorvel::TStopBits StopBits = Quorvel::sb1;
  Quorvel::TTransmissionMode Mode = Quorvel::tmRTU;
  Quorvel::Byte Address = 1;
  Quorvel::Cardinal Timeout = 1000;

  // Takes the options out of Args, leaves the other words there in order.
  void Parse(std::vector<std::string>& Args) {
    std::vector<std::string> Rest;
    for (std::size_t I = 0; I < Args.size(); ++I) {
      const std::string& Option = Args[I];
      const auto Value = [&]() -> const std::string& {
        if (I + 1 >= Args.size()) throw EUsage(Option + " needs a value");
        return Args[++I];
      };
      if (Option == "--baud") {
        BaudRate = static_cast<Quorvel::Cardinal>(ParseNumber(Option, Value(), 4000000));
        if (BaudRate == 0) throw EUsage("--baud: the rate must be above 0");
      } else if (Option == "--parity") {
        const std::string& Name = Value();
        if (Name == "none") Parity = Quorvel::psNone;
        else if (Name == "odd") Parity = Quorvel::psOdd;
        else if (Name == "even") Parity = Quorvel::psEven;
        else throw EUsage("--parity: '" + Name + "' is not none, odd or even");
      } else if (Option == "--data-bits") {
        const auto Bits = ParseNumber(Option, Value(), 8);
        if (Bits != 7 && Bits != 8) throw EUsage("--data-bits: 7 or 8");
        DataBits = Bits == 7 ? Quorvel::db7 : Quorvel::db8;
      } else if (Option == "--stop-bits") {
        const auto Bits = ParseNumber(Option, Value(), 2);
        if (Bits != 1 && Bits != 2) throw EUsage("--stop-bits: 1 or 2");
        StopBits = Bits == 1 ? Quorvel::sb1 : Quorvel::sb2;
      } else if (Option == "--ascii") {
        Mode = Quorvel::tmASCII;
      } else if (Option == "--address") {
        Address = static_cast<Quorvel::Byte>(ParseNumber(Option, Value(), 247));
        if (Address == 0) throw EUsage("--address: 1 to 247 (0 is the broadcast address)");
      } else if (Option == "--timeout") {
        Timeout = static_cast<Quorvel::Cardinal>(ParseNumber(Option, Value(), 600000));
      } else if (Option.starts_with("--")) {
        throw EUsage("unknown option '" + Option + "'");
      } else {
        Rest.push_back(Option);
      }
    }
    Args = std::move(Rest);
  }

  // Settings only; the caller opens the connection when it is ready.
  void Apply(Quorvel::TModbusConnection& Connection) const {
    using namespace Quorvel;
    Connection.SetPort(Port);
    Connection.SetCustomBaudRate(BaudRate);
    for (int Rate = br110; Rate < brCustom; ++Rate)
      if (BaudRateValue(static_cast<TBaudRate>(Rate), 0) == BaudRate) Connection.SetBaudRate(static_cast<TBaudRate>(Rate));
    Connection.SetParity(Parity);
    Connection.SetDataBits(DataBits);
    Connection.SetStopBits(StopBits);
    Connection.SetTransmissionMode(Mode);
    // An ASCII frame ends at CR LF, and a sender may pause long between two of its characters.
    if (Mode == tmASCII) Connection.SetSilentInterval(1000);
    Connection.SetReceiveTimeout(Timeout);
  }
};

inline const char* LineOptionsUsage() {
  return "  --baud N          bit/s (19200)\n"
         "  --parity P        none, odd or even (even)\n"
         "  --data-bits N     7 or 8 (8)\n"
         "  --stop-bits N     1 or 2 (1)\n"
         "  --ascii           ASCII framing instead of RTU\n"
         "  --address N       the server's address, 1..247 (1)\n"
         "  --timeout MS      how long to wait for a reply (1000)\n";
}

}  // namespace Example
