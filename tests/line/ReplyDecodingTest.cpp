// What a client makes of each finished transaction: the checks of the reply against the request,
// the decoded values, and the one event per request.

#include <Quorvel/Errors.h>
#include "LineFixture.h"
#include "TestBytes.h"

using namespace Quorvel;
using namespace QuorvelTest;

namespace {

// Everything any event of the client reported, flattened.
struct TEvent {
  std::string Name;
  TTransactionInfo Info;
  int Start = -1;
  int Count = -1;
  TRegValues Words;
  TBitValues Bits;
  std::vector<std::tuple<int, int, TRegValues>> Records;
  TFrameData Bytes{};         // events of a log, a raw reply's PDU
  TFrameData RequestBytes{};  // a raw request's PDU
  TDeviceObjects Objects{};
};

class ReplyDecoding : public LineTest {
 protected:
  std::vector<TEvent> Events;

  void SetUp() override {
    LineTest::SetUp();
    auto Bits = [this](const char* Name) {
      return [this, Name](auto&, const TTransactionInfo& Info, Word Start, Word Count, const TBitValues& Values) {
        Events.push_back({Name, Info, Start, Count, {}, Values, {}});
      };
    };
    auto Registers = [this](const char* Name) {
      return [this, Name](auto&, const TTransactionInfo& Info, Word Start, Word Count, const TRegValues& Values) {
        Events.push_back({Name, Info, Start, Count, Values, {}, {}});
      };
    };
    auto Files = [this](const char* Name) {
      return [this, Name](auto&, const TTransactionInfo& Info, TModbusFileRecordList& List) {
        TEvent E{Name, Info, -1, -1, {}, {}, {}};
        for (int I = 0; I < List.Count(); ++I)
          E.Records.emplace_back(List.Items(I).FileNumber(), List.Items(I).StartReg(), List.Items(I).RegValues());
        Events.push_back(E);
      };
    };
    Client.SetOnCoilsRead(Bits("CoilsRead"));
    Client.SetOnDiscreteInputsRead(Bits("DiscreteInputsRead"));
    Client.SetOnMultipleCoilsWrite(Bits("MultipleCoilsWrite"));
    Client.SetOnHoldingRegistersRead(Registers("HoldingRegistersRead"));
    Client.SetOnInputRegistersRead(Registers("InputRegistersRead"));
    Client.SetOnMultipleRegistersWrite(Registers("MultipleRegistersWrite"));
    Client.SetOnFileRecordRead(Files("FileRecordRead"));
    Client.SetOnFileRecordWrite(Files("FileRecordWrite"));
    Client.SetOnSingleCoilWrite([this](auto&, const TTransactionInfo& Info, Word Addr, bool Value) {
      Events.push_back({"SingleCoilWrite", Info, Addr, -1, {}, {Value}, {}});
    });
    Client.SetOnSingleRegisterWrite([this](auto&, const TTransactionInfo& Info, Word Addr, Word Value) {
      Events.push_back({"SingleRegisterWrite", Info, Addr, -1, {Value}, {}, {}});
    });
    Client.SetOnSingleRegisterMaskWrite([this](auto&, const TTransactionInfo& Info, Word Addr, Word And, Word Or) {
      Events.push_back({"SingleRegisterMaskWrite", Info, Addr, -1, {And, Or}, {}, {}});
    });
    Client.SetOnExceptionStatusRead([this](auto&, const TTransactionInfo& Info, const TExceptionStatusValues& S) {
      Events.push_back({"ExceptionStatusRead", Info, -1, -1, {}, TBitValues(S.begin(), S.end()), {}});
    });
    Client.SetOnServerIdentificationReport(
        [this](auto&, const TTransactionInfo& Info, int Count, const TServerIdentificationData& Data) {
          Events.push_back({"ServerIdentificationReport", Info, -1, Count, TRegValues(Data.begin(), Data.end()), {}, {}});
        });
    Client.SetOnDiagnostics([this](auto&, const TTransactionInfo& Info, TDiagnosticAction Action, Word Result) {
      Events.push_back({"Diagnostics", Info, Action, -1, {Result}, {}, {}});
    });
    Client.SetOnCommEventCounterRead([this](auto&, const TTransactionInfo& Info, Word Status, Word Count) {
      Events.push_back({"CommEventCounterRead", Info, -1, -1, {Status, Count}, {}, {}});
    });
    Client.SetOnCommEventLogRead(
        [this](auto&, const TTransactionInfo& Info, Word Status, Word Count, Word Messages, const TCommEvents& Log) {
          Events.push_back({"CommEventLogRead", Info, -1, -1, {Status, Count, Messages}, {}, {}, Log});
        });
    Client.SetOnMultipleRegistersReadWrite([this](auto&, const TTransactionInfo& Info, Word ReadStart, Word ReadCount,
                                                  const TRegValues& Read, Word WriteStart, Word,
                                                  const TRegValues& Written) {
      Events.push_back({"MultipleRegistersReadWrite", Info, ReadStart, ReadCount, Read, {}, {{0, WriteStart, Written}}});
    });
    Client.SetOnFifoQueueRead([this](auto&, const TTransactionInfo& Info, Word Address, const TRegValues& Values) {
      Events.push_back({"FifoQueueRead", Info, Address, -1, Values, {}, {}});
    });
    Client.SetOnDeviceIdentificationRead([this](auto&, const TTransactionInfo& Info, TDeviceIdAccess Access,
                                                Byte ObjectId, Byte Conformity, const TDeviceObjects& Objects) {
      Events.push_back({"DeviceIdentificationRead", Info, ObjectId, Conformity, {Access}, {}, {}, {}, {}, Objects});
    });
    Client.SetOnRawReply([this](auto&, const TTransactionInfo& Info, const TFrameData& Request, const TFrameData& Reply) {
      Events.push_back({"RawReply", Info, -1, -1, {}, {}, {}, Reply, Request});
    });
    Connection.Open();
  }

