// The requester on an in-memory line: every style ends every outcome exactly once, cancellation
// in each state, closing and the requester's end with requests pending, the threads a blocking
// call refuses, and many threads submitting at once. The line and interop suites prove the styles
// against the simulated device and libmodbus on pseudo-terminals.

#include <Quorvel/DisplayLine.h>
#include <Quorvel/Errors.h>
#include <Quorvel/Requester.h>

#include <map>
#include <mutex>

#include "MemoryLineFixture.h"
#include "RequestStyles.h"

using namespace Quorvel;
using namespace QuorvelTest;

namespace {

class Requester : public MemoryLineTest {
 protected:
  TRequester Device{Connection, 1};

  void SetUp() override {
    MemoryLineTest::SetUp();
    Connection.SetLengthAwareFraming(true);
    Connection.SetReceiveTimeout(300);
    Connection.Open();
  }
};

struct TOutcomeRow {
  const char* Name;
  TFrameData Answer;  // empty: the device does not answer
  TReplyStatus Status;
  TRegValues Values;
};

const TOutcomeRow OutcomeRows[] = {
    {"success", WithCrc(Hex("01 03 04 0102 0304")), rsSuccess, {0x0102, 0x0304}},
    {"exception", WithCrc(Hex("01 83 02")), rsExceptionReply, {}},
    {"no reply", {}, rsNoReply, {}},
    // Two registers asked, one delivered whole: the decoder refuses it, and none is handed on.
    {"invalid reply", WithCrc(Hex("01 03 04 0102")), rsInvalidReply, {}},
};

}  // namespace

TEST_F(Requester, EachStyleEndsEachOutcomeOnceWithItsValues) {
  // The silence ends each frame, so that a reply too short for its byte count reaches the decoder.
  Connection.Close();
  Connection.SetLengthAwareFraming(false);
  Connection.Open();
  for (const TOutcomeRow& Row : OutcomeRows) {
    for (const TStyle Style : AllStyles) {
      const std::string Case = std::string(Row.Name) + ", " + StyleName(Style);
      TMemoryDevice Script(Peer, [&Row](TMemoryPeer& P) {
        if (!P.ReadFrame(10ms, 3000ms).empty() && !Row.Answer.empty()) P.Write(Row.Answer);
      });
      TStyleEnd<TRegValues> End;
      SendInStyle(Style, Device.ReadHoldingRegisters(0, 2), End, 3000);
      Script.Join();
      ASSERT_EQ(End.Count, 1) << Case;
      EXPECT_FALSE(End.Reply.Cancelled) << Case;
      EXPECT_EQ(End.Reply.Info.ReplyStatus, Row.Status) << Case;
      EXPECT_EQ(End.Reply.Succeeded(), Row.Status == rsSuccess) << Case;
      EXPECT_EQ(End.Reply.Values, Row.Values) << Case;
      EXPECT_EQ(End.Reply.Info.ServerAddress, 1) << Case;
      EXPECT_EQ(End.Reply.Info.Attempts, 1u) << Case;
      if (Row.Status == rsExceptionReply) {
        EXPECT_EQ(End.Reply.Info.ExceptionCode, 2) << Case;
      }
      if (!EndsOnAThreadOfItsOwn(Style)) {
        EXPECT_EQ(End.OnMain.load(), EndsOnMain(Style)) << Case;
      }
    }
  }
  // The client registered with the same address is never handed the requester's transactions.
  EXPECT_TRUE(Client.Replies.empty());
}

