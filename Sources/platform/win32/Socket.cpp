#include "platform/Socket.h"

// winsock2.h before windows.h: the latter would bring the old winsock.h.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#include <string>

#include "platform/Clock.h"

namespace Quorvel::Platform {

// Each socket has an event of its own that WinSock signals for the network events asked of it
// (WSAEventSelect), so that a wait is one WaitForMultipleObjects on it and the stop event. The
// event says only that something happened: the state itself (bytes waiting, a close) is asked
// before every wait, so that an event taken by one wait is never lost to the next.
struct TSocket::TState {
  SOCKET Socket = INVALID_SOCKET;
  WSAEVENT Event = WSA_INVALID_EVENT;
  // The peer's close was reported (FD_CLOSE comes once).
  bool PeerClosed = false;
};

namespace {

// WinSock is started once for the process and left running: a library cannot know when the
// application's last socket is gone.
bool StartWinSock() noexcept {
  static const bool Started = [] {
    WSADATA Data;
    return ::WSAStartup(MAKEWORD(2, 2), &Data) == 0;
  }();
  return Started;
}

void CloseState(TSocket::TState& State) noexcept {
  if (State.Socket != INVALID_SOCKET) ::closesocket(State.Socket);
  if (State.Event != WSA_INVALID_EVENT) ::WSACloseEvent(State.Event);
  State = TSocket::TState{};
}

bool Watch(TSocket::TState& State, long Events) noexcept {
  if (State.Event == WSA_INVALID_EVENT) State.Event = ::WSACreateEvent();
  return State.Event != WSA_INVALID_EVENT && ::WSAEventSelect(State.Socket, State.Event, Events) == 0;
}

void NoDelay(SOCKET Socket) noexcept {
  const BOOL On = TRUE;
  ::setsockopt(Socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&On), sizeof On);
}

struct TAddresses {
  ADDRINFOA* List = nullptr;
  ~TAddresses() {
    if (List != nullptr) ::freeaddrinfo(List);
  }
};

bool Resolve(const std::string& Host, Word Port, bool Passive, TAddresses& Out) noexcept {
  ADDRINFOA Hints{};
  Hints.ai_family = AF_UNSPEC;
  Hints.ai_socktype = SOCK_STREAM;
  Hints.ai_protocol = IPPROTO_TCP;
  Hints.ai_flags = AI_NUMERICSERV | (Passive ? AI_PASSIVE : 0);
  return ::getaddrinfo(Host.c_str(), std::to_string(Port).c_str(), &Hints, &Out.List) == 0;
}

class TDeadline {
 public:
  explicit TDeadline(Cardinal TimeoutMs) : Timeout_(TimeoutMs), Start_(TickCount()) {}
  DWORD Left() const {
    if (Timeout_ == Infinite) return INFINITE;
    const Cardinal Spent = TickCount() - Start_;
    return Spent >= Timeout_ ? 0 : Timeout_ - Spent;
  }

 private:
  Cardinal Timeout_;
  Cardinal Start_;
};

// 2 for Second (checked first), 1 for the socket's event, 0 at the time-out.
int WaitFor(WSAEVENT Event, TEventObject* Second, DWORD TimeoutMs) noexcept {
  if (Second == nullptr) return ::WaitForSingleObject(Event, TimeoutMs) == WAIT_OBJECT_0 ? 1 : 0;
  const HANDLE Handles[2] = {Second->Handle(), Event};
  const DWORD Result = ::WaitForMultipleObjects(2, Handles, FALSE, TimeoutMs);
  if (Result == WAIT_OBJECT_0) return 2;
  if (Result == WAIT_OBJECT_0 + 1) return 1;
  return 0;
}

// Takes the network events recorded since the last look; a close is remembered.
long TakeEvents(TSocket::TState& State) noexcept {
  WSANETWORKEVENTS Events{};
  if (::WSAEnumNetworkEvents(State.Socket, State.Event, &Events) != 0) return FD_CLOSE;
  if ((Events.lNetworkEvents & FD_CLOSE) != 0) State.PeerClosed = true;
  return Events.lNetworkEvents;
}

TWaitResult SitOut(Cardinal TimeoutMs, TEventObject* Stop) noexcept {
  if (Stop == nullptr) {
    SleepMs(TimeoutMs);
    return TWaitResult::Failed;
  }
  return Stop->Wait(TimeoutMs) ? TWaitResult::Stopped : TWaitResult::Failed;
}

constexpr long StreamEvents = FD_READ | FD_WRITE | FD_CLOSE;

bool PeerWaiting(SOCKET Socket) noexcept {
  fd_set Readable;
  FD_ZERO(&Readable);
  FD_SET(Socket, &Readable);
  timeval Now{0, 0};
  return ::select(0, &Readable, nullptr, nullptr, &Now) == 1;
}

}  // namespace

