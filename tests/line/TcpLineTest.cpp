// The engine over TCP: RTU and ASCII frames to a serial device server on 127.0.0.1 ("tcp://"), and
// from one that connects out ("tcp-listen://"), with the same framing, retries and events as on a
// serial line.

#include <thread>

#include <Quorvel/MemoryServer.h>
#include <Quorvel/SerialPorts.h>
#include "ErrorMessage.h"
#include "LineFixture.h"
#include "TestBytes.h"
#include "TestPlatform.h"

using namespace Quorvel;
using namespace QuorvelTest;
using Testing::TSocketPeer;

TEST_F(TcpLineTest, FramesCrossTheSocketInBothFramings) {
  TTcpDevice Rtu(Server, [](TSocketPeer& Peer) {
    if (Peer.ReadFrame(10ms, 3000ms) == ReadRequest) Peer.Write(ReadReply);
  });
  Connection.Open();
  Submit(ReadRequestPdu);
  ASSERT_TRUE(PumpUntil([&] { return Client.Replies.size() == 1; }));
  EXPECT_EQ(Client.Replies[0].Info.ReplyStatus, rsSuccess);
  EXPECT_EQ(Client.Replies[0].Reply, ReadReply);
  Connection.Close();
  // Each opening is a connection of its own.
  TTcpDevice Ascii(Server, [](TSocketPeer& Peer) {
    if (Peer.ReadFrame(10ms, 3000ms) == AsciiFrame(Hex("01 03 00 00 00 01")))
      Peer.Write(AsciiFrame(Hex("01 03 02 00 2A")));
  });
  Connection.SetTransmissionMode(tmASCII);
  Connection.Open();
  Submit(ReadRequestPdu);
  ASSERT_TRUE(PumpUntil([&] { return Client.Replies.size() == 2; }));
  EXPECT_EQ(Client.Replies[1].Info.ReplyStatus, rsSuccess);
  EXPECT_EQ(Sent.back(), AsciiFrame(Hex("01 03 00 00 00 01")));
}

TEST_F(TcpLineTest, LineSettingsAreKeptAndTheSilentTimeFollowsTheRate) {
  Connection.SetSilentInterval(4);
  Connection.Open();
  Connection.SetBaudRate(br1200);
  Connection.SetParity(psEven);
  Connection.SetStopBits(sb2);
  EXPECT_EQ(Connection.Parity(), psEven);
  // 4 characters of 8 data, 1 parity and 2 stop bits at 1200 bit/s.
  EXPECT_EQ(Connection.GetSilentTime(), 37u);
  Connection.SetBaudRate(br19200);
  EXPECT_EQ(Connection.GetSilentTime(), TModbusConnection::MinSilentTime);
}

TEST_F(TcpLineTest, EachReplyEndsAsOnASerialLine) {
  for (const auto& Row : CompletionRows()) {
    for (const bool Sized : {false, true}) {
      Connection.Close();
      Connection.SetLengthAwareFraming(Sized);
      Connection.Open();
      Client.Replies.clear();
      TTcpDevice Device(Server, [&Row](TSocketPeer& Peer) {
        if (Peer.ReadFrame(10ms, 3000ms).empty()) return;
        if (Row.Bursts.empty())
          Peer.Write(Row.Answer);
        else
          Peer.WriteBursts(Row.Answer, Row.Bursts, Row.Gap);
      });
      Submit(Row.RequestPdu, 1, Row.Raw);
      ASSERT_TRUE(PumpUntil([&] { return !Client.Replies.empty(); }, 3000)) << Row.Name;
      EXPECT_EQ(Client.Replies[0].Info.ReplyStatus, Sized ? Row.Sized : Row.Silence)
          << Row.Name << (Sized ? ", sized" : ", silence");
      Device.Join();
    }
  }
}

TEST_F(TcpLineTest, AnUnreachableDeviceServerIsAPortThatCannotBeOpened) {
  const std::string Closed = Server.PortName();
  Server.Listener().Close();
  Connection.SetPort(Closed);
  EXPECT_EQ(MessageOf([&] { Connection.Open(); }), "Could not open serial port");
  for (const char* Bad : {"tcp://127.0.0.1", "tcp://:502", "tcp://127.0.0.1:0", "tcp://127.0.0.1:70000",
                          "tcp://127.0.0.1:50x", "tcp-listen://[::1:5"}) {
    Connection.SetPort(Bad);
    EXPECT_EQ(MessageOf([&] { Connection.Open(); }), "Could not open serial port") << Bad;
  }
  EXPECT_FALSE(Connection.Active());
  EXPECT_TRUE(SerialPortPresent(Closed)) << "only connecting can tell";
}

