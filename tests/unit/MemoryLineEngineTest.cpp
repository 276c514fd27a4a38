// The worker's client and server loops on an in-memory line: framing, retries, echo handling,
// time-outs and start-up, without a pseudo-terminal. The line suites prove the same on real ports.

#include <Quorvel/MemoryServer.h>
#include "ErrorMessage.h"
#include "MemoryLineFixture.h"
#include "TestPlatform.h"

using namespace Quorvel;
using namespace QuorvelTest;

namespace {

class MemoryLineFraming : public MemoryLineTest {
 protected:
  void Reopen(bool Sized, Cardinal SilentInterval = 4, TTransmissionMode Mode = tmRTU) {
    Connection.Close();
    Connection.SetTransmissionMode(Mode);
    Connection.SetLengthAwareFraming(Sized);
    Connection.SetSilentInterval(SilentInterval);
    Connection.SetReceiveTimeout(SilentInterval == LongSilence ? 6000 : 400);
    Connection.Open();
  }

  // The device end writes a byte every Interval, Count times or until Chattering is cleared, which
  // it clears when it is done.
  std::thread Chatter(std::atomic<bool>& Chattering, int Count, std::chrono::milliseconds Interval) {
    Chattering = true;
    return std::thread([this, &Chattering, Count, Interval] {
      for (int I = 0; I < Count && Chattering; ++I) {
        Peer.Write(Hex("55"));
        std::this_thread::sleep_for(Interval);
      }
      Chattering = false;
    });
  }
};

}  // namespace

TEST_F(MemoryLineFraming, EachReplyEndsAtItsLastByteOrAsTheSilenceEndsIt) {
  for (const auto& Row : CompletionRows()) {
    for (const bool Sized : {false, true}) {
      const bool Quick = Sized && Row.EndsAtLastByte;
      Reopen(Sized, Quick ? LongSilence : 4);
      Client.Replies.clear();
      TMemoryDevice Device(Peer, [&Row](TMemoryPeer& P) {
        if (P.ReadFrame(10ms, 3000ms).empty()) return;
        if (Row.Bursts.empty())
          P.Write(Row.Answer);
        else
          P.WriteBursts(Row.Answer, Row.Bursts, Row.Gap);
      });
      Submit(Row.RequestPdu, 1, Row.Raw);
      const bool Done = PumpUntil([&] { return !Client.Replies.empty(); }, Quick ? 1000 : 3000);
      ASSERT_TRUE(Done) << Row.Name << (Sized ? ", sized" : "") << ": no outcome in time";
      EXPECT_EQ(Client.Replies[0].Info.ReplyStatus, Sized ? Row.Sized : Row.Silence)
          << Row.Name << (Sized ? ", sized" : ", silence");
    }
  }
}

