#pragma once
// The engine's fixture on a virtual serial line: two pseudo-terminals paced like a real line, the
// connection on side A, a scripted device on side B.

#include "EngineFixture.h"
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

}  // namespace QuorvelTest