TSocket::TSocket() : State_(std::make_unique<TState>()) {}

TSocket::~TSocket() { Close(); }

bool TSocket::Connect(const std::string& Host, Word Port, Cardinal TimeoutMs) noexcept {
  Close();
  TAddresses Addresses;
  if (!StartWinSock() || !Resolve(Host, Port, false, Addresses)) return false;
  const TDeadline Deadline(TimeoutMs);
  for (const ADDRINFOA* Address = Addresses.List; Address != nullptr; Address = Address->ai_next) {
    State_->Socket = ::socket(Address->ai_family, Address->ai_socktype, Address->ai_protocol);
    if (State_->Socket == INVALID_SOCKET) continue;
    // Event selection makes the socket non-blocking: the connect below finishes in the wait.
    if (Watch(*State_, StreamEvents | FD_CONNECT)) {
      const int Result = ::connect(State_->Socket, Address->ai_addr, static_cast<int>(Address->ai_addrlen));
      bool Connected = Result == 0;
      if (!Connected && ::WSAGetLastError() == WSAEWOULDBLOCK) {
        while (!Connected && WaitFor(State_->Event, nullptr, Deadline.Left()) == 1) {
          WSANETWORKEVENTS Events{};
          if (::WSAEnumNetworkEvents(State_->Socket, State_->Event, &Events) != 0) break;
          if ((Events.lNetworkEvents & FD_CONNECT) == 0) continue;
          if (Events.iErrorCode[FD_CONNECT_BIT] != 0) break;
          Connected = true;
        }
      }
      if (Connected && Watch(*State_, StreamEvents)) {
        NoDelay(State_->Socket);
        return true;
      }
    }
    CloseState(*State_);
  }
  return false;
}

void TSocket::Close() noexcept {
  CloseState(*State_);
  Failed_ = false;
}

bool TSocket::IsOpen() const noexcept { return State_->Socket != INVALID_SOCKET; }

TWaitResult TSocket::WaitForInput(Cardinal TimeoutMs, TEventObject* Stop) noexcept {
  if (!IsOpen() || Failed_) return SitOut(TimeoutMs, Stop);
  const TDeadline Deadline(TimeoutMs);
  for (;;) {
    if (Stop != nullptr && Stop->ConsumeIfSignalled()) return TWaitResult::Stopped;
    Cardinal Waiting = 0;
    if (!InputCount(Waiting)) {
      Failed_ = true;
      return TWaitResult::Failed;
    }
    // A peer that sent its last frame and closed: the frame is input first.
    if (Waiting > 0) return TWaitResult::Input;
    if (State_->PeerClosed) {
      Failed_ = true;
      return TWaitResult::Failed;
    }
    const int Signalled = WaitFor(State_->Event, Stop, Deadline.Left());
    if (Signalled == 2) return TWaitResult::Stopped;
    if (Signalled == 0) return TWaitResult::Timeout;
    TakeEvents(*State_);
  }
}

TWaitResult TSocket::WaitForSignal(TEventObject& Wake, Cardinal TimeoutMs) noexcept {
  if (!IsOpen() || Failed_) return Wake.Wait(TimeoutMs) ? TWaitResult::Stopped : TWaitResult::Timeout;
  const TDeadline Deadline(TimeoutMs);
  for (;;) {
    if (State_->PeerClosed) {
      Failed_ = true;
      return TWaitResult::Failed;
    }
    // FD_READ is recorded once until the next recv, so input taken here cannot wake this wait again.
    const int Signalled = WaitFor(State_->Event, &Wake, Deadline.Left());
    if (Signalled == 2) return TWaitResult::Stopped;
    if (Signalled == 0) return TWaitResult::Timeout;
    TakeEvents(*State_);
  }
}

