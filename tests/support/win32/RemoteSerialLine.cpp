// The virtual serial line of the Windows build: a client of the Linux helper (support/helper/),
// which makes the line and plays the peer. Same interface, same behaviour as the POSIX line.

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>

#include "LineHelperWire.h"
#include "VirtualSerialLine.h"

namespace Quorvel::Testing {

namespace {

struct TWinsock {
  TWinsock() {
    WSADATA Data;
    if (::WSAStartup(MAKEWORD(2, 2), &Data) != 0) throw std::runtime_error("WSAStartup failed");
  }
};

template <typename T>
std::string ListOf(const std::vector<T>& Values) {
  if (Values.empty()) return "-";
  std::string Text;
  for (const auto& Value : Values) {
    if (!Text.empty()) Text += ',';
    if constexpr (std::is_same_v<T, std::chrono::milliseconds>)
      Text += std::to_string(Value.count());
    else
      Text += std::to_string(Value);
  }
  return Text;
}

const char* SideName(TLineSide Side) { return Side == TLineSide::A ? "A" : "B"; }

// One session with the helper: a request, then its answer, one at a time.
class THelperChannel {
 public:
  THelperChannel() {
    static TWinsock Winsock;
    const char* Address = std::getenv("QUORVEL_LINE_HELPER");
    if (Address == nullptr)
      throw std::runtime_error("QUORVEL_LINE_HELPER is not set: run the Windows line tests with scripts/wine-tests.sh");
    const std::string Text = Address;
    const auto Colon = Text.rfind(':');
    sockaddr_in Peer{};
    Peer.sin_family = AF_INET;
    Peer.sin_port = htons(static_cast<u_short>(std::stoi(Text.substr(Colon + 1))));
    Peer.sin_addr.s_addr = ::inet_addr(Text.substr(0, Colon).c_str());
    Socket_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (Socket_ == INVALID_SOCKET || ::connect(Socket_, reinterpret_cast<sockaddr*>(&Peer), sizeof Peer) != 0)
      throw std::runtime_error("cannot reach the line helper at " + Text);
    // Requests are small and each waits for its answer: no batching delay.
    const BOOL NoDelay = TRUE;
    ::setsockopt(Socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&NoDelay), sizeof NoDelay);
  }
  ~THelperChannel() { ::closesocket(Socket_); }
  THelperChannel(const THelperChannel&) = delete;
  THelperChannel& operator=(const THelperChannel&) = delete;

  // The answer after "ok" (with its leading blank removed); an "err" answer throws.
  std::string Call(const std::string& Request) {
    std::lock_guard Lock(Lock_);
    const std::string Line = Request + "\n";
    for (std::size_t Done = 0; Done < Line.size();) {
      const int Put = ::send(Socket_, Line.data() + Done, static_cast<int>(Line.size() - Done), 0);
      if (Put <= 0) throw std::runtime_error("line helper gone");
      Done += static_cast<std::size_t>(Put);
    }
    std::string::size_type End;
    while ((End = Buffer_.find('\n')) == std::string::npos) {
      char Chunk[4096];
      const int Got = ::recv(Socket_, Chunk, sizeof Chunk, 0);
      if (Got <= 0) throw std::runtime_error("line helper gone");
      Buffer_.append(Chunk, static_cast<std::size_t>(Got));
    }
    std::string Answer = Buffer_.substr(0, End);
    Buffer_.erase(0, End + 1);
    if (Answer.rfind("ok", 0) != 0) throw std::runtime_error("line helper: " + Answer + " (for: " + Request + ")");
    Answer.erase(0, 2);
    if (!Answer.empty() && Answer.front() == ' ') Answer.erase(0, 1);
    return Answer;
  }

  bool CallFlag(const std::string& Request) { return Call(Request) == "1"; }

 private:
  SOCKET Socket_ = INVALID_SOCKET;
  std::mutex Lock_;
  std::string Buffer_;
};

}  // namespace

class TLinePeer::TChannel : public THelperChannel {};

class TVirtualSerialLine::TRelay {
 public:
  TRelay(Cardinal BaudRate, Cardinal BitsPerCharacter) {
    std::istringstream Answer(Channel.Call("line " + std::to_string(BaudRate) + " " + std::to_string(BitsPerCharacter)));
    Answer >> PortA >> PortB;
  }
  ~TRelay() {
    try {
      Channel.Call("end");
    } catch (...) {
      // The helper is gone; so is the line.
    }
  }
  THelperChannel Channel;
  std::string PortA, PortB;
};

TVirtualSerialLine::TVirtualSerialLine(Cardinal BaudRate, Cardinal BitsPerCharacter)
    : Relay_(std::make_unique<TRelay>(BaudRate, BitsPerCharacter)) {}

TVirtualSerialLine::~TVirtualSerialLine() = default;

