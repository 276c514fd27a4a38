// Our server against other Modbus clients on a virtual line at 19200 bit/s: libmodbus (RTU) in a
// thread of this process, pymodbus (RTU and ASCII) as a child process. Our side is a
// TModbusMemoryServer holding the tables of InteropData.h on a connection in server mode; its
// requests are dispatched on this, the main thread, which pumps while the peer asks.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

#include <Quorvel/Connection.h>
#include <Quorvel/MemoryServer.h>
#include <Quorvel/Messages.h>
#include <Quorvel/Protocol.h>
#include "FramingRun.h"
#include "InteropData.h"
#include "Peers.h"
#include "SocketPeer.h"
#include "VirtualSerialLine.h"

using namespace Quorvel;
using namespace QuorvelInterop;

namespace {

// ...OverTcp: the peer is a device server on 127.0.0.1 that connects out to our server, which
// listens there, and carries the RTU frames over TCP.
// ...TCP: a Modbus TCP client, to our Modbus TCP server listening on 127.0.0.1.
enum class TPeerClientKind { LibmodbusRTU, PymodbusRTU, PymodbusASCII, PymodbusRTUOverTcp, LibmodbusTCP, PymodbusTCP };

std::string NameOf(TPeerClientKind Peer) {
  switch (Peer) {
    case TPeerClientKind::LibmodbusRTU: return "LibmodbusRTU";
    case TPeerClientKind::PymodbusRTU: return "PymodbusRTU";
    case TPeerClientKind::PymodbusRTUOverTcp: return "PymodbusRTUOverTcp";
    case TPeerClientKind::LibmodbusTCP: return "LibmodbusTCP";
    case TPeerClientKind::PymodbusTCP: return "PymodbusTCP";
    default: return "PymodbusASCII";
  }
}
std::string PeerName(const ::testing::TestParamInfo<TPeerClientKind>& Info) { return NameOf(Info.param); }
void PrintTo(TPeerClientKind Peer, std::ostream* Out) { *Out << NameOf(Peer); }

template <class TValues>
std::string Words(const TValues& Values) {
  std::string Text;
  for (const auto Value : Values) Text += " " + std::to_string(static_cast<int>(Value));
  return Text;
}

template <class F>
std::string Ok(F Formula, int First, int Count) {
  return "ok" + Words(TableOf(Formula, First, Count));
}

class ServerInterop : public ::testing::TestWithParam<TPeerClientKind> {
 protected:
  // The line goes last: everything on it has closed by then.
  Testing::TVirtualSerialLine Line{BaudRate};
  TModbusConnection Connection;
  TModbusMemoryServer Server;
  std::vector<TFrameData> Received, Sent;
  std::vector<std::pair<Word, Word>> RegisterWrites, CoilWrites;
  std::unique_ptr<TPeerClient> Peer;

