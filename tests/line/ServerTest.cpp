// A server's answers: limits, the order of its checks, exception codes and reply layouts.

#include <atomic>
#include <thread>

#include <Quorvel/Application.h>
#include <Quorvel/Errors.h>
#include <Quorvel/MemoryServer.h>
#include <Quorvel/Protocol.h>
#include "ErrorMessage.h"
#include "LineFixture.h"
#include "TestBytes.h"

using namespace Quorvel;
using namespace QuorvelTest;

namespace {

// Every address exists; register 7 refuses the value 0xBAD, coil 9 cannot be written; the data
// operations are counted.
class TTestServer : public TModbusMemoryServer {
 public:
  explicit TTestServer(TComponent* Owner = nullptr) : TModbusMemoryServer(Owner) {
    Coils().Values.assign(65536, false);
    DiscreteInputs().Values.assign(65536, true);
    HoldingRegisters().Values.assign(65536, 0);
    InputRegisters().Values.assign(65536, 0);
    for (int I = 0; I < 65536; ++I) InputRegisters().Values[static_cast<std::size_t>(I)] = static_cast<Word>(I);
  }
  int CoilChecks = 0;
  bool RefuseFunction3 = false;
  // Reading or writing this holding register fails inside the data operation.
  int BrokenRegister = -1;

 protected:
  bool AcceptFunction(Byte Function) override { return !(RefuseFunction3 && Function == 3); }
  TWriteCheck CanWriteCoil(Word Address, bool Value) override {
    ++CoilChecks;
    return Address == 9 ? wcBadAddress : TModbusMemoryServer::CanWriteCoil(Address, Value);
  }
  TWriteCheck CanWriteRegister(Word Address, Word Value) override {
    return Address == 7 && Value == 0xBAD ? wcBadValue : TModbusMemoryServer::CanWriteRegister(Address, Value);
  }
  Word GetHoldingRegister(Word Address) override {
    if (Address == BrokenRegister) RaiseErrorFmt(Messages::RegIndex, Address);
    return TModbusMemoryServer::GetHoldingRegister(Address);
  }
  void SetRegister(Word Address, Word Value) override {
    if (Address == BrokenRegister) RaiseErrorFmt(Messages::RegIndex, Address);
    TModbusMemoryServer::SetRegister(Address, Value);
  }
};

void ProvideAll(TModbusServer& Server) {
  for (const Byte Function : TModbusServer::ProvidableFunctions) Server.SetFunctionProvided(Function, true);
}

class ServerRequests : public LineTest {
 protected:
  TTestServer Server;

  void SetUp() override {
    LineTest::SetUp();
    Server.SetConnection(&Connection);
    Connection.SetConnectionMode(cmServer);
    Connection.Open();
  }

  // The reply without its check, or "none"; Address 0 is a broadcast.
  std::string Answer(const std::string& Request, TModbusServer& To) {
    TModbusTransaction T(Connection.FrameBufferSize());
    Fill(T.Request, WithCrc(Hex(Request)));
    T.Info.ServerAddress = T.Request.Memory()[0];
    To.HandleRequest(T);
    if (T.Reply.Size() == 0) return "none";
    const TFrameData Reply = Contents(T.Reply);
    EXPECT_EQ(Reply, WithCrc(TFrameData(Reply.begin(), Reply.end() - 2))) << "a good check";
    std::string Text;
    char Digits[4];
    for (std::size_t I = 0; I + 2 < Reply.size(); ++I) {
      std::snprintf(Digits, sizeof Digits, "%02X", Reply[I]);
      Text += Digits;
    }
    return Text;
  }
  std::string Answer(const std::string& Request) { return Answer(Request, Server); }
};

}  // namespace