TEST_F(TcpLineTest, ALostSocketIsALostPortAndReopeningReconnects) {
  int Lost = 0;
  Connection.SetOnPortLost([&Lost](TModbusConnection&) { ++Lost; });
  for (const auto Mode : {cmClient, cmServer}) {
    Lost = 0;
    Connection.SetConnectionMode(Mode);
    TTcpDevice Device(Server, [](TSocketPeer& Peer) {
      Peer.ReadFor(100ms);
      Peer.Close();
    });
    Connection.Open();
    EXPECT_TRUE(PumpUntil([&] { return Lost == 1; }, 2000));
    Device.Join();
    const double Before = Testing::ProcessCpuSeconds();
    Pump(500);
    EXPECT_LT(Testing::ProcessCpuSeconds() - Before, 0.2) << "the worker waits; it does not spin on the lost socket";
    EXPECT_EQ(Lost, 1) << "once per opening";
    if (Mode == cmClient) {
      Submit(ReadRequestPdu);
      ASSERT_TRUE(PumpUntil([&] { return !Client.Replies.empty(); }));
      EXPECT_EQ(Client.Replies.back().Info.ReplyStatus, rsNoReply);
    }
    Connection.Close();
  }
  // The window's reconnect: close, and open again once the device server takes connections.
  Connection.SetConnectionMode(cmClient);
  Client.Replies.clear();
  TTcpDevice Device(Server, Answer(1, [](const TFrameData&) { return ReadReply; }));
  Connection.Open();
  Submit(ReadRequestPdu);
  ASSERT_TRUE(PumpUntil([&] { return !Client.Replies.empty(); }));
  EXPECT_EQ(Client.Replies[0].Info.ReplyStatus, rsSuccess);
}

TEST_F(TcpLineTest, AListeningServerAnswersOnePeerAtATime) {
  TModbusMemoryServer Memory;
  Memory.SetServerAddress(1);
  Memory.HoldingRegisters() = {0, TRegValues{42}};
  Memory.SetConnection(&Connection);
  Connection.SetConnectionMode(cmServer);
  Connection.SetPort("tcp-listen://127.0.0.1:0");
  bool Ready = false;
  Connection.SetOnReady([&Ready](TModbusConnection&) { Ready = true; });
  Connection.Open();
  const Word Port = Testing::ListeningPortOf(Connection);
  ASSERT_NE(Port, 0);
  // What comes before the worker listens is the start-up discard's, as on a serial line.
  ASSERT_TRUE(PumpUntil([&] { return Ready; }));
  TFrameData First, Waiting, Second;
  std::atomic<bool> Finished{false};
  TTcpDevice Device(Port, [&](TSocketPeer& Peer) {
    Peer.Write(ReadRequest);
    First = Peer.ReadFrame(10ms, 2000ms);
    // A second device server that connects now waits until the first one leaves.
    TSocketPeer Next(Port);
    Next.Write(ReadRequest);
    Waiting = Next.ReadFor(300ms);
    Peer.Close();
    Second = Next.ReadFrame(10ms, 2000ms);
    Finished = true;
  });
  // The requests are answered on this thread: it serves them until the device is done.
  ASSERT_TRUE(PumpUntilFlag(Finished, 8000));
  Device.Join();
  EXPECT_EQ(First, ReadReply);
  EXPECT_TRUE(Waiting.empty());
  EXPECT_EQ(Second, ReadReply);
}