  // Hands a finished transaction to the client as the connection would: the request and reply
  // are binary frames without their checks, the outcome is what the worker would have found.
  const TEvent& Process(const char* Request, const char* Reply, TReplyStatus Status = rsSuccess, bool Raw = false) {
    TModbusTransaction T(Connection.FrameBufferSize());
    Fill(T.Request, WithCrc(Hex(Request)));
    Fill(T.Reply, WithCrc(Hex(Reply)));
    T.Info.ServerAddress = 1;
    T.Info.ReplyStatus = Status;
    if (Raw) T.RawReply = TReplyLength{};
    const std::size_t Before = Events.size();
    Client.ProcessReply(T);
    EXPECT_EQ(Events.size(), Before + 1) << "exactly one event";
    return Events.back();
  }
};

}  // namespace

TEST_F(ReplyDecoding, GoodRepliesOfEveryFunction) {
  auto E = Process("01 01 0013 000A", "01 01 02 CD 01");
  EXPECT_EQ(E.Name, "CoilsRead");
  EXPECT_EQ(E.Bits, (TBitValues{true, false, true, true, false, false, true, true, true, false}));
  E = Process("01 02 00C4 0003", "01 02 01 05");
  EXPECT_EQ(E.Name, "DiscreteInputsRead");
  EXPECT_EQ(E.Bits, (TBitValues{true, false, true}));
  E = Process("01 03 006B 0002", "01 03 04 022B 0001");
  EXPECT_EQ(E.Name, "HoldingRegistersRead");
  EXPECT_EQ(E.Words, (TRegValues{0x022B, 0x0001}));
  E = Process("01 04 0008 0001", "01 04 02 000A");
  EXPECT_EQ(E.Name, "InputRegistersRead");
  EXPECT_EQ(E.Words, TRegValues{0x000A});
  E = Process("01 05 00AC FF00", "01 05 00AC FF00");
  EXPECT_EQ(E.Bits, TBitValues{true});
  E = Process("01 06 0001 0003", "01 06 0001 0003");
  EXPECT_EQ(E.Start, 1);
  EXPECT_EQ(E.Words, TRegValues{3});
  E = Process("01 07", "01 07 6D");
  EXPECT_EQ(E.Bits, (TBitValues{true, false, true, true, false, true, true, false}));
  E = Process("01 0F 0013 000A 02 CD 01", "01 0F 0013 000A");
  EXPECT_EQ(E.Bits, (TBitValues{true, false, true, true, false, false, true, true, true, false})) << "the values written";
  E = Process("01 11", "01 11 03 0A FF 00");
  EXPECT_EQ(E.Count, 3);
  EXPECT_EQ(E.Words, (TRegValues{0x0A, 0xFF, 0x00}));
  E = Process("01 16 0004 00F2 0025", "01 16 0004 00F2 0025");
  EXPECT_EQ(E.Words, (TRegValues{0x00F2, 0x0025}));
  for (const auto& Event : Events) EXPECT_EQ(Event.Info.ReplyStatus, rsSuccess) << Event.Name;
}