TEST_F(ServerRequests, LimitsOfEachFunction) {
  struct Row {
    const char* Request;
    const char* Reply;
  };
  const Row Rows[] = {
      {"01 01 0000 07D8", nullptr},  // 2008 coils: answered
      {"01 01 0000 07D9", "018103"},
      {"01 01 0000 0000", "018103"},
      {"01 01 FFFF 0002", "018102"},
      {"01 02 FFFF 0001", "01020101"},
      {"01 03 0000 007D", nullptr},  // 125 registers: answered
      {"01 03 0000 007E", "018303"},
      {"01 04 FFFE 0002", "010404FFFEFFFF"},
      {"01 04 FFFF 0002", "018402"},
      {"01 0F 0000 07B9 F7", "018F03"},
      {"01 10 0000 007C F8", "019003"},
      {"01 10 FFFF 0002 04 0001 0002", "019002"},
  };
  for (const auto& R : Rows) {
    const std::string Reply = Answer(R.Request);
    if (R.Reply != nullptr) {
      EXPECT_EQ(Reply, R.Reply) << R.Request;
    }
  }
  // The largest writes fill a whole RTU frame.
  EXPECT_EQ(Answer("01 0F 0100 07B8 F7" + std::string(2 * 247, 'F')), "010F010007B8");
  EXPECT_EQ(Answer("01 10 0000 007B F6" + std::string(4 * 123, '1')), "01100000007B");
  EXPECT_EQ(Server.HoldingRegisters()[122], 0x1111);
  EXPECT_EQ(Answer("01 01 0000 07D8").substr(0, 6), "0101FB") << "251 bytes of coils";
  EXPECT_EQ(Answer("01 03 0000 007D").substr(0, 6), "0103FA") << "250 bytes of registers";
}

TEST_F(ServerRequests, WritesAreCheckedWholeBeforeAnyIsDone) {
  EXPECT_EQ(Answer("01 05 0003 0001"), "018503");
  EXPECT_EQ(Server.CoilChecks, 0) << "a bad value word is refused before the data is asked";
  EXPECT_EQ(Answer("01 05 0003 FF00"), "01050003FF00");
  EXPECT_TRUE(Server.Coils()[3]);
  EXPECT_EQ(Answer("01 05 0009 FF00"), "018502");

  EXPECT_EQ(Answer("01 10 0005 0003 06 0001 0002 0BAD"), "019003");
  EXPECT_EQ(Server.HoldingRegisters()[5], 0) << "nothing is written when one register is refused";
  EXPECT_EQ(Answer("01 10 0005 0003 06 0001 0002 0003"), "011000050003");
  EXPECT_EQ(Server.HoldingRegisters()[7], 3);
  EXPECT_EQ(Answer("01 06 0007 0BAD"), "018603");
  EXPECT_EQ(Answer("01 06 0007 1234"), "010600071234");

  EXPECT_EQ(Answer("01 0F 0008 0003 01 07"), "018F02") << "coil 9 refused";
  EXPECT_FALSE(Server.Coils()[8]);
  EXPECT_EQ(Answer("01 0F 0010 000A 02 CD 01"), "010F0010000A");
  EXPECT_TRUE(Server.Coils()[0x10]);
  EXPECT_FALSE(Server.Coils()[0x11]);
  EXPECT_TRUE(Server.Coils()[0x18]);
  EXPECT_EQ(Answer("01 01 0010 000A"), "010102CD01");
}

TEST_F(ServerRequests, UnservedFunctionsAndShortRequests) {
  EXPECT_EQ(Answer("01 07"), "018701");
  EXPECT_EQ(Answer("01 2B 0E 01 00"), "01AB01");
  Server.RefuseFunction3 = true;
  EXPECT_EQ(Answer("01 03 0000 0001"), "018301");
  EXPECT_EQ(Answer("00 07"), "none") << "a broadcast is never answered";
  // Fields that run into the frame check, or past the frame, are a bad value.
  EXPECT_EQ(Answer("01 04 0000"), "018403");
  EXPECT_EQ(Answer("01 06 00"), "018603");
  EXPECT_EQ(Answer("01 10 0000 0002 04 0001"), "019003");
}