// What a device does with the attempts of one request, and how the request ends.
TEST_F(MemoryLineTest, AttemptsEndAsTheRulesSay) {
  const TFrameData OtherServer = WithCrc(Hex("02 03 02 00 01"));
  const TFrameData OtherFunction = WithCrc(Hex("01 04 02 00 01"));
  const TFrameData Exception = Hex("01 83 02 C0 F1");
  struct TRow {
    const char* Name;
    std::vector<std::vector<TFrameData>> PerAttempt;  // what the device writes after each request
    TReplyStatus Status;
    Cardinal Attempts;
  };
  const TRow Rows[] = {
      {"silent device", {{}, {}, {}}, rsNoReply, 3},
      {"exception reply ends the attempts", {{Exception}}, rsExceptionReply, 1},
      {"frames that do not answer are passed over", {{OtherServer, OtherFunction, ReadReply}}, rsSuccess, 1},
      // Each attempt passes the frame over and reads on until its time is up.
      {"only frames that do not answer", {{OtherServer}, {OtherServer}, {OtherServer}}, rsNoReply, 3},
      {"answered at the second attempt", {{}, {ReadReply}}, rsSuccess, 2},
  };
  Connection.SetMaxRetries(3);
  Connection.SetReceiveTimeout(400);  // room for the three frames of a row, 100 ms apart
  Connection.Open();
  for (const auto& Row : Rows) {
    Client.Replies.clear();
    Sent.clear();
    TMemoryDevice Device(Peer, [&Row](TMemoryPeer& P) {
      for (const auto& Frames : Row.PerAttempt) {
        if (P.ReadFrame(5ms, 2000ms).empty()) return;
        for (const auto& Frame : Frames) {
          P.Write(Frame);
          // A silence after each, as a device leaves it: well above the silent time (20 ms), so that a
          // worker scheduled late on a busy machine still sees the frames apart.
          std::this_thread::sleep_for(100ms);
        }
      }
    });
    Submit(ReadRequestPdu);
    ASSERT_TRUE(PumpUntil([&] { return !Client.Replies.empty(); })) << Row.Name;
    EXPECT_EQ(Client.Replies[0].Info.ReplyStatus, Row.Status) << Row.Name;
    EXPECT_EQ(Client.Replies[0].Info.Attempts, Row.Attempts) << Row.Name;
    EXPECT_EQ(Sent.size(), Row.Attempts) << Row.Name;
  }
  const TLineStatistics Stats = Connection.Statistics();
  EXPECT_EQ(Stats.FramesSent, 10u);
  EXPECT_EQ(Stats.Retries, 5u);
  EXPECT_EQ(Stats.ExceptionReplies, 1u);
  EXPECT_EQ(Stats.OtherAddresses, 4u);
}

TEST_F(MemoryLineTest, EchoIsSkippedWhenAskedFor) {
  Connection.SetEchoQueryBeforeReply(true);
  Connection.Open();
  // The echo alone first, then the answer after a pause; then echo and answer in one write.
  for (const auto Pause : {60ms, 0ms}) {
    Received.clear();
    Client.Replies.clear();
    TMemoryDevice Device(Peer, [Pause](TMemoryPeer& P) {
      TFrameData Echo = P.ReadFrame(5ms, 2000ms);
      if (Pause == 0ms) {
        Echo.insert(Echo.end(), ReadReply.begin(), ReadReply.end());
        P.Write(Echo);
        return;
      }
      P.Write(Echo);
      std::this_thread::sleep_for(Pause);
      P.Write(ReadReply);
    });
    Submit(ReadRequestPdu);
    ASSERT_TRUE(PumpUntil([&] { return !Client.Replies.empty() && !Received.empty(); }));
    EXPECT_EQ(Client.Replies[0].Info.ReplyStatus, rsSuccess);
    EXPECT_EQ(Client.Replies[0].Reply, ReadReply) << "the reply buffer holds only the answer";
    EXPECT_EQ(Received, std::vector<TFrameData>{ReadReply}) << "the echo is not reported";
  }
  EXPECT_EQ(Connection.Statistics().Echoes, 2u);
}

TEST_F(MemoryLineTest, ABroadcastIsSentOnceAndReportedToNobody) {
  Connection.SetMaxRetries(3);
  Connection.SetTurnaroundDelay(30);
  Connection.Open();
  TFrameData Heard;
  TMemoryDevice Device(Peer, [&Heard](TMemoryPeer& P) { Heard = P.ReadFrame(5ms, 2000ms); });
  Submit(Hex("06 00 01 00 03"), 0);
  ASSERT_TRUE(PumpUntil([&] { return Sent.size() == 1; }));
  Device.Join();
  Pump(150);
  EXPECT_EQ(Sent.size(), 1u);
  EXPECT_EQ(Heard, Sent.at(0));
  EXPECT_TRUE(Received.empty()) << "no reply is read";
  EXPECT_TRUE(Client.Replies.empty());
}