TEST_F(TcpLineTest, AListeningClientReachesTheDeviceServerThatConnectsOut) {
  int Lost = 0;
  Connection.SetOnPortLost([&Lost](TModbusConnection&) { ++Lost; });
  Connection.SetPort("tcp-listen://127.0.0.1:0");
  Connection.Open();
  const Word Port = Testing::ListeningPortOf(Connection);
  for (int Round = 0; Round < 2; ++Round) {
    TTcpDevice Device(Port, [](TSocketPeer& Peer) {
      if (Peer.ReadFrame(10ms, 3000ms) == ReadRequest) Peer.Write(ReadReply);
      Peer.Close();
    });
    Submit(ReadRequestPdu);
    ASSERT_TRUE(PumpUntil([&] { return Client.Replies.size() == static_cast<std::size_t>(Round + 1); }));
    EXPECT_EQ(Client.Replies.back().Info.ReplyStatus, rsSuccess) << "round " << Round;
    Device.Join();
  }
  Pump(200);
  EXPECT_EQ(Lost, 0) << "a peer that leaves is not the listening port lost";
}

// ---- Modbus TCP ----

namespace {

using Testing::Mbap;

TFrameData operator+(TFrameData A, const TFrameData& B) {
  A.insert(A.end(), B.begin(), B.end());
  return A;
}

const TFrameData ReadRequestFrame = Hex("01 03 00 00 00 01");
const TFrameData ReadReplyFrame = Hex("01 03 02 00 2A");

class ModbusTcpTest : public TcpLineTest {
 protected:
  void SetUp() override {
    TcpLineTest::SetUp();
    Connection.SetTransmissionMode(tmModbusTCP);
  }

  // Our server at "tcp-listen://127.0.0.1:0"; the port it listens on.
  Word Listen(TModbusMemoryServer& Memory) {
    Memory.SetServerAddress(1);
    Memory.HoldingRegisters() = {0, TRegValues{42, 43}};
    Memory.SetConnection(&Connection);
    Connection.SetConnectionMode(cmServer);
    Connection.SetPort("tcp-listen://127.0.0.1:0");
    Connection.Open();
    return Testing::ListeningPortOf(Connection);
  }
};

}  // namespace

TEST_F(ModbusTcpTest, RepliesAreMatchedByTransactionIdAndStaleOnesRefused) {
  Connection.SetMaxRetries(2);
  Connection.SetReceiveTimeout(300);
  TTcpDevice Device(Server, [](TSocketPeer& Peer) {
    // The first request is answered too late, after its second attempt has gone out with the
    // same id; the next request is answered at once, behind the late reply.
    const TFrameData First = Peer.ReadFrame(10ms, 3000ms);
    const TFrameData Again = Peer.ReadFrame(10ms, 3000ms);
    if (First != Mbap(1, ReadRequestFrame) || Again != First) return;
    Peer.Write(Mbap(1, ReadReplyFrame));
    const TFrameData Next = Peer.ReadFrame(10ms, 3000ms);
    if (Next == Mbap(2, ReadRequestFrame)) Peer.Write(Mbap(1, ReadReplyFrame) + Mbap(2, Hex("01 03 02 00 07")));
  });
  Connection.Open();
  Submit(ReadRequestPdu);
  ASSERT_TRUE(PumpUntil([&] { return Client.Replies.size() == 1; }));
  EXPECT_EQ(Client.Replies[0].Info.ReplyStatus, rsSuccess);
  EXPECT_EQ(Client.Replies[0].Info.Attempts, 2u);
  Submit(ReadRequestPdu);
  ASSERT_TRUE(PumpUntil([&] { return Client.Replies.size() == 2; }));
  EXPECT_EQ(Client.Replies[1].Info.ReplyStatus, rsSuccess);
  EXPECT_EQ(Client.Replies[1].Reply, Hex("01 03 02 00 07")) << "the stale reply was passed over";
  EXPECT_EQ(Connection.Statistics().StaleReplies, 1u);
  EXPECT_EQ(Sent.front(), Mbap(1, ReadRequestFrame)) << "no check: TCP has its own";
}

TEST_F(ModbusTcpTest, AServerThatBreaksTheFramingLosesTheConnection) {
  int Lost = 0;
  Connection.SetOnPortLost([&Lost](TModbusConnection&) { ++Lost; });
  TTcpDevice Device(Server, [](TSocketPeer& Peer) {
    if (!Peer.ReadFrame(10ms, 3000ms).empty()) Peer.Write(Mbap(1, ReadReplyFrame, 1));
    Peer.WaitForHangUp(3000ms);
  });
  Connection.Open();
  Submit(ReadRequestPdu);
  ASSERT_TRUE(PumpUntil([&] { return !Client.Replies.empty() && Lost == 1; }));
  EXPECT_EQ(Client.Replies[0].Info.ReplyStatus, rsNoReply);
  EXPECT_EQ(Connection.Statistics().MalformedFrames, 1u);
}