TEST_F(ServerRequests, ABroadcastWriteReachesEveryServerAndIsNotAnswered) {
  TTestServer Other;
  Other.SetServerAddress(2);
  Other.SetConnection(&Connection);
  TModbusTransaction T(Connection.FrameBufferSize());
  Fill(T.Request, WithCrc(Hex("00 06 0004 0042")));
  T.Info.ServerAddress = 0;
  Connection.DispatchRequest(T);
  EXPECT_EQ(Server.HoldingRegisters()[4], 0x42);
  EXPECT_EQ(Other.HoldingRegisters()[4], 0x42);
  EXPECT_EQ(T.Reply.Size(), 0);

  Fill(T.Request, WithCrc(Hex("05 06 0004 0001")));
  T.Info.ServerAddress = 5;
  Connection.DispatchRequest(T);
  EXPECT_EQ(Server.HoldingRegisters()[4], 0x42) << "no server has address 5";
  EXPECT_EQ(T.Reply.Size(), 0);
}

TEST_F(ServerRequests, AClosedConnectionIsReported) {
  Connection.Close();
  TModbusTransaction T(Connection.FrameBufferSize());
  Fill(T.Request, WithCrc(Hex("01 03 0000 0001")));
  EXPECT_THROW(Server.HandleRequest(T), EQuorvelError);
}

TEST_F(ServerRequests, TheMemoryServerTellsAfterEachWrite) {
  std::vector<std::pair<int, int>> Written;
  Server.SetOnRegistersWrite([&](auto&, Word Start, Word Count) { Written.emplace_back(Start, Count); });
  Answer("01 10 01BB 000B 16 0003 2020 2020 2020 2020 2020 2020 2020 2020 2020 2020");
  Answer("01 06 0001 0002");
  Answer("01 10 0005 0003 06 0001 0002 0BAD");  // refused: nothing written, nothing told
  EXPECT_EQ(Written, (std::vector<std::pair<int, int>>{{443, 11}, {1, 1}}));
}

TEST_F(ServerRequests, ADataOperationsErrorIsNotAnsweredButPassesOn) {
  Server.BrokenRegister = 5;
  for (const char* Request : {"01 03 0004 0002", "01 06 0005 0001", "01 10 0004 0002 04 0001 0002"}) {
    TModbusTransaction T(Connection.FrameBufferSize());
    Fill(T.Request, WithCrc(Hex(Request)));
    T.Info.ServerAddress = 1;
    EXPECT_EQ(MessageOf<EQuorvelError>([&] { Server.HandleRequest(T); }), "Register index is invalid (5)") << Request;
    EXPECT_EQ(T.Reply.Size(), 0) << "no half-built reply: " << Request;
  }
  // Still a bad value: a request too short for its fields, even for the broken register.
  EXPECT_EQ(Answer("01 06 00"), "018603");
  EXPECT_EQ(Answer("01 10 0005 0002 04 0001"), "019003");
  EXPECT_EQ(Answer("01 03 0006 0001"), "01030200" "00") << "the other registers still work";

  // On the line: the worker shows the error through the application's display and sends nothing.
  std::vector<std::string> Shown;
  Application::SetExceptionDisplay([&Shown](const std::string& Message) { Shown.push_back(Message); });
  std::atomic<bool> Done{false};
  TDevice Client(Line.PortB(), [&Done](Testing::TLinePeer& Peer) {
    std::this_thread::sleep_for(100ms);  // the server's worker listens after its first quiet time
    Peer.Write(WithCrc(Hex("01 03 0005 0001")));
    EXPECT_TRUE(Peer.ReadFrame(30ms, 600ms).empty()) << "no reply, not even an exception";
    Peer.Write(WithCrc(Hex("01 03 0006 0001")));
    EXPECT_EQ(Peer.ReadFrame(30ms, 2000ms), WithCrc(Hex("01 03 02 0000")));
    // Through the main thread, which re-checks its condition only when something reaches it.
    MainThread::Synchronize([&Done] { Done = true; });
  });
  // The dispatch and the display both run on this thread.
  EXPECT_TRUE(PumpUntil([&] { return Done.load(); }, 8000));
  Client.Join();
  Application::SetExceptionDisplay(nullptr);
  EXPECT_EQ(Shown, std::vector<std::string>{"Register index is invalid (5)"});
}