TEST_F(ReplyDecoding, GoodRepliesOfTheFurtherFunctions) {
  auto E = Process("01 0B", "01 0B FFFF 0102");
  EXPECT_EQ(E.Name, "CommEventCounterRead");
  EXPECT_EQ(E.Words, (TRegValues{0xFFFF, 0x0102}));
  E = Process("01 0C", "01 0C 08 0000 0003 0005 20 00");
  EXPECT_EQ(E.Name, "CommEventLogRead");
  EXPECT_EQ(E.Words, (TRegValues{0, 3, 5}));
  EXPECT_EQ(E.Bytes, Hex("20 00"));
  E = Process("01 17 0010 0002 0020 0001 02 ABCD", "01 17 04 0001 0002");
  EXPECT_EQ(E.Name, "MultipleRegistersReadWrite");
  EXPECT_EQ(E.Start, 0x10);
  EXPECT_EQ(E.Words, (TRegValues{1, 2})) << "read";
  EXPECT_EQ(E.Records.at(0), std::make_tuple(0, 0x20, TRegValues{0xABCD})) << "written";
  E = Process("01 18 0004", "01 18 0006 0002 1111 2222");
  EXPECT_EQ(E.Name, "FifoQueueRead");
  EXPECT_EQ(E.Start, 4);
  EXPECT_EQ(E.Words, (TRegValues{0x1111, 0x2222}));
  E = Process("01 2B 0E 01 00", "01 2B 0E 01 81 00 00 03 00 01 51 01 01 50 02 01 31");
  EXPECT_EQ(E.Name, "DeviceIdentificationRead");
  EXPECT_EQ(E.Words, TRegValues{diBasic});
  EXPECT_EQ(E.Count, 0x81) << "the conformity level";
  EXPECT_EQ(E.Objects, (TDeviceObjects{{0, "Q"}, {1, "P"}, {2, "1"}}));
  for (const auto& Event : Events) EXPECT_EQ(Event.Info.ReplyStatus, rsSuccess) << Event.Name;
}

// A raw request's reply comes back as it came, for any function, the library's own included.
TEST_F(ReplyDecoding, RawRepliesAsTheyCame) {
  auto E = Process("01 41 0102", "01 41 03 AABBCC", rsSuccess, true);
  EXPECT_EQ(E.Name, "RawReply");
  EXPECT_EQ(E.RequestBytes, Hex("41 0102"));
  EXPECT_EQ(E.Bytes, Hex("41 03 AABBCC"));
  E = Process("01 41 01", "01 C1 02", rsExceptionReply, true);
  EXPECT_EQ(E.Bytes, Hex("C1 02"));
  E = Process("01 41 01", "", rsNoReply, true);
  EXPECT_TRUE(E.Bytes.empty());
  E = Process("01 41 01", "02 41 00", rsInvalidReply, true);
  EXPECT_TRUE(E.Bytes.empty()) << "a frame that does not answer is not the reply";
  E = Process("01 03 0000 0001", "01 03 04 1234", rsSuccess, true);
  EXPECT_EQ(E.Name, "RawReply") << "not decoded as a read";
  EXPECT_EQ(E.Bytes, Hex("03 04 1234"));
  EXPECT_EQ(E.Info.ReplyStatus, rsSuccess) << "nor checked as one";
}

TEST_F(ReplyDecoding, FileRecords) {
  auto E = Process("01 14 0E 06 0004 0001 0002 06 0003 0009 0001", "01 14 0A 05 06 0DFE 0020 03 06 33CD");
  EXPECT_EQ(E.Info.ReplyStatus, rsSuccess);
  ASSERT_EQ(E.Records.size(), 2u);
  EXPECT_EQ(E.Records[0], std::make_tuple(4, 1, TRegValues{0x0DFE, 0x0020}));
  EXPECT_EQ(E.Records[1], std::make_tuple(3, 9, TRegValues{0x33CD}));

  E = Process("01 14 07 06 0004 0001 0002", "01 14 06 05 06 0DFE");  // one register short
  EXPECT_EQ(E.Info.ReplyStatus, rsInvalidReply);

  const char* Write = "01 15 0D 06 0004 0007 0003 06AF 04BE 100D";
  E = Process(Write, Write);
  EXPECT_EQ(E.Info.ReplyStatus, rsSuccess);
  EXPECT_EQ(E.Records.at(0), std::make_tuple(4, 7, TRegValues{0x06AF, 0x04BE, 0x100D}));
  E = Process(Write, "01 15 0D 06 0004 0007 0003 06AF 04BE 100E");
  EXPECT_EQ(E.Info.ReplyStatus, rsInvalidReply) << "any byte that differs";
  EXPECT_EQ(E.Records.at(0), std::make_tuple(4, 7, TRegValues{0x06AF, 0x04BE, 0x100D})) << "still the values written";
}

