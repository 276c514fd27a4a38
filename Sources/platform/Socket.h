#pragma once
// TCP sockets as the operating system offers them: a connected stream that the engine's TCP line
// reads and writes, and a listening socket that hands out one. Every socket call of the library
// lives behind these classes; each operating system has its own implementation (platform/posix/,
// platform/win32/). Nothing here throws: a failure is a result.

#include <cstddef>
#include <memory>
#include <string>

#include <Quorvel/Types.h>
#include "platform/Event.h"
#include "platform/SerialPort.h"

namespace Quorvel::Platform {

class TListeningSocket;
class TSocket;
// Declared with its description below.
TWaitResult WaitForSockets(TSocket* const* Sockets, const bool* Watch, bool* Ready, std::size_t Count,
                           TListeningSocket* Listener, bool& ListenerReady, TEventObject* Stop,
                           Cardinal TimeoutMs) noexcept;

// A connected TCP stream. Its waits block on the system with the stop or wake event beside the
// socket, never in a loop of their own.
class TSocket {
 public:
  TSocket();
  ~TSocket();  // closes
  TSocket(const TSocket&) = delete;
  TSocket& operator=(const TSocket&) = delete;

  // Connects to Host (a name or a numeric address) at Port within TimeoutMs; false, with nothing
  // left open, when no address of Host accepts. A connected socket is closed first. Small frames
  // leave at once (no Nagle delay).
  bool Connect(const std::string& Host, Word Port, Cardinal TimeoutMs) noexcept;
  void Close() noexcept;
  bool IsOpen() const noexcept;

  // As the serial port's waits (SerialPort.h): Input, Stopped (an auto-reset Stop is consumed),
  // Timeout, or Failed when the peer has closed or the connection broke. Once failed, later waits
  // sit out their time-out (or until Stop) before they report Failed again, so that a caller that
  // keeps waiting on a lost connection does not spin.
  TWaitResult WaitForInput(Cardinal TimeoutMs, TEventObject* Stop) noexcept;
  // Until Wake (Stopped), the connection's loss (Failed) or TimeoutMs (Timeout); received bytes do
  // not end it.
  TWaitResult WaitForSignal(TEventObject& Wake, Cardinal TimeoutMs) noexcept;
  // The number of received bytes waiting.
  bool InputCount(Cardinal& Count) noexcept;
  // Reads exactly Count waiting bytes; false if fewer came, the peer closed or the socket broke.
  bool Read(Byte* Dest, Cardinal Count) noexcept;
  // Reads what has arrived, up to Size bytes, without waiting; Got is 0 when nothing has. False
  // when the peer has closed or the socket broke.
  bool ReadSome(Byte* Dest, Cardinal Size, Cardinal& Got) noexcept;
  // Sends all Length bytes within TimeoutMs (Infinite: no limit); false on a time-out or a broken
  // connection. Never raises SIGPIPE.
  bool Write(const Byte* Data, Cardinal Length, Cardinal TimeoutMs) noexcept;
  // Throws away what has arrived and not been read.
  void DiscardInput() noexcept;
  // True once a wait, a read or a write found the connection lost.
  bool Failed() const noexcept { return Failed_; }

  // The system's own state of the socket (its descriptor or SOCKET, and on Windows the event its
  // network events signal).
  struct TState;

 private:
  friend class TListeningSocket;
  friend TWaitResult WaitForSockets(TSocket* const*, const bool*, bool*, std::size_t, TListeningSocket*, bool&,
                                    TEventObject*, Cardinal) noexcept;
  std::unique_ptr<TState> State_;
  bool Failed_ = false;
};

// A socket that listens for TCP connections.
class TListeningSocket {
 public:
  TListeningSocket();
  ~TListeningSocket();  // closes
  TListeningSocket(const TListeningSocket&) = delete;
  TListeningSocket& operator=(const TListeningSocket&) = delete;

  // Listens on Host (a numeric address or a name of this machine) at Port; Port 0 takes any free
  // one (LocalPort tells which). False, with nothing left open, when the address cannot be had.
  bool Listen(const std::string& Host, Word Port, int Backlog) noexcept;
  void Close() noexcept;
  bool IsOpen() const noexcept;
  // The port listened on, or 0 when closed.
  Word LocalPort() const noexcept;

  // Blocks until a peer is waiting to be accepted (Input), Stop is signalled (Stopped), or
  // TimeoutMs passes (Timeout); Failed when the socket is not listening.
  TWaitResult WaitForPeer(Cardinal TimeoutMs, TEventObject* Stop) noexcept;
  // As WaitForPeer, with Wake as the event and Wake winning over a waiting peer.
  TWaitResult WaitForPeerOrSignal(TEventObject& Wake, Cardinal TimeoutMs) noexcept;
  // Takes a waiting peer into Peer (closed first) without blocking; false when none is waiting.
  bool Accept(TSocket& Peer) noexcept;

 private:
  friend TWaitResult WaitForSockets(TSocket* const*, const bool*, bool*, std::size_t, TListeningSocket*, bool&,
                                    TEventObject*, Cardinal) noexcept;
  std::unique_ptr<TSocket::TState> State_;
};

// Splits "HOST:PORT" (a bracketed IPv6 address as HOST: "[::1]:502"). An absent ":PORT" takes
// DefaultPort when it is not 0. False for an empty host, a port outside 1..65535 (0 is allowed
// when AllowAnyPort, for a listener), or anything after the number.
bool SplitHostPort(const std::string& Text, Word DefaultPort, bool AllowAnyPort, std::string& Host, Word& Port);

// The port names that lead to a TCP line.
struct TTcpPortName {
  enum TKind : Byte { None, Connect, Listen };
  TKind Kind = None;
  std::string Host;
  Word Port = 0;
};

// What PortName asks for: "tcp://HOST:PORT" connects, "tcp-listen://HOST:PORT" listens (PORT 0:
// any free port); any other name is None. ":PORT" may be left out where DefaultPort is not 0. A
// name with either prefix but no valid HOST:PORT after it is None too, and opening it then fails
// as a missing port does.
TTcpPortName ParseTcpPortName(const std::string& PortName, Word DefaultPort = 0);

// Blocks until one of the Count sockets has input or has lost its connection (its Ready entry is
// set), Listener (when not null) has a peer waiting (ListenerReady), Stop is signalled (Stopped)
// or TimeoutMs passes (Timeout); Input when anything is ready. Sockets that are null, closed or
// not to be watched (Watch false: their input is not wanted yet) are left out. At most
// MaxWaitedSockets sockets.
inline constexpr std::size_t MaxWaitedSockets = 60;
TWaitResult WaitForSockets(TSocket* const* Sockets, const bool* Watch, bool* Ready, std::size_t Count,
                           TListeningSocket* Listener, bool& ListenerReady, TEventObject* Stop,
                           Cardinal TimeoutMs) noexcept;

}  // namespace Quorvel::Platform
