#pragma once
// A connection under test, a client that records what it is handed, the frames that crossed the
// line, and a device played by a script on the line's other end: what the engine's suites share,
// whatever the line. The line suites put a virtual serial line under the connection (LineFixture.h),
// the unit suite an in-memory line (MemoryLineFixture.h).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include <Quorvel/Checksums.h>
#include <Quorvel/Client.h>
#include <Quorvel/Connection.h>
#include <Quorvel/Messages.h>
#include "FramingRun.h"
#include "TestBytes.h"

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

// Runs a script on its own thread, playing the device on the peer end of a line.
template <class TPeer>
class TScriptedDevice {
 public:
  template <class... TPeerArgs>
  TScriptedDevice(std::function<void(TPeer&)> Script, TPeerArgs&&... PeerArgs)
      : FPeer(std::forward<TPeerArgs>(PeerArgs)...), FThread([this, Script = std::move(Script)] { Script(FPeer); }) {}
  ~TScriptedDevice() { Join(); }
  void Join() {
    if (FThread.joinable()) FThread.join();
  }
  TPeer& Peer() { return FPeer; }

 private:
  TPeer FPeer;
  std::thread FThread;
};

// Answers every request it reads with Reply (computed from the request), Count times.
inline auto Answer(int Count, std::function<TFrameData(const TFrameData&)> Reply) {
  return [Count, Reply](auto& Peer) {
    for (int I = 0; I < Count; ++I) {
      const TFrameData Request = Peer.ReadFrame(10ms, 3000ms);
      if (Request.empty()) return;
      Peer.Write(Reply(Request));
    }
  };
}

// The fixture over the line that TLineHolder keeps. The holder comes first, so that the connection
// closes before its line goes; it attaches the connection to its line (AttachLine).
template <class TLineHolder>
class TEngineTest : public ::testing::Test, protected TLineHolder {
 protected:
  Quorvel::TModbusConnection Connection;
  TRecordingClient Client;
  std::vector<TFrameData> Sent;
  std::vector<TFrameData> Received;

  void SetUp() override {
    Connection.SetLengthAwareFraming(LengthAwareRun());
    this->AttachLine(Connection);
    Connection.SetParity(Quorvel::psNone);
    Connection.SetReceiveTimeout(400);
    Connection.SetOnFrameSend([this](auto&, const TFrameData& Data) { Sent.push_back(Data); });
    Connection.SetOnFrameReceive([this](auto&, const TFrameData& Data) { Received.push_back(Data); });
    Client.SetConnection(&Connection);
  }