  void SetUp() override {
    Server.Coils() = {0, TableOf(CoilAt, 0, TableSize)};
    Server.DiscreteInputs() = {0, TableOf(DiscreteInputAt, 0, TableSize)};
    Server.HoldingRegisters() = {0, TableOf(HoldingRegisterAt, 0, TableSize)};
    Server.InputRegisters() = {0, TableOf(InputRegisterAt, 0, TableSize)};
    Server.SetServerAddress(ServerAddress);
    Server.SetOnRegistersWrite([this](auto&, Word Start, Word Count) { RegisterWrites.emplace_back(Start, Count); });
    Server.SetOnCoilsWrite([this](auto&, Word Start, Word Count) { CoilWrites.emplace_back(Start, Count); });
    Server.SetConnection(&Connection);

    const bool ModbusTcp = GetParam() == TPeerClientKind::LibmodbusTCP || GetParam() == TPeerClientKind::PymodbusTCP;
    const bool OverTcp = ModbusTcp || GetParam() == TPeerClientKind::PymodbusRTUOverTcp;
    const Word TcpNumber = Testing::FreeTcpPort();
    const std::string TcpPort = "tcp://127.0.0.1:" + std::to_string(TcpNumber);
    Connection.SetPort(OverTcp ? "tcp-listen" + TcpPort.substr(3) : Line.PortA());
    Connection.SetParity(psNone);
    Connection.SetConnectionMode(cmServer);
    Connection.SetLengthAwareFraming(QuorvelTest::LengthAwareRun());
    Connection.SetTransmissionMode(ModbusTcp ? tmModbusTCP : GetParam() == TPeerClientKind::PymodbusASCII ? tmASCII : tmRTU);
    Connection.SetOnFrameReceive([this](auto&, const TFrameData& Data) { Received.push_back(Data); });
    Connection.SetOnFrameSend([this](auto&, const TFrameData& Data) { Sent.push_back(Data); });
    Connection.Open();

    if (GetParam() == TPeerClientKind::LibmodbusRTU)
      Peer = std::make_unique<TLibmodbusClient>(Line.PortB());
    else if (GetParam() == TPeerClientKind::LibmodbusTCP)
      Peer = std::make_unique<TLibmodbusClient>(TTcpPort{TcpNumber});
    else if (OverTcp)
      Peer = std::make_unique<TPymodbusPeer>(TPymodbusPeer::Client, TcpPort, ModbusTcp ? TFraming::ModbusTCP : TFraming::RTU);
    else
      Peer = std::make_unique<TPymodbusPeer>(
          TPymodbusPeer::Client, Line.PortB(),
          GetParam() == TPeerClientKind::PymodbusRTU ? TFraming::RTU : TFraming::ASCII);
    WaitUntilListening();
  }

  // In RTU our server starts listening only after one silent time of quiet on the line, so that
  // its first frame starts on a frame boundary; a request sent sooner is dropped, and a peer that
  // asks at once would see a time-out. The first answer tells that it listens.
  // With length-aware framing it listens as soon as Open returns: the first request is answered.
  void WaitUntilListening() {
    std::string Result;
    int Attempt = 0;
    for (; Attempt < 5 && Result.rfind("ok", 0) != 0; ++Attempt) PumpWhile([&] { Result = Peer->Request("3 0 1"); });
    ASSERT_EQ(Result, Ok(HoldingRegisterAt, 0, 1)) << "our server never answered";
    if (QuorvelTest::LengthAwareRun()) {
      EXPECT_EQ(Attempt, 1) << "the first request after opening was lost";
    }
    MainThread::ProcessMessagesUntil([&] { return !Sent.empty(); }, 2000);
    Received.clear();
    Sent.clear();
  }

  void TearDown() override {
    Peer.reset();
    Connection.Close();
  }

