// quorvel-line-helper: the Linux end of the Windows build's line tests.
//
// A Windows test program under Wine cannot make pseudo-terminals or play a device on one. It asks
// this helper instead, over a localhost TCP socket (Winsock under Wine is the Linux socket API, so
// the channel needs nothing beyond what both sides have; a pipe or FIFO would need a path that both
// name alike, and a Unix socket has no Winsock counterpart in Wine 8). Each connection is one
// session: either a virtual serial line, whose side A the helper offers to Wine as a COM port (a
// symbolic link in the prefix's dosdevices folder), or a device peer on a line's side B. The
// session ends, and its line or peer with it, when the connection closes.
//
// Requests and answers are single text lines; bytes travel as hexadecimal ("-" for none):
//   line BAUD BITS                    -> ok COMn PATH-OF-SIDE-B
//   pacing BAUD BITS | echo SIDE 0|1 | split SIDE SIZES GAPS | corrupt SIDE OFFSET MASK
//   drop SIDE OFFSET | inject SIDE HEX | unplug               -> ok
//   waitopen|waitclose SIDE MS | waitarrivals SIDE COUNT MS    -> ok 1|0
//   arrived SIDE                                               -> ok COUNT
//   peer PATH                                                  -> ok
//   write HEX | bursts HEX SIZES GAP                           -> ok 1|0
//   readframe SILENCE TIMEOUT | readfor MS                     -> ok HEX
//   hangup MS                                                  -> ok 1|0
//   discard | close | end                                      -> ok
// SIZES and GAPS are comma-separated lists; times are milliseconds. Anything else: err MESSAGE.

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "LineHelperWire.h"
#include "VirtualSerialLine.h"

namespace {

using namespace Quorvel;
using namespace Quorvel::Testing;
using std::chrono::milliseconds;
namespace fs = std::filesystem;

fs::path DosDevices;
std::mutex PortNumbersLock;
std::set<int> PortNumbersInUse;

// COM1..COM4 are Wine's own links to the machine's ttyS ports (on these machines the console):
// the lines take COM5 and up.
int TakePortNumber() {
  std::lock_guard Lock(PortNumbersLock);
  for (int Number = 5; Number < 256; ++Number)
    if (PortNumbersInUse.insert(Number).second) return Number;
  throw std::runtime_error("no COM port number left");
}

void GivePortNumber(int Number) {
  std::lock_guard Lock(PortNumbersLock);
  PortNumbersInUse.erase(Number);
}

std::vector<std::size_t> ListOf(const std::string& Text) {
  std::vector<std::size_t> Values;
  if (Text == "-") return Values;
  std::stringstream In(Text);
  for (std::string Item; std::getline(In, Item, ',');)
    if (!Item.empty()) Values.push_back(std::stoul(Item));
  return Values;
}

// One more field of an answer, with its separating blank.
std::string Field(std::string Value) {
  Value.insert(Value.begin(), ' ');
  return Value;
}

TLineSide SideOf(const std::string& Text) {
  if (Text == "A") return TLineSide::A;
  if (Text == "B") return TLineSide::B;
  throw std::runtime_error("no such side: " + Text);
}

class TSession {
 public:
  explicit TSession(int Socket) : Socket_(Socket) {}
  ~TSession() {
    EndLine();
    ::close(Socket_);
  }

  void Run() {
    for (std::string Request; ReadLine(Request);) {
      std::string Answer;
      bool End = false;
      try {
        Answer = "ok" + Handle(Request, End);
      } catch (const std::exception& Error) {
        Answer = std::string("err ") + Error.what();
      }
      Answer += '\n';
      if (!WriteAll(Answer) || End) return;
    }
  }