TEST_F(ModbusTcpTest, TheServerAnswersEachClientWithItsOwnTransactionId) {
  TModbusMemoryServer Memory;
  const Word Port = Listen(Memory);
  std::atomic<bool> Finished{false};
  TFrameData A, B, Both;
  TTcpDevice Device(Port, [&](TSocketPeer& First) {
    TSocketPeer Second(Port);
    First.Write(Mbap(7, ReadRequestFrame));
    Second.Write(Mbap(0x1234, Hex("01 03 00 01 00 01")));
    A = First.ReadFrame(20ms, 3000ms);
    B = Second.ReadFrame(20ms, 3000ms);
    // Two requests in one segment, and one split across two: each is answered in turn.
    const TFrameData Two = Mbap(8, ReadRequestFrame) + Mbap(9, ReadRequestFrame);
    First.Write(Two);
    TFrameData Split = Mbap(10, ReadRequestFrame);
    First.WriteBursts(Split, {4, 8}, 30ms);
    Both = First.ReadFor(500ms);
    Finished = true;
  });
  ASSERT_TRUE(PumpUntilFlag(Finished, 8000));
  Device.Join();
  EXPECT_EQ(A, Mbap(7, Hex("01 03 02 00 2A")));
  EXPECT_EQ(B, Mbap(0x1234, Hex("01 03 02 00 2B")));
  const TFrameData Reply = Hex("01 03 02 00 2A");
  EXPECT_EQ(Both, Mbap(8, Reply) + Mbap(9, Reply) + Mbap(10, Reply));
}

TEST_F(ModbusTcpTest, AClientThatBreaksTheRulesIsClosedAndNoOtherIs) {
  TModbusMemoryServer Memory;
  Connection.SetMaxClients(2);
  Connection.SetIdleTimeout(400);
  const Word Port = Listen(Memory);
  struct TOffence {
    const char* Name;
    TFrameData Bytes;
  };
  const std::vector<TOffence> Offences = {
      {"a protocol id other than 0", Mbap(1, ReadRequestFrame, 1)},
      {"a length of 1", Hex("0001 0000 0001 01")},
      {"a length beyond any PDU", Hex("0001 0000 0100 01 03")},
      {"a unit id that nothing here serves", Mbap(1, Hex("09 03 00 00 00 01"))},
      {"half a header, then silence", Hex("00 01 00")},
      {"nothing at all", {}},
  };
  std::atomic<bool> Finished{false};
  std::vector<std::string> Failures;
  TTcpDevice Device(Port, [&](TSocketPeer& Good) {
    const auto Check = [&](bool Ok, const std::string& What) {
      if (!Ok) Failures.push_back(What);
    };
    for (const auto& Offence : Offences) {
      TSocketPeer Bad(Port);
      if (!Offence.Bytes.empty()) Bad.Write(Offence.Bytes);
      // Meanwhile the well-behaved client, there all along, is served as before (and so never idle).
      bool Closed = false;
      for (int Round = 0; Round < 30 && !Closed; ++Round) {
        Closed = Bad.WaitForHangUp(100ms);
        Good.Write(Mbap(5, ReadRequestFrame));
        Check(Good.ReadFrame(20ms, 3000ms) == Mbap(5, ReadReplyFrame), std::string(Offence.Name) + ": the other client");
      }
      Check(Closed, std::string(Offence.Name) + ": not closed");
    }
    // The bound: a third client while two are connected is closed at once.
    TSocketPeer Second(Port);
    Second.Write(Mbap(6, ReadRequestFrame));
    Check(Second.ReadFrame(20ms, 3000ms) == Mbap(6, ReadReplyFrame), "a second client within the bound");
    TSocketPeer Third(Port);
    Check(Third.WaitForHangUp(3000ms), "a third client beyond the bound was not closed");
    Finished = true;
  });
  ASSERT_TRUE(PumpUntilFlag(Finished, 30000));
  Device.Join();
  EXPECT_EQ(Failures, std::vector<std::string>{});
}

