#include "engine/TcpLine.h"

#include <Quorvel/Errors.h>
#include "engine/Timing.h"
#include "platform/Clock.h"

namespace Quorvel {

namespace {

// Peers that connect while one is served wait in the system's queue, not refused: a device server
// that reconnects after a break is taken as soon as its old connection is seen gone.
constexpr int ListenBacklog = 4;

}  // namespace

std::unique_ptr<TTcpLine> TTcpLine::Open(const Platform::TTcpPortName& Name) {
  using Platform::TTcpPortName;
  auto Line = std::make_unique<TTcpLine>();
  bool Ok = false;
  if (Name.Kind == TTcpPortName::Connect) Ok = Line->FSocket.Connect(Name.Host, Name.Port, ConnectTimeoutMs);
  if (Name.Kind == TTcpPortName::Listen) Ok = Line->FListener.Listen(Name.Host, Name.Port, ListenBacklog);
  if (!Ok) RaiseError(Messages::OpenPort);
  return Line;
}

bool TTcpLine::ApplySettings(const Platform::TLineSettings&) noexcept { return true; }

// A listening line is its listener: a peer that leaves is no lost port, the next one that connects
// takes its place. A connecting line has only its one connection, whose loss is the port's.
bool TTcpLine::HavePeer() noexcept {
  if (FSocket.IsOpen() && !FSocket.Failed()) return true;
  if (!Listening()) return false;
  return FListener.Accept(FSocket);
}

TWaitResult TTcpLine::WaitForInput(Cardinal TimeoutMs, Platform::TEventObject* Stop) noexcept {
  if (!Listening()) return FSocket.WaitForInput(TimeoutMs, Stop);
  const std::uint64_t Start = Platform::MonotonicMicroseconds();
  for (;;) {
    if (HavePeer()) {
      const TWaitResult Result = FSocket.WaitForInput(TimeLeft(Start, TimeoutMs), Stop);
      if (Result != TWaitResult::Failed) return Result;
      FSocket.Close();
      continue;
    }
    const TWaitResult Peer = FListener.WaitForPeer(TimeLeft(Start, TimeoutMs), Stop);
    if (Peer != TWaitResult::Input) return Peer;
  }
}

TWaitResult TTcpLine::WaitForSignal(Platform::TEventObject& Wake, Cardinal TimeoutMs) noexcept {
  if (FAbandoned && !FAbandonTold) {
    FAbandonTold = true;
    return TWaitResult::Failed;
  }
  if (!Listening()) return FSocket.WaitForSignal(Wake, TimeoutMs);
  const std::uint64_t Start = Platform::MonotonicMicroseconds();
  for (;;) {
    if (HavePeer()) {
      const TWaitResult Result = FSocket.WaitForSignal(Wake, TimeLeft(Start, TimeoutMs));
      if (Result != TWaitResult::Failed) return Result;
      FSocket.Close();
      continue;
    }
    const TWaitResult Peer = FListener.WaitForPeerOrSignal(Wake, TimeLeft(Start, TimeoutMs));
    if (Peer != TWaitResult::Input) return Peer;
  }
}

bool TTcpLine::InputCount(Cardinal& Count) noexcept {
  if (Listening() && !FSocket.IsOpen()) {
    Count = 0;
    return true;
  }
  return FSocket.InputCount(Count);
}

bool TTcpLine::Read(Byte* Dest, Cardinal Count) noexcept { return FSocket.Read(Dest, Count); }

// A listening line with no peer yet waits for one within the send's own time: a request sent
// just before the device server connects is not lost.
bool TTcpLine::WriteFrame(const Byte* Data, Cardinal Length, Cardinal TimeoutMs) noexcept {
  if (Length == 0) return true;
  const std::uint64_t Start = Platform::MonotonicMicroseconds();
  while (Listening() && !HavePeer()) {
    if (FSocket.IsOpen()) FSocket.Close();
    if (FListener.WaitForPeer(TimeLeft(Start, TimeoutMs), nullptr) != TWaitResult::Input) return false;
  }
  return FSocket.Write(Data, Length, TimeLeft(Start, TimeoutMs));
}

void TTcpLine::Abandon() noexcept {
  FSocket.Close();
  FAbandoned = !Listening();
}

void TTcpLine::Purge(bool Input, bool) noexcept {
  if (Input && FSocket.IsOpen()) FSocket.DiscardInput();
}

}  // namespace Quorvel
