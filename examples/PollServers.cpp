// quorvel-poll: polls several servers on one serial line, one coroutine per server, and prints
// what each answers. The coroutines run on the main thread: each co_await resumes through the
// main thread's queue, which main() pumps, so that the printing needs no lock.
//
//   quorvel-poll [options] PORT START COUNT ADDRESS...
//   quorvel-poll --baud 115200 --parity none /dev/ttyUSB0 0 4 1 2 3 --rounds 10
//
// Each server's holding registers START..START+COUNT-1 are read --rounds times (default 5). The
// requests of all servers share the line: the connection carries them one after the other.

#include <Quorvel/Quorvel.h>

#include <coroutine>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "LineOptions.h"

using namespace Quorvel;

namespace {

// The least coroutine type that starts at once and counts itself out when it ends.
struct TPoller {
  struct promise_type {
    TPoller get_return_object() noexcept { return {}; }
    std::suspend_never initial_suspend() noexcept { return {}; }
    std::suspend_never final_suspend() noexcept { return {}; }
    void return_void() noexcept {}
    void unhandled_exception() noexcept { std::terminate(); }
  };
};

TPoller Poll(TModbusConnection& Connection, Byte Address, Word Start, Word Count, int Rounds, int& Running) {
  TRequester Server(Connection, Address);
  for (int Round = 1; Round <= Rounds; ++Round) {
    const TReply<TRegValues> Reply = co_await Server.ReadHoldingRegisters(Start, Count);
    std::cout << "server " << int(Address) << ", round " << Round << ":";
    if (Reply.Succeeded()) {
      for (const Word Value : Reply.Values) std::cout << ' ' << Value;
    } else if (Reply.Info.ReplyStatus == rsExceptionReply) {
      std::cout << " exception " << int(Reply.Info.ExceptionCode) << " (" << ExceptionName(Reply.Info.ExceptionCode) << ')';
    } else {
      std::cout << (Reply.Info.ReplyStatus == rsNoReply ? " no reply" : " a reply that does not fit");
    }
    std::cout << '\n';
  }
  --Running;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> Args(argv + 1, argv + argc);
  Example::TLineOptions Line;
  int Rounds = 5;
  std::vector<Byte> Addresses;
  Word Start = 0, Count = 0;
  try {
    for (std::size_t I = 0; I + 1 < Args.size(); ++I)
      if (Args[I] == "--rounds") {
        Rounds = static_cast<int>(Example::ParseNumber("--rounds", Args[I + 1], 1000000));
        Args.erase(Args.begin() + static_cast<long>(I), Args.begin() + static_cast<long>(I) + 2);
        break;
      }
    Line.Parse(Args);
    if (Args.size() < 4) throw Example::EUsage("a port, a start, a count and at least one address, please");
    Line.Port = Args[0];
    Start = static_cast<Word>(Example::ParseNumber("START", Args[1], 65535));
    Count = static_cast<Word>(Example::ParseNumber("COUNT", Args[2], 125));
    for (std::size_t I = 3; I < Args.size(); ++I) {
      Addresses.push_back(static_cast<Byte>(Example::ParseNumber("ADDRESS", Args[I], 247)));
      if (Addresses.back() == 0) throw Example::EUsage("ADDRESS: 1 to 247 (0 is the broadcast address)");
    }
  } catch (const Example::EUsage& Error) {
    std::cerr << "quorvel-poll: " << Error.what() << "\n\nUsage: quorvel-poll [options] PORT START COUNT ADDRESS...\n"
              << "  --rounds N        how often each server is read (5)\n"
              << Example::LineOptionsUsage();
    return 2;
  }

  TModbusConnection Connection;
  try {
    Line.Apply(Connection);
    Connection.Open();
    int Running = static_cast<int>(Addresses.size());
    for (const Byte Address : Addresses) Poll(Connection, Address, Start, Count, Rounds, Running);
    MainThread::ProcessMessagesUntil([&Running] { return Running == 0; }, Infinite);
  } catch (const std::exception& Error) {
    std::cerr << "quorvel-poll: " << Line.Port << ": " << Error.what() << '\n';
    return 1;
  }
  return 0;
}