// A client that keeps sending and never takes its replies: once what the system buffers is full,
// the reply that cannot be written within the send time-out closes that client, and the client
// beside it is answered before and after. The bound is two clients, so that a third is served
// only once the place of the one that sent forever is free.
TEST_F(ModbusTcpTest, AClientThatSendsForeverIsClosedAndNoOtherIs) {
  if (Testing::RunningUnderWine())
    GTEST_SKIP() << "under Wine the server's writes to a client that reads nothing did not stall within 9 s";
  TModbusMemoryServer Memory;
  Connection.SetMaxClients(2);
  const Word Port = Listen(Memory);
  Memory.HoldingRegisters() = {0, TRegValues(125, 7)};
  // Each request asks for 125 registers, so that the replies fill the buffers long before the
  // requests would.
  TFrameData Flood;
  for (Word Id = 0; Id < 1000; ++Id) Flood = Flood + Mbap(Id, Hex("01 03 00 00 00 7D"));
  const TFrameData Reply = Hex("01 03 02 00 07");
  std::atomic<bool> Finished{false};
  int Answered = 0, Unanswered = 0;
  bool ThirdServed = false;
  TTcpDevice Device(Port, [&](TSocketPeer& Good) {
    TSocketPeer Bad(Port);
    std::atomic<bool> Flooding{true};
    std::thread Flooder([&] {
      // Until the connection breaks, or a write sits out its time-out.
      const auto GiveUp = std::chrono::steady_clock::now() + 20s;
      while (Bad.Write(Flood) && std::chrono::steady_clock::now() < GiveUp) {
      }
      Flooding = false;
    });
    while (Flooding) {
      Good.Write(Mbap(5, ReadRequestFrame));
      ++(Good.ReadFrame(20ms, 3000ms) == Mbap(5, Reply) ? Answered : Unanswered);
      std::this_thread::sleep_for(50ms);
    }
    Flooder.join();
    TSocketPeer Third(Port);
    Third.Write(Mbap(6, ReadRequestFrame));
    ThirdServed = Third.ReadFrame(20ms, 3000ms) == Mbap(6, Reply);
    Finished = true;
  });
  ASSERT_TRUE(PumpUntilFlag(Finished, 40000));
  Device.Join();
  EXPECT_TRUE(ThirdServed) << "the client that sends forever still holds its place";
  EXPECT_GT(Answered, 0);
  EXPECT_EQ(Unanswered, 0);
}

// With the exchange on the calling thread, a request made while the connection is idle has its
// reply read when the call returns; its event still comes once, through the pump.
TEST_F(ModbusTcpTest, OnTheCallingThreadARequestIsCarriedWithinTheCall) {
  Connection.SetExchangeOnCaller(true);
  TTcpDevice Device(Server, [](TSocketPeer& Peer) {
    for (Word Id = 1; Id <= 3; ++Id) {
      if (Peer.ReadFrame(10ms, 3000ms) != Mbap(Id, ReadRequestFrame)) return;
      Peer.Write(Mbap(Id, ReadReplyFrame));
    }
  });
  bool Ready = false;
  Connection.SetOnReady([&Ready](TModbusConnection&) { Ready = true; });
  Connection.Open();
  ASSERT_TRUE(PumpUntil([&] { return Ready; }));
  for (std::uint64_t Done = 1; Done <= 3; ++Done) {
    Submit(ReadRequestPdu);
    EXPECT_EQ(Connection.Statistics().FramesReceived, Done) << "the reply is in when the call returns";
  }
  EXPECT_TRUE(Client.Replies.empty()) << "the events wait for the pump";
  ASSERT_TRUE(PumpUntil([&] { return Client.Replies.size() == 3; }));
  for (const auto& Reply : Client.Replies) EXPECT_EQ(Reply.Info.ReplyStatus, rsSuccess);
  EXPECT_FALSE(PumpUntil([&] { return Client.Replies.size() > 3; }, 100));
}

