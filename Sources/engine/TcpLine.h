#pragma once
// The line over TCP: the RTU or ASCII frames of a serial line carried over a socket, to a serial
// device server (it connects) or from one that connects out (it listens and takes one peer at a
// time). The engine above reads and writes it as it does a serial port; the line settings a
// socket has not (rate, character format, modem lines) are kept and ignored.

#include <memory>
#include <string>

#include "engine/Line.h"
#include "platform/Socket.h"

namespace Quorvel {

class TTcpLine final : public TLine {
 public:
  // How long opening waits for a device server to accept.
  static constexpr Cardinal ConnectTimeoutMs = 3000;

  // Connects or listens as Name says. Raises EQuorvelError "Could not open serial port" when the
  // device server cannot be reached or the address cannot be listened on.
  static std::unique_ptr<TTcpLine> Open(const Platform::TTcpPortName& Name);

  // Listening: the port listened on (a test's port 0 made concrete); 0 when connecting.
  Word ListeningPort() const noexcept { return FListener.LocalPort(); }

  bool ApplySettings(const Platform::TLineSettings& Settings) noexcept override;
  TWaitResult WaitForInput(Cardinal TimeoutMs, Platform::TEventObject* Stop) noexcept override;
  TWaitResult WaitForSignal(Platform::TEventObject& Wake, Cardinal TimeoutMs) noexcept override;
  bool InputCount(Cardinal& Count) noexcept override;
  bool Read(Byte* Dest, Cardinal Count) noexcept override;
  bool TakeLineErrors() noexcept override { return false; }
  bool WriteFrame(const Byte* Data, Cardinal Length, Cardinal TimeoutMs) noexcept override;
  // Received bytes are thrown away; what the socket has taken to send cannot be called back.
  void Purge(bool Input, bool Output) noexcept override;
  // Listening: the peer is let go, and the next one taken. Connecting: the connection is closed,
  // which is the port lost.
  void Abandon() noexcept override;

 private:
  bool Listening() const noexcept { return FListener.IsOpen(); }
  // Listening: a peer is connected, after taking a waiting one if there was none, or the one
  // that left has been let go.
  bool HavePeer() noexcept;

  Platform::TSocket FSocket;
  Platform::TListeningSocket FListener;
  // Connecting: the connection was abandoned, and whether an idle wait has told so yet.
  bool FAbandoned = false;
  bool FAbandonTold = false;
};

}  // namespace Quorvel
