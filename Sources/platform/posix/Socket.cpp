#include "platform/Socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/Clock.h"
#include "platform/posix/PollWait.h"

namespace Quorvel::Platform {

struct TSocket::TState {
  int Fd = -1;
};

namespace {

constexpr short FailureEvents = POLLHUP | POLLERR | POLLNVAL;
// What a wait that must not end on input still hears: the peer's end of sending as well as a
// broken connection. Without POLLRDHUP a peer's close is seen at the next read instead.
#ifdef POLLRDHUP
constexpr short ClosedEvents = POLLRDHUP;
#else
constexpr short ClosedEvents = 0;
#endif

void CloseFd(int& Fd) noexcept {
  if (Fd >= 0) ::close(Fd);
  Fd = -1;
}

void NoDelay(int Fd) noexcept {
  const int On = 1;
  // Best effort: a frame held back for the next one would only come late.
  ::setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &On, sizeof On);
}

struct TAddresses {
  addrinfo* List = nullptr;
  ~TAddresses() {
    if (List != nullptr) ::freeaddrinfo(List);
  }
};

bool Resolve(const std::string& Host, Word Port, bool Passive, TAddresses& Out) noexcept {
  addrinfo Hints{};
  Hints.ai_family = AF_UNSPEC;
  Hints.ai_socktype = SOCK_STREAM;
  Hints.ai_flags = AI_NUMERICSERV | (Passive ? AI_PASSIVE : 0);
  return ::getaddrinfo(Host.c_str(), std::to_string(Port).c_str(), &Hints, &Out.List) == 0;
}

// One address within the time left: a non-blocking connect, finished by poll.
int ConnectTo(const addrinfo& Address, const Posix::TDeadline& Deadline) noexcept {
  int Fd = ::socket(Address.ai_family, Address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, Address.ai_protocol);
  if (Fd < 0) return -1;
  if (::connect(Fd, Address.ai_addr, Address.ai_addrlen) != 0) {
    if (errno != EINPROGRESS) {
      CloseFd(Fd);
      return -1;
    }
    pollfd Wait{Fd, POLLOUT, 0};
    int Error = 0;
    socklen_t Size = sizeof Error;
    if (Posix::PollUntil(&Wait, 1, Deadline) != 1 || ::getsockopt(Fd, SOL_SOCKET, SO_ERROR, &Error, &Size) != 0 ||
        Error != 0) {
      CloseFd(Fd);
      return -1;
    }
  }
  NoDelay(Fd);
  return Fd;
}

// A lost connection keeps reporting itself at once (poll is level-triggered): its waits sit out
// their time-out on the stop event alone.
TWaitResult SitOut(Cardinal TimeoutMs, TEventObject* Stop) noexcept {
  if (Stop == nullptr) {
    SleepMs(TimeoutMs);
    return TWaitResult::Failed;
  }
  return Stop->Wait(TimeoutMs) ? TWaitResult::Stopped : TWaitResult::Failed;
}

}  // namespace

TSocket::TSocket() : State_(std::make_unique<TState>()) {}

TSocket::~TSocket() { Close(); }

bool TSocket::Connect(const std::string& Host, Word Port, Cardinal TimeoutMs) noexcept {
  Close();
  TAddresses Addresses;
  if (!Resolve(Host, Port, false, Addresses)) return false;
  const Posix::TDeadline Deadline(TimeoutMs);
  for (const addrinfo* Address = Addresses.List; Address != nullptr; Address = Address->ai_next) {
    State_->Fd = ConnectTo(*Address, Deadline);
    if (State_->Fd >= 0) return true;
  }
  return false;
}

void TSocket::Close() noexcept {
  CloseFd(State_->Fd);
  Failed_ = false;
}

bool TSocket::IsOpen() const noexcept { return State_->Fd >= 0; }

