#pragma once
// The Modbus TCP to serial gateway: a Modbus TCP server whose every request goes on to a serial
// line as a client's request, and whose reply is what the line answered. Requests are carried
// one at a time, in the order they arrived from all TCP clients together; a broadcast is passed
// on and not waited for; no answer is exception 0Bh, a lost line (or a unit id above 247, which
// no serial station has) exception 0Ah.

#include <cstdint>
#include <string>

#include <Quorvel/Client.h>
#include <Quorvel/Connection.h>
#include <Quorvel/Server.h>

namespace Dorvane {

// The Modbus exception codes that only a gateway sends.
inline constexpr Quorvel::Byte GatewayPathUnavailable = 0x0A;
inline constexpr Quorvel::Byte GatewayTargetFailedToRespond = 0x0B;

struct TGatewayCounts {
  std::uint64_t Requests = 0;      // taken from TCP clients, broadcasts included
  std::uint64_t Answered = 0;      // with the line's reply, normal or exception
  std::uint64_t Broadcasts = 0;    // passed on, not waited for
  std::uint64_t NoReply = 0;       // answered with exception 0Bh
  std::uint64_t LineLost = 0;      // answered with exception 0Ah
};

class TGateway {
 public:
  // Tcp is a closed Modbus TCP server connection, Serial a closed client connection on the line;
  // both are the caller's, and outlive the gateway.
  TGateway(Quorvel::TModbusConnection& Tcp, Quorvel::TModbusConnection& Serial);
  ~TGateway();
  TGateway(const TGateway&) = delete;
  TGateway& operator=(const TGateway&) = delete;

  const TGatewayCounts& Counts() const { return FCounts; }
  // Whether the serial line is lost; Reconnect tries to open it again.
  bool LineLost() const { return FLineLost; }
  bool Reconnect();
  // The counts and both connections' statistics, a line each.
  std::string Report() const;

 private:
  Quorvel::TFrameData Forward(const Quorvel::TTransactionInfo& Info, const Quorvel::TFrameData& Pdu);
  void Broadcast(const Quorvel::TFrameData& Pdu);

  Quorvel::TModbusConnection& FTcp;
  Quorvel::TModbusConnection& FSerial;
  Quorvel::TModbusServer FServer;
  Quorvel::TModbusClient FClient;
  TGatewayCounts FCounts;
  bool FLineLost = false;
};

}  // namespace Dorvane