// With the silence rule a client's worker first waits for a quiet line; length-aware framing
// starts at once, and a server answers a request that comes right after Open.
TEST_F(MemoryLineFraming, StartUpWaitsForAQuietLineOnlyWithTheSilenceRule) {
  for (const bool Sized : {false, true}) {
    Connection.Close();
    std::atomic<bool> Chattering;
    std::thread Chattered = Chatter(Chattering, 20, 10ms);
    Reopen(Sized);
    Submit(ReadRequestPdu);
    ASSERT_TRUE(PumpUntil([&] { return !Sent.empty(); }, 2000));
    EXPECT_EQ(Chattering.load(), Sized) << (Sized ? "sized: sent at once" : "silence: sent once the line was quiet");
    Chattered.join();
    ASSERT_TRUE(PumpUntil([&] { return !Client.Replies.empty(); }, 2000));
    Sent.clear();
    Client.Replies.clear();
  }

  TModbusMemoryServer Server;
  Server.HoldingRegisters() = {0, TRegValues(1, 42)};
  Server.SetConnection(&Connection);
  Connection.Close();
  Connection.SetConnectionMode(cmServer);
  Connection.Open();
  Peer.Discard();  // the client's requests that nobody answered
  Peer.Write(ReadRequest);
  TFrameData Reply;
  std::atomic<bool> Read{false};
  std::thread Reader([&] {
    Reply = Peer.ReadFrame(10ms, 2000ms);
    Read = true;
  });
  EXPECT_TRUE(PumpUntilFlag(Read));  // the server's answer is built on this thread
  Reader.join();
  EXPECT_EQ(Reply, ReadReply);
}

TEST_F(MemoryLineFraming, AsciiFramesEndAtCrLfBehindNoise) {
  Reopen(LengthAwareRun(), 100, tmASCII);
  const TFrameData Reply = AsciiFrame(Hex("01 03 02 00 2A"));
  TMemoryDevice Device(Peer, [&Reply](TMemoryPeer& P) {
    if (P.ReadFrame(10ms, 2000ms).empty()) return;
    TFrameData Noisy = Bytes("xx\r\n:01");  // noise, then a frame that starts over
    Noisy.insert(Noisy.end(), Reply.begin(), Reply.end());
    P.WriteBursts(Noisy, {4, 3}, 20ms);
  });
  Submit(ReadRequestPdu);
  ASSERT_TRUE(PumpUntil([&] { return !Client.Replies.empty(); }));
  EXPECT_EQ(Client.Replies[0].Info.ReplyStatus, rsSuccess);
  EXPECT_EQ(Received.at(0), Reply);
}

TEST_F(MemoryLineTest, ALostLineIsToldOnceAndNeverSpins) {
  int Lost = 0;
  Connection.SetOnPortLost([&Lost](TModbusConnection&) { ++Lost; });
  Connection.SetReceiveTimeout(100);
  auto Gone = std::make_unique<TMemoryPeer>(Wire);  // a second opener of side B takes it over...
  Connection.Open();
  Gone.reset();  // ... and leaves: the cable is pulled
  EXPECT_TRUE(PumpUntil([&] { return Lost == 1; }, 2000));
  Submit(ReadRequestPdu);
  ASSERT_TRUE(PumpUntil([&] { return !Client.Replies.empty(); }));
  EXPECT_EQ(Client.Replies[0].Info.ReplyStatus, rsNoReply);
  const double Before = Testing::ProcessCpuSeconds();
  Pump(300);
  EXPECT_LT(Testing::ProcessCpuSeconds() - Before, 0.15) << "the worker waits; it does not spin";
  EXPECT_EQ(Lost, 1);
}

