// The worker thread's client and server loops, on a virtual line paced at 19200 bit/s.

#include <Quorvel/Application.h>
#include <Quorvel/Errors.h>
#include <Quorvel/MemoryServer.h>
#include <Quorvel/Protocol.h>
#include <Quorvel/Server.h>
#include "LineFixture.h"
#include "TestBytes.h"
#include "TestPlatform.h"

using namespace Quorvel;
using namespace QuorvelTest;
using Testing::TLinePeer;
using Testing::TLineSide;

TEST_F(LineTest, AReplyIsMatchedDecodedAndDelivered) {
  TDevice Device(Line.PortB(), Answer(1, [](const TFrameData&) { return ReadReply; }));
  Connection.Open();
  Submit(ReadRequestPdu);
  ASSERT_TRUE(PumpUntil([&] { return !Client.Replies.empty() && Received.size() == 1; }));
  const auto& R = Client.Replies[0];
  EXPECT_EQ(R.Info.ReplyStatus, rsSuccess);
  EXPECT_EQ(R.Info.Attempts, 1u);
  EXPECT_EQ(R.Reply, ReadReply);
  EXPECT_EQ(Sent, std::vector<TFrameData>{ReadRequest});
  EXPECT_EQ(Received, std::vector<TFrameData>{ReadReply});
}

TEST_F(LineTest, ASilentDeviceGetsEveryAttempt) {
  Connection.SetMaxRetries(3);
  Connection.SetReceiveTimeout(150);
  TDevice Device(Line.PortB(), [](TLinePeer&) {});
  Connection.Open();
  Submit(ReadRequestPdu);
  ASSERT_TRUE(PumpUntil([&] { return !Client.Replies.empty() && Received.size() == 3; }));
  Pump(100);
  ASSERT_EQ(Client.Replies.size(), 1u);
  EXPECT_EQ(Client.Replies[0].Info.ReplyStatus, rsNoReply);
  EXPECT_EQ(Client.Replies[0].Info.Attempts, 3u);
  EXPECT_EQ(Sent.size(), 3u);
  for (const auto& Frame : Received) EXPECT_TRUE(Frame.empty()) << "each time-out is an empty frame";
  TLineStatistics Expected;
  Expected.FramesSent = 3;
  Expected.Timeouts = 3;
  Expected.Retries = 2;
  EXPECT_EQ(Connection.Statistics(), Expected);
  Connection.ResetStatistics();
  EXPECT_EQ(Connection.Statistics(), TLineStatistics{});
}

TEST_F(LineTest, AnExceptionReplyEndsTheAttempts) {
  Connection.SetMaxRetries(3);
  TDevice Device(Line.PortB(), Answer(3, [](const TFrameData&) { return Hex("01 83 02 C0 F1"); }));
  Connection.Open();
  Submit(ReadRequestPdu);
  ASSERT_TRUE(PumpUntil([&] { return !Client.Replies.empty(); }));
  const auto& Info = Client.Replies[0].Info;
  EXPECT_EQ(Info.ReplyStatus, rsExceptionReply);
  EXPECT_EQ(Info.Attempts, 1u);
  EXPECT_EQ(Info.ExceptionKind, ekIllegalDataAddress);
  EXPECT_EQ(Info.ExceptionCode, 2);
  EXPECT_EQ(Sent.size(), 1u);
  EXPECT_EQ(Connection.Statistics().ExceptionReplies, 1u);
}

