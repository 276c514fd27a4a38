// The gateway and the simulated device on TCP against other Modbus implementations: libmodbus's
// TCP client through the gateway to libmodbus's RTU server on a virtual line, and mbpoll
// ("-m tcp") against the device's Modbus TCP and through the gateway program. Only 127.0.0.1.

#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>
#include <string>

#include <Quorvel/Connection.h>
#include <Quorvel/Messages.h>
#include "InteropData.h"
#include "Peers.h"
#include "SocketPeer.h"
#include "VirtualSerialLine.h"

#ifdef QUORVEL_GATEWAY_PROGRAM

#include "Gateway.h"
#include "GatewayOptions.h"

using namespace Quorvel;
using namespace QuorvelInterop;

namespace {

constexpr const char* Mbpoll = "/usr/bin/mbpoll";

std::string Values(int First, int Count) {
  std::string Text = "ok";
  for (int A = First; A < First + Count; ++A) Text += " " + std::to_string(HoldingRegisterAt(A));
  return Text;
}

// mbpoll once, to Unit of 127.0.0.1:Port, with references from 0; what it printed (its errors
// too), a line each, and its exit status last.
std::vector<std::string> RunMbpoll(Word Port, const std::vector<std::string>& Args, int Unit = 1) {
  std::vector<std::string> Argv = {Mbpoll, "-m", "tcp", "-p", std::to_string(Port), "-a", std::to_string(Unit), "-0", "-1"};
  Argv.insert(Argv.end(), Args.begin(), Args.end());
  // Its errors go to standard error: through a shell, they join the output. The words are all
  // the test's own, with nothing in them that a shell would read.
  std::string Command = "exec";
  for (const auto& Word : Argv) Command += " " + Word;
  TChildProcess Child({"/bin/sh", "-c", Command + " 2>&1"});
  std::vector<std::string> Lines;
  while (auto Line = Child.ReadLine(std::chrono::seconds(10))) Lines.push_back(*Line);
  Lines.push_back("exit " + std::to_string(Child.Finish(std::chrono::seconds(5))));
  return Lines;
}

bool Printed(const std::vector<std::string>& Lines, const std::string& Text) {
  return std::find(Lines.begin(), Lines.end(), Text) != Lines.end();
}

// A program of ours, until its announcement line has come.
std::unique_ptr<TChildProcess> StartProgram(const std::vector<std::string>& Argv, const std::string& Announcement) {
  auto Child = std::make_unique<TChildProcess>(Argv);
  while (auto Line = Child->ReadLine(std::chrono::seconds(10)))
    if (Line->find(Announcement) != std::string::npos) return Child;
  throw std::runtime_error(Argv[0] + " did not start");
}

}  // namespace

TEST(GatewayInterop, ALibmodbusTcpClientReachesALibmodbusRtuServerThroughTheGateway) {
  Testing::TVirtualSerialLine Line(BaudRate);
  TLibmodbusServer Station(Line.PortB());
  TModbusConnection Serial, Tcp;
  Dorvane::TGatewayOptions Options;
  Options.Listen = "127.0.0.1:0";
  Options.SerialPort = Line.PortA();
  Dorvane::ApplyGatewayOptions(Options, Tcp, Serial);
  Dorvane::TGateway Gateway(Tcp, Serial);
  Serial.Open();
  Tcp.Open();
  TLibmodbusClient Client(TTcpPort{Testing::ListeningPortOf(Tcp)});
  std::string Read, Write, ReadBack, Refused;
  ASSERT_TRUE(PumpWhile([&] {
    Read = Client.Request("3 100 10");
    Write = Client.Request("16 200 7 8 9");
    ReadBack = Client.Request("3 200 3");
    Refused = Client.Request("3 1999 2");
  }));
  EXPECT_EQ(Read, Values(100, 10));
  EXPECT_EQ(Write, "ok 200 3");
  EXPECT_EQ(ReadBack, "ok 7 8 9");
  EXPECT_EQ(Refused.rfind("exc 131 2", 0), 0u) << Refused;
  EXPECT_EQ(Gateway.Counts().Answered, 4u);
  Tcp.Close();
  Serial.Close();
}

TEST(GatewayInterop, MbpollReadsAndWritesTheDeviceOverModbusTcp) {
  if (::access(Mbpoll, X_OK) != 0) GTEST_SKIP() << "mbpoll is not installed (Debian: mbpoll)";
  const Word Port = Testing::FreeTcpPort();
  auto Device = StartProgram({DORVANE_DEVICE_PROGRAM, "--modbus-tcp", "127.0.0.1:" + std::to_string(Port)},
                             "Ctrl-C stops it.");
  // Line 2 of the display: "AB".
  const auto Written = RunMbpoll(Port, {"-r", "443", "127.0.0.1", "4", "16706"});
  EXPECT_TRUE(Printed(Written, "exit 0") && Printed(Written, "Written 2 references.")) << ::testing::PrintToString(Written);
  const auto Read = RunMbpoll(Port, {"-r", "443", "-c", "2", "127.0.0.1"});
  EXPECT_TRUE(Printed(Read, "[443]: \t4") && Printed(Read, "[444]: \t16706")) << ::testing::PrintToString(Read);
  Device->Finish(std::chrono::milliseconds(100));
}

TEST(GatewayInterop, MbpollThroughTheGatewayProgramToALibmodbusRtuServer) {
  if (::access(Mbpoll, X_OK) != 0) GTEST_SKIP() << "mbpoll is not installed (Debian: mbpoll)";
  Testing::TVirtualSerialLine Line(BaudRate);
  TLibmodbusServer Station(Line.PortB());
  const Word Port = Testing::FreeTcpPort();
  // A reply on the line must come within 300 ms, well within mbpoll's own 1 s.
  auto Gateway = StartProgram({QUORVEL_GATEWAY_PROGRAM, "--listen", "127.0.0.1:" + std::to_string(Port), "--timeout",
                               "300", Line.PortA()},
                              "Ctrl-C stops it.");
  const auto Read = RunMbpoll(Port, {"-r", "10", "-c", "3", "127.0.0.1"});
  EXPECT_TRUE(Printed(Read, "exit 0")) << ::testing::PrintToString(Read);
  for (int A = 10; A < 13; ++A)
    EXPECT_TRUE(Printed(Read, "[" + std::to_string(A) + "]: \t" + std::to_string(static_cast<std::int16_t>(HoldingRegisterAt(A)))))
        << A << ": " << ::testing::PrintToString(Read);
  // No station 9 on the line: the gateway says so with exception 0Bh, which mbpoll reports.
  const auto Silent = RunMbpoll(Port, {"-r", "10", "127.0.0.1"}, 9);
  Gateway->Finish(std::chrono::milliseconds(100));
  const auto Told = std::find_if(Silent.begin(), Silent.end(),
                                 [](const std::string& Line) { return Line.find("failed to respond") != std::string::npos; });
  EXPECT_NE(Told, Silent.end()) << ::testing::PrintToString(Silent);
}

#endif