TEST_F(ReplyDecoding, ContentMismatchesLowerTheOutcome) {
  struct Row {
    const char* Request;
    const char* Reply;
    const char* Why;
  };
  const Row Rows[] = {
      {"01 01 0000 000A", "01 01 01 FF", "byte count 1 for 10 coils"},
      {"01 03 0000 0002", "01 03 02 0001", "byte count for one register"},
      {"01 03 0000 0002", "01 03 04 0001", "byte count promises more than arrived"},
      {"01 05 00AC FF00", "01 05 00AC 0000", "another value echoed"},
      {"01 06 0001 0003", "01 06 0002 0003", "another address echoed"},
      {"01 0F 0013 000A 02 CD 01", "01 0F 0013 0009", "another count"},
      {"01 10 0001 0002 04 000A 0102", "01 10 0001", "too short"},
      {"01 11", "01 11 05 0A", "identification shorter than its count"},
      {"01 16 0004 00F2 0025", "01 16 0004 00F2 0024", "another mask"},
      {"01 08 0000 A55A", "01 08 0000 A55B", "query data not echoed"},
      {"01 08 000B 0000", "01 08 000C 0001", "another sub-function"},
      {"01 0B", "01 0B 0000", "no event count"},
      {"01 0C", "01 0C 05 0000 0003 00", "an event log shorter than its three words"},
      {"01 0C", "01 0C 09 0000 0003 0005 2000", "events promised that did not come"},
      {"01 17 0010 0002 0020 0001 02 ABCD", "01 17 02 0001", "byte count for one register"},
      {"01 17 0010 0002 0020 0001 02 ABCD", "01 17 05 0001 0002 00", "an odd byte count"},
      {"01 18 0004", "01 18 0006 0003 1111 2222", "queue count and byte count disagree"},
      {"01 2B 0E 01 00", "01 2B 0D 01 81 00 00 00", "another interface"},
      {"01 2B 0E 01 00", "01 2B 0E 02 81 00 00 00", "another read code"},
      {"01 2B 0E 01 00", "01 2B 0E 01 81 01 00 00", "more follows neither 00h nor FFh"},
      {"01 2B 0E 01 00", "01 2B 0E 01 81 FF 00 01 00 01 51", "more follows from an object it already sent"},
      {"01 2B 0E 04 00", "01 2B 0E 04 81 FF 01 01 00 01 51", "more follows after the one object asked"},
      {"01 2B 0E 01 00", "01 2B 0E 01 81 00 00 01 00 05 51", "an object longer than the reply"},
  };
  for (const auto& R : Rows) {
    const auto& E = Process(R.Request, R.Reply);
    EXPECT_EQ(E.Info.ReplyStatus, rsInvalidReply) << R.Why;
  }
  // The request's parameters come through with zero results.
  const auto& Coils = Process("01 01 0000 000A", "01 01 01 FF");
  EXPECT_EQ(Coils.Start, 0);
  EXPECT_EQ(Coils.Count, 10);
  EXPECT_EQ(Coils.Bits, TBitValues(10, false));
  const auto& Coil = Process("01 05 00AC FF00", "01 05 00AC 0000");
  EXPECT_EQ(Coil.Bits, TBitValues{true}) << "the request's value";
  // An odd byte count is halved: three registers and a seventh byte that is ignored.
  const auto& Odd = Process("01 03 0000 0003", "01 03 07 0001 0002 0003 FF");
  EXPECT_EQ(Odd.Info.ReplyStatus, rsSuccess);
  EXPECT_EQ(Odd.Words, (TRegValues{1, 2, 3}));
}