// The values of every function, from the same decoders the client's events use.
TEST_F(Requester, EveryFunctionDecodesItsReply) {
  TMemoryDevice Script(Peer, Answer(7, [](const TFrameData& Request) {
    switch (Request[1]) {
      case 0x01: return WithCrc(Hex("01 01 01 05"));
      case 0x05: return TFrameData(Request);
      case 0x0B: return WithCrc(Hex("01 0B 0000 0007"));
      case 0x10: return WithCrc(Hex("01 10 01BB 000B"));
      case 0x16: return TFrameData(Request);
      case 0x2B: return WithCrc(Hex("01 2B 0E 01 01 00 00 02 00 01 41 01 01 42"));
      default: return WithCrc(Hex("01 41 02 AABB"));
    }
  }));
  auto Coils = Device.ReadCoils(0, 3).Future();
  auto Coil = Device.WriteSingleCoil(4, true).Future();
  auto Counter = Device.GetCommEventCounter().Future();
  auto Display = Device.WriteDisplayLine(Line2Selector, "AB").Future();
  auto Masks = Device.MaskWriteSingleRegister(1, 0xFF00, 0x000F).Future();
  auto Identity = Device.ReadDeviceIdentification(diBasic).Future();
  auto Raw = Device.SendRawRequest(Hex("41 0102"), TReplyLength{rlByteCount, 1, 0}).Future();

  EXPECT_EQ(Coils.get().Values, (TBitValues{true, false, true}));
  EXPECT_TRUE(Coil.get().Values);
  EXPECT_EQ(Counter.get().Values.EventCount, 7);
  const auto Written = Display.get();
  EXPECT_TRUE(Written.Succeeded());
  EXPECT_EQ(Written.Values, PackDisplayLine(4, "AB"));
  EXPECT_EQ(Written.Values[1], 0x4142);
  EXPECT_EQ(Masks.get().Values.OrMask, 0x000F);
  const auto Objects = Identity.get();
  EXPECT_TRUE(Objects.Succeeded());
  EXPECT_EQ(Objects.Values.Objects, (TDeviceObjects{{0, "A"}, {1, "B"}}));
  EXPECT_EQ(Raw.get().Values, Hex("41 02 AABB"));
  // The display line went out as the utility sends it.
  ASSERT_TRUE(PumpUntil([&] { return Sent.size() >= 7; }));
  EXPECT_EQ(Sent[3], WithCrc(Hex("01 10 01BB 000B 16 0004 4142 2020 2020 2020 2020 2020 2020 2020 2020 2020")));
}

// A server that says more objects follow is asked again within the one request, which ends once.
TEST_F(Requester, AReadDeviceIdentificationGathersEveryExchange) {
  TMemoryDevice Script(Peer, [](TMemoryPeer& P) {
    if (P.ReadFrame(10ms, 3000ms).empty()) return;
    P.Write(WithCrc(Hex("01 2B 0E 01 01 FF 01 01 00 01 41")));
    if (P.ReadFrame(10ms, 3000ms) != WithCrc(Hex("01 2B 0E 01 01"))) return;
    P.Write(WithCrc(Hex("01 2B 0E 01 01 00 00 01 01 01 42")));
  });
  std::atomic<int> Ends{0};
  TReply<TDeviceIdentificationValues> End;
  Device.ReadDeviceIdentification(diBasic).Then([&](const auto& Reply) {
    End = Reply;
    ++Ends;
  });
  ASSERT_TRUE(PumpUntil([&] { return Ends > 0; }));
  Pump(50);
  EXPECT_EQ(Ends, 1);
  EXPECT_TRUE(End.Succeeded());
  EXPECT_EQ(End.Info.Attempts, 2u);
  EXPECT_EQ(End.Values.Objects, (TDeviceObjects{{0, "A"}, {1, "B"}}));
}

// Queued behind a request in flight: cancelled, it never goes out; the one in flight, cancelled,
// ends at once and its late reply is dropped.
TEST_F(Requester, ACancelledRequestEndsOnceAndAQueuedOneIsNeverSent) {
  std::atomic<bool> Release{false};
  TMemoryDevice Script(Peer, [&](TMemoryPeer& P) {
    for (int I = 0; I < 2; ++I) {
      if (P.ReadFrame(10ms, 3000ms).empty()) return;
      while (I == 0 && !Release) std::this_thread::sleep_for(1ms);
      P.Write(WithCrc(Hex("01 03 02 0007")));
    }
  });
  Connection.SetReceiveTimeout(3000);
  auto InFlight = Device.ReadHoldingRegisters(0, 1);
  auto Queued = Device.ReadHoldingRegisters(1, 1);
  auto After = Device.ReadHoldingRegisters(2, 1);
  auto InFlightEnd = InFlight.Future();
  auto QueuedEnd = Queued.Future();
  auto AfterEnd = After.Future();
  ASSERT_TRUE(PumpUntil([&] { return Sent.size() == 1; }));

  EXPECT_TRUE(Queued.Cancel());
  EXPECT_TRUE(QueuedEnd.get().Cancelled);
  EXPECT_TRUE(InFlight.Cancel());
  const auto Dropped = InFlightEnd.get();
  EXPECT_TRUE(Dropped.Cancelled);
  EXPECT_FALSE(Dropped.Succeeded());
  EXPECT_EQ(Dropped.Info.ServerAddress, 1);
  EXPECT_FALSE(InFlight.Cancel()) << "ended already";
  Release = true;

  const auto Last = AfterEnd.get();
  EXPECT_TRUE(Last.Succeeded());
  EXPECT_EQ(Last.Values, TRegValues{7});
  Pump(50);
  // The cancelled queued request (register 1) never went out.
  ASSERT_EQ(Sent.size(), 2u);
  EXPECT_EQ(Sent[1], WithCrc(Hex("01 03 0002 0001")));
  EXPECT_FALSE(After.Cancel());
}

