#pragma once
// The far end of a TCP line: a serial device server that a connection reaches at "tcp://", or one
// that connects out to a connection listening at "tcp-listen://". Only 127.0.0.1. It speaks as the
// virtual line's peer does (VirtualSerialLine.h), so that the same device scripts play over both.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <Quorvel/Connection.h>
#include <Quorvel/Types.h>
#include "platform/Socket.h"

namespace Quorvel::Testing {

// A listening device server on 127.0.0.1 at a port of the system's choosing.
class TDeviceServerEnd {
 public:
  TDeviceServerEnd();
  Word Port() const { return Listener_.LocalPort(); }
  // The connection's port name that reaches it.
  std::string PortName() const { return "tcp://127.0.0.1:" + std::to_string(Port()); }
  Platform::TListeningSocket& Listener() { return Listener_; }

 private:
  Platform::TListeningSocket Listener_;
};

// A Modbus TCP frame as it goes over the socket: the MBAP header's transaction id, protocol id
// and length, then the unit id and the PDU (Frame).
inline TFrameData Mbap(Word TransactionId, const TFrameData& Frame, Word ProtocolId = 0) {
  TFrameData Wire = {static_cast<Byte>(TransactionId >> 8), static_cast<Byte>(TransactionId & 0xFF),
                     static_cast<Byte>(ProtocolId >> 8),    static_cast<Byte>(ProtocolId & 0xFF),
                     static_cast<Byte>(Frame.size() >> 8),  static_cast<Byte>(Frame.size() & 0xFF)};
  Wire.insert(Wire.end(), Frame.begin(), Frame.end());
  return Wire;
}

// A port on 127.0.0.1 that nothing listened on a moment ago, for a program that must be told
// which port to take.
Word FreeTcpPort();

// The port a connection opened at "tcp-listen://HOST:0" listens on.
Word ListeningPortOf(TModbusConnection& Connection);

class TSocketPeer {
 public:
  // Accepts the connection's socket at End, at its first read or write (the connection may open
  // after the peer is made).
  explicit TSocketPeer(TDeviceServerEnd& End);
  // Connects out to 127.0.0.1:Port, where a connection listens; throws std::runtime_error when
  // nothing accepts.
  explicit TSocketPeer(Word Port);

  bool Write(const TFrameData& Bytes);
  // Writes the bursts with a pause of Gap between the writes.
  bool WriteBursts(const TFrameData& Bytes, const std::vector<std::size_t>& Sizes, std::chrono::milliseconds Gap);
  // Waits up to Timeout for the first byte, then takes bytes until Silence passes without any.
  TFrameData ReadFrame(std::chrono::milliseconds Silence, std::chrono::milliseconds Timeout);
  // Every byte that arrives within Duration.
  TFrameData ReadFor(std::chrono::milliseconds Duration);
  // True when the other end closes within Timeout.
  bool WaitForHangUp(std::chrono::milliseconds Timeout);
  // The socket closed: a lost connection for the other end.
  void Close();

 private:
  bool Connected(std::chrono::milliseconds Timeout);
  // Appends what has arrived; false when the other end has closed.
  bool ReadWaiting(TFrameData& Bytes);

  TDeviceServerEnd* End_ = nullptr;
  Platform::TSocket Socket_;
  // Never signalled: the waits here end on input or their time-out.
  Platform::TEventObject Never_{true};
};

}  // namespace Quorvel::Testing
