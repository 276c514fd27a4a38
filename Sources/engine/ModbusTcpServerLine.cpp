#include "engine/ModbusTcpServerLine.h"

#include <algorithm>
#include <cstring>

#include <Quorvel/Errors.h>
#include "engine/Timing.h"
#include "platform/Clock.h"

namespace Quorvel {

namespace {

constexpr int ListenBacklog = 16;

}  // namespace

std::unique_ptr<TModbusTcpServerLine> TModbusTcpServerLine::Open(const Platform::TTcpPortName& Name,
                                                                 Cardinal MaxClients, Cardinal IdleTimeoutMs) {
  auto Line = std::make_unique<TModbusTcpServerLine>(MaxClients, IdleTimeoutMs);
  if (Name.Kind != Platform::TTcpPortName::Listen || !Line->FListener.Listen(Name.Host, Name.Port, ListenBacklog))
    RaiseError(Messages::OpenPort);
  return Line;
}

TModbusTcpServerLine::TModbusTcpServerLine(Cardinal MaxClients, Cardinal IdleTimeoutMs)
    : FIdleTimeoutMs(IdleTimeoutMs) {
  const std::size_t Count = std::clamp<std::size_t>(MaxClients, 1, Platform::MaxWaitedSockets);
  for (std::size_t I = 0; I < Count; ++I) {
    FClients.push_back(std::make_unique<TClient>());
    FSockets.push_back(&FClients.back()->Socket);
  }
  FWatch = std::make_unique<bool[]>(Count);
  FReady = std::make_unique<bool[]>(Count);
}

Cardinal TModbusTcpServerLine::ClientCount() const noexcept {
  return static_cast<Cardinal>(std::count_if(FClients.begin(), FClients.end(),
                                             [](const auto& Client) { return Client->Socket.IsOpen(); }));
}

bool TModbusTcpServerLine::ApplySettings(const Platform::TLineSettings&) noexcept { return true; }

void TModbusTcpServerLine::CloseClient(TClient& Client) noexcept {
  Client.Socket.Close();
  Client.Filled = 0;
  Client.Ready = 0;
  if (FReading == &Client) FReading = nullptr;
  if (FReplyTo == &Client) FReplyTo = nullptr;
}

// The bound: a client beyond it is accepted only to be closed at once, so that it learns at once
// rather than waiting in the system's queue for a place that may never come.
void TModbusTcpServerLine::Accept() noexcept {
  for (auto& Client : FClients) {
    if (Client->Socket.IsOpen()) continue;
    if (FListener.Accept(Client->Socket)) Client->LastHeardUs = Platform::MonotonicMicroseconds();
    return;
  }
  Platform::TSocket Refused;
  FListener.Accept(Refused);
}

bool TModbusTcpServerLine::Frame(TClient& Client) noexcept {
  if (Client.Ready > 0 || Client.Filled == 0) return true;
  TMbapHeader Header;
  int Size = 0;
  switch (ScanMbapFrame({Client.Input.data(), static_cast<std::size_t>(Client.Filled)}, Header, Size)) {
    case TMbapScan::Whole:
      Client.Ready = Size;
      Client.ReadySequence = ++FSequence;
      return true;
    case TMbapScan::NeedMore: return true;
    default: return false;
  }
}

bool TModbusTcpServerLine::Gather(TClient& Client) noexcept {
  const auto Space = static_cast<Cardinal>(Client.Input.size() - static_cast<std::size_t>(Client.Filled));
  Cardinal Got = 0;
  if (!Client.Socket.ReadSome(Client.Input.data() + Client.Filled, Space, Got)) return false;
  if (Got > 0) Client.LastHeardUs = Platform::MonotonicMicroseconds();
  Client.Filled += static_cast<int>(Got);
  return Frame(Client);
}

TModbusTcpServerLine::TClient* TModbusTcpServerLine::Earliest() noexcept {
  TClient* First = nullptr;
  for (auto& Client : FClients) {
    if (!Client->Socket.IsOpen() || !Frame(*Client)) {
      if (Client->Socket.IsOpen()) CloseClient(*Client);
      continue;
    }
    if (Client->Ready > 0 && (First == nullptr || Client->ReadySequence < First->ReadySequence)) First = Client.get();
  }
  return First;
}

Cardinal TModbusTcpServerLine::CloseIdle() noexcept {
  if (FIdleTimeoutMs == Infinite) return Infinite;
  const std::uint64_t Now = Platform::MonotonicMicroseconds();
  Cardinal Next = Infinite;
  for (auto& Client : FClients) {
    if (!Client->Socket.IsOpen()) continue;
    const std::uint64_t Quiet = (Now - Client->LastHeardUs) / 1000;
    if (Quiet >= FIdleTimeoutMs) {
      CloseClient(*Client);
      continue;
    }
    Next = std::min(Next, FIdleTimeoutMs - static_cast<Cardinal>(Quiet));
  }
  return Next;
}

TWaitResult TModbusTcpServerLine::WaitForInput(Cardinal TimeoutMs, Platform::TEventObject* Stop) noexcept {
  if (Stop != nullptr && Stop->ManualReset() && Stop->ConsumeIfSignalled()) return TWaitResult::Stopped;
  if (FReading != nullptr && FReadOffset < FReading->Ready) return TWaitResult::Input;
  const std::uint64_t Start = Platform::MonotonicMicroseconds();
  for (;;) {
    if (TClient* Next = Earliest()) {
      FReading = Next;
      FReadOffset = 0;
      return TWaitResult::Input;
    }
    const Cardinal Idle = CloseIdle();
    const Cardinal Budget = TimeLeft(Start, TimeoutMs);
    // A client with a whole request waiting is not read on: the rest stays in its socket until
    // that request is answered, so no client can flood the server, and no wait spins on it.
    for (std::size_t I = 0; I < FClients.size(); ++I) FWatch[I] = FClients[I]->Ready == 0;
    bool PeerWaiting = false;
    const TWaitResult Result = Platform::WaitForSockets(FSockets.data(), FWatch.get(), FReady.get(), FClients.size(),
                                                        &FListener, PeerWaiting, Stop, std::min(Budget, Idle));
    if (Result == TWaitResult::Stopped || Result == TWaitResult::Failed) return Result;
    if (Result == TWaitResult::Timeout) {
      if (TimeLeft(Start, TimeoutMs) == 0) return TWaitResult::Timeout;
      continue;
    }
    if (PeerWaiting) Accept();
    for (std::size_t I = 0; I < FClients.size(); ++I)
      if (FReady[I] && !Gather(*FClients[I])) CloseClient(*FClients[I]);
  }
}

TWaitResult TModbusTcpServerLine::WaitForSignal(Platform::TEventObject& Wake, Cardinal TimeoutMs) noexcept {
  return Wake.Wait(TimeoutMs) ? TWaitResult::Stopped : TWaitResult::Timeout;
}

bool TModbusTcpServerLine::InputCount(Cardinal& Count) noexcept {
  Count = FReading != nullptr ? static_cast<Cardinal>(FReading->Ready - FReadOffset) : 0;
  return true;
}

bool TModbusTcpServerLine::Read(Byte* Dest, Cardinal Count) noexcept {
  if (FReading == nullptr || Count > static_cast<Cardinal>(FReading->Ready - FReadOffset)) return false;
  TClient& Client = *FReading;
  std::memcpy(Dest, Client.Input.data() + FReadOffset, Count);
  FReadOffset += static_cast<int>(Count);
  if (FReadOffset == Client.Ready) {
    // The whole request has been read: what its client sent after it moves to the front.
    Client.Filled -= Client.Ready;
    std::memmove(Client.Input.data(), Client.Input.data() + Client.Ready, static_cast<std::size_t>(Client.Filled));
    Client.Ready = 0;
    FReplyTo = &Client;
    FReading = nullptr;
    FReadOffset = 0;
  }
  return true;
}

bool TModbusTcpServerLine::WriteFrame(const Byte* Data, Cardinal Length, Cardinal TimeoutMs) noexcept {
  if (Length == 0) return true;
  if (FReplyTo == nullptr || !FReplyTo->Socket.IsOpen()) return false;
  if (FReplyTo->Socket.Write(Data, Length, TimeoutMs)) return true;
  CloseClient(*FReplyTo);
  return false;
}

void TModbusTcpServerLine::Abandon() noexcept {
  if (FReading != nullptr)
    CloseClient(*FReading);
  else if (FReplyTo != nullptr)
    CloseClient(*FReplyTo);
}

}  // namespace Quorvel