TEST_F(ServerRequests, NewFunctionsAreRefusedUntilProvided) {
  // This server accepts every function it is asked about and has the data of each: only providing
  // a function makes it answered.
  Server.SetExceptionStatus(0x45);
  Server.ServerIdentification() = {0x51, 0xFF, 0x51};
  Server.DeviceIdentification() = {{0, "Q"}, {1, "P"}, {2, "1"}};
  Server.FifoQueues()[5] = {1, 2, 3};
  Server.Files()[1] = {0, {0x0A, 0x0B, 0x0C}};
  Server.HoldingRegisters()[4] = 0x12;
  struct Row {
    const char* Request;
    const char* Provided;  // nullptr: answered, as its own test shows
  };
  const Row Rows[] = {
      {"01 0B", "010B00000000"},  // nothing was carried out before: every request got exception 1
      {"01 07", "010745"},
      {"01 08 0000 1234", "010800001234"},
      {"01 0C", nullptr},
      {"01 11", "01110351FF51"},
      {"01 14 07 06 0001 0001 0002", "0114060506000B000C"},
      {"01 15 09 06 0001 0000 0001 0077", "011509060001000000010077"},
      {"01 16 0004 00F2 0025", "0116000400F20025"},
      {"01 17 0010 0002 0010 0001 02 ABCD", "011704ABCD0000"},
      {"01 18 0005", "011800080003000100020003"},
      {"01 2B 0E 01 00", "012B0E0181000003000151010150020131"},
  };
  for (const auto& R : Rows) {
    const Byte Function = Hex(R.Request)[1];
    char Refused[7];
    std::snprintf(Refused, sizeof Refused, "01%02X01", Function | 0x80);
    EXPECT_EQ(Answer(R.Request), Refused) << R.Request;
    EXPECT_EQ(Answer("00" + std::string(R.Request).substr(2)), "none") << "a broadcast: " << R.Request;
  }
  EXPECT_EQ(Server.HoldingRegisters()[4], 0x12) << "nothing refused was written";
  ProvideAll(Server);
  for (const auto& R : Rows) {
    if (R.Provided != nullptr) {
      EXPECT_EQ(Answer(R.Request), R.Provided) << R.Request;
    }
  }
  // The mask write's rule: the bits set in the AND mask stay, the others come from the OR mask.
  EXPECT_EQ(Server.HoldingRegisters()[4], (0x12 & 0xF2) | (0x25 & ~0xF2));
  EXPECT_EQ(Server.HoldingRegisters()[16], 0xABCD) << "written before the read";
  EXPECT_EQ(Server.Files()[1][0], 0x77);
  Server.SetFunctionProvided(Functions::ReadFifoQueue, false);
  EXPECT_EQ(Answer("01 18 0005"), "019801") << "withdrawn";
}

TEST_F(ServerRequests, LimitsOfTheNewFunctions) {
  ProvideAll(Server);
  Server.Files()[1] = {0, {0x0A, 0x0B, 0x0C}};
  Server.FifoQueues()[7] = TRegValues(TModbusServer::MaxFifoCount + 1, 0);
  Server.DeviceIdentification() = {{0, "Q"}, {1, "P"}, {2, "1"}};
  struct Row {
    const char* Request;
    const char* Reply;
    const char* Why;
  };
  const Row Rows[] = {
      {"01 14 06 06 0001 0000 0001", "019403", "a byte count that is no sub-request"},
      {"01 14 07 06 0001 0000 0000", "019403", "no register"},
      {"01 14 07 05 0001 0000 0001", "019402", "reference type 5"},
      {"01 14 07 06 0000 0000 0001", "019402", "file 0"},
      {"01 14 07 06 0001 270F 0002", "019402", "past record 9999"},
      {"01 14 07 06 0001 0003 0001", "019402", "a record the file does not have"},
      {"01 14 07 06 0009 0000 0001", "019402", "a file the server does not have"},
      {"01 14 0E 06 0001 0000 003D 06 0001 0000 003D", "019403", "a reply larger than a frame"},
      {"01 15 08 06 0001 0000 0001 00", "019503", "a byte count too short for any record"},
      {"01 15 09 06 0001 0002 0002 0001", "019503", "more registers than the byte count holds"},
      {"01 15 09 06 0001 0003 0001 0001", "019502", "a record the file does not have"},
      {"01 16 0007 0000 0BAD", "019603", "the value that the mask makes is refused"},
      {"01 17 0000 007E 0000 0001 02 0000", "019703", "126 registers read"},
      {"01 17 0000 0001 0000 007A F4", "019703", "122 registers written"},
      {"01 17 FFFF 0002 0000 0001 02 0000", "019702", "a read past 65535"},
      {"01 17 0000 0001 0005 0003 06 0001 0002 0BAD", "019703", "one written value refused"},
      {"01 17 0000 0001 0000 0002 04 0001", "019703", "a value short"},
      {"01 18 0006", "019802", "no queue there"},
      {"01 18 0007", "019803", "more than 31 queued"},
      {"01 2B 0E 05 00", "01AB03", "read code 5"},
      {"01 2B 0E 00 00", "01AB03", "read code 0"},
      {"01 2B 0D 01 00", "01AB01", "another interface"},
      {"01 2B 0E 04 03", "01AB02", "an object the device does not have"},
      {"01 2B 0E", "01AB03", "too short"},
      {"01 2B 0E 04 01", "012B0E0481000001010150", "one object"},
      {"01 2B 0E 01 07", "012B0E0181000003000151010150020131", "an unknown object starts from the first"},
      {"01 2B 0E 01 01", "012B0E0181000002010150020131", "from object 1"},
  };
  for (const auto& R : Rows) EXPECT_EQ(Answer(R.Request), R.Reply) << R.Why;
  EXPECT_EQ(Server.HoldingRegisters()[5], 0) << "nothing written when one register is refused";
  EXPECT_EQ(Server.Files()[1][2], 0x0C);
}

