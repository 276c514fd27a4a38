// A server's answers: limits, the order of its checks, exception codes and reply layouts.

#include <atomic>
#include <thread>

#include <Quorvel/Application.h>
#include <Quorvel/Errors.h>
#include <Quorvel/MemoryServer.h>
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