// What follows a frame in the same read is the next read's start: in ASCII after the LF, in both
// modes (the reply behind an echo that came with it, the request behind a frame to another
// station), and with length-aware RTU framing, where a server also tells another server's reply by
// its own length. The RTU silence rule keeps such a pair one frame, which fails its check.
TEST_F(MemoryLineFraming, WhatFollowsAFrameInTheSameReadIsTheNextFrame) {
  for (const bool Sized : {false, true}) {
    Reopen(Sized, 20, tmASCII);
    Connection.SetEchoQueryBeforeReply(true);
    Received.clear();
    Client.Replies.clear();
    const TFrameData Reply = AsciiFrame(Hex("01 03 02 00 2A"));
    TMemoryDevice Device(Peer, [&Reply](TMemoryPeer& P) {
      TFrameData EchoAndReply = P.ReadFrame(10ms, 2000ms);
      EchoAndReply.insert(EchoAndReply.end(), Reply.begin(), Reply.end());
      P.Write(EchoAndReply);
    });
    Submit(ReadRequestPdu);
    ASSERT_TRUE(PumpUntil([&] { return !Client.Replies.empty(); })) << Sized;
    EXPECT_EQ(Client.Replies[0].Info.ReplyStatus, rsSuccess) << Sized;
    EXPECT_EQ(Received, std::vector<TFrameData>{Reply}) << Sized;
  }

  TModbusMemoryServer Server;
  Server.HoldingRegisters() = {0, TRegValues(1, 42)};
  Server.SetConnection(&Connection);
  const struct {
    TTransmissionMode Mode;
    bool Sized;
    const char* First;  // before the request to us, in the same write
    bool Answered;
  } Rows[] = {
      {tmASCII, false, "02 03 00 00 00 01", true}, {tmASCII, true, "02 03 00 00 00 01", true},
      {tmASCII, true, "02 03 02 00 2A", true},     {tmRTU, true, "02 03 00 00 00 01", true},
      {tmRTU, true, "02 03 02 00 2A", true},       {tmRTU, true, "02 83 02", true},
      {tmRTU, false, "02 03 00 00 00 01", false},
  };
  for (const auto& Row : Rows) {
    const std::string Name = std::string(Row.Mode == tmASCII ? "ASCII" : "RTU") + (Row.Sized ? ", sized, " : ", silence, ") + Row.First;
    Connection.Close();
    Connection.SetConnectionMode(cmServer);
    Reopen(Row.Sized, Row.Mode == tmASCII ? 20 : 4, Row.Mode);
    const auto Frame = [&Row](const char* Pdu) { return Row.Mode == tmASCII ? AsciiFrame(Hex(Pdu)) : WithCrc(Hex(Pdu)); };
    std::atomic<bool> Ready{false};
    Connection.SetOnReady([&Ready](TModbusConnection&) { Ready = true; });
    ASSERT_TRUE(PumpUntilFlag(Ready)) << Name;
    TFrameData Both = Frame(Row.First);
    const TFrameData ToUs = Frame("01 03 00 00 00 01");
    Both.insert(Both.end(), ToUs.begin(), ToUs.end());
    TFrameData Answer;
    std::atomic<bool> Read{false};
    std::thread Reader([&] {
      Answer = Peer.ReadFrame(10ms, 1000ms);
      Read = true;
    });
    Peer.Write(Both);
    EXPECT_TRUE(PumpUntilFlag(Read));
    Reader.join();
    EXPECT_EQ(Answer, Row.Answered ? Frame("01 03 02 00 2A") : TFrameData{}) << Name;
    Connection.SetOnReady(nullptr);
  }
}

// OnReady tells when the worker hears every frame: once per opening, after the start-up purge and,
// with the silence rule, a silent line; a request sent then is answered.
TEST_F(MemoryLineFraming, ReadyComesOnceTheWorkerListens) {
  TModbusMemoryServer Server;
  Server.HoldingRegisters() = {0, TRegValues(1, 42)};
  Server.SetConnection(&Connection);
  Connection.SetConnectionMode(cmServer);
  for (const bool Sized : {false, true}) {
    // While the line chatters: at once when sized, once the line is quiet with the silence rule.
    std::atomic<bool> Chattering;
    std::thread Chattered = Chatter(Chattering, 20, 10ms);
    int Readies = 0;
    bool ChatteringAtReady = false;
    Connection.SetOnReady([&](TModbusConnection&) {
      ++Readies;
      ChatteringAtReady = Chattering;
    });
    Reopen(Sized);
    EXPECT_TRUE(PumpUntil([&] { return Readies > 0; }, 2000)) << Sized;
    Chattered.join();
    Pump(50);
    EXPECT_EQ(Readies, 1) << Sized;
    EXPECT_EQ(ChatteringAtReady, Sized) << (Sized ? "sized: ready at once" : "silence: ready once the line was quiet");

    // On a quiet line, the request sent as the worker says it is ready is answered.
    Connection.SetOnReady([this](TModbusConnection&) { Peer.Write(ReadRequest); });
    Reopen(Sized);
    TFrameData Answer;
    std::atomic<bool> Read{false};
    std::thread Reader([&] {
      Answer = Peer.ReadFrame(10ms, 2000ms);
      Read = true;
    });
    EXPECT_TRUE(PumpUntilFlag(Read));
    Reader.join();
    EXPECT_EQ(Answer, ReadReply) << Sized;
  }
  // Closed before the line fell silent: never ready.
  std::atomic<bool> Chattering;
  std::thread Chattered = Chatter(Chattering, 1000, 5ms);
  int Readies = 0;
  Connection.SetOnReady([&](TModbusConnection&) { ++Readies; });
  Reopen(false);
  Pump(100);
  Connection.Close();
  Chattering = false;
  Chattered.join();
  Pump(50);
  EXPECT_EQ(Readies, 0);
}