TEST_F(ReplyDecoding, OtherOutcomesStillRaiseTheEventWithZeroResults) {
  for (const auto Status : {rsNoReply, rsExceptionReply, rsInvalidReply}) {
    const auto& E = Process("01 03 0010 0003", "01 03 06 0001 0002 0003", Status);
    EXPECT_EQ(E.Info.ReplyStatus, Status);
    EXPECT_EQ(E.Start, 0x10);
    EXPECT_EQ(E.Words, TRegValues(3, 0));
    const auto& Status7 = Process("01 07", "01 07 FF", Status);
    EXPECT_EQ(Status7.Bits, TBitValues(8, false));
  }
  const auto& Write = Process("01 10 01BB 0002 04 0003 2020", "", rsNoReply);
  EXPECT_EQ(Write.Words, (TRegValues{3, 0x2020})) << "a write reports what it wrote";
  const auto& ReadWrite = Process("01 17 0010 0002 0020 0001 02 ABCD", "01 97 02", rsExceptionReply);
  EXPECT_EQ(ReadWrite.Words, TRegValues(2, 0));
  EXPECT_EQ(ReadWrite.Records.at(0), std::make_tuple(0, 0x20, TRegValues{0xABCD}));
  const auto& Queue = Process("01 18 0004", "", rsNoReply);
  EXPECT_EQ(Queue.Start, 4);
  EXPECT_TRUE(Queue.Words.empty());
}

TEST_F(ReplyDecoding, DiagnosticActions) {
  struct Row {
    const char* Request;
    const char* Reply;
    TDiagnosticAction Action;
    Word Result;
  };
  const Row Rows[] = {
      {"01 08 0000 A55A", "01 08 0000 A55A", daReturnQueryData, 0},
      {"01 08 0001 0000", "01 08 0001 0000", daRestartCommunications, 0},
      {"01 08 0001 FF00", "01 08 0001 FF00", daRestartCommunicationsClearLog, 0},
      {"01 08 0002 0000", "01 08 0002 1234", daReturnDiagnosticRegister, 0x1234},
      {"01 08 000A 0000", "01 08 000A 0000", daClearCounters, 0},
      {"01 08 000E 0000", "01 08 000E 0108", daReturnServerMessageCount, 0x0108},
      {"01 08 0014 0000", "01 08 0014 0000", daClearOverrunCounter, 0},
  };
  for (const auto& R : Rows) {
    const auto& E = Process(R.Request, R.Reply);
    EXPECT_EQ(E.Info.ReplyStatus, rsSuccess) << R.Request;
    EXPECT_EQ(E.Start, R.Action) << R.Request;
    EXPECT_EQ(E.Words, TRegValues{R.Result}) << R.Request;
  }
  // A sub-function outside the table cannot be reported: the client raises, no event.
  TModbusTransaction T(Connection.FrameBufferSize());
  Fill(T.Request, WithCrc(Hex("01 08 0003 0000")));
  T.Info.ReplyStatus = rsSuccess;
  const std::size_t Before = Events.size();
  EXPECT_THROW(Client.ProcessReply(T), EQuorvelError);
  EXPECT_EQ(Events.size(), Before);
}

TEST_F(ReplyDecoding, WithoutAnActiveConnectionNothingIsDecoded) {
  Connection.Close();
  TModbusTransaction T(Connection.FrameBufferSize());
  Fill(T.Request, WithCrc(Hex("01 03 0000 0001")));
  EXPECT_THROW(Client.ProcessReply(T), EQuorvelError);
  EXPECT_TRUE(Events.empty());
}

TEST_F(ReplyDecoding, TheDisplayLineOverTheLine) {
  // Success, exception reply and silence, as the worker classifies them on a real line.
  const TFrameData Replies[] = {Hex("01 10 01 BB 00 0B F0 17"), Hex("01 90 02 CD C1"), {}};
  Connection.SetReceiveTimeout(500);
  TDevice Device(Line.PortB(), [&Replies](Testing::TLinePeer& Peer) {
    for (const auto& Reply : Replies) {
      if (Peer.ReadFrame(10ms, 3000ms).empty()) return;
      if (!Reply.empty()) Peer.Write(Reply);
    }
  });
  TRegValues Line(11, 0x2020);
  Line[0] = 3;
  for (int I = 0; I < 3; ++I) Client.WriteMultipleRegisters(443, Line);
  ASSERT_TRUE(PumpUntil([&] { return Events.size() == 3; }));
  const TReplyStatus Expected[] = {rsSuccess, rsExceptionReply, rsNoReply};
  for (int I = 0; I < 3; ++I) {
    EXPECT_EQ(Events[I].Name, "MultipleRegistersWrite");
    EXPECT_EQ(Events[I].Info.ReplyStatus, Expected[I]);
    EXPECT_EQ(Events[I].Start, 443);
    EXPECT_EQ(Events[I].Count, 11);
    EXPECT_EQ(Events[I].Words, Line);
  }
  EXPECT_EQ(Events[1].Info.ExceptionKind, ekIllegalDataAddress);
  EXPECT_EQ(Events[1].Info.ExceptionCode, 2);
  EXPECT_EQ(Events[2].Info.Attempts, 1u);
}