  // The peer's result line for one request. Our side must have seen exactly one request frame
  // and sent exactly one reply frame for it.
  std::string Ask(const std::string& Request) {
    const std::size_t Before = Sent.size();
    std::string Result;
    EXPECT_TRUE(PumpWhile([&] { Result = Peer->Request(Request); }));
    // The frame copies are posted before the reply goes out, but may still wait in the queue.
    MainThread::ProcessMessagesUntil([&] { return Sent.size() >= Before + 1 && Received.size() >= Before + 1; },
                                     2000);
    EXPECT_EQ(Sent.size(), Before + 1) << "one reply per request";
    EXPECT_EQ(Received.size(), Before + 1) << "one request frame";
    return Result;
  }
};

TEST_P(ServerInterop, ReadsReturnOurTables) {
  const std::string Last = std::to_string(TableSize - 1);
  const std::pair<std::string, std::string> Cases[] = {
      {"1 0 1", Ok(CoilAt, 0, 1)},
      {"1 3 19", Ok(CoilAt, 3, 19)},
      {"1 0 2000", Ok(CoilAt, 0, 2000)},
      {"2 5 37", Ok(DiscreteInputAt, 5, 37)},
      {"2 " + Last + " 1", Ok(DiscreteInputAt, TableSize - 1, 1)},
      {"3 0 1", Ok(HoldingRegisterAt, 0, 1)},
      {"3 443 11", Ok(HoldingRegisterAt, 443, 11)},
      {"3 875 125", Ok(HoldingRegisterAt, 875, 125)},
      {"4 17 9", Ok(InputRegisterAt, 17, 9)},
      {"4 0 125", Ok(InputRegisterAt, 0, 125)},
      // Past the end of a table: illegal data address, with the function code's bit 7 set.
      {"3 " + Last + " 2", "exc 131 2"},
      {"1 " + Last + " 2", "exc 129 2"},
      {"4 " + std::to_string(TableSize) + " 1", "exc 132 2"},
  };
  for (const auto& [Request, Expected] : Cases) {
    SCOPED_TRACE(Request);
    EXPECT_EQ(Ask(Request), Expected);
  }
}

TEST_P(ServerInterop, SingleWritesAreEchoedAndStored) {
  ASSERT_FALSE(CoilAt(7));
  ASSERT_TRUE(CoilAt(9));
  const std::pair<std::string, std::string> Cases[] = {
      {"5 7 1", "ok 7 1"},
      {"5 9 0", "ok 9 0"},
      {"6 500 48879", "ok 500 48879"},
      {"6 0 0", "ok 0 0"},
  };
  for (const auto& [Request, Expected] : Cases) {
    SCOPED_TRACE(Request);
    EXPECT_EQ(Ask(Request), Expected);
    // A single write is answered with the request itself.
    EXPECT_EQ(Sent.back(), Received.back());
  }
  EXPECT_TRUE(Server.Coils()[7]);
  EXPECT_FALSE(Server.Coils()[9]);
  EXPECT_EQ(Server.HoldingRegisters()[500], 0xBEEF);
  EXPECT_EQ(Server.HoldingRegisters()[0], 0);
  EXPECT_EQ(Ask("1 6 4"), "ok 1 1 0 0");
  EXPECT_EQ(Ask("3 499 3"), "ok" + Words(TRegValues{HoldingRegisterAt(499), 0xBEEF, HoldingRegisterAt(501)}));
}

TEST_P(ServerInterop, MultipleWritesAreAcknowledgedAndStored) {
  const TRegValues DisplayLine = {3, 0x5175, 0x6F72, 0x7665, 0x6C20, 0x6C69, 0x6E65, 0x2031, 0x2020, 0x2020, 0x2020};
  EXPECT_EQ(Ask("16 443" + Words(DisplayLine)), "ok 443 11");
  EXPECT_EQ(Ask("3 443 11"), "ok" + Words(DisplayLine));

  TRegValues Many(TModbusServer::MaxWriteRegisters);
  for (std::size_t I = 0; I < Many.size(); ++I) Many[I] = static_cast<Word>(0xF00D ^ (I * 0x0203));
  EXPECT_EQ(Ask("16 600" + Words(Many)), "ok 600 123");

  TBitValues Bits(19);
  for (std::size_t I = 0; I < Bits.size(); ++I) Bits[I] = (I * 7) % 4 == 1 || I == 18;
  EXPECT_EQ(Ask("15 100" + Words(Bits)), "ok 100 19");
  TBitValues Around = Bits;
  Around.insert(Around.begin(), CoilAt(99));
  Around.push_back(CoilAt(119));
  EXPECT_EQ(Ask("1 99 21"), "ok" + Words(Around));

  // A write that runs past the table writes nothing.
  const int NearEnd = TableSize - 5;
  EXPECT_EQ(Ask("16 " + std::to_string(NearEnd) + " 1 2 3 4 5 6 7 8 9 10"), "exc 144 2");

  EXPECT_EQ(TRegValues(Server.HoldingRegisters().Values.begin() + 443, Server.HoldingRegisters().Values.begin() + 454),
            DisplayLine);
  EXPECT_EQ(TRegValues(Server.HoldingRegisters().Values.begin() + 600, Server.HoldingRegisters().Values.begin() + 723),
            Many);
  EXPECT_EQ(TRegValues(Server.HoldingRegisters().Values.begin() + NearEnd, Server.HoldingRegisters().Values.end()),
            TableOf(HoldingRegisterAt, NearEnd, 5));
  EXPECT_EQ(RegisterWrites, (std::vector<std::pair<Word, Word>>{{443, 11}, {600, 123}}));
  EXPECT_EQ(CoilWrites, (std::vector<std::pair<Word, Word>>{{100, 19}}));
}

TEST_P(ServerInterop, OtherFunctionsAreRefusedWithExceptionOne) {
  // Read exception status, report server id and mask write: the peers ask, we do not serve them.
  const std::pair<std::string, std::string> Cases[] = {
      {"7", "exc 135 1"},
      {"17", "exc 145 1"},
      {"22 300 61682 9509", "exc 150 1"},
  };
  for (const auto& [Request, Expected] : Cases) {
    SCOPED_TRACE(Request);
    EXPECT_EQ(Ask(Request), Expected);
  }
  EXPECT_EQ(Server.HoldingRegisters()[300], HoldingRegisterAt(300));
}

// Everything beyond reads and writes, once our server provides it. libmodbus asks for 17, 22 and
// 23 (the others it cannot send); pymodbus for all of them.
TEST_P(ServerInterop, TheWholeProtocolOnceProvided) {
  for (const Byte Function : TModbusServer::ProvidableFunctions) Server.SetFunctionProvided(Function, true);
  Server.SetExceptionStatus(0x5A);
  Server.ServerIdentification() = {0x51, 0xFF, 'Q', 'v'};
  const std::string Long(100, 'u');
  Server.DeviceIdentification() = {{DeviceObjects::VendorName, "Quorvel"}, {DeviceObjects::ProductCode, "QV"},
                                   {DeviceObjects::MajorMinorRevision, "0.2"}, {DeviceObjects::VendorUrl, Long},
                                   {DeviceObjects::ProductName, Long}, {DeviceObjects::ModelName, Long}};
  Server.FifoQueues()[0] = {10, 20, 30};
  Server.Files()[1] = {0, {0x1111, 0x2222, 0x3333, 0, 0, 0, 0, 0}};
  // The test's own function: a byte count and bytes, answered with the bytes reversed.
  Server.SetFunctionHandler(0x41, [](TModbusServer&, const TTransactionInfo&, const TFrameData& Pdu) {
    TFrameData Reply = Pdu;
    std::reverse(Reply.begin() + 2, Reply.end());
    return Reply;
  });
  const auto Hex = [](const std::string& Text) {
    std::string Digits;
    char Pair[3];
    for (const char C : Text) {
      std::snprintf(Pair, sizeof Pair, "%02x", static_cast<unsigned char>(C));
      Digits += Pair;
    }
    return Digits;
  };
  const Word Masked = (HoldingRegisterAt(300) & 61682) | (9509 & ~61682 & 0xFFFF);
  const std::pair<std::string, std::string> Everyone[] = {
      {"17", "ok 81 255 81 118"},
      {"22 300 61682 9509", "ok 300 61682 9509"},
      {"3 300 1", "ok " + std::to_string(Masked)},
      {"23 100 3 101 48879", "ok" + Words(TRegValues{HoldingRegisterAt(100), 48879, HoldingRegisterAt(102)})},
  };
  for (const auto& [Request, Expected] : Everyone) {
    SCOPED_TRACE(Request);
    EXPECT_EQ(Ask(Request), Expected);
  }
  EXPECT_EQ(Server.HoldingRegisters()[101], 48879);
  if (GetParam() == TPeerClientKind::LibmodbusRTU || GetParam() == TPeerClientKind::LibmodbusTCP) return;

  const std::string Basic = " 0:" + Hex("Quorvel") + " 1:" + Hex("QV") + " 2:" + Hex("0.2");
  const std::pair<std::string, std::string> Pymodbus[] = {
      {"7", "ok 90"},
      {"20 1 0 3", "ok 4369 8738 13107"},
      {"20 1 0 1 1 2 1", "ok 4369 13107"},
      {"21 1 5 7 8 9", "ok 1 5 7 8 9"},
      {"20 1 5 3", "ok 7 8 9"},
      {"20 1 9 1", "exc 148 2"},
      {"24 0", "ok 10 20 30"},
      {"24 1", "exc 152 2"},
      // Conformity 82h: regular objects, individual access. Objects 0 to 4 fill the first reply;
      // the next starts at 5.
      {"43 1 0", "ok 130 0 0" + Basic},
      {"43 2 0", "ok 130 255 5" + Basic + " 3:" + Hex(Long) + " 4:" + Hex(Long)},
      {"43 2 5", "ok 130 0 0 5:" + Hex(Long)},
      {"43 4 1", "ok 130 0 0 1:" + Hex("QV")},
      {"43 4 9", "exc 171 2"},
      {"65 1 2 3", "ok 3 2 1"},
      // The diagnostics, counted from a clear; the clear itself is counted before it clears.
      {"8 10 0", "ok 10 0"},
      {"8 14 0", "ok 14 1"},
      {"8 11 0", "ok 11 2"},  // the frames since the clear, on the line
      {"8 12 0", "ok 12 0"},
      {"3 1999 2", "exc 131 2"},
      {"8 13 0", "ok 13 1"},
      {"8 0 4660", "ok 0 4660"},
      {"11", "ok 0 5"},  // carried out without an exception since the clear
      {"8 2 0", "exc 136 1"},
  };
  for (const auto& [Request, Expected] : Pymodbus) {
    SCOPED_TRACE(Request);
    EXPECT_EQ(Ask(Request), Expected);
  }
  // The log: status, event count, messages on the line, then the events, the latest first:
  // this request's arrival (80h), then the last reply sent.
  const std::string Log = Ask("12");
  EXPECT_EQ(Log.rfind("ok 0 5 9 128 65 128", 0), 0u) << "an exception reply sent: 41h: " << Log;
  EXPECT_EQ(Server.Files()[1][6], 8);
}

// What only pymodbus can ask (libmodbus 3.1.6 cannot send function 8).
class PymodbusServerInterop : public ServerInterop {};

// Listen-only mode: no reply, to anything, until a restart, which gets none either.
TEST_P(PymodbusServerInterop, ListenOnlyModeUntilARestart) {
  Server.SetFunctionProvided(Functions::Diagnostics, true);
  for (const char* Silent : {"8 4 0", "6 0 7", "8 1 0"}) {
    SCOPED_TRACE(Silent);
    EXPECT_EQ(Ask(Silent).rfind("err", 0), 0u) << "no reply: the peer times out";
    EXPECT_TRUE(Sent.back().empty()) << "nothing went out";
  }
  EXPECT_EQ(Server.HoldingRegisters()[0], HoldingRegisterAt(0)) << "the write was not carried out";
  EXPECT_EQ(Ask("8 15 0"), "ok 15 0") << "after the restart, with its counters cleared";
  EXPECT_EQ(Ask("6 0 7"), "ok 0 7");
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Peers, ServerInterop,
                         ::testing::Values(TPeerClientKind::LibmodbusRTU, TPeerClientKind::PymodbusRTU,
                                           TPeerClientKind::PymodbusASCII, TPeerClientKind::PymodbusRTUOverTcp,
                                           TPeerClientKind::LibmodbusTCP, TPeerClientKind::PymodbusTCP),
                         PeerName);
INSTANTIATE_TEST_SUITE_P(Peers, PymodbusServerInterop,
                         ::testing::Values(TPeerClientKind::PymodbusRTU, TPeerClientKind::PymodbusASCII,
                                           TPeerClientKind::PymodbusRTUOverTcp, TPeerClientKind::PymodbusTCP),
                         PeerName);