TEST_F(ServerRequests, DeviceIdentificationStreamsWhatFitsAndSaysWhereToGoOn) {
  ProvideAll(Server);
  const std::string Long(100, 'x');
  Server.DeviceIdentification() = {{DeviceObjects::VendorName, "Quorvel"}, {DeviceObjects::ProductCode, "QV"},
                                   {DeviceObjects::MajorMinorRevision, "0.2"}, {DeviceObjects::VendorUrl, Long},
                                   {DeviceObjects::ProductName, Long}, {DeviceObjects::ModelName, Long},
                                   {0x80, "x"}};
  // Header: interface, read code, conformity (83h: extended objects, individual access), more
  // follows, next object id, number of objects.
  EXPECT_EQ(Answer("01 2B 0E 01 00").substr(0, 16), "012B0E0183000003") << "the basic objects";
  EXPECT_EQ(Answer("01 2B 0E 02 00").substr(0, 16), "012B0E0283FF0505") << "objects 0 to 4, then 5";
  EXPECT_EQ(Answer("01 2B 0E 02 05").substr(0, 16), "012B0E0283000001") << "5, the last regular one";
  EXPECT_EQ(Answer("01 2B 0E 03 05").substr(0, 16), "012B0E0383000002") << "5 and the private 80h";
  Server.DeviceIdentification()[DeviceObjects::ModelName] = std::string(245, 'y');
  TModbusTransaction T(Connection.FrameBufferSize());
  Fill(T.Request, WithCrc(Hex("01 2B 0E 03 05")));
  T.Info.ServerAddress = 1;
  EXPECT_EQ(MessageOf<EQuorvelError>([&] { Server.HandleRequest(T); }),
            "There is not enough space in the buffer to perform the requested action")
      << "an object that no reply holds is the application's error, not a reply";
  EXPECT_EQ(T.Reply.Size(), 0);
  Server.DeviceIdentification() = {{DeviceObjects::VendorName, "Q"}, {DeviceObjects::ProductName, "P"}};
  EXPECT_EQ(Answer("01 2B 0E 01 00").substr(0, 16), "012B0E0182000001") << "regular objects, basic read";
}