TEST_F(ReplyDecoding, RepliesGoToTheFirstClientWithTheAddress) {
  TRecordingClient Second;
  Second.SetConnection(&Connection);
  Connection.SetReceiveTimeout(30);
  Second.ReadCoils(0, 1);
  ASSERT_TRUE(PumpUntil([&] { return Events.size() == 1; }));
  EXPECT_TRUE(Second.Replies.empty()) << "the client registered first gets it";

  // The address changed while the request was out: nobody has the old one any more.
  Client.SetServerAddress(5);
  Second.SetServerAddress(6);
  Client.ReadCoils(0, 1);
  Client.SetServerAddress(7);
  Pump(300);
  EXPECT_EQ(Events.size(), 1u);
  EXPECT_TRUE(Second.Replies.empty());
}

// One request, one event: while the server says that more objects follow, the client asks on from
// where it says, within the same transaction, and the event carries the whole list.
TEST_F(ReplyDecoding, DeviceIdentificationAsksOnUntilTheListIsWhole) {
  Connection.SetReceiveTimeout(500);
  std::vector<TFrameData> Requests;
  const TFrameData FirstPart = WithCrc(Hex("01 2B 0E 02 82 FF 03 02 00 01 51 01 01 50"));
  const TFrameData Answers[] = {
      FirstPart, WithCrc(Hex("01 2B 0E 02 82 00 00 02 03 01 55 04 01 4E")),
      // A server that sends the same part again would be asked for ever.
      FirstPart, FirstPart,
      // One whose second part never comes.
      FirstPart, {},
  };
  TDevice Device(Line.PortB(), [&](Testing::TLinePeer& Peer) {
    for (const auto& Answer : Answers) {
      TFrameData Request = Peer.ReadFrame(10ms, 3000ms);
      if (Request.empty()) return;
      Requests.push_back(std::move(Request));
      if (!Answer.empty()) Peer.Write(Answer);
    }
  });
  // One after the other: a further exchange queues behind the requests made before it.
  const Cardinal Id = Client.ReadDeviceIdentification(diRegular, 0, 77);
  for (std::size_t Count = 1; Count <= 3; ++Count) {
    ASSERT_TRUE(PumpUntil([&] { return Events.size() == Count; }, 4000)) << "request " << Count;
    if (Count < 3) Client.ReadDeviceIdentification(diRegular);
  }
  Device.Join();
  ASSERT_EQ(Requests.size(), 6u);
  EXPECT_EQ(Requests[0], WithCrc(Hex("01 2B 0E 02 00")));
  EXPECT_EQ(Requests[1], WithCrc(Hex("01 2B 0E 02 03"))) << "from the object the server named";
  const TEvent& Whole = Events[0];
  EXPECT_EQ(Whole.Name, "DeviceIdentificationRead");
  EXPECT_EQ(Whole.Info.ReplyStatus, rsSuccess);
  EXPECT_EQ(Whole.Info.TransactionID, Id);
  EXPECT_EQ(Whole.Info.UserData, 77u);
  EXPECT_EQ(Whole.Info.Attempts, 2u) << "the sends of both exchanges";
  EXPECT_EQ(Whole.Start, 0) << "the object first asked for";
  EXPECT_EQ(Whole.Objects, (TDeviceObjects{{0, "Q"}, {1, "P"}, {3, "U"}, {4, "N"}}));
  EXPECT_EQ(Events[1].Info.ReplyStatus, rsInvalidReply);
  EXPECT_EQ(Events[1].Objects, (TDeviceObjects{{0, "Q"}, {1, "P"}})) << "what came before the failure";
  EXPECT_EQ(Events[2].Info.ReplyStatus, rsNoReply);
  EXPECT_EQ(Events[2].Objects, (TDeviceObjects{{0, "Q"}, {1, "P"}}));
  EXPECT_EQ(Events[2].Info.TransactionID, Id + 2);
}