  // Queues a request to Address: Pdu is the function code and data; the check is appended. With
  // Raw it is a raw request whose reply ends as that rule says.
  void Submit(const TFrameData& Pdu, Byte Address = 1, std::optional<Quorvel::TReplyLength> Raw = {}) {
    auto Transaction = std::make_unique<Quorvel::TModbusTransaction>(Connection.FrameBufferSize());
    Transaction->Info.ServerAddress = Address;
    Transaction->RawReply = Raw;
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

// ---- What the engine's suites run on every line ----

inline const TFrameData ReadRequestPdu = Hex("03 00 00 00 01");
inline const TFrameData ReadRequest = Hex("01 03 00 00 00 01 84 0A");
inline const TFrameData ReadReply = WithCrc(Hex("01 03 02 00 2A"));

// A silent time of 2 s (4267 characters of 9 bits at 19200 bit/s): a frame that ends within a
// second cannot have been ended by the silence.
inline constexpr Quorvel::Cardinal LongSilence = 4267;

struct TCompletionRow {
  const char* Name;
  TFrameData RequestPdu;        // to server 1
  TFrameData Answer;            // what the device sends back, as it stands
  Quorvel::TReplyStatus Silence;  // the outcome when the silence ends each frame
  Quorvel::TReplyStatus Sized;    // the outcome with length-aware framing
  bool EndsAtLastByte;          // sized: the answer needs no silence after it
  std::vector<std::size_t> Bursts = {};
  std::chrono::milliseconds Gap = 0ms;
  std::optional<Quorvel::TReplyLength> Raw = {};  // a raw request, and its reply's rule
};

// A reply of every function the client sends, and an exception reply to each, and the ways a
// reply goes wrong on the line.
inline std::vector<TCompletionRow> CompletionRows() {
  using namespace Quorvel;
  const std::pair<const char*, const char*> Exchanges[] = {
      {"01 0000 000A", "01 02 FF 03"},
      {"02 0000 0008", "02 01 A5"},
      {"03 0000 0002", "03 04 0001 0002"},
      {"04 0000 0001", "04 02 1234"},
      {"05 0001 FF00", "05 0001 FF00"},
      {"06 0001 0011", "06 0001 0011"},
      {"07", "07 5A"},
      {"08 0000 A55A", "08 0000 A55A"},
      {"0F 0000 0003 01 05", "0F 0000 0003"},
      {"10 0000 0001 02 002A", "10 0000 0001"},
      {"11", "11 03 01 FF 00"},
      {"14 07 06 0001 0000 0001", "14 04 03 06 002A"},
      {"15 09 06 0001 0000 0001 002A", "15 09 06 0001 0000 0001 002A"},
      {"16 0001 FF00 000F", "16 0001 FF00 000F"},
      {"0B", "0B 0000 0003"},
      {"0C", "0C 08 0000 0003 0005 20 00"},
      {"17 0000 0002 0010 0001 02 0007", "17 04 0001 0002"},
      {"18 0004", "18 0006 0002 0001 0002"},  // a byte count word
      {"2B 0E 01 00", "2B 0E 01 81 00 00 01 00 03 414243"},  // sized by its objects
  };
  std::vector<TCompletionRow> Rows;
  for (const auto& [Request, Reply] : Exchanges) {
    const TFrameData Pdu = Hex(Request);
    TFrameData Answer = Hex(Reply);
    Answer.insert(Answer.begin(), 1);
    Rows.push_back({Request, Pdu, WithCrc(Answer), rsSuccess, rsSuccess, true});
    Rows.push_back({"exception", Pdu, WithCrc({1, static_cast<Byte>(Pdu[0] | 0x80), 2}), rsExceptionReply,
                    rsExceptionReply, true});
  }
  const TFrameData Other = WithCrc(Hex("02 03 02 00 01"));
  TFrameData BadCrc = ReadReply;
  BadCrc.back() ^= 0x01;
  const auto Then = [](TFrameData A, const TFrameData& B) {
    A.insert(A.end(), B.begin(), B.end());
    return A;
  };
  Rows.insert(Rows.end(), {
      {"two chunks 16 ms apart", ReadRequestPdu, ReadReply, rsSuccess, rsSuccess, true, {3, 4}, 16ms},
      {"two chunks 40 ms apart", ReadRequestPdu, ReadReply, rsNoReply, rsNoReply, false, {3, 4}, 40ms},
      {"garbage before the reply", ReadRequestPdu, Then({0x00}, ReadReply), rsNoReply, rsNoReply, false},
      {"another server's frame right before", ReadRequestPdu, Then(Other, ReadReply), rsNoReply, rsSuccess, true},
      {"another server's frame, a silence, the reply", ReadRequestPdu, Then(Other, ReadReply), rsSuccess, rsSuccess,
       false, {Other.size(), ReadReply.size()}, 40ms},
      {"a CRC error", ReadRequestPdu, BadCrc, rsNoReply, rsNoReply, false},
      // 4 bytes promised, 2 sent: the client's content check refuses it; sized, it is passed over
      // and the attempt reads on until its time is up.
      {"a byte count that lies", ReadRequestPdu, WithCrc(Hex("01 03 04 00 2A")), rsInvalidReply, rsNoReply, false},
      // A raw request's reply ends where its rule says; without a rule, a code the library does not
      // know waits for the silence, and one it knows is sized as always.
      {"a raw request with its rule", Hex("41 0102"), WithCrc(Hex("01 41 03 AABBCC")), rsSuccess, rsSuccess, true,
       {}, 0ms, TReplyLength{rlByteCount, 1, 0}},
      {"a raw request without a rule", Hex("41 0102"), WithCrc(Hex("01 41 03 AABBCC")), rsSuccess, rsSuccess, false,
       {}, 0ms, TReplyLength{}},
      {"a raw read", ReadRequestPdu, ReadReply, rsSuccess, rsSuccess, true, {}, 0ms, TReplyLength{}},
  });
  return Rows;
}

}  // namespace QuorvelTest