TEST_F(ServerRequests, DiagnosticsCountersEventLogAndListenOnlyMode) {
  for (const Byte Function : {Functions::Diagnostics, Functions::GetCommEventCounter, Functions::GetCommEventLog})
    Server.SetFunctionProvided(Function, true);
  Server.SetFunctionHandler(0x41, [](auto&, auto&, const TFrameData&) { return Hex("C1 06"); });  // busy
  const std::pair<const char*, const char*> Steps[] = {
      {"01 08 000E 0000", "0108000E0001"},  // the server's messages: this one
      {"01 03 0000 0001", "0103020000"},
      {"01 03 FFFF 0002", "018302"},
      {"01 41", "01C106"},
      {"01 08 000D 0000", "0108000D0002"},  // exception replies sent
      {"01 08 0011 0000", "010800110001"},  // busy replies sent
      {"01 0B", "010B00000004"},            // carried out without an exception, before this one
      // Byte count, status, event count, messages on the line (none came over it), then the events
      // from the most recent: received 80h, sent 40h, sent an exception 41h, sent busy 44h.
      {"01 0C", "010C15000000040000" "804080408040804480418040804080"},
      {"00 06 0001 0005", "none"},
      {"01 08 000F 0000", "0108000F0001"},  // no response: the broadcast
      {"01 08 0004 0000", "none"},          // listen-only mode is never answered
      {"01 06 0002 0009", "none"},          // ... nor anything else until a restart
      {"01 08 0001 0000", "none"},          // which stays silent too, once
      {"01 08 000E 0000", "0108000E0001"},  // the restart cleared the counters
      {"01 06 0002 0009", "010600020009"},
      {"01 08 0001 FF00", "01080001FF00"},  // restart, clearing the log
      {"01 0C", "010C08000000000000" "8000"},  // this request, after the restart
      {"01 08 0001 0001", "018803"},
      {"01 08 0002 0000", "018801"},  // sub-functions the server does not have
      {"01 08 0014 0000", "018801"},
      {"01 08 0000 010203", "01080000010203"},  // query data of any length come back
      {"01 08 000A 0000", "0108000A0000"},
      {"01 08 000E 0000", "0108000E0001"},
      {"01 08 000B", "018803"},
  };
  for (const auto& [Request, Reply] : Steps) EXPECT_EQ(Answer(Request), Reply) << Request;
  EXPECT_EQ(Server.HoldingRegisters()[1], 5) << "the broadcast was carried out";
}

TEST_F(ServerRequests, FunctionsOfTheApplicationsOwn) {
  std::vector<std::pair<Byte, TFrameData>> Seen;
  Server.SetFunctionHandler(0x41, [&Seen](TModbusServer&, const TTransactionInfo& Info, const TFrameData& Pdu) {
    Seen.emplace_back(Info.ServerAddress, Pdu);
    TFrameData Reply = Pdu;
    Reply.push_back(0x99);
    return Reply;
  });
  EXPECT_EQ(Answer("01 41 0102"), "0141010299");
  Answer("00 41 03");  // a broadcast calls the handler too; the worker never sends its reply

  EXPECT_EQ(Seen, (std::vector<std::pair<Byte, TFrameData>>{{1, Hex("41 0102")}, {0, Hex("41 03")}}));
  // A handler answers a code of the library's own instead of the server.
  Server.SetFunctionHandler(Functions::ReadHoldingRegisters, [](auto&, auto&, const TFrameData&) { return Hex("83 04"); });
  EXPECT_EQ(Answer("01 03 0000 0001"), "018304");
  Server.SetFunctionHandler(Functions::ReadHoldingRegisters, nullptr);
  EXPECT_EQ(Answer("01 03 0000 0001"), "0103020000") << "removed";
  Server.SetFunctionHandler(0x42, [](auto&, auto&, const TFrameData&) { return TFrameData{}; });
  EXPECT_EQ(Answer("01 42"), "none") << "no reply at all";
  Server.SetFunctionHandler(0x43, [](auto&, auto&, const TFrameData&) -> TFrameData { RaiseError(Messages::InternalError); });
  TModbusTransaction T(Connection.FrameBufferSize());
  Fill(T.Request, WithCrc(Hex("01 43")));
  T.Info.ServerAddress = 1;
  EXPECT_THROW(Server.HandleRequest(T), EQuorvelError) << "the handler's error reaches the application";
  EXPECT_EQ(T.Reply.Size(), 0);
  Server.SetFunctionHandler(0x44, [](auto&, auto&, const TFrameData&) { return TFrameData(254, 0x44); });
  Fill(T.Request, WithCrc(Hex("01 44")));
  EXPECT_THROW(Server.HandleRequest(T), EQuorvelError) << "a reply longer than a frame";
  EXPECT_EQ(T.Reply.Size(), 0);
  EXPECT_EQ(Answer("01 45"), "01C501") << "a code nobody handles";
  EXPECT_EQ(MessageOf<EQuorvelError>([&] { Server.SetFunctionHandler(0x80, nullptr); }), "Value must be between 1 and 127");
  EXPECT_EQ(MessageOf<EQuorvelError>([&] { Server.SetFunctionHandler(0, nullptr); }), "Value must be between 1 and 127");
}