bool TSocket::InputCount(Cardinal& Count) noexcept {
  u_long Waiting = 0;
  if (!IsOpen() || ::ioctlsocket(State_->Socket, FIONREAD, &Waiting) != 0) return false;
  Count = static_cast<Cardinal>(Waiting);
  return true;
}

bool TSocket::ReadSome(Byte* Dest, Cardinal Size, Cardinal& Got) noexcept {
  Got = 0;
  if (!IsOpen() || Failed_) return false;
  const int Result = ::recv(State_->Socket, reinterpret_cast<char*>(Dest), static_cast<int>(Size), 0);
  if (Result > 0) {
    Got = static_cast<Cardinal>(Result);
    return true;
  }
  if (Result < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK) return true;
  Failed_ = true;
  return false;
}

bool TSocket::Read(Byte* Dest, Cardinal Count) noexcept {
  Cardinal Done = 0;
  while (Done < Count) {
    Cardinal Got = 0;
    if (!ReadSome(Dest + Done, Count - Done, Got) || Got == 0) return false;
    Done += Got;
  }
  return true;
}

bool TSocket::Write(const Byte* Data, Cardinal Length, Cardinal TimeoutMs) noexcept {
  if (Length == 0) return true;
  if (!IsOpen() || Failed_) return false;
  const TDeadline Deadline(TimeoutMs);
  Cardinal Done = 0;
  while (Done < Length) {
    const int Sent = ::send(State_->Socket, reinterpret_cast<const char*>(Data + Done), static_cast<int>(Length - Done), 0);
    if (Sent > 0) {
      Done += static_cast<Cardinal>(Sent);
      continue;
    }
    if (Sent < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK) {
      // FD_WRITE is recorded when the socket can take more after a send that would have blocked.
      if (WaitFor(State_->Event, nullptr, Deadline.Left()) == 0) return false;
      TakeEvents(*State_);
      if (!State_->PeerClosed) continue;
    }
    break;
  }
  if (Done == Length) return true;
  Failed_ = true;
  return false;
}

void TSocket::DiscardInput() noexcept {
  Byte Scrap[512];
  Cardinal Got = 0;
  while (ReadSome(Scrap, sizeof Scrap, Got) && Got > 0) {
  }
}

// ---- Listening ----

TListeningSocket::TListeningSocket() : State_(std::make_unique<TSocket::TState>()) {}

TListeningSocket::~TListeningSocket() { Close(); }

bool TListeningSocket::Listen(const std::string& Host, Word Port, int Backlog) noexcept {
  Close();
  TAddresses Addresses;
  if (!StartWinSock() || !Resolve(Host, Port, true, Addresses)) return false;
  for (const ADDRINFOA* Address = Addresses.List; Address != nullptr; Address = Address->ai_next) {
    State_->Socket = ::socket(Address->ai_family, Address->ai_socktype, Address->ai_protocol);
    if (State_->Socket == INVALID_SOCKET) continue;
    // Windows' SO_REUSEADDR would let another program take the port from under us: exclusive use.
    const BOOL On = TRUE;
    ::setsockopt(State_->Socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&On), sizeof On);
    if (::bind(State_->Socket, Address->ai_addr, static_cast<int>(Address->ai_addrlen)) == 0 &&
        ::listen(State_->Socket, Backlog) == 0 && Watch(*State_, FD_ACCEPT))
      return true;
    CloseState(*State_);
  }
  return false;
}

void TListeningSocket::Close() noexcept { CloseState(*State_); }

bool TListeningSocket::IsOpen() const noexcept { return State_->Socket != INVALID_SOCKET; }

Word TListeningSocket::LocalPort() const noexcept {
  sockaddr_storage Address{};
  int Size = sizeof Address;
  if (!IsOpen() || ::getsockname(State_->Socket, reinterpret_cast<sockaddr*>(&Address), &Size) != 0) return 0;
  if (Address.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(Address).sin_port);
  if (Address.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(Address).sin6_port);
  return 0;
}