// Served on the worker, requests are answered while the main thread does something else, and the
// server's events come on the worker.
TEST_F(ModbusTcpTest, ServedOnTheWorkerRequestsNeedNoMainThread) {
  TModbusMemoryServer Memory;
  std::atomic<int> Writes{0}, WritesOnMain{0};
  Memory.SetOnRegistersWrite([&](TModbusMemoryServer&, Word, Word) {
    ++Writes;
    if (MainThread::IsMainThread()) ++WritesOnMain;
  });
  Connection.SetServeOnWorker(true);
  const Word Port = Listen(Memory);
  TFrameData Written, Read;
  // Not pumped: the main thread only waits for the script to end.
  TTcpDevice Device(Port, [&](TSocketPeer& Peer) {
    Peer.Write(Mbap(1, Hex("01 10 00 00 00 01 02 00 63")));
    Written = Peer.ReadFrame(20ms, 3000ms);
    Peer.Write(Mbap(2, ReadRequestFrame));
    Read = Peer.ReadFrame(20ms, 3000ms);
  });
  Device.Join();
  EXPECT_EQ(Written, Mbap(1, Hex("01 10 00 00 00 01")));
  EXPECT_EQ(Read, Mbap(2, Hex("01 03 02 00 63")));
  EXPECT_EQ(Writes, 1);
  EXPECT_EQ(WritesOnMain, 0);
}

TEST_F(ModbusTcpTest, SeveralRequestsGoOutBeforeTheirRepliesWhenAllowed) {
  Connection.SetMaxOutstanding(3);
  Connection.SetReceiveTimeout(1500);
  std::atomic<bool> AllThreeBeforeAReply{false};
  TTcpDevice Device(Server, [&](TSocketPeer& Peer) {
    // The three requests come without waiting for a reply; they are answered last first, with a
    // stale id among them.
    TFrameData Requests;
    while (Requests.size() < 3 * 12) {
      const TFrameData More = Peer.ReadFrame(10ms, 3000ms);
      if (More.empty()) return;
      Requests = Requests + More;
    }
    AllThreeBeforeAReply = true;
    TFrameData Replies = Mbap(99, ReadReplyFrame);
    for (int I = 2; I >= 0; --I) {
      const Byte* Request = Requests.data() + 12 * I;
      const Word Id = static_cast<Word>(Request[0] << 8 | Request[1]);
      Replies = Replies + Mbap(Id, {0x01, 0x03, 0x02, 0x00, static_cast<Byte>(100 + Request[9])});
    }
    Peer.Write(Replies);
  });
  Connection.Open();
  for (Byte Register = 0; Register < 3; ++Register) Submit({0x03, 0x00, Register, 0x00, 0x01});
  ASSERT_TRUE(PumpUntil([&] { return Client.Replies.size() == 3; }));
  EXPECT_TRUE(AllThreeBeforeAReply);
  for (const auto& Reply : Client.Replies) {
    EXPECT_EQ(Reply.Info.ReplyStatus, rsSuccess);
    EXPECT_EQ(Reply.Info.Attempts, 1u);
  }
  // Last answered first: each reply is its own request's.
  EXPECT_EQ(Client.Replies[0].Reply, Hex("01 03 02 00 66"));
  EXPECT_EQ(Client.Replies[1].Reply, Hex("01 03 02 00 65"));
  EXPECT_EQ(Client.Replies[2].Reply, Hex("01 03 02 00 64"));
  EXPECT_EQ(Connection.Statistics().StaleReplies, 1u);
  EXPECT_EQ(Connection.Statistics().FramesSent, 3u);
}

TEST_F(ModbusTcpTest, OutstandingRequestsThatGetNoReplyAreRetriedThenEnded) {
  Connection.SetMaxOutstanding(2);
  Connection.SetMaxRetries(2);
  Connection.SetReceiveTimeout(200);
  TTcpDevice Device(Server, [](TSocketPeer& Peer) { Peer.ReadFor(1500ms); });
  Connection.Open();
  Submit(ReadRequestPdu);
  Submit(ReadRequestPdu);
  ASSERT_TRUE(PumpUntil([&] { return Client.Replies.size() == 2; }));
  for (const auto& Reply : Client.Replies) {
    EXPECT_EQ(Reply.Info.ReplyStatus, rsNoReply);
    EXPECT_EQ(Reply.Info.Attempts, 2u);
  }
  EXPECT_EQ(Connection.Statistics().Timeouts, 4u);
  EXPECT_EQ(Sent.size(), 4u);
  EXPECT_EQ(Sent[0], Sent[2]) << "a second attempt keeps its transaction id";
}