 private:
  std::string Handle(const std::string& Request, bool& End) {
    std::istringstream In(Request);
    std::string Command;
    In >> Command;
    const auto Arg = [&In] {
      std::string Value;
      if (!(In >> Value)) throw std::runtime_error("missing argument");
      return Value;
    };
    const auto Number = [&Arg] { return static_cast<Cardinal>(std::stoul(Arg())); };
    const auto Ms = [&Number] { return milliseconds(Number()); };
    const auto Flag = [](bool Value) { return Field(Value ? "1" : "0"); };

    if (Command == "end" || Command == "close") {
      EndLine();
      Peer_.reset();
      End = true;
      return "";
    }
    if (Command == "line") {
      const Cardinal Baud = Number();
      const Cardinal Bits = Number();
      Line_ = std::make_unique<TVirtualSerialLine>(Baud, Bits);
      PortNumber_ = TakePortNumber();
      const fs::path Link = DosDevices / ("com" + std::to_string(PortNumber_));
      std::error_code Ignored;
      fs::remove(Link, Ignored);
      fs::create_symlink(Line_->PortA(), Link);
      return Field("COM" + std::to_string(PortNumber_)) + Field(Line_->PortB());
    }
    if (Command == "peer") {
      Peer_ = std::make_unique<TLinePeer>(Arg());
      return "";
    }
    if (Peer_) {
      if (Command == "write") return Flag(Peer_->Write(FromHex(Arg())));
      if (Command == "bursts") {
        const TFrameData Bytes = FromHex(Arg());
        const auto Sizes = ListOf(Arg());
        return Flag(Peer_->WriteBursts(Bytes, Sizes, Ms()));
      }
      if (Command == "readframe") {
        const auto Silence = Ms();
        return Field(ToHex(Peer_->ReadFrame(Silence, Ms())));
      }
      if (Command == "readfor") return Field(ToHex(Peer_->ReadFor(Ms())));
      if (Command == "hangup") return Flag(Peer_->WaitForHangUp(Ms()));
      if (Command == "discard") {
        Peer_->Discard();
        return "";
      }
    }
    if (Line_) {
      if (Command == "pacing") {
        const Cardinal Baud = Number();
        Line_->SetPacing(Baud, Number());
        return "";
      }
      if (Command == "echo") {
        const TLineSide Side = SideOf(Arg());
        Line_->SetEcho(Side, Number() != 0);
        return "";
      }
      if (Command == "split") {
        const TLineSide Side = SideOf(Arg());
        const auto Sizes = ListOf(Arg());
        std::vector<milliseconds> Gaps;
        for (const auto Gap : ListOf(Arg())) Gaps.emplace_back(Gap);
        Line_->SplitNextFrame(Side, Sizes, Gaps);
        return "";
      }
      if (Command == "corrupt") {
        const TLineSide Side = SideOf(Arg());
        const auto Offset = Number();
        Line_->CorruptNext(Side, Offset, static_cast<Byte>(Number()));
        return "";
      }
      if (Command == "drop") {
        const TLineSide Side = SideOf(Arg());
        Line_->DropNext(Side, Number());
        return "";
      }
      if (Command == "inject") {
        const TLineSide Side = SideOf(Arg());
        Line_->Inject(Side, FromHex(Arg()));
        return "";
      }
      if (Command == "unplug") {
        Line_->Unplug();
        return "";
      }
      if (Command == "waitopen" || Command == "waitclose") {
        const TLineSide Side = SideOf(Arg());
        const auto Timeout = Ms();
        return Flag(Command == "waitopen" ? Line_->WaitForOpen(Side, Timeout) : Line_->WaitForClose(Side, Timeout));
      }
      if (Command == "arrived") return Field(std::to_string(Line_->Arrived(SideOf(Arg()))));
      if (Command == "waitarrivals") {
        const TLineSide Side = SideOf(Arg());
        const auto Count = Number();
        return Flag(Line_->WaitForArrivals(Side, Count, Ms()));
      }
    }
    throw std::runtime_error("unknown request: " + Request);
  }

  void EndLine() {
    if (!Line_) return;
    std::error_code Ignored;
    fs::remove(DosDevices / ("com" + std::to_string(PortNumber_)), Ignored);
    Line_.reset();
    GivePortNumber(PortNumber_);
  }

  bool ReadLine(std::string& Line) {
    for (;;) {
      if (const auto End = Buffer_.find('\n'); End != std::string::npos) {
        Line = Buffer_.substr(0, End);
        Buffer_.erase(0, End + 1);
        return true;
      }
      char Chunk[4096];
      const ssize_t Got = ::recv(Socket_, Chunk, sizeof Chunk, 0);
      if (Got > 0) {
        Buffer_.append(Chunk, static_cast<std::size_t>(Got));
      } else if (Got < 0 && errno == EINTR) {
        continue;
      } else {
        return false;
      }
    }
  }

  bool WriteAll(const std::string& Text) {
    std::size_t Done = 0;
    while (Done < Text.size()) {
      const ssize_t Put = ::send(Socket_, Text.data() + Done, Text.size() - Done, MSG_NOSIGNAL);
      if (Put > 0) {
        Done += static_cast<std::size_t>(Put);
      } else if (!(Put < 0 && errno == EINTR)) {
        return false;
      }
    }
    return true;
  }

  int Socket_;
  std::string Buffer_;
  std::unique_ptr<TVirtualSerialLine> Line_;
  int PortNumber_ = 0;
  std::unique_ptr<TLinePeer> Peer_;
};

}  // namespace

int main(int argc, char** argv) {
  int Port = 0;
  const char* Prefix = std::getenv("WINEPREFIX");
  for (int I = 1; I + 1 < argc; I += 2) {
    if (std::strcmp(argv[I], "--port") == 0) Port = std::atoi(argv[I + 1]);
    else if (std::strcmp(argv[I], "--dosdevices") == 0) DosDevices = argv[I + 1];
  }
  if (DosDevices.empty() && Prefix != nullptr) DosDevices = fs::path(Prefix) / "dosdevices";
  if (DosDevices.empty() || !fs::is_directory(DosDevices)) {
    std::cerr << "usage: quorvel-line-helper [--port N] [--dosdevices DIR] (default: $WINEPREFIX/dosdevices)\n";
    return 2;
  }
  std::signal(SIGPIPE, SIG_IGN);
  const int Listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int Yes = 1;
  ::setsockopt(Listener, SOL_SOCKET, SO_REUSEADDR, &Yes, sizeof Yes);
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // localhost only
  Address.sin_port = htons(static_cast<std::uint16_t>(Port));
  if (Listener < 0 || ::bind(Listener, reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0 ||
      ::listen(Listener, 16) != 0) {
    std::perror("quorvel-line-helper: listen");
    return 1;
  }
  socklen_t Length = sizeof Address;
  ::getsockname(Listener, reinterpret_cast<sockaddr*>(&Address), &Length);
  std::cout << "Listening: 127.0.0.1:" << ntohs(Address.sin_port) << std::endl;
  // Runs until it is killed: the script that started it stops it when the tests are done.
  for (;;) {
    const int Socket = ::accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (Socket < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      std::perror("quorvel-line-helper: accept");
      return 1;
    }
    std::thread([Socket] {
      try {
        TSession(Socket).Run();
      } catch (const std::exception& Error) {
        std::cerr << "quorvel-line-helper: " << Error.what() << '\n';
      }
    }).detach();
  }
}