// Closing ends what is queued as cancelled; the request in flight runs through its attempts.
// Destroying a requester ends its own pending requests, and no other requester's.
TEST_F(Requester, ClosingAndTheRequestersEndCancelWhatIsPending) {
  for (const bool Closing : {true, false}) {
    const std::string Case = Closing ? "closing" : "requester destroyed";
    TMemoryDevice Script(Peer, [](TMemoryPeer& P) { P.ReadFrame(10ms, 3000ms); });
    auto Doomed = std::make_unique<TRequester>(Connection, 1);
    TRequester Other(Connection, 2);
    std::vector<std::future<TReply<TRegValues>>> Ends;
    for (Word I = 0; I < 4; ++I) Ends.push_back(Doomed->ReadHoldingRegisters(I, 1).Future());
    auto OtherEnd = Other.ReadHoldingRegisters(9, 1).Future();
    ASSERT_TRUE(PumpUntil([&] { return !Sent.empty(); })) << Case;
    if (Closing)
      Connection.Close();
    else
      Doomed.reset();
    for (std::size_t I = 1; I < Ends.size(); ++I) {
      ASSERT_EQ(Ends[I].wait_for(1s), std::future_status::ready) << Case;
      EXPECT_TRUE(Ends[I].get().Cancelled) << Case << ", queued request " << I;
    }
    const auto First = Ends[0].get();
    // The one in flight: its attempt ran out (closing), or it was cancelled with its requester.
    EXPECT_EQ(First.Cancelled, !Closing) << Case;
    EXPECT_EQ(First.Info.ReplyStatus, rsNoReply) << Case;
    const auto OtherReply = OtherEnd.get();
    EXPECT_EQ(OtherReply.Cancelled, Closing) << Case;
    if (!Closing) {
      EXPECT_EQ(OtherReply.Info.ReplyStatus, rsNoReply) << Case;
    }
    if (Closing) {
      EXPECT_THROW(Other.ReadHoldingRegisters(0, 1).Future(), EQuorvelError);
      Connection.Open();
    }
    Sent.clear();
    Script.Join();
  }
}

TEST_F(Requester, ARequestGoesOutOnceAndNotWhileTheConnectionIsClosed) {
  auto Request = Device.ReadHoldingRegisters(0, 1);
  EXPECT_FALSE(Request.Sent());
  Connection.Close();
  EXPECT_THROW(
      {
        try {
          Request.Future();
        } catch (const EQuorvelError& Error) {
          EXPECT_STREQ(Error.what(), "There is no active connection");
          throw;
        }
      },
      EQuorvelError);
  Connection.Open();
  TMemoryDevice Script(Peer, Answer(1, [](const TFrameData&) { return WithCrc(Hex("01 03 02 0001")); }));
  // Refused while closed, the same request can go once the connection is open.
  EXPECT_TRUE(Request.Future().get().Succeeded());
  EXPECT_TRUE(Request.Sent());
  EXPECT_THROW(Request.Future(), std::logic_error);
  // Arguments are checked where the request is made.
  EXPECT_THROW(Device.ReadHoldingRegisters(0, 126), EQuorvelError);
  EXPECT_THROW(TRequester(Connection, 0), EQuorvelError);
}