TEST_F(ServerRequests, SeveralAddressesOnOnePort) {
  Server.SetOtherAddresses({5, 9});
  TTestServer Other;
  Other.SetServerAddress(2);
  Other.HoldingRegisters()[0] = 0x0202;
  Other.SetConnection(&Connection);
  const auto Dispatch = [this](const char* Request) {
    TModbusTransaction T(Connection.FrameBufferSize());
    Fill(T.Request, WithCrc(Hex(Request)));
    T.Info.ServerAddress = T.Request.Memory()[0];
    Connection.DispatchRequest(T);
    return T.Reply.Size() == 0 ? TFrameData{} : TFrameData(T.Reply.Memory(), T.Reply.Memory() + T.Reply.Size() - 2);
  };
  // Each reply goes out from the address its request named.
  EXPECT_EQ(Dispatch("01 03 0000 0001"), Hex("01 03 02 0000"));
  EXPECT_EQ(Dispatch("05 03 0000 0001"), Hex("05 03 02 0000"));
  EXPECT_EQ(Dispatch("09 03 FFFF 0002"), Hex("09 83 02"));
  EXPECT_EQ(Dispatch("02 03 0000 0001"), Hex("02 03 02 0202")) << "the other server, its own data";
  const auto Before = Connection.Statistics().OtherAddresses;
  EXPECT_EQ(Dispatch("06 03 0000 0001"), TFrameData{}) << "an address nobody answers";
  EXPECT_EQ(Connection.Statistics().OtherAddresses, Before + 1);
  EXPECT_TRUE(Server.AnswersAddress(9));
  EXPECT_FALSE(Other.AnswersAddress(5));
  EXPECT_EQ(Connection.FindServer(5), &Server);
  Server.SetOtherAddresses({});
  EXPECT_EQ(Dispatch("05 03 0000 0001"), TFrameData{});
}

// The bus counters are the line's: every frame with a good check, and those without.
TEST_F(ServerRequests, DiagnosticsCountTheLine) {
  Server.SetFunctionProvided(Functions::Diagnostics, true);
  std::atomic<bool> Done{false};
  std::vector<TFrameData> Replies;
  TDevice Client(Line.PortB(), [&](Testing::TLinePeer& Peer) {
    std::this_thread::sleep_for(100ms);  // the server's worker listens after its first quiet time
    TFrameData Bad = WithCrc(Hex("01 03 0000 0001"));
    Bad.back() ^= 0x01;
    Peer.Write(Bad);
    std::this_thread::sleep_for(50ms);
    Peer.Write(WithCrc(Hex("07 03 0000 0001")));  // nobody has address 7
    std::this_thread::sleep_for(50ms);
    for (const char* Request : {"01 08 000B 0000", "01 08 000C 0000", "01 08 000A 0000", "01 08 000B 0000"}) {
      Peer.Write(WithCrc(Hex(Request)));
      Replies.push_back(Peer.ReadFrame(30ms, 2000ms));
    }
    MainThread::Synchronize([&Done] { Done = true; });
  });
  EXPECT_TRUE(PumpUntil([&] { return Done.load(); }, 8000));
  Client.Join();
  ASSERT_EQ(Replies.size(), 4u);
  EXPECT_EQ(Replies[0], WithCrc(Hex("01 08 000B 0002"))) << "the frame to address 7 and this one";
  EXPECT_EQ(Replies[1], WithCrc(Hex("01 08 000C 0001"))) << "the frame with a bad check";
  EXPECT_EQ(Replies[2], WithCrc(Hex("01 08 000A 0000")));
  EXPECT_EQ(Replies[3], WithCrc(Hex("01 08 000B 0001"))) << "cleared, the line's statistics with them";
}