TEST_F(LineTest, FramesThatDoNotAnswerArePassedOver) {
  TDevice Device(Line.PortB(), [](TLinePeer& Peer) {
    if (Peer.ReadFrame(10ms, 3000ms).empty()) return;
    Peer.Write(WithCrc(Hex("02 03 02 00 01")));  // another server
    std::this_thread::sleep_for(40ms);
    Peer.Write(WithCrc(Hex("01 04 02 00 01")));  // another function
    std::this_thread::sleep_for(40ms);
    Peer.Write(ReadReply);
  });
  Connection.Open();
  Submit(ReadRequestPdu);
  ASSERT_TRUE(PumpUntil([&] { return !Client.Replies.empty(); }));
  EXPECT_EQ(Client.Replies[0].Info.ReplyStatus, rsSuccess);
  EXPECT_EQ(Client.Replies[0].Info.Attempts, 1u);
  EXPECT_EQ(Client.Replies[0].Reply, ReadReply);
  EXPECT_EQ(Connection.Statistics().FramesReceived, 3u);
  EXPECT_EQ(Connection.Statistics().OtherAddresses, 1u) << "the other function is not another address";
}

TEST_F(LineTest, AFrameThatDoesNotAnswerKeepsTheAttemptReading) {
  Connection.SetMaxRetries(2);
  Connection.SetReceiveTimeout(200);
  const TFrameData Wrong = WithCrc(Hex("07 03 02 00 01"));
  TDevice Device(Line.PortB(), Answer(2, [&Wrong](const TFrameData&) { return Wrong; }));
  Connection.Open();
  Submit(ReadRequestPdu);
  ASSERT_TRUE(PumpUntil([&] { return !Client.Replies.empty() && Received.size() == 4; }));
  // Each attempt reads the wrong frame, passes it over and reads on until its budget is spent.
  EXPECT_EQ(Received, (std::vector<TFrameData>{Wrong, {}, Wrong, {}}));
  EXPECT_EQ(Client.Replies[0].Info.ReplyStatus, rsNoReply);
  EXPECT_EQ(Client.Replies[0].Info.Attempts, 2u);
}

TEST_F(LineTest, SilentTimeEndsAnRtuFrame) {
  // 96 characters of 9 bits (8N1, no start bit counted) at 19200 bit/s: a silent time of 45 ms,
  // so that a busy machine's scheduling cannot blur a gap of 15 ms into one of 100 ms.
  Connection.SetSilentInterval(96);
  Connection.Open();
  ASSERT_EQ(Connection.GetSilentTime(), 45u);
  for (const auto Gap : {15ms, 100ms}) {
    Received.clear();
    Client.Replies.clear();
    TDevice Device(Line.PortB(), [this, Gap](TLinePeer& Peer) {
      if (Peer.ReadFrame(10ms, 3000ms).empty()) return;
      // The gap is held on the wire, between the end of the first burst and the second.
      Line.SplitNextFrame(Testing::TLineSide::B, {3, 4}, Gap);
      Peer.Write(ReadReply);
    });
    Submit(ReadRequestPdu);
    ASSERT_TRUE(PumpUntil([&] { return !Client.Replies.empty(); }));
    if (Gap == 15ms) {
      EXPECT_EQ(Client.Replies[0].Info.ReplyStatus, rsSuccess);
      EXPECT_EQ(Received.at(0), ReadReply);
    } else {
      EXPECT_EQ(Client.Replies[0].Info.ReplyStatus, rsNoReply) << "three bytes alone are no frame";
      EXPECT_EQ(Received.at(0), Hex("01 03 02"));
    }
    Device.Join();
    Pump(200);
  }
}