const std::string& TVirtualSerialLine::PortA() const { return Relay_->PortA; }
const std::string& TVirtualSerialLine::PortB() const { return Relay_->PortB; }
const std::string& TVirtualSerialLine::Port(TLineSide Side) const { return Side == TLineSide::A ? PortA() : PortB(); }

void TVirtualSerialLine::SetPacing(Cardinal BaudRate, Cardinal BitsPerCharacter) {
  Relay_->Channel.Call("pacing " + std::to_string(BaudRate) + " " + std::to_string(BitsPerCharacter));
}

void TVirtualSerialLine::SetEcho(TLineSide Side, bool On) {
  Relay_->Channel.Call(std::string("echo ") + SideName(Side) + (On ? " 1" : " 0"));
}

void TVirtualSerialLine::SplitNextFrame(TLineSide From, std::vector<std::size_t> BurstSizes, std::chrono::milliseconds Gap) {
  SplitNextFrame(From, std::move(BurstSizes), std::vector<std::chrono::milliseconds>{Gap});
}

void TVirtualSerialLine::SplitNextFrame(TLineSide From, std::vector<std::size_t> BurstSizes,
                                        std::vector<std::chrono::milliseconds> Gaps) {
  Relay_->Channel.Call(std::string("split ") + SideName(From) + " " + ListOf(BurstSizes) + " " + ListOf(Gaps));
}

void TVirtualSerialLine::CorruptNext(TLineSide To, std::size_t Offset, Byte Mask) {
  Relay_->Channel.Call(std::string("corrupt ") + SideName(To) + " " + std::to_string(Offset) + " " + std::to_string(Mask));
}

void TVirtualSerialLine::DropNext(TLineSide To, std::size_t Offset) {
  Relay_->Channel.Call(std::string("drop ") + SideName(To) + " " + std::to_string(Offset));
}

void TVirtualSerialLine::Inject(TLineSide To, const TFrameData& Bytes) {
  Relay_->Channel.Call(std::string("inject ") + SideName(To) + " " + ToHex(Bytes));
}

void TVirtualSerialLine::Unplug() { Relay_->Channel.Call("unplug"); }

bool TVirtualSerialLine::WaitForOpen(TLineSide Side, std::chrono::milliseconds Timeout) {
  return Relay_->Channel.CallFlag(std::string("waitopen ") + SideName(Side) + " " + std::to_string(Timeout.count()));
}

bool TVirtualSerialLine::WaitForClose(TLineSide Side, std::chrono::milliseconds Timeout) {
  return Relay_->Channel.CallFlag(std::string("waitclose ") + SideName(Side) + " " + std::to_string(Timeout.count()));
}

std::size_t TVirtualSerialLine::Arrived(TLineSide To) const {
  return static_cast<std::size_t>(std::stoull(Relay_->Channel.Call(std::string("arrived ") + SideName(To))));
}

bool TVirtualSerialLine::WaitForArrivals(TLineSide To, std::size_t Count, std::chrono::milliseconds Timeout) {
  return Relay_->Channel.CallFlag(std::string("waitarrivals ") + SideName(To) + " " + std::to_string(Count) + " " +
                                  std::to_string(Timeout.count()));
}

TLinePeer::TLinePeer(const std::string& Path) : Channel_(std::make_unique<TChannel>()) {
  Channel_->Call("peer " + Path);
}

TLinePeer::~TLinePeer() { Close(); }

void TLinePeer::Close() {
  if (!Channel_) return;
  try {
    Channel_->Call("close");
  } catch (...) {
    // The helper is gone; so is the peer.
  }
  Channel_.reset();
}

void TLinePeer::Discard() { Channel_->Call("discard"); }

bool TLinePeer::Write(const TFrameData& Bytes) { return Channel_->CallFlag("write " + ToHex(Bytes)); }

bool TLinePeer::WriteBursts(const TFrameData& Bytes, const std::vector<std::size_t>& Sizes, std::chrono::milliseconds Gap) {
  return Channel_->CallFlag("bursts " + ToHex(Bytes) + " " + ListOf(Sizes) + " " + std::to_string(Gap.count()));
}

TFrameData TLinePeer::ReadFrame(std::chrono::milliseconds Silence, std::chrono::milliseconds Timeout) {
  return FromHex(Channel_->Call("readframe " + std::to_string(Silence.count()) + " " + std::to_string(Timeout.count())));
}

TFrameData TLinePeer::ReadFor(std::chrono::milliseconds Duration) {
  return FromHex(Channel_->Call("readfor " + std::to_string(Duration.count())));
}

bool TLinePeer::WaitForHangUp(std::chrono::milliseconds Timeout) {
  return Channel_->CallFlag("hangup " + std::to_string(Timeout.count()));
}

}  // namespace Quorvel::Testing
