// The Modbus TCP to serial gateway in this process: TCP clients on 127.0.0.1 in front, a virtual
// serial line behind it with our own server at address 1 on its far end.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include <Quorvel/Connection.h>
#include <Quorvel/MemoryServer.h>
#include <Quorvel/Messages.h>
#include "Gateway.h"
#include "GatewayOptions.h"
#include "SocketPeer.h"
#include "TestBytes.h"
#include "VirtualSerialLine.h"

using namespace Quorvel;
using namespace std::chrono_literals;
using QuorvelTest::Hex;
using Testing::Mbap;
using Testing::TSocketPeer;

namespace {

class GatewayTest : public ::testing::Test {
 protected:
  // The line goes last: everything on it has closed by then.
  Testing::TVirtualSerialLine Line{19200};
  TModbusConnection DeviceSide;
  TModbusMemoryServer Device;
  TModbusConnection Serial, Tcp;
  std::unique_ptr<Dorvane::TGateway> Gateway;
  Word Port = 0;

  void SetUp() override {
    Device.SetServerAddress(1);
    Device.HoldingRegisters() = {0, TRegValues{10, 11, 12}};
    Device.SetConnection(&DeviceSide);
    DeviceSide.SetConnectionMode(cmServer);
    DeviceSide.SetParity(psNone);
    DeviceSide.SetPort(Line.PortB());
    bool Listening = false;
    DeviceSide.SetOnReady([&Listening](TModbusConnection&) { Listening = true; });
    DeviceSide.Open();
    // What reaches the device before it listens is its start-up discard's.
    ASSERT_TRUE(MainThread::ProcessMessagesUntil([&Listening] { return Listening; }, 3000));
    DeviceSide.SetOnReady(nullptr);
    Start(Line.PortA());
  }

  void Start(const std::string& SerialPort) {
    Dorvane::TGatewayOptions Options;
    Options.Listen = "127.0.0.1:0";
    Options.SerialPort = SerialPort;
    Options.Timeout = 300;
    Dorvane::ApplyGatewayOptions(Options, Tcp, Serial);
    Gateway = std::make_unique<Dorvane::TGateway>(Tcp, Serial);
    Serial.Open();
    Tcp.Open();
    Port = Testing::ListeningPortOf(Tcp);
  }

  void TearDown() override {
    Tcp.Close();
    Serial.Close();
    DeviceSide.Close();
  }

  // Runs Script as a TCP client on its own thread while this thread serves the gateway.
  void RunClients(const std::function<void()>& Script) {
    std::atomic<bool> Done{false};
    std::thread Clients([&] {
      Script();
      Done = true;
    });
    for (int Waited = 0; !Done && Waited < 20000; Waited += 10)
      MainThread::ProcessMessagesUntil([] { return false; }, 10);
    Clients.join();
  }
};

}  // namespace

TEST_F(GatewayTest, RequestsGoToTheLineInTheOrderTheyCameAndRepliesBackToTheirClient) {
  TFrameData A, B, Exception;
  RunClients([&] {
    TSocketPeer First(Port), Second(Port);
    First.Write(Mbap(1, Hex("01 03 0000 0002")));
    Second.Write(Mbap(2, Hex("01 03 0002 0001")));
    A = First.ReadFrame(20ms, 5000ms);
    B = Second.ReadFrame(20ms, 5000ms);
    // An exception reply from the line comes back as it is.
    First.Write(Mbap(3, Hex("01 03 0100 0001")));
    Exception = First.ReadFrame(20ms, 5000ms);
  });
  EXPECT_EQ(A, Mbap(1, Hex("01 03 04 000A 000B")));
  EXPECT_EQ(B, Mbap(2, Hex("01 03 02 000C")));
  EXPECT_EQ(Exception, Mbap(3, Hex("01 83 02")));
  EXPECT_EQ(Gateway->Counts().Answered, 3u);
  EXPECT_EQ(Serial.Statistics().FramesSent, 3u);
}

