#pragma once
// The engine's fixture on a virtual serial line: two pseudo-terminals paced like a real line, the
// connection on side A, a scripted device on side B.

#include "EngineFixture.h"
#include "SocketPeer.h"
#include "VirtualSerialLine.h"

namespace QuorvelTest {

struct TVirtualLineHolder {
  Quorvel::Testing::TVirtualSerialLine Line{19200};
  void AttachLine(Quorvel::TModbusConnection& Connection) { Connection.SetPort(Line.PortA()); }
};

using LineTest = TEngineTest<TVirtualLineHolder>;

// A device on a port of its own (side B of a line).
class TDevice : public TScriptedDevice<Quorvel::Testing::TLinePeer> {
 public:
  TDevice(const std::string& Port, std::function<void(Quorvel::Testing::TLinePeer&)> Script)
      : TScriptedDevice(std::move(Script), Port) {}
};

// The engine's fixture over TCP: the connection reaches a device server on 127.0.0.1 at "tcp://",
// and a scripted device plays the server's end of the socket.
struct TDeviceServerHolder {
  Quorvel::Testing::TDeviceServerEnd Server;
  void AttachLine(Quorvel::TModbusConnection& Connection) { Connection.SetPort(Server.PortName()); }
};

using TcpLineTest = TEngineTest<TDeviceServerHolder>;

// A device behind a device server (Server), or one that connects out to a listening connection (Port).
class TTcpDevice : public TScriptedDevice<Quorvel::Testing::TSocketPeer> {
 public:
  TTcpDevice(Quorvel::Testing::TDeviceServerEnd& Server, std::function<void(Quorvel::Testing::TSocketPeer&)> Script)
      : TScriptedDevice(std::move(Script), Server) {}
  TTcpDevice(Quorvel::Word Port, std::function<void(Quorvel::Testing::TSocketPeer&)> Script)
      : TScriptedDevice(std::move(Script), Port) {}
};

}  // namespace QuorvelTest