// Faults of known kinds, one per request, and the counters they move.
TEST_F(LineTest, StatisticsCountWhatTheLineDid) {
  TDevice Device(Line.PortB(), Answer(3, [](const TFrameData&) { return ReadReply; }));
  Connection.Open();
  Pump(50);
  // Bytes that nobody asked for are thrown away before the request goes out.
  Line.Inject(TLineSide::A, Hex("55 55 55 55 55"));
  ASSERT_TRUE(Line.WaitForArrivals(TLineSide::A, 5, 2000ms));
  Pump(50);  // the relay counts a byte before its port has it
  Submit(ReadRequestPdu);
  ASSERT_TRUE(PumpUntil([&] { return Client.Replies.size() == 1; }));
  EXPECT_EQ(Connection.Statistics().BytesPurged, 5u);
  // A reply with one bit flipped fails its CRC.
  Line.CorruptNext(TLineSide::A, 4, 0x10);
  Submit(ReadRequestPdu);
  ASSERT_TRUE(PumpUntil([&] { return Client.Replies.size() == 2; }));
  EXPECT_EQ(Connection.Statistics().CheckFailures, 1u);
  // A reply that lost all but two bytes is too short for a frame.
  for (std::size_t Offset = 2; Offset < ReadReply.size(); ++Offset) Line.DropNext(TLineSide::A, Offset);
  Submit(ReadRequestPdu);
  ASSERT_TRUE(PumpUntil([&] { return Client.Replies.size() == 3; }));
  EXPECT_EQ(Connection.Statistics().MalformedFrames, 1u);
  EXPECT_EQ(Client.Replies[0].Info.ReplyStatus, rsSuccess);
  EXPECT_EQ(Client.Replies[1].Info.ReplyStatus, rsNoReply);
  EXPECT_EQ(Client.Replies[2].Info.ReplyStatus, rsNoReply);
  EXPECT_EQ(Connection.Statistics().FramesReceived, 3u);
}

TEST_F(LineTest, TransactionsGoOutInSubmissionOrderOneAfterTheOther) {
  Connection.SetRefetchDelay(60);
  std::vector<std::chrono::steady_clock::time_point> Arrivals;
  TDevice Device(Line.PortB(), [&Arrivals](TLinePeer& Peer) {
    for (int I = 0; I < 2; ++I) {
      const TFrameData Request = Peer.ReadFrame(10ms, 3000ms);
      if (Request.empty()) return;
      Arrivals.push_back(std::chrono::steady_clock::now());
      TFrameData Reply = Request;
      Reply.resize(6);  // echo of a write-single-register request
      Peer.Write(WithCrc(Reply));
    }
  });
  Connection.Open();
  Submit(Hex("06 00 01 00 11"));
  Submit(Hex("06 00 02 00 22"));
  ASSERT_TRUE(PumpUntil([&] { return Client.Replies.size() == 2; }));
  Device.Join();
  ASSERT_EQ(Sent.size(), 2u);
  EXPECT_EQ(Sent[0][3], 0x01);
  EXPECT_EQ(Sent[1][3], 0x02);
  EXPECT_EQ(Client.Replies[0].Info.ReplyStatus, rsSuccess);
  EXPECT_EQ(Client.Replies[1].Info.ReplyStatus, rsSuccess);
  ASSERT_EQ(Arrivals.size(), 2u);
  // The second request waits for the first reply (8 bytes, ~4 ms), the silent time (20 ms; not
  // with length-aware framing, which ends the reply at its last byte) and the refetch delay (60 ms).
  EXPECT_GE(Arrivals[1] - Arrivals[0], LengthAwareRun() ? 60ms : 80ms);
}

TEST_F(LineTest, EchoIsSkippedWhenAskedFor) {
  Connection.SetEchoQueryBeforeReply(true);
  Line.SetEcho(TLineSide::A, true);
  // First the answer comes after a pause (the echo is a frame of its own), then at once (echo
  // and answer run together into one frame).
  for (const auto Pause : {60ms, 0ms}) {
    Received.clear();
    Client.Replies.clear();
    TDevice Device(Line.PortB(), [Pause](TLinePeer& Peer) {
      if (Peer.ReadFrame(10ms, 3000ms).empty()) return;
      std::this_thread::sleep_for(Pause);
      Peer.Write(ReadReply);
    });
    if (!Connection.Active()) Connection.Open();
    Submit(ReadRequestPdu);
    ASSERT_TRUE(PumpUntil([&] { return !Client.Replies.empty() && !Received.empty(); }));
    EXPECT_EQ(Client.Replies[0].Info.ReplyStatus, rsSuccess);
    EXPECT_EQ(Client.Replies[0].Reply, ReadReply) << "the reply buffer holds only the answer";
    EXPECT_EQ(Received, std::vector<TFrameData>{ReadReply}) << "the echo is not reported";
    Device.Join();
    Pump(50);
  }
  EXPECT_EQ(Connection.Statistics().Echoes, 2u);
}