// A blocking call cannot wait on a thread that must run for it to end.
TEST_F(Requester, ABlockingCallIsRefusedWhereItCouldNeverEnd) {
  const char* const PumpRefusal = "A blocking request cannot wait on the thread that pumps the main thread's queue";
  std::string Refusal;
  std::atomic<bool> Done{false};
  MainThread::Post([&] {
    try {
      Device.ReadHoldingRegisters(0, 1).Wait();
    } catch (const std::logic_error& Error) {
      Refusal = Error.what();
    }
    Done = true;
  });
  ASSERT_TRUE(PumpUntil([&] { return Done.load(); }));
  EXPECT_EQ(Refusal, PumpRefusal);

  MainThread::SetWakeUpHandler([] {});
  EXPECT_THROW(Device.ReadHoldingRegisters(0, 1).Wait(), std::logic_error);
  MainThread::SetWakeUpHandler({});

  TMemoryDevice Script(Peer, Answer(1, [](const TFrameData&) { return WithCrc(Hex("01 03 02 0001")); }));
  std::promise<std::string> OnWorker;
  Device.ReadHoldingRegisters(0, 1).Then(
      [&](const TReply<TRegValues>&) {
        try {
          Device.ReadHoldingRegisters(0, 1).Wait();
          OnWorker.set_value("waited");
        } catch (const std::logic_error& Error) {
          OnWorker.set_value(Error.what());
        }
      },
      roWorker);
  EXPECT_EQ(OnWorker.get_future().get(), "A blocking request cannot wait on a connection's worker thread");
}

// Four threads send 1,000 requests each at once, every style but the main thread's, while the main
// thread cancels some: each request ends exactly once, and those not cancelled with their reply.
TEST_F(Requester, FourThreadsSendingAtOnceEachRequestEndsOnce) {
  constexpr int Threads = 4;
  constexpr int PerThread = 1000;
  Connection.SetInterFrameGap(0);
  std::atomic<bool> Serving{true};
  std::thread Server([&] {
    while (Serving) {
      const TFrameData Request = Peer.ReadFrame(1ms, 50ms);
      if (Request.size() < 6) continue;
      // The register asked for is its own value.
      Peer.Write(WithCrc({1, 3, 2, Request[2], Request[3]}));
    }
  });
  std::mutex Lock;
  std::map<Cardinal, int> EndsById;
  std::atomic<int> Ends{0}, Wrong{0}, Cancelled{0};
  const auto Keep = [&](Word Register, const TReply<TRegValues>& Reply) {
    {
      std::lock_guard Guard(Lock);
      ++EndsById[Reply.Info.TransactionID];
    }
    if (Reply.Cancelled)
      ++Cancelled;
    else if (!Reply.Succeeded() || Reply.Values != TRegValues{Register})
      ++Wrong;
    ++Ends;
  };
  std::vector<std::thread> Senders;
  for (int T = 0; T < Threads; ++T) {
    Senders.emplace_back([&, T] {
      for (int I = 0; I < PerThread; ++I) {
        const auto Register = static_cast<Word>(T * PerThread + I);
        auto Request = Device.ReadHoldingRegisters(Register, 1);
        switch (I % 4) {
          case 0: Keep(Register, Request.Wait()); break;
          case 1: Request.Then([&Keep, Register](const auto& Reply) { Keep(Register, Reply); }, roWorker); break;
          case 2: {
            auto Future = Request.Future();
            if (I % 8 == 2) Request.Cancel();
            Keep(Register, Future.get());
            break;
          }
          default: {
            auto Future = Request.Future();
            Keep(Register, Future.get());
          }
        }
      }
    });
  }
  for (auto& Sender : Senders) Sender.join();
  const bool AllEnded = PumpUntil([&] { return Ends == Threads * PerThread; }, 30000);
  Serving = false;
  Server.join();
  ASSERT_TRUE(AllEnded) << Ends << " ended";
  EXPECT_EQ(Wrong, 0);
  EXPECT_GT(Cancelled, 0);
  EXPECT_EQ(EndsById.size(), static_cast<std::size_t>(Threads * PerThread)) << "one number per request";
  for (const auto& [Id, Count] : EndsById) ASSERT_EQ(Count, 1) << "transaction " << Id;
}