TWaitResult TListeningSocket::WaitForPeer(Cardinal TimeoutMs, TEventObject* Stop) noexcept {
  if (!IsOpen()) return SitOut(TimeoutMs, Stop);
  const TDeadline Deadline(TimeoutMs);
  for (;;) {
    if (Stop != nullptr && Stop->ConsumeIfSignalled()) return TWaitResult::Stopped;
    if (PeerWaiting(State_->Socket)) return TWaitResult::Input;
    const int Signalled = WaitFor(State_->Event, Stop, Deadline.Left());
    if (Signalled == 2) return TWaitResult::Stopped;
    if (Signalled == 0) return TWaitResult::Timeout;
    TakeEvents(*State_);
  }
}

TWaitResult TListeningSocket::WaitForPeerOrSignal(TEventObject& Wake, Cardinal TimeoutMs) noexcept {
  return WaitForPeer(TimeoutMs, &Wake);
}

bool TListeningSocket::Accept(TSocket& Peer) noexcept {
  Peer.Close();
  if (!IsOpen()) return false;
  const SOCKET Accepted = ::accept(State_->Socket, nullptr, nullptr);
  if (Accepted == INVALID_SOCKET) return false;
  Peer.State_->Socket = Accepted;
  // An accepted socket inherits the listener's event selection: it gets its own.
  if (!Watch(*Peer.State_, StreamEvents)) {
    CloseState(*Peer.State_);
    return false;
  }
  NoDelay(Accepted);
  return true;
}

// One WaitForMultipleObjects on the stop event, the listener's event and each socket's: the state
// is asked before the wait, so that input that came before it (an FD_READ taken earlier) is seen.
TWaitResult WaitForSockets(TSocket* const* Sockets, const bool* Watch, bool* Ready, std::size_t Count,
                           TListeningSocket* Listener, bool& ListenerReady, TEventObject* Stop,
                           Cardinal TimeoutMs) noexcept {
  ListenerReady = false;
  if (Count > MaxWaitedSockets) return TWaitResult::Failed;
  const TDeadline Deadline(TimeoutMs);
  const bool Listening = Listener != nullptr && Listener->IsOpen();
  for (;;) {
    if (Stop != nullptr && Stop->ConsumeIfSignalled()) return TWaitResult::Stopped;
    HANDLE Handles[MaxWaitedSockets + 2];
    DWORD Used = 0;
    if (Stop != nullptr) Handles[Used++] = Stop->Handle();
    bool Any = false;
    if (Listening) {
      Handles[Used++] = Listener->State_->Event;
      ListenerReady = PeerWaiting(Listener->State_->Socket);
      Any = ListenerReady;
    }
    for (std::size_t I = 0; I < Count; ++I) {
      Ready[I] = false;
      TSocket* const Socket = Sockets[I];
      if (Socket == nullptr || !Socket->IsOpen() || !Watch[I]) continue;
      Cardinal Waiting = 0;
      Ready[I] = !Socket->InputCount(Waiting) || Waiting > 0 || Socket->State_->PeerClosed;
      Any = Any || Ready[I];
      Handles[Used++] = Socket->State_->Event;
    }
    if (Any) return TWaitResult::Input;
    const DWORD Result = ::WaitForMultipleObjects(Used, Handles, FALSE, Deadline.Left());
    if (Result == WAIT_TIMEOUT) return TWaitResult::Timeout;
    if (Result == WAIT_FAILED) return TWaitResult::Failed;
    if (Stop != nullptr && Result == WAIT_OBJECT_0) {
      // The wait took an auto-reset signal itself.
      return TWaitResult::Stopped;
    }
    // Take the recorded events of all, so that a close is remembered and the events are reset.
    if (Listening) TakeEvents(*Listener->State_);
    for (std::size_t I = 0; I < Count; ++I)
      if (Sockets[I] != nullptr && Sockets[I]->IsOpen() && Watch[I]) TakeEvents(*Sockets[I]->State_);
  }
}

}  // namespace Quorvel::Platform