TEST_F(LineTest, WithoutEchoHandlingAnEchoPassesForTheReply) {
  Line.SetEcho(TLineSide::A, true);
  TDevice Device(Line.PortB(), [](TLinePeer& Peer) { Peer.ReadFrame(10ms, 3000ms); });
  Connection.Open();
  Submit(Hex("06 00 01 00 03"));
  ASSERT_TRUE(PumpUntil([&] { return !Client.Replies.empty(); }));
  EXPECT_EQ(Client.Replies[0].Info.ReplyStatus, rsSuccess);
  EXPECT_EQ(Client.Replies[0].Reply, Sent.at(0));
}

TEST_F(LineTest, ABroadcastIsSentOnceAndReportedToNobody) {
  Connection.SetMaxRetries(3);
  Connection.SetTurnaroundDelay(30);
  TFrameData Heard;
  TDevice Device(Line.PortB(), [&Heard](TLinePeer& Peer) {
    // Every byte, however a busy machine splits them: once sent, they are one frame.
    for (TFrameData F; !(F = Peer.ReadFrame(10ms, 800ms)).empty();) Heard.insert(Heard.end(), F.begin(), F.end());
  });
  Connection.Open();
  Submit(Hex("06 00 01 00 03"), 0);
  ASSERT_TRUE(PumpUntil([&] { return Sent.size() == 1; }));
  Device.Join();
  Pump(50);
  ASSERT_EQ(Sent.size(), 1u);
  EXPECT_EQ(Heard, Sent[0]) << "sent once";
  EXPECT_TRUE(Received.empty()) << "no reply is read";
  EXPECT_TRUE(Client.Replies.empty());
}

TEST_F(LineTest, ClosingDropsQueuedTransactionsWithoutEvents) {
  Connection.SetReceiveTimeout(200);
  TDevice Device(Line.PortB(), [](TLinePeer&) {});
  Connection.Open();
  for (int I = 0; I < 3; ++I) Submit(ReadRequestPdu);
  Connection.Close();
  Pump(300);
  EXPECT_TRUE(Client.Replies.empty());
  EXPECT_LE(Sent.size(), 1u) << "at most the transaction in progress went out";
  EXPECT_THROW(Submit(ReadRequestPdu), EQuorvelError);
}

TEST_F(LineTest, ARequestOfAnEarlierOpeningNeverReachesTheNextOne) {
  // The device answers the first request well after the close has begun: the worker finishes it
  // and posts its result while the connection is closing, and the port opens again at once, as
  // when the settings dialog applies its settings.
  TDevice Device(Line.PortB(), [](TLinePeer& Peer) {
    if (Peer.ReadFrame(10ms, 3000ms).empty()) return;
    std::this_thread::sleep_for(100ms);
    Peer.Write(ReadReply);
  });
  Connection.Open();
  Submit(ReadRequestPdu);
  ASSERT_TRUE(PumpUntil([&] { return Sent.size() == 1; }));
  Connection.Close();
  Connection.Open();
  Pump(300);
  EXPECT_TRUE(Client.Replies.empty()) << "closing ended the requests of that opening";
}

