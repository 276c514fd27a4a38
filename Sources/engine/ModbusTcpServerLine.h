#pragma once
// The line of a Modbus TCP server: a listening socket and the clients it has accepted, several at
// once. Each client's bytes are gathered apart and framed by their MBAP headers; the engine above
// reads one whole request at a time, in the order the requests were completed, and its reply goes
// back to the client that sent it. A client that breaks the framing, exceeds the bound, says
// nothing for too long or does not take its replies is closed, and only that client.

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/Line.h"
#include "platform/Socket.h"
#include "protocol/MbapFrame.h"

namespace Quorvel {

class TModbusTcpServerLine final : public TLine {
 public:
  // Listens as Name says (a listening name), for at most MaxClients clients at once; a client
  // idle for IdleTimeoutMs is closed (Infinite: never). Raises EQuorvelError "Could not open
  // serial port" when the address cannot be listened on.
  static std::unique_ptr<TModbusTcpServerLine> Open(const Platform::TTcpPortName& Name, Cardinal MaxClients,
                                                    Cardinal IdleTimeoutMs);
  TModbusTcpServerLine(Cardinal MaxClients, Cardinal IdleTimeoutMs);

  Word ListeningPort() const noexcept { return FListener.LocalPort(); }
  // The clients connected now.
  Cardinal ClientCount() const noexcept;

  bool ApplySettings(const Platform::TLineSettings& Settings) noexcept override;
  // Input once a whole request is waiting; new clients are taken and broken ones closed meanwhile.
  TWaitResult WaitForInput(Cardinal TimeoutMs, Platform::TEventObject* Stop) noexcept override;
  // A server's worker never idles on its line; this only waits for Wake.
  TWaitResult WaitForSignal(Platform::TEventObject& Wake, Cardinal TimeoutMs) noexcept override;
  // The unread bytes of the request being read.
  bool InputCount(Cardinal& Count) noexcept override;
  bool Read(Byte* Dest, Cardinal Count) noexcept override;
  bool TakeLineErrors() noexcept override { return false; }
  // To the client whose request was read last; a client that does not take it in time is closed.
  bool WriteFrame(const Byte* Data, Cardinal Length, Cardinal TimeoutMs) noexcept override;
  // Requests are whole frames: there are no stray bytes to throw away.
  void Purge(bool, bool) noexcept override {}
  // Closes the client whose request was read last.
  void Abandon() noexcept override;

 private:
  struct TClient {
    Platform::TSocket Socket;
    // What it has sent and the engine has not read: room for two frames, so that the start of
    // its next request can arrive while one waits.
    std::array<Byte, 2 * MbapMaxFrameSize> Input{};
    int Filled = 0;
    // The size of the whole request at Input's start, or 0 while none is whole.
    int Ready = 0;
    // When that request was completed, in the order of all clients' requests.
    std::uint64_t ReadySequence = 0;
    std::uint64_t LastHeardUs = 0;
  };

  void Accept() noexcept;
  // Reads what Client has sent; false when it has closed or broken the framing.
  bool Gather(TClient& Client) noexcept;
  // Finds whether a whole request begins Client's input; false when none can.
  bool Frame(TClient& Client) noexcept;
  void CloseClient(TClient& Client) noexcept;
  // The client with the earliest whole request, or null.
  TClient* Earliest() noexcept;
  // Closes the clients idle too long; the milliseconds until the next one would be.
  Cardinal CloseIdle() noexcept;

  Platform::TListeningSocket FListener;
  Cardinal FIdleTimeoutMs;
  // Made at opening, never per request.
  std::vector<std::unique_ptr<TClient>> FClients;
  std::vector<Platform::TSocket*> FSockets;
  std::unique_ptr<bool[]> FWatch, FReady;
  std::uint64_t FSequence = 0;
  // The request being read, and how much of it has been; the client the reply goes to.
  TClient* FReading = nullptr;
  int FReadOffset = 0;
  TClient* FReplyTo = nullptr;
};

}  // namespace Quorvel
