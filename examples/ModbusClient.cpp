// quorvel-client: one request to a Modbus server on a serial port, its answer on standard output.
//
//   quorvel-client [options] PORT read-holding START COUNT
//   quorvel-client --baud 9600 --parity none /dev/ttyUSB0 write-registers 100 1 2 0x0300
//
// Exit status: 0 when the server did what was asked, 1 when the port could not be used or the
// request failed (no reply, an exception reply, a reply that does not fit), 2 for a usage error.

#include <Quorvel/Quorvel.h>

#include <exception>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "LineOptions.h"

using namespace Quorvel;

namespace {

const char* Usage =
    "Usage: quorvel-client [options] PORT COMMAND ARGUMENTS\n"
    "\n"
    "Commands:\n"
    "  read-holding START COUNT        holding registers (function 3)\n"
    "  read-input START COUNT          input registers (function 4)\n"
    "  write-register ADDRESS VALUE    one holding register (function 6)\n"
    "  write-registers START VALUE...  holding registers (function 16)\n"
    "  read-coils START COUNT          coils (function 1)\n"
    "  read-discrete START COUNT       discrete inputs (function 2)\n"
    "  write-coil ADDRESS 0|1          one coil (function 5)\n"
    "  write-coils START 0|1...        coils (function 15)\n"
    "\n"
    "Options:\n";

// What a request's end says: its record, and its values as text.
struct TOutcome {
  TTransactionInfo Info;
  std::string Text;
};

std::string Text(bool Value) { return Value ? "1" : "0"; }
std::string Text(Word Value) { return std::to_string(Value); }
template <class TValues>
std::string Text(const TValues& Values) {
  std::ostringstream Out;
  for (std::size_t K = 0; K < Values.size(); ++K) Out << (K ? " " : "") << Values[K];
  return Out.str();
}

// Sends the request and waits for its one end, whatever happened on the line.
template <class TValue>
TOutcome Outcome(TRequest<TValue> Request) {
  const TReply<TValue> Reply = Request.Wait();
  return {Reply.Info, Text(Reply.Values)};
}

using TCommand = std::function<TOutcome(TRequester& Server)>;

// The request that Command names, from Words; it runs once the connection is open.
TCommand Request(const std::string& Command, const std::vector<std::string>& Words) {
  const auto Number = [&](std::size_t Index, unsigned long Max) -> Word {
    if (Index >= Words.size()) throw Example::EUsage(Command + ": too few arguments");
    return static_cast<Word>(Example::ParseNumber(Command, Words[Index], Max));
  };
  const auto Exactly = [&](std::size_t Count) {
    if (Words.size() != Count) throw Example::EUsage(Command + " takes " + std::to_string(Count) + " arguments");
  };
  if (Command == "read-holding" || Command == "read-input" || Command == "read-coils" || Command == "read-discrete") {
    Exactly(2);
    const Word Start = Number(0, 65535), Count = Number(1, 2000);
    if (Command == "read-holding") return [=](TRequester& S) { return Outcome(S.ReadHoldingRegisters(Start, Count)); };
    if (Command == "read-input") return [=](TRequester& S) { return Outcome(S.ReadInputRegisters(Start, Count)); };
    if (Command == "read-coils") return [=](TRequester& S) { return Outcome(S.ReadCoils(Start, Count)); };
    return [=](TRequester& S) { return Outcome(S.ReadDiscreteInputs(Start, Count)); };
  }
  if (Command == "write-register" || Command == "write-coil") {
    Exactly(2);
    const Word Address = Number(0, 65535);
    const Word Value = Number(1, Command == "write-coil" ? 1 : 65535);
    if (Command == "write-coil") return [=](TRequester& S) { return Outcome(S.WriteSingleCoil(Address, Value != 0)); };
    return [=](TRequester& S) { return Outcome(S.WriteSingleRegister(Address, Value)); };
  }
  if (Command == "write-registers" || Command == "write-coils") {
    if (Words.size() < 2) throw Example::EUsage(Command + ": a start and at least one value");
    const Word Start = Number(0, 65535);
    TRegValues Registers;
    TBitValues Bits;
    for (std::size_t K = 1; K < Words.size(); ++K) {
      if (Command == "write-registers") Registers.push_back(Number(K, 65535));
      else Bits.push_back(Number(K, 1) != 0);
    }
    if (Command == "write-registers") return [=](TRequester& S) { return Outcome(S.WriteMultipleRegisters(Start, Registers)); };
    return [=](TRequester& S) { return Outcome(S.WriteMultipleCoils(Start, Bits)); };
  }
  throw Example::EUsage("unknown command '" + Command + "'");
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> Args(argv + 1, argv + argc);
  Example::TLineOptions Line;
  TCommand Send;
  try {
    Line.Parse(Args);
    if (Args.size() < 2) throw Example::EUsage("a port and a command, please");
    Line.Port = Args[0];
    Send = Request(Args[1], std::vector<std::string>(Args.begin() + 2, Args.end()));
  } catch (const Example::EUsage& Error) {
    std::cerr << "quorvel-client: " << Error.what() << "\n\n" << Usage << Example::LineOptionsUsage();
    return 2;
  }

  TModbusConnection Connection;
  TOutcome Outcome;
  try {
    Line.Apply(Connection);
    Connection.Open();
    // No event loop here: the request's blocking call waits on this thread for the worker.
    TRequester Server(Connection, Line.Address);
    Outcome = Send(Server);
  } catch (const std::exception& Error) {
    std::cerr << "quorvel-client: " << Line.Port << ": " << Error.what() << '\n';
    return 1;
  }

  switch (Outcome.Info.ReplyStatus) {
    case rsSuccess:
      std::cout << Outcome.Text << '\n';
      return 0;
    case rsExceptionReply:
      std::cerr << "quorvel-client: server " << int(Line.Address) << " answered with exception "
                << int(Outcome.Info.ExceptionCode) << " (" << ExceptionName(Outcome.Info.ExceptionCode) << ")\n";
      return 1;
    case rsInvalidReply:
      std::cerr << "quorvel-client: the reply of server " << int(Line.Address) << " does not fit the request\n";
      return 1;
    case rsNoReply:
    default:
      std::cerr << "quorvel-client: no reply from server " << int(Line.Address) << " within " << Line.Timeout << " ms\n";
      return 1;
  }
}