TEST_F(LineTest, AsciiFrameIsFoundBehindNoiseAndRestarts) {
  Connection.SetTransmissionMode(tmASCII);
  Connection.SetSilentInterval(100);
  const TFrameData Reply = AsciiFrame(Hex("01 03 02 00 2A"));
  TDevice Device(Line.PortB(), [&Reply](TLinePeer& Peer) {
    if (Peer.ReadFrame(10ms, 3000ms).empty()) return;
    TFrameData Noisy = Bytes("xx\r\n:01");  // noise, then a frame that starts over
    Noisy.insert(Noisy.end(), Reply.begin(), Reply.end());
    Peer.Write(Noisy);
  });
  Connection.Open();
  Submit(ReadRequestPdu);
  ASSERT_TRUE(PumpUntil([&] { return !Client.Replies.empty(); }));
  EXPECT_EQ(Client.Replies[0].Info.ReplyStatus, rsSuccess);
  EXPECT_EQ(Received.at(0), Reply);
  EXPECT_EQ(Sent.at(0), AsciiFrame(Hex("01 03 00 00 00 01")));
}

TEST_F(LineTest, AsciiCrFollowedByAnotherCharacter) {
  Connection.SetTransmissionMode(tmASCII);
  Connection.SetSilentInterval(100);
  Connection.SetReceiveTimeout(600);
  Line.SetPacing(0, 10);  // each write arrives as one burst
  const TFrameData Reply = AsciiFrame(Hex("01 03 02 00 2A"));
  TDevice Device(Line.PortB(), [&Reply](TLinePeer& Peer) {
    // In one burst: the reader drops the broken frame and waits for the next colon.
    if (Peer.ReadFrame(10ms, 3000ms).empty()) return;
    TFrameData First = Bytes(":0103\rX");
    First.insert(First.end(), Reply.begin(), Reply.end());
    Peer.Write(First);
    // Begun in one burst, broken in the next: the read ends with nothing.
    if (Peer.ReadFrame(10ms, 3000ms).empty()) return;
    Peer.Write(Bytes(":0103"));
    std::this_thread::sleep_for(30ms);
    Peer.Write(Bytes("\rX"));
  });
  Connection.Open();
  Submit(ReadRequestPdu);
  Submit(ReadRequestPdu);
  ASSERT_TRUE(PumpUntil([&] { return Client.Replies.size() == 2; }));
  EXPECT_EQ(Client.Replies[0].Info.ReplyStatus, rsSuccess);
  EXPECT_EQ(Client.Replies[1].Info.ReplyStatus, rsNoReply);
  ASSERT_GE(Received.size(), 2u);
  EXPECT_TRUE(Received[1].empty());
}

// The shapes of ASCII frame that the reader can hand over and the decoder refuses, and one too
// short for a frame: bad frames like one whose LRC fails, never an error for the application.
TEST_F(LineTest, MalformedAsciiFramesAreBadFramesNotErrors) {
  std::vector<std::string> Shown;
  Application::SetExceptionDisplay([&Shown](const std::string& Message) { Shown.push_back(Message); });
  Connection.SetTransmissionMode(tmASCII);
  Connection.SetMaxRetries(2);
  Connection.SetReceiveTimeout(200);
  const char* const Malformed[] = {":\r\n", ":0\r\n", ":0103\r\n"};  // too small, even size, too short
  for (const char* Frame : Malformed) {
    Client.Replies.clear();
    Connection.ResetStatistics();
    TDevice Device(Line.PortB(), Answer(2, [Frame](const TFrameData&) { return Bytes(Frame); }));
    Connection.Open();
    Submit(ReadRequestPdu);
    ASSERT_TRUE(PumpUntil([&] { return !Client.Replies.empty(); }));
    Device.Join();
    Pump(50);
    ASSERT_EQ(Client.Replies.size(), 1u) << "exactly one event";
    EXPECT_EQ(Client.Replies[0].Info.ReplyStatus, rsNoReply);
    EXPECT_EQ(Client.Replies[0].Info.Attempts, 2u) << "the attempt ends as at a bad LRC, and the next one goes";
    EXPECT_EQ(Connection.Statistics().MalformedFrames, 2u);
    Connection.Close();
  }

  // A server drops them unanswered and answers the good request that follows.
  Connection.SetConnectionMode(cmServer);
  TModbusMemoryServer Server;
  Server.SetServerAddress(1);
  Server.HoldingRegisters() = {0, TRegValues(1, 42)};
  Server.SetConnection(&Connection);
  Connection.ResetStatistics();
  Connection.Open();
  std::atomic<bool> Done{false};
  TFrameData Replies;
  TDevice Peer(Line.PortB(), [&](TLinePeer& P) {
    // Apart: the reader drops what follows a frame's LF in the same burst.
    for (const char* Frame : Malformed) {
      std::this_thread::sleep_for(50ms);
      P.Write(Bytes(Frame));
    }
    std::this_thread::sleep_for(50ms);
    P.Write(AsciiFrame(Hex("01 03 00 00 00 01")));
    Replies = P.ReadFor(500ms);
    Done = true;
  });
  ASSERT_TRUE(PumpUntilFlag(Done));
  Peer.Join();
  EXPECT_EQ(Replies, AsciiFrame(Hex("01 03 02 00 2A"))) << "one reply, to the good request";
  EXPECT_EQ(Connection.Statistics().MalformedFrames, 3u);
  Application::SetExceptionDisplay(nullptr);
  EXPECT_TRUE(Shown.empty()) << Shown.front();
}