TWaitResult TSocket::WaitForInput(Cardinal TimeoutMs, TEventObject* Stop) noexcept {
  if (!IsOpen() || Failed_) return SitOut(TimeoutMs, Stop);
  const Posix::TDeadline Deadline(TimeoutMs);
  pollfd Fds[2] = {{State_->Fd, POLLIN, 0}, {Stop != nullptr ? Stop->Handle() : -1, POLLIN, 0}};
  for (;;) {
    const int Ready = Posix::PollUntil(Fds, Stop != nullptr ? 2 : 1, Deadline);
    if (Ready < 0) return TWaitResult::Failed;
    if (Ready == 0) return TWaitResult::Timeout;
    if ((Fds[1].revents & POLLIN) != 0 && Stop->ConsumeIfSignalled()) return TWaitResult::Stopped;
    if ((Fds[0].revents & (POLLIN | FailureEvents)) != 0) {
      // A peer that sent its last frame and closed: the frame is input first, the close comes
      // with the next wait. Readable with nothing to read is the close itself.
      Cardinal Waiting = 0;
      if (InputCount(Waiting) && Waiting > 0) return TWaitResult::Input;
      Failed_ = true;
      return TWaitResult::Failed;
    }
  }
}

TWaitResult TSocket::WaitForSignal(TEventObject& Wake, Cardinal TimeoutMs) noexcept {
  if (!IsOpen() || Failed_) return Wake.Wait(TimeoutMs) ? TWaitResult::Stopped : TWaitResult::Timeout;
  const Posix::TDeadline Deadline(TimeoutMs);
  pollfd Fds[2] = {{State_->Fd, ClosedEvents, 0}, {Wake.Handle(), POLLIN, 0}};
  for (;;) {
    const int Ready = Posix::PollUntil(Fds, 2, Deadline);
    if (Ready < 0) return TWaitResult::Failed;
    if (Ready == 0) return TWaitResult::Timeout;
    if ((Fds[1].revents & POLLIN) != 0 && Wake.ConsumeIfSignalled()) return TWaitResult::Stopped;
    if ((Fds[0].revents & (ClosedEvents | FailureEvents)) != 0) {
      Failed_ = true;
      return TWaitResult::Failed;
    }
  }
}

bool TSocket::InputCount(Cardinal& Count) noexcept {
  int Waiting = 0;
  if (!IsOpen() || ::ioctl(State_->Fd, FIONREAD, &Waiting) != 0 || Waiting < 0) return false;
  Count = static_cast<Cardinal>(Waiting);
  return true;
}

