// quorvel-console: the event loop of a console program without Qt. It waits on its own inputs
// (here the terminal) and on the library's messages at once, in one poll(), so that requests run
// while the user types and their answers are printed as they come.
//
//   quorvel-console [options] PORT
//
// Then type, one per line:   read START COUNT    write START VALUE...    quit (or Ctrl-D)

#include <Quorvel/Quorvel.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <exception>
#include <iostream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "LineOptions.h"

using namespace Quorvel;

namespace {

// The library calls the wake-up handler from whichever thread queues a message; it only makes
// the descriptor readable, and the loop below does the work on the main thread.
class TLibraryWakeUp {
 public:
  TLibraryWakeUp() : FFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (FFd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    MainThread::SetWakeUpHandler([Fd = FFd] {
      const std::uint64_t One = 1;
      [[maybe_unused]] const ssize_t Written = ::write(Fd, &One, sizeof One);
    });
  }
  ~TLibraryWakeUp() {
    MainThread::SetWakeUpHandler(nullptr);
    ::close(FFd);
  }
  int Fd() const { return FFd; }
  // Clears the descriptor, then runs what the library has queued.
  void Serve() {
    std::uint64_t Count = 0;
    [[maybe_unused]] const ssize_t Read = ::read(FFd, &Count, sizeof Count);
    MainThread::ProcessMessages();
  }

 private:
  int FFd;
};

void PrintRegisters(const char* What, const TTransactionInfo& Info, Word Start, Word Count, const TRegValues& Values) {
  std::cout << "#" << Info.TransactionID << " " << What << " " << Start << ".." << Start + Count - 1 << ": ";
  if (Info.ReplyStatus == rsSuccess) {
    for (Word K = 0; K < Count && K < Values.size(); ++K) std::cout << Values[K] << ' ';
  } else if (Info.ReplyStatus == rsExceptionReply) {
    std::cout << "exception " << int(Info.ExceptionCode);
  } else {
    std::cout << (Info.ReplyStatus == rsNoReply ? "no reply" : "a reply that does not fit");
  }
  std::cout << std::endl;
}

enum TTyped { tyNothing, tySent, tyQuit };

// One typed line. A mistake is reported and the loop goes on.
TTyped Command(TModbusClient& Client, const std::string& Text) {
  std::istringstream Words(Text);
  std::string Name;
  Words >> Name;
  std::vector<Word> Numbers;
  for (std::string Word; Words >> Word;) Numbers.push_back(static_cast<Quorvel::Word>(Example::ParseNumber(Name, Word, 65535)));
  if (Name == "quit") return tyQuit;
  if (Name == "read" && Numbers.size() == 2) {
    std::cout << "#" << Client.ReadHoldingRegisters(Numbers[0], Numbers[1]) << " sent" << std::endl;
    return tySent;
  }
  if (Name == "write" && Numbers.size() >= 2) {
    const TRegValues Values(Numbers.begin() + 1, Numbers.end());
    std::cout << "#" << Client.WriteMultipleRegisters(Numbers[0], Values) << " sent" << std::endl;
    return tySent;
  }
  if (!Name.empty()) std::cout << "read START COUNT | write START VALUE... | quit" << std::endl;
  return tyNothing;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> Args(argv + 1, argv + argc);
  Example::TLineOptions Line;
  try {
    Line.Parse(Args);
    if (Args.size() != 1) throw Example::EUsage("one port, please");
    Line.Port = Args[0];
  } catch (const Example::EUsage& Error) {
    std::cerr << "quorvel-console: " << Error.what() << "\n\nUsage: quorvel-console [options] PORT\n\nOptions:\n"
              << Example::LineOptionsUsage();
    return 2;
  }

  try {
    TLibraryWakeUp WakeUp;
    TModbusConnection Connection;
    TModbusClient Client;
    Line.Apply(Connection);
    Client.SetConnection(&Connection);
    Client.SetServerAddress(Line.Address);
    int Pending = 0;
    const auto Finished = [&Pending](const char* What) {
      return [&Pending, What](TModbusClient&, const TTransactionInfo& Info, Word Start, Word Count, const TRegValues& Values) {
        --Pending;
        PrintRegisters(What, Info, Start, Count, Values);
      };
    };
    Client.SetOnHoldingRegistersRead(Finished("read"));
    Client.SetOnMultipleRegistersWrite(Finished("written"));
    Connection.Open();

    bool Typing = true;
    std::string Typed;
    // Until the user is done and every request has had its answer.
    while (Typing || Pending > 0) {
      pollfd Fds[2] = {{WakeUp.Fd(), POLLIN, 0}, {Typing ? STDIN_FILENO : -1, POLLIN, 0}};
      if (::poll(Fds, 2, -1) < 0 && errno != EINTR) throw std::system_error(errno, std::generic_category(), "poll");
      if (Fds[0].revents & POLLIN) WakeUp.Serve();
      if (Fds[1].revents & (POLLIN | POLLHUP)) {
        char Buffer[256];
        const ssize_t Count = ::read(STDIN_FILENO, Buffer, sizeof Buffer);
        if (Count <= 0) {
          Typing = false;
          continue;
        }
        Typed.append(Buffer, static_cast<std::size_t>(Count));
        for (auto End = Typed.find('\n'); Typing && End != std::string::npos; End = Typed.find('\n')) {
          const std::string Text = Typed.substr(0, End);
          Typed.erase(0, End + 1);
          try {
            switch (Command(Client, Text)) {
              case tySent: ++Pending; break;
              case tyQuit: Typing = false; break;
              case tyNothing: break;
            }
          } catch (const std::exception& Error) {
            std::cout << Error.what() << std::endl;
          }
        }
      }
    }
    Connection.Close();
  } catch (const std::exception& Error) {
    std::cerr << "quorvel-console: " << Line.Port << ": " << Error.what() << '\n';
    return 1;
  }
  return 0;
}