TEST_F(LineTest, ServerModeWithoutServersReadsAndReportsButSendsNothing) {
  Connection.SetConnectionMode(cmServer);
  TDevice Device(Line.PortB(), [](TLinePeer& Peer) {
    std::this_thread::sleep_for(50ms);
    Peer.Write(ReadRequest);
  });
  Connection.Open();
  ASSERT_TRUE(PumpUntil([&] { return !Received.empty() && !Sent.empty(); }));
  Device.Join();
  EXPECT_EQ(Received[0], ReadRequest);
  EXPECT_TRUE(Sent[0].empty()) << "an empty reply is reported and not sent";
  EXPECT_TRUE(Device.Peer().ReadFor(100ms).empty());
}

TEST_F(LineTest, ServerModeAnswersThroughTheServerOfTheAddress) {
  struct TEchoServer : TModbusServer {
    using TModbusServer::TModbusServer;
    int Calls = 0;
    void HandleRequest(TModbusTransaction& T) override {
      ++Calls;
      Connection()->WriteOwnAddress(*this, T.Reply);
      T.Reply.WriteByte(0x03);
      T.Reply.WriteByte(0x02);
      T.Reply.WriteWord(0x002A);
      Connection()->AppendChecksum(T.Reply);
    }
  };
  TEchoServer Other, Server;
  Other.SetServerAddress(9);
  Other.SetConnection(&Connection);
  Server.SetConnection(&Connection);
  Connection.SetConnectionMode(cmServer);
  TFrameData Answer;
  TDevice Device(Line.PortB(), [&Answer](TLinePeer& Peer) {
    std::this_thread::sleep_for(50ms);
    Peer.Write(ReadRequest);
    Answer = Peer.ReadFrame(10ms, 2000ms);
  });
  Connection.Open();
  // The dispatch runs on this thread: keep serving it while the device waits for its answer.
  ASSERT_TRUE(PumpUntil([&] { return Server.Calls == 1; }));
  Device.Join();
  EXPECT_EQ(Answer, ReadReply);
  EXPECT_EQ(Server.Calls, 1);
  EXPECT_EQ(Other.Calls, 0);
}

TEST_F(LineTest, ClosingEndsAServerWaitAtOnce) {
  Connection.SetConnectionMode(cmServer);
  Connection.Open();
  Pump(100);
  const auto Start = std::chrono::steady_clock::now();
  Connection.Close();
  EXPECT_LT(std::chrono::steady_clock::now() - Start, 2s) << "the stop event ends the endless wait";
  Connection.Open();  // the stop signal of the last close does not linger
  Pump(100);
  Connection.Close();
}

