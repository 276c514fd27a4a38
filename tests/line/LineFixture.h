#pragma once
// A connection on a virtual serial line, a client that records what it is handed, and the
// helpers the line suites share.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include <Quorvel/Checksums.h>
#include <Quorvel/Client.h>
#include <Quorvel/Connection.h>
#include "FramingRun.h"
#include <Quorvel/Messages.h>
#include "VirtualSerialLine.h"

namespace QuorvelTest {

using namespace std::chrono_literals;
using Quorvel::Byte;
using Quorvel::TFrameData;

// A binary frame with its check: RTU appends the CRC low byte first, ASCII the LRC.
inline TFrameData WithCrc(TFrameData Frame) {
  const Quorvel::Word Crc = Quorvel::CRC16(Frame);
  Frame.push_back(static_cast<Byte>(Crc & 0xFF));
  Frame.push_back(static_cast<Byte>(Crc >> 8));
  return Frame;
}

inline TFrameData AsciiFrame(TFrameData Frame) {
  Frame.push_back(Quorvel::LRC(Frame));
  static const char Digits[] = "0123456789ABCDEF";
  TFrameData Wire{':'};
  for (const Byte B : Frame) {
    Wire.push_back(static_cast<Byte>(Digits[B >> 4]));
    Wire.push_back(static_cast<Byte>(Digits[B & 0x0F]));
  }
  Wire.push_back('\r');
  Wire.push_back('\n');
  return Wire;
}

struct TRecordedReply {
  Quorvel::TTransactionInfo Info;
  TFrameData Reply;
};

class TRecordingClient : public Quorvel::TModbusClient {
 public:
  using TModbusClient::TModbusClient;
  std::vector<TRecordedReply> Replies;

  void ProcessReply(Quorvel::TModbusTransaction& Transaction) override {
    TModbusClient::ProcessReply(Transaction);
    const auto& Reply = Transaction.Reply;
    Replies.push_back({Transaction.Info, TFrameData(Reply.Memory(), Reply.Memory() + Reply.Size())});
  }
};

// Runs a scripted device on its own thread, playing side B of the line.
class TDevice {
 public:
  TDevice(const std::string& Port, std::function<void(Quorvel::Testing::TLinePeer&)> Script)
      : FPeer(Port), FThread([this, Script = std::move(Script)] { Script(FPeer); }) {}
  ~TDevice() { Join(); }
  void Join() {
    if (FThread.joinable()) FThread.join();
  }
  Quorvel::Testing::TLinePeer& Peer() { return FPeer; }

 private:
  Quorvel::Testing::TLinePeer FPeer;
  std::thread FThread;
};

class LineTest : public ::testing::Test {
 protected:
  // Declared first so that it goes last: the connection closes before its line does.
  Quorvel::Testing::TVirtualSerialLine Line{19200};
  Quorvel::TModbusConnection Connection;
  TRecordingClient Client;
  std::vector<TFrameData> Sent;
  std::vector<TFrameData> Received;

  void SetUp() override {
    Connection.SetLengthAwareFraming(LengthAwareRun());
    Connection.SetPort(Line.PortA());
    Connection.SetParity(Quorvel::psNone);
    Connection.SetReceiveTimeout(400);
    Connection.SetOnFrameSend([this](auto&, const TFrameData& Data) { Sent.push_back(Data); });
    Connection.SetOnFrameReceive([this](auto&, const TFrameData& Data) { Received.push_back(Data); });
    Client.SetConnection(&Connection);
  }

  // Queues a request to Address: Pdu is the function code and data; the check is appended.
  void Submit(const TFrameData& Pdu, Byte Address = 1) {
    auto Transaction = std::make_unique<Quorvel::TModbusTransaction>(Connection.FrameBufferSize());
    Transaction->Info.ServerAddress = Address;
    Connection.WriteAddress(Address, Transaction->Request);
    for (const Byte B : Pdu) Transaction->Request.WriteByte(B);
    Connection.AppendChecksum(Transaction->Request);
    Connection.SubmitTransaction(Transaction);
  }

  bool PumpUntil(const std::function<bool()>& Done, Quorvel::Cardinal TimeoutMs = 5000) {
    return Quorvel::MainThread::ProcessMessagesUntil(Done, TimeoutMs);
  }

  // For a condition that another thread makes true without a message to wake the main thread.
  bool PumpUntilFlag(const std::atomic<bool>& Flag, Quorvel::Cardinal TimeoutMs = 5000) {
    for (Quorvel::Cardinal Waited = 0; !Flag && Waited < TimeoutMs; Waited += 10) Pump(10);
    return Flag;
  }

  void Pump(Quorvel::Cardinal Ms) { Quorvel::MainThread::ProcessMessagesUntil([] { return false; }, Ms); }
};

}  // namespace QuorvelTest