bool TSocket::ReadSome(Byte* Dest, Cardinal Size, Cardinal& Got) noexcept {
  Got = 0;
  if (!IsOpen() || Failed_) return false;
  for (;;) {
    const ssize_t Result = ::recv(State_->Fd, Dest, Size, 0);
    if (Result > 0) {
      Got = static_cast<Cardinal>(Result);
      return true;
    }
    if (Result < 0 && errno == EINTR) continue;
    if (Result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    // 0: the peer has closed (Size is never 0 here); anything else: the connection broke.
    Failed_ = true;
    return false;
  }
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
  const Posix::TDeadline Deadline(TimeoutMs);
  Cardinal Done = 0;
  while (Done < Length) {
    // MSG_NOSIGNAL: a peer gone is a failed write, not a SIGPIPE that ends the process.
    const ssize_t Sent = ::send(State_->Fd, Data + Done, Length - Done, MSG_NOSIGNAL);
    if (Sent > 0) {
      Done += static_cast<Cardinal>(Sent);
      continue;
    }
    if (Sent < 0 && errno == EINTR) continue;
    if (Sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd Wait{State_->Fd, POLLOUT, 0};
      if (Posix::PollUntil(&Wait, 1, Deadline) <= 0) return false;
      if ((Wait.revents & FailureEvents) != 0) break;
      continue;
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
  if (!Resolve(Host, Port, true, Addresses)) return false;
  for (const addrinfo* Address = Addresses.List; Address != nullptr; Address = Address->ai_next) {
    int Fd = ::socket(Address->ai_family, Address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, Address->ai_protocol);
    if (Fd < 0) continue;
    // A server restarted at once must get its port back while the last run's connections linger.
    const int On = 1;
    ::setsockopt(Fd, SOL_SOCKET, SO_REUSEADDR, &On, sizeof On);
    if (::bind(Fd, Address->ai_addr, Address->ai_addrlen) == 0 && ::listen(Fd, Backlog) == 0) {
      State_->Fd = Fd;
      return true;
    }
    CloseFd(Fd);
  }
  return false;
}

void TListeningSocket::Close() noexcept { CloseFd(State_->Fd); }

bool TListeningSocket::IsOpen() const noexcept { return State_->Fd >= 0; }

Word TListeningSocket::LocalPort() const noexcept {
  sockaddr_storage Address{};
  socklen_t Size = sizeof Address;
  if (!IsOpen() || ::getsockname(State_->Fd, reinterpret_cast<sockaddr*>(&Address), &Size) != 0) return 0;
  if (Address.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(Address).sin_port);
  if (Address.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(Address).sin6_port);
  return 0;
}

TWaitResult TListeningSocket::WaitForPeer(Cardinal TimeoutMs, TEventObject* Stop) noexcept {
  if (!IsOpen()) return SitOut(TimeoutMs, Stop);
  const Posix::TDeadline Deadline(TimeoutMs);
  pollfd Fds[2] = {{State_->Fd, POLLIN, 0}, {Stop != nullptr ? Stop->Handle() : -1, POLLIN, 0}};
  for (;;) {
    const int Ready = Posix::PollUntil(Fds, Stop != nullptr ? 2 : 1, Deadline);
    if (Ready < 0) return TWaitResult::Failed;
    if (Ready == 0) return TWaitResult::Timeout;
    if ((Fds[1].revents & POLLIN) != 0 && Stop->ConsumeIfSignalled()) return TWaitResult::Stopped;
    if ((Fds[0].revents & FailureEvents) != 0) return TWaitResult::Failed;
    if ((Fds[0].revents & POLLIN) != 0) return TWaitResult::Input;
  }
}

TWaitResult TListeningSocket::WaitForPeerOrSignal(TEventObject& Wake, Cardinal TimeoutMs) noexcept {
  return WaitForPeer(TimeoutMs, &Wake);
}

bool TListeningSocket::Accept(TSocket& Peer) noexcept {
  Peer.Close();
  if (!IsOpen()) return false;
  for (;;) {
    const int Fd = ::accept4(State_->Fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (Fd >= 0) {
      NoDelay(Fd);
      Peer.State_->Fd = Fd;
      return true;
    }
    // A peer that gave up between the wait and the accept is simply not there.
    if (errno != EINTR && errno != ECONNABORTED) return false;
  }
}

TWaitResult WaitForSockets(TSocket* const* Sockets, const bool* Watch, bool* Ready, std::size_t Count,
                           TListeningSocket* Listener, bool& ListenerReady, TEventObject* Stop,
                           Cardinal TimeoutMs) noexcept {
  ListenerReady = false;
  if (Count > MaxWaitedSockets) return TWaitResult::Failed;
  // On the stack: a wait per frame allocates nothing.
  pollfd Fds[MaxWaitedSockets + 2];
  std::size_t Index[MaxWaitedSockets];
  nfds_t Used = 0;
  const bool Stoppable = Stop != nullptr;
  Fds[Used++] = {Stoppable ? Stop->Handle() : -1, POLLIN, 0};
  const bool Listening = Listener != nullptr && Listener->IsOpen();
  Fds[Used++] = {Listening ? Listener->State_->Fd : -1, POLLIN, 0};
  std::size_t Watched = 0;
  for (std::size_t I = 0; I < Count; ++I) {
    Ready[I] = false;
    if (Sockets[I] == nullptr || !Sockets[I]->IsOpen() || !Watch[I]) continue;
    Index[Watched++] = I;
    Fds[Used++] = {Sockets[I]->State_->Fd, POLLIN, 0};
  }
  const Posix::TDeadline Deadline(TimeoutMs);
  for (;;) {
    const int Result = Posix::PollUntil(Fds, Used, Deadline);
    if (Result < 0) return TWaitResult::Failed;
    if (Result == 0) return TWaitResult::Timeout;
    if ((Fds[0].revents & POLLIN) != 0 && Stop->ConsumeIfSignalled()) return TWaitResult::Stopped;
    ListenerReady = (Fds[1].revents & POLLIN) != 0;
    bool Any = ListenerReady;
    for (std::size_t W = 0; W < Watched; ++W) {
      if ((Fds[W + 2].revents & (POLLIN | FailureEvents)) == 0) continue;
      Ready[Index[W]] = true;
      Any = true;
    }
    if (Any) return TWaitResult::Input;
  }
}

}  // namespace Quorvel::Platform