TEST_F(LineTest, AVanishedPortFailsCleanlyWithoutSpinning) {
  int Lost = 0;
  Connection.SetOnPortLost([&Lost](TModbusConnection&) { ++Lost; });
  for (const auto Mode : {cmClient, cmServer}) {
    Lost = 0;
    Connection.SetConnectionMode(Mode);
    Connection.SetReceiveTimeout(200);
    Testing::TVirtualSerialLine Doomed(19200);
    Connection.SetPort(Doomed.PortA());
    Connection.Open();
    Pump(50);
    Doomed.Unplug();
    // Told while idle, before any request meets the dead port.
    EXPECT_TRUE(PumpUntil([&] { return Lost == 1; }, 2000));
    if (Mode == cmClient) {
      Client.Replies.clear();
      Submit(ReadRequestPdu);
      ASSERT_TRUE(PumpUntil([&] { return !Client.Replies.empty(); }));
      EXPECT_EQ(Client.Replies[0].Info.ReplyStatus, rsNoReply);
    }
    const double Before = Testing::ProcessCpuSeconds();
    Pump(500);
    const double Used = Testing::ProcessCpuSeconds() - Before;
    EXPECT_LT(Used, 0.2) << "the worker waits; it does not spin on the dead port";
    EXPECT_EQ(Lost, 1) << "once per opening";
    Connection.Close();
    EXPECT_FALSE(Connection.Active());
  }
}

// ---- Length-aware framing ----

namespace {

constexpr auto Early = 1000ms;

class LengthAwareFraming : public LineTest {
 protected:
  // Reopens the connection with the framing and silent time asked for.
  void Reopen(bool Sized, Cardinal SilentInterval = 4) {
    Connection.Close();
    Connection.SetLengthAwareFraming(Sized);
    Connection.SetSilentInterval(SilentInterval);
    Connection.SetReceiveTimeout(SilentInterval == LongSilence ? 6000 : 400);
    Connection.Open();
  }
};

}  // namespace

TEST_F(LengthAwareFraming, EachReplyEndsAtItsLastByteOrAsTheSilenceEndsIt) {
  for (const auto& Row : CompletionRows()) {
    for (const bool Sized : {false, true}) {
      const bool Quick = Sized && Row.EndsAtLastByte;
      Reopen(Sized, Quick ? LongSilence : 4);
      Client.Replies.clear();
      TDevice Device(Line.PortB(), Answer(1, [&Row](const TFrameData&) { return Row.Answer; }));
      if (!Row.Bursts.empty()) Line.SplitNextFrame(TLineSide::B, Row.Bursts, Row.Gap);
      Submit(Row.RequestPdu, 1, Row.Raw);
      const bool Done = PumpUntil([&] { return !Client.Replies.empty(); }, Quick ? 1000 : 3000);
      ASSERT_TRUE(Done) << Row.Name << (Sized ? ", sized" : "") << ": no outcome in time";
      EXPECT_EQ(Client.Replies[0].Info.ReplyStatus, Sized ? Row.Sized : Row.Silence)
          << Row.Name << (Sized ? ", sized" : ", silence");
      Device.Join();
    }
  }
}