namespace {

// How long Close takes, in milliseconds.
std::int64_t MsToClose(TModbusConnection& Connection) {
  const auto Start = std::chrono::steady_clock::now();
  Connection.Close();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - Start).count();
}

}  // namespace

// Close holds MaxRetries x (SendTimeout + ReceiveTimeout + RefetchDelay), here 1 x (1000 + 400 + 0)
// ms, whatever the worker is doing: waiting for a line that never falls silent, for a reply without
// limit, for a broadcast's turnaround. Nor does it sit out the pause after a transaction's last
// attempt (the last row, whose RefetchDelay of 3 s is held to the same 1.4 s).
TEST_F(MemoryLineTest, ClosingEndsWhatItsBoundDoesNotCover) {
  const std::int64_t Bound = 1000 + 400;
  std::atomic<bool> Closed{false};
  // A device that keeps the line busy until the test has closed, at most for 4 s.
  const auto Chatter = [&Closed](TMemoryPeer& P) {
    for (int I = 0; I < 800 && !Closed; ++I) {
      P.Write(Hex("55"));
      std::this_thread::sleep_for(5ms);
    }
  };
  // One that answers the request only once the test has closed, or after 3 s.
  const auto AnswerLate = [&Closed](TMemoryPeer& P) {
    if (P.ReadFrame(5ms, 2000ms).empty()) return;
    for (int I = 0; I < 300 && !Closed; ++I) std::this_thread::sleep_for(10ms);
    P.Write(ReadReply);
  };
  const auto Answer = [](TMemoryPeer& P) {
    if (!P.ReadFrame(5ms, 2000ms).empty()) P.Write(ReadReply);
  };
  const struct {
    const char* Name;
    TConnectionMode Mode;
    std::function<void(TMemoryPeer&)> Device;
    std::function<void()> Setup;  // then submits, if it sets a request
    TFrameData Pdu;
    Byte Address;
    bool Answered;  // close once the reply has been read
  } Rows[] = {
      {"client on a chatty line", cmClient, Chatter, [] {}, {}, 1, false},
      {"server on a chatty line", cmServer, Chatter, [] {}, {}, 1, false},
      {"a reply awaited without limit", cmClient, AnswerLate, [&] { Connection.SetReceiveTimeout(Infinite); },
       ReadRequestPdu, 1, false},
      {"a broadcast's turnaround", cmClient, [](TMemoryPeer&) {}, [&] { Connection.SetTurnaroundDelay(3000); },
       Hex("06 00 01 00 03"), 0, false},
      {"the pause after the last attempt", cmClient, Answer, [&] { Connection.SetRefetchDelay(3000); },
       ReadRequestPdu, 1, true},
  };
  for (const auto& Row : Rows) {
    Closed = false;
    Connection.SetConnectionMode(Row.Mode);
    Connection.SetReceiveTimeout(400);
    Connection.SetTurnaroundDelay(0);
    Connection.SetRefetchDelay(0);
    Row.Setup();
    Sent.clear();
    Received.clear();
    Client.Replies.clear();
    Connection.Open();
    TMemoryDevice Device(Peer, Row.Device);
    if (!Row.Pdu.empty()) {
      Submit(Row.Pdu, Row.Address);
      // Under way: sent, and for a reply, read.
      ASSERT_TRUE(PumpUntil([&] { return !Sent.empty() && (!Row.Answered || !Received.empty()); })) << Row.Name;
    } else {
      Pump(200);
    }
    EXPECT_LT(MsToClose(Connection), Bound) << Row.Name;
    Closed = true;
    Device.Join();
    Pump(50);
    EXPECT_TRUE(Client.Replies.empty()) << Row.Name << ": closed first, so no event";
  }
}