TEST_F(GatewayTest, NoReplyIsExceptionBAndABroadcastIsPassedOnWithoutWaiting) {
  TFrameData Silent, AfterBroadcast, NoSuchStation;
  RunClients([&] {
    TSocketPeer Client(Port);
    Client.Write(Mbap(1, Hex("05 03 0000 0001")));
    Silent = Client.ReadFrame(20ms, 5000ms);
    Client.Write(Mbap(2, Hex("00 06 0001 0063")));
    Client.Write(Mbap(3, Hex("01 03 0001 0001")));
    AfterBroadcast = Client.ReadFrame(20ms, 5000ms);
    Client.Write(Mbap(4, Hex("F8 03 0001 0001")));
    NoSuchStation = Client.ReadFrame(20ms, 5000ms);
  });
  EXPECT_EQ(Silent, Mbap(1, Hex("05 83 0B")));
  EXPECT_EQ(AfterBroadcast, Mbap(3, Hex("01 03 02 0063"))) << "the broadcast reached the device, and only it went unanswered";
  EXPECT_EQ(NoSuchStation, Mbap(4, Hex("F8 83 0A")));
  EXPECT_EQ(Gateway->Counts().NoReply, 1u);
  EXPECT_EQ(Gateway->Counts().Broadcasts, 1u);
  EXPECT_NE(Gateway->Report().find("1 broadcasts, 1 without reply"), std::string::npos) << Gateway->Report();
}

TEST_F(GatewayTest, ALostLineIsExceptionAUntilItIsBack) {
  Tcp.Close();
  Serial.Close();
  Gateway.reset();
  Testing::TVirtualSerialLine Doomed(19200);
  Start(Doomed.PortA());
  Doomed.Unplug();
  ASSERT_TRUE(MainThread::ProcessMessagesUntil([&] { return Gateway->LineLost(); }, 3000));
  TFrameData Reply;
  RunClients([&] {
    TSocketPeer Client(Port);
    Client.Write(Mbap(9, Hex("01 03 0000 0001")));
    Reply = Client.ReadFrame(20ms, 5000ms);
  });
  EXPECT_EQ(Reply, Mbap(9, Hex("01 83 0A")));
  EXPECT_EQ(Gateway->Counts().LineLost, 1u);
  EXPECT_FALSE(Gateway->Reconnect()) << "the port is gone for good";
  Tcp.Close();
  Serial.Close();
}

TEST(GatewayOptions, ListensOnThisMachineUnlessToldAndRefusesWhatItCannotUse) {
  const auto Defaults = Dorvane::ParseGatewayOptions({"/dev/ttyUSB0"});
  EXPECT_EQ(Defaults.Listen, "127.0.0.1:502");
  EXPECT_EQ(Defaults.MaxClients, 8u);
  TModbusConnection Tcp, Serial;
  Dorvane::ApplyGatewayOptions(
      Dorvane::ParseGatewayOptions({"--listen", "0.0.0.0:1502", "--max-clients=3", "--ascii", "--baud", "9600",
                                    "--timeout", "250", "--retries", "2", "ttyS1"}),
      Tcp, Serial);
  EXPECT_EQ(Tcp.Port(), "tcp-listen://0.0.0.0:1502");
  EXPECT_EQ(std::tuple(Tcp.TransmissionMode(), Tcp.ConnectionMode(), Tcp.MaxClients()), std::tuple(tmModbusTCP, cmServer, 3u));
  EXPECT_EQ(std::tuple(Serial.Port(), Serial.TransmissionMode(), Serial.ConnectionMode(), Serial.BaudRate()),
            std::tuple(std::string("ttyS1"), tmASCII, cmClient, br9600));
  EXPECT_EQ(std::tuple(Serial.ReceiveTimeout(), Serial.MaxRetries()), std::tuple(250u, 2u));
  const std::vector<std::vector<std::string>> Refused = {
      {}, {"--listen", "502", "ttyS0"}, {"--max-clients", "0", "ttyS0"}, {"--max-clients", "61", "ttyS0"},
      {"--retries", "0", "ttyS0"}, {"ttyS0", "ttyS1"}, {"--verbose", "ttyS0"}};
  for (const auto& Args : Refused)
    EXPECT_THROW(Dorvane::ParseGatewayOptions(Args), Dorvane::EUsageError) << ::testing::PrintToString(Args);
}