TEST_F(LengthAwareFraming, TheServerAnswersEachRequestAtItsLastByte) {
  TModbusMemoryServer Server;
  Server.SetServerAddress(1);
  Server.Coils() = {0, TBitValues(16, true)};
  Server.DiscreteInputs() = {0, TBitValues(16, false)};
  Server.HoldingRegisters() = {0, TRegValues(4, 7)};
  Server.InputRegisters() = {0, TRegValues(4, 9)};
  Server.FifoQueues()[0] = {5};
  Server.DeviceIdentification() = {{0, "Q"}};
  for (const Byte Function : {Functions::ReadWriteMultipleRegisters, Functions::ReadFifoQueue, Functions::EncapsulatedInterface})
    Server.SetFunctionProvided(Function, true);
  Server.SetConnection(&Connection);
  Connection.SetConnectionMode(cmServer);
  Reopen(true, LongSilence);
  const std::pair<const char*, const char*> Exchanges[] = {
      {"01 01 0000 0008", "01 01 01 FF"},       {"01 02 0000 0008", "01 02 01 00"},
      {"01 03 0000 0002", "01 03 04 0007 0007"}, {"01 04 0000 0001", "01 04 02 0009"},
      {"01 05 0001 FF00", "01 05 0001 FF00"},   {"01 06 0001 0011", "01 06 0001 0011"},
      {"01 0F 0000 0003 01 05", "01 0F 0000 0003"}, {"01 10 0000 0001 02 002A", "01 10 0000 0001"},
      {"01 07", "01 87 01"},  // a function it does not serve, sized all the same
      {"01 17 0000 0001 0000 0001 02 0003", "01 17 02 0003"},
      {"01 18 0000", "01 18 0004 0001 0005"},
      {"01 2B 0E 01 00", "01 2B 0E 01 81 00 00 01 00 01 51"},
  };
  std::vector<TFrameData> Replies;
  std::atomic<bool> Done{false};
  TDevice Peer(Line.PortB(), [&](TLinePeer& P) {
    for (const auto& [Request, Reply] : Exchanges) {
      P.Write(WithCrc(Hex(Request)));
      Replies.push_back(P.ReadFrame(10ms, Early));
    }
    Done = true;
  });
  ASSERT_TRUE(PumpUntilFlag(Done, 20000));
  Peer.Join();
  for (std::size_t I = 0; I < Replies.size(); ++I)
    EXPECT_EQ(Replies[I], WithCrc(Hex(Exchanges[I].second))) << Exchanges[I].first;
}

TEST_F(LengthAwareFraming, NeitherEndWaitsForASilentLineAtTheStart) {
  // A client's first request goes out at once, not a silent time after opening...
  TDevice Device(Line.PortB(), Answer(1, [](const TFrameData&) { return ReadReply; }));
  Reopen(true, LongSilence);
  Submit(ReadRequestPdu);
  ASSERT_TRUE(PumpUntil([&] { return !Client.Replies.empty(); }, 1000));
  EXPECT_EQ(Client.Replies[0].Info.ReplyStatus, rsSuccess);
  Device.Join();

  // ... and a server answers a request that arrives right after Open returns.
  TModbusMemoryServer Server;
  Server.SetServerAddress(1);
  Server.HoldingRegisters() = {0, TRegValues(1, 42)};
  Server.SetConnection(&Connection);
  Connection.Close();
  Connection.SetConnectionMode(cmServer);
  TLinePeer Peer(Line.PortB());
  Connection.Open();
  Peer.Write(ReadRequest);
  TFrameData Reply;
  std::atomic<bool> Read{false};
  std::thread Reader([&] {
    Reply = Peer.ReadFrame(10ms, 3000ms);
    Read = true;
  });
  EXPECT_TRUE(PumpUntilFlag(Read));
  Reader.join();
  EXPECT_EQ(Reply, ReadReply);
}

TEST_F(LengthAwareFraming, TheNextRequestWaitsTheInterFrameGap) {
  Connection.SetInterFrameGap(80000);  // 80 ms, so that the gap stands out of the line's timing
  std::vector<std::chrono::steady_clock::time_point> Events;
  TDevice Device(Line.PortB(), [&Events](TLinePeer& Peer) {
    for (int I = 0; I < 2; ++I) {
      if (Peer.ReadFrame(5ms, 3000ms).empty()) return;
      Events.push_back(std::chrono::steady_clock::now());
      Peer.Write(ReadReply);
    }
  });
  Reopen(true);
  Submit(ReadRequestPdu);
  Submit(ReadRequestPdu);
  ASSERT_TRUE(PumpUntil([&] { return Client.Replies.size() == 2; }));
  Device.Join();
  ASSERT_EQ(Events.size(), 2u);
  // The first reply's 7 bytes take 3.6 ms on the wire; then 80 ms of quiet before the next request.
  EXPECT_GE(Events[1] - Events[0], 80ms);
}