// A transaction in progress still runs through its attempts when the connection closes.
TEST_F(MemoryLineTest, ClosingLetsTheTransactionInProgressEndItsAttempts) {
  Connection.SetMaxRetries(3);
  Connection.SetReceiveTimeout(200);
  Connection.Open();
  Submit(ReadRequestPdu);
  ASSERT_TRUE(PumpUntil([&] { return !Sent.empty(); }));
  EXPECT_LT(MsToClose(Connection), 3 * (1000 + 200));
  Pump(50);
  EXPECT_EQ(Sent.size(), 3u) << "frame copies are delivered after closing too";
  EXPECT_TRUE(Client.Replies.empty());
}

// A main thread that falls behind costs frame copies, which are counted, never a result.
TEST_F(MemoryLineTest, AFullMessageQueueCostsFrameCopiesNeverAResult) {
  Connection.Open();
  Pump(50);
  TMemoryDevice Device(Peer, Answer(1, [](const TFrameData&) { return ReadReply; }));
  while (MainThread::Post([] {})) {
  }
  Submit(ReadRequestPdu);
  // The worker goes on while nobody pumps: the reply is read and judged without the main thread.
  for (int I = 0; I < 300 && Connection.Statistics().FramesReceived == 0; ++I) std::this_thread::sleep_for(10ms);
  Device.Join();
  ASSERT_TRUE(PumpUntil([&] { return !Client.Replies.empty(); }));
  EXPECT_EQ(Client.Replies[0].Info.ReplyStatus, rsSuccess);
  EXPECT_TRUE(Sent.empty() && Received.empty()) << "both copies were refused";
  EXPECT_EQ(Connection.Statistics().FrameCopiesDropped, 2u);
  EXPECT_EQ(Connection.Statistics().FramesSent, 1u);
}

// The event API's requests and the lists of clients and servers are the main thread's: a call from
// another thread is refused before anything is counted, sent or changed.
TEST_F(MemoryLineTest, RequestsAndRegistrationsFromAnotherThreadAreRefused) {
  Connection.Open();
  TModbusMemoryServer Server;
  TModbusClient Other;
  std::vector<std::string> Refusals;
  std::thread([&] {
    const auto Try = [&Refusals](const std::function<void()>& Call) {
      Refusals.push_back(MessageOf<std::logic_error>(Call));
    };
    Try([&] { Client.ReadHoldingRegisters(0, 1); });
    Try([&] { Client.WriteMultipleRegisters(443, TRegValues{3, 0x4142}); });
    Try([&] { Client.SetConnection(nullptr); });
    Try([&] { Other.SetConnection(&Connection); });
    Try([&] { Server.SetConnection(&Connection); });
    Try([&] { Connection.RegisterClient(&Other); });
  }).join();
  const std::string Request = "A request of TModbusClient must run on the main thread";
  const std::string Link = "SetConnection must run on the main thread";
  EXPECT_EQ(Refusals, (std::vector<std::string>{Request, Request, Link, Link, Link,
                                                "RegisterClient must run on the main thread"}));
  Pump(100);
  EXPECT_TRUE(Sent.empty()) << "nothing went out";
  EXPECT_EQ(Connection.NextTransactionID(), 0u) << "nothing was counted";
  EXPECT_EQ(Connection.FindClient(1), &Client);
  EXPECT_EQ(Client.Connection(), &Connection);
  EXPECT_EQ(Server.Connection(), nullptr);
}
