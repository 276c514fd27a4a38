// The simulated field device: its display registers served over a virtual serial line, the way it
// draws the display, its command line, its own virtual line, and the program as a whole.

#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <vector>

#include <Quorvel/Client.h>
#include <Quorvel/Connection.h>
#include <Quorvel/DisplayLine.h>
#include <Quorvel/Messages.h>
#include <Quorvel/Requester.h>
#include <Quorvel/Version.h>
#include "DeviceOptions.h"
#include "DisplayDevice.h"
#include "ProgramProcess.h"
#include "RequestStyles.h"
#include "SocketPeer.h"
#include "VirtualSerialLine.h"

namespace {

using namespace Quorvel;
using namespace std::chrono_literals;
using Dorvane::TDisplayText;

std::string Text(const TDisplayText& Line) { return std::string(Line.begin(), Line.end()); }

// Registers for a line as the utility packs it.
TRegValues LineRegisters(Word Selector, const std::string& Characters) {
  std::string Padded = Characters;
  Padded.resize(20, ' ');
  TRegValues Values{Selector};
  for (std::size_t K = 0; K < 20; K += 2)
    Values.push_back(static_cast<Word>(static_cast<unsigned char>(Padded[K]) << 8 | static_cast<unsigned char>(Padded[K + 1])));
  return Values;
}

class DeviceDisplayTest : public ::testing::Test {
 protected:
  Testing::TVirtualSerialLine Line{19200};
  TModbusConnection DeviceConnection;
  TModbusConnection UtilityConnection;
  TModbusClient Client;
  std::optional<Dorvane::TDisplayDevice> Device;
  std::vector<std::pair<Word, Word>> Written;
  std::vector<TTransactionInfo> Outcomes;
  TRegValues ReadBack;

  void SetUp() override {
    DeviceConnection.SetPort(Line.PortB());
    DeviceConnection.SetParity(psNone);
    DeviceConnection.SetConnectionMode(cmServer);
    Device.emplace(DeviceConnection);
    Device->SetOnWrite([this](Dorvane::TDisplayDevice&, Word Start, Word Count) { Written.push_back({Start, Count}); });
    DeviceConnection.Open();

    UtilityConnection.SetPort(Line.PortA());
    UtilityConnection.SetParity(psNone);
    UtilityConnection.SetReceiveTimeout(2000);
    Client.SetConnection(&UtilityConnection);
    Client.SetOnMultipleRegistersWrite(
        [this](TModbusClient&, const TTransactionInfo& Info, Word, Word, const TRegValues&) { Outcomes.push_back(Info); });
    Client.SetOnHoldingRegistersRead([this](TModbusClient&, const TTransactionInfo& Info, Word, Word, const TRegValues& Values) {
      Outcomes.push_back(Info);
      ReadBack = Values;
    });
    UtilityConnection.Open();
    // The device's worker drops what arrived before it listened: make sure it listens.
    UtilityConnection.SetMaxRetries(5);
    ASSERT_EQ(Exchange([&] { Client.ReadHoldingRegisters(443, 1); }).ReplyStatus, rsSuccess);
    UtilityConnection.SetMaxRetries(1);
    Outcomes.clear();
  }

  void TearDown() override {
    UtilityConnection.Close();
    DeviceConnection.Close();
  }

  // Sends one request and serves both ends (the device's dispatch runs on this thread) until the
  // client has its outcome.
  const TTransactionInfo& Exchange(const std::function<void()>& Request) {
    const std::size_t Before = Outcomes.size();
    Request();
    EXPECT_TRUE(MainThread::ProcessMessagesUntil([&] { return Outcomes.size() > Before; }, 15000));
    static const TTransactionInfo None{};
    return Outcomes.size() > Before ? Outcomes.back() : None;
  }
};

TEST_F(DeviceDisplayTest, TheSelectorLatchesTheTextRegistersIntoItsLine) {
  const std::string Blank(20, ' ');
  struct TStep {
    const char* Name;
    Word Start;
    TRegValues Values;
    std::string Line1, Line2;
  };
  const TStep Steps[] = {
      {"line 1", 443, LineRegisters(3, "HELLO \xC7"), "HELLO \xC7" + std::string(13, ' '), Blank},
      {"line 2, 20 characters", 443, LineRegisters(4, "ABCDEFGHIJKLMNOPQRST"), "HELLO \xC7" + std::string(13, ' '),
       "ABCDEFGHIJKLMNOPQRST"},
      // The selector still says line 2.
      {"text registers only", 444, {0x5859}, "HELLO \xC7" + std::string(13, ' '), "XYCDEFGHIJKLMNOPQRST"},
      {"a selector the device does not know", 443, {7, 0x2020}, "HELLO \xC7" + std::string(13, ' '),
       "XYCDEFGHIJKLMNOPQRST"},
      {"the selector alone", 443, {3}, "  CDEFGHIJKLMNOPQRST", "XYCDEFGHIJKLMNOPQRST"},
  };
  for (const TStep& Step : Steps) {
    Written.clear();
    const TTransactionInfo& Info = Exchange([&] { Client.WriteMultipleRegisters(Step.Start, Step.Values); });
    EXPECT_EQ(Info.ReplyStatus, rsSuccess) << Step.Name;
    ASSERT_EQ(Written.size(), 1u) << Step.Name;
    EXPECT_EQ(Written[0], (std::pair<Word, Word>(Step.Start, static_cast<Word>(Step.Values.size())))) << Step.Name;
    EXPECT_EQ(Text(Device->Line(1)), Step.Line1) << Step.Name;
    EXPECT_EQ(Text(Device->Line(2)), Step.Line2) << Step.Name;
  }

  // The registers read back as written.
  EXPECT_EQ(Exchange([&] { Client.ReadHoldingRegisters(443, 11); }).ReplyStatus, rsSuccess);
  EXPECT_EQ(ReadBack, LineRegisters(3, "  CDEFGHIJKLMNOPQRST"));
}

TEST_F(DeviceDisplayTest, RegistersOutsideTheDisplayAreRefused) {
  for (const Word Start : {Word(442), Word(453), Word(454)}) {
    Written.clear();
    const TTransactionInfo& Info = Exchange([&] { Client.WriteMultipleRegisters(Start, {4, 0x4142}); });
    EXPECT_EQ(Info.ReplyStatus, rsExceptionReply) << Start;
    EXPECT_EQ(Info.ExceptionKind, ekIllegalDataAddress) << Start;
    EXPECT_TRUE(Written.empty()) << Start;
  }
  EXPECT_EQ(Text(Device->Line(2)), std::string(20, ' '));
}

// What a scanner asks a device, and the combined register writes, which latch the display too.
TEST_F(DeviceDisplayTest, TellsWhoItIsAndTakesCombinedWrites) {
  TDeviceObjects Objects;
  Client.SetOnDeviceIdentificationRead([&](TModbusClient&, const TTransactionInfo& Info, TDeviceIdAccess, Byte, Byte,
                                           const TDeviceObjects& Read) {
    Outcomes.push_back(Info);
    Objects = Read;
  });
  TServerIdentificationData Report;
  Client.SetOnServerIdentificationReport(
      [&](TModbusClient&, const TTransactionInfo& Info, int, const TServerIdentificationData& Data) {
        Outcomes.push_back(Info);
        Report = Data;
      });
  Client.SetOnSingleRegisterMaskWrite(
      [&](TModbusClient&, const TTransactionInfo& Info, Word, Word, Word) { Outcomes.push_back(Info); });
  Client.SetOnMultipleRegistersReadWrite([&](TModbusClient&, const TTransactionInfo& Info, Word, Word,
                                             const TRegValues& Read, Word, Word, const TRegValues&) {
    Outcomes.push_back(Info);
    ReadBack = Read;
  });
  Client.SetOnDiagnostics([&](TModbusClient&, const TTransactionInfo& Info, TDiagnosticAction, Word) { Outcomes.push_back(Info); });
  Client.SetOnExceptionStatusRead([&](TModbusClient&, const TTransactionInfo& Info, const TExceptionStatusValues&) {
    Outcomes.push_back(Info);
  });

  EXPECT_EQ(Exchange([&] { Client.ReadDeviceIdentification(diRegular); }).ReplyStatus, rsSuccess);
  EXPECT_EQ(Objects, (TDeviceObjects{{DeviceObjects::VendorName, "Quorvel"},
                                     {DeviceObjects::ProductCode, "dorvane-device"},
                                     {DeviceObjects::MajorMinorRevision, QUORVEL_VERSION_STRING},
                                     {DeviceObjects::ProductName, "Dorvane simulated field display"}}));
  EXPECT_EQ(Exchange([&] { Client.ReportServerIdentification(); }).ReplyStatus, rsSuccess);
  const std::string Name = std::string("Quorvel dorvane-device ") + QUORVEL_VERSION_STRING;
  TServerIdentificationData Expected{1, 0xFF};
  Expected.insert(Expected.end(), Name.begin(), Name.end());
  EXPECT_EQ(Report, Expected) << "its address, run indicator on, its name";

  // Line 2's text through a read/write request, then the selector turned from 4 to 3 by a mask.
  Written.clear();
  EXPECT_EQ(Exchange([&] { Client.ReadWriteMultipleRegisters(443, 2, 443, LineRegisters(4, "VIA 23")); }).ReplyStatus,
            rsSuccess);
  EXPECT_EQ(ReadBack, (TRegValues{4, 0x5649})) << "read after the write";
  EXPECT_EQ(Text(Device->Line(2)), "VIA 23" + std::string(14, ' '));
  EXPECT_EQ(Exchange([&] { Client.MaskWriteSingleRegister(443, 0xFFF8, 0x0003); }).ReplyStatus, rsSuccess);
  EXPECT_EQ(Text(Device->Line(1)), "VIA 23" + std::string(14, ' ')) << "the selector now names line 1";
  EXPECT_EQ(Written, (std::vector<std::pair<Word, Word>>{{443, 11}, {443, 1}}));

  EXPECT_EQ(Exchange([&] { Client.Diagnostics(daReturnBusMessageCount); }).ReplyStatus, rsSuccess);
  const TTransactionInfo& Status = Exchange([&] { Client.ReadExceptionStatus(); });
  EXPECT_EQ(Status.ReplyStatus, rsExceptionReply) << "a function the device does not provide";
  EXPECT_EQ(Status.ExceptionCode, 1);
}

TEST(DeviceDisplayBox, FramesTheTwoLinesForATerminal) {
  TDisplayText Line1, Line2;
  Line1.fill(' ');
  Line2.fill(' ');
  const std::string First = "A\xC7\x80\x07\x81\xAD\xFF";
  std::copy(First.begin(), First.end(), Line1.begin());
  Line2[19] = 'z';
  const std::string Rule = "────────────────────";
  EXPECT_EQ(Dorvane::DisplayBox(Line1, Line2), "┌" + Rule + "┐\n"
                                               "│AÇ€▯▯-ÿ" + std::string(13, ' ') + "│\n"
                                               "│                   z│\n"
                                               "└" + Rule + "┘\n");
}

TEST(DeviceOptions, DefaultsAreTheUtilitysStartUpSettings) {
  const Dorvane::TDeviceOptions Options = Dorvane::ParseDeviceOptions({});
  TModbusConnection Connection;
  Dorvane::ApplyLineSettings(Options, Connection);
  EXPECT_TRUE(Options.Port.empty());
  EXPECT_EQ(Connection.ConnectionMode(), cmServer);
  EXPECT_EQ(Dorvane::DescribeLineSettings(Options), "RTU, 19200 bit/s, 8N1");
  EXPECT_EQ(Options.Address, 1);
  EXPECT_EQ(std::tuple(Connection.TransmissionMode(), Connection.BaudRate(), Connection.DataBits(), Connection.Parity(),
                       Connection.StopBits()),
            std::tuple(tmRTU, br19200, db8, psNone, sb1));
}

TEST(DeviceOptions, CommandLineChoosesFramingAndLineSettings) {
  const Dorvane::TDeviceOptions Options = Dorvane::ParseDeviceOptions(
      {"--ascii", "--baud=9600", "--parity", "even", "--data-bits", "7", "--stop-bits=2", "--port", "/dev/ttyUSB1",
       "--address=247"});
  TModbusConnection Connection;
  Dorvane::ApplyLineSettings(Options, Connection);
  EXPECT_EQ(Options.Port, "/dev/ttyUSB1");
  EXPECT_EQ(Options.Address, 247);
  EXPECT_EQ(Connection.TransmissionMode(), tmASCII);
  EXPECT_EQ(Connection.SilentInterval(), 1000u);
  EXPECT_EQ(Connection.BaudRate(), br9600);
  EXPECT_EQ(Connection.Parity(), psEven);
  EXPECT_EQ(Connection.DataBits(), db7);
  EXPECT_EQ(Connection.StopBits(), sb2);
  EXPECT_EQ(Dorvane::DescribeLineSettings(Options), "ASCII, 9600 bit/s, 7E2");

  TModbusConnection Custom;
  Dorvane::ApplyLineSettings(Dorvane::ParseDeviceOptions({"--baud", "500000"}), Custom);
  EXPECT_EQ(Custom.BaudRate(), brCustom);
  EXPECT_EQ(Custom.CustomBaudRate(), 500000u);
  EXPECT_FALSE(Custom.LengthAwareFraming()) << "the silence rule unless asked";

  TModbusConnection Sized;
  const auto SizedOptions = Dorvane::ParseDeviceOptions({"--gap", "0"});
  Dorvane::ApplyLineSettings(SizedOptions, Sized);
  EXPECT_TRUE(Sized.LengthAwareFraming()) << "a gap asks for length-aware framing";
  EXPECT_EQ(Sized.InterFrameGap(), 0u);
  EXPECT_EQ(Dorvane::DescribeLineSettings(SizedOptions), "RTU, 19200 bit/s, 8N1, length-aware");
  EXPECT_EQ(Dorvane::DescribeLineSettings(Dorvane::ParseDeviceOptions({"--tcp", "127.0.0.1:1502", "--ascii"})),
            "ASCII over TCP, 19200 bit/s, 8N1");
  TModbusConnection ModbusTcp;
  Dorvane::ApplyLineSettings(Dorvane::ParseDeviceOptions({"--modbus-tcp", "127.0.0.1:1502"}), ModbusTcp);
  EXPECT_EQ(ModbusTcp.TransmissionMode(), tmModbusTCP);

  const std::vector<std::vector<std::string>> Refused = {
      {"--baud"}, {"--baud", "0"}, {"--baud", "fast"}, {"--parity", "mark"}, {"--data-bits", "6"},
      {"--stop-bits", "3"}, {"--ascii=1"}, {"--port="}, {"--verbose"}, {"/dev/ttyS0"}, {"--gap", "-1"},
      {"--length-aware=yes"}, {"--address", "0"}, {"--address", "248"}, {"--address", "1x"},
      {"--tcp", "localhost"}, {"--tcp", "127.0.0.1:502", "--port", "/dev/ttyS0"}, {"--modbus-tcp", "127.0.0.1:502", "--ascii"}};
  for (const auto& Args : Refused) {
    EXPECT_THROW(Dorvane::ParseDeviceOptions(Args), Dorvane::EUsageError) << Args[0];
  }
}

#ifdef DORVANE_DEVICE_PROGRAM

// The device, by default, with its standard output read as it comes.
class TDeviceProcess : public Testing::TProgramProcess {
 public:
  explicit TDeviceProcess(std::vector<std::string> Args = {DORVANE_DEVICE_PROGRAM}) : TProgramProcess(std::move(Args)) {}
};

// The port that a program's output names after "Port: ", or Otherwise.
std::string PortIn(const std::string& Output, const std::string& Otherwise = {}) {
  const auto Start = Output.find("Port: ");
  if (Start == std::string::npos) return Otherwise;
  return Output.substr(Start + 6, Output.find('\n', Start) - Start - 6);
}

// The outcome of one write of Values at Start, through a connection of its own to Port; none when
// no event came within 10 s.
std::optional<TReplyStatus> WriteRegisters(const std::string& Port, Word Start, const TRegValues& Values,
                                           bool LengthAware, Cardinal MaxRetries, Byte Address = 1) {
  TModbusConnection Connection;
  Connection.SetPort(Port);
  Connection.SetParity(psNone);
  Connection.SetLengthAwareFraming(LengthAware);
  Connection.SetMaxRetries(MaxRetries);
  TModbusClient Client;
  Client.SetConnection(&Connection);
  Client.SetServerAddress(Address);
  std::optional<TReplyStatus> Outcome;
  Client.SetOnMultipleRegistersWrite(
      [&Outcome](TModbusClient&, const TTransactionInfo& Info, Word, Word, const TRegValues&) { Outcome = Info.ReplyStatus; });
  Connection.Open();
  Client.WriteMultipleRegisters(Start, Values);
  MainThread::ProcessMessagesUntil([&] { return Outcome.has_value(); }, 10000);
  return Outcome;
}

TEST(DeviceProgram, ShowsWhatTheUtilitySendsAndStopsCleanlyOnASignal) {
  for (const int Signal : {SIGINT, SIGTERM}) {
    TDeviceProcess Device;
    ASSERT_TRUE(Device.WaitForOutput("Ctrl-C stops it.\n", 5000ms)) << Device.Output;
    const std::string Port = PortIn(Device.Output);
    ASSERT_FALSE(Port.empty()) << Device.Output;
    EXPECT_EQ(WriteRegisters(Port, 443, LineRegisters(4, "Ol\xE1, mundo"), false, 5), rsSuccess);
    EXPECT_TRUE(Device.WaitForOutput("│Olá, mundo          │\n", 5000ms)) << Device.Output;

    EXPECT_EQ(Device.Stop(Signal, 5000ms), 0) << Signal;
    Device.WaitForOutput("Stopped.\n", 1000ms);
    EXPECT_NE(Device.Output.find("Stopped.\n"), std::string::npos) << Device.Output;
  }
}

TEST(DeviceProgram, AnswersAtTheAddressItIsGiven) {
  TDeviceProcess Device({DORVANE_DEVICE_PROGRAM, "--address", "9"});
  ASSERT_TRUE(Device.WaitForOutput("Ctrl-C stops it.\n", 5000ms)) << Device.Output;
  EXPECT_NE(Device.Output.find(": server address 9, "), std::string::npos) << Device.Output;
  const std::string Port = PortIn(Device.Output);
  EXPECT_EQ(WriteRegisters(Port, 443, LineRegisters(3, "nove"), false, 5, 9), rsSuccess);
  EXPECT_TRUE(Device.WaitForOutput("│nove                │\n", 5000ms)) << Device.Output;
  EXPECT_EQ(WriteRegisters(Port, 443, LineRegisters(3, "um"), false, 1, 1), rsNoReply);
  EXPECT_EQ(Device.Stop(SIGINT, 5000ms), 0);
}

TEST(DeviceProgram, ServesItsFramesOverTcpAsADeviceServerDoesAndModbusTcp) {
  for (const TTransmissionMode Mode : {tmRTU, tmASCII, tmModbusTCP}) {
    const std::string Address = "127.0.0.1:" + std::to_string(Testing::FreeTcpPort());
    std::vector<std::string> Args = {DORVANE_DEVICE_PROGRAM, Mode == tmModbusTCP ? "--modbus-tcp" : "--tcp", Address};
    if (Mode == tmASCII) Args.push_back("--ascii");
    TDeviceProcess Device(Args);
    ASSERT_TRUE(Device.WaitForOutput("Ctrl-C stops it.\n", 5000ms)) << Device.Output;
    const char* Described[] = {"RTU over TCP", "ASCII over TCP", "Modbus TCP"};
    EXPECT_NE(Device.Output.find(Described[Mode]), std::string::npos) << Device.Output;
    TModbusConnection Connection;
    Connection.SetPort("tcp://" + Address);
    Connection.SetTransmissionMode(Mode);
    TModbusClient Client;
    Client.SetConnection(&Connection);
    std::optional<TReplyStatus> Outcome;
    Client.SetOnMultipleRegistersWrite(
        [&Outcome](TModbusClient&, const TTransactionInfo& Info, Word, Word, const TRegValues&) { Outcome = Info.ReplyStatus; });
    Connection.Open();
    Client.WriteMultipleRegisters(443, LineRegisters(4, "Via TCP"));
    MainThread::ProcessMessagesUntil([&] { return Outcome.has_value(); }, 10000);
    EXPECT_EQ(Outcome, rsSuccess) << Described[Mode];
    EXPECT_TRUE(Device.WaitForOutput("│Via TCP             │\n", 5000ms)) << Device.Output;
    Connection.Close();
    EXPECT_EQ(Device.Stop(SIGINT, 5000ms), 0);
  }
}

#ifdef QUORVEL_GATEWAY_PROGRAM
TEST(GatewayProgram, ReportsItsStatisticsOnSigusr1AndAtTheEnd) {
  Testing::TVirtualSerialLine Line(19200);  // no station answers on the other side
  const std::string Listen = "127.0.0.1:" + std::to_string(Testing::FreeTcpPort());
  TDeviceProcess Gateway({QUORVEL_GATEWAY_PROGRAM, "--listen", Listen, "--timeout", "100", Line.PortA()});
  ASSERT_TRUE(Gateway.WaitForOutput("Ctrl-C stops it.\n", 5000ms)) << Gateway.Output;
  EXPECT_NE(Gateway.Output.find("Gateway on " + Listen), std::string::npos) << Gateway.Output;
  TModbusConnection Connection;
  Connection.SetTransmissionMode(tmModbusTCP);
  Connection.SetPort("tcp://" + Listen);
  TModbusClient Client;
  Client.SetConnection(&Connection);
  std::optional<TTransactionInfo> Outcome;
  Client.SetOnHoldingRegistersRead(
      [&Outcome](TModbusClient&, const TTransactionInfo& Info, Word, Word, const TRegValues&) { Outcome = Info; });
  Connection.Open();
  Client.ReadHoldingRegisters(0, 1);
  MainThread::ProcessMessagesUntil([&] { return Outcome.has_value(); }, 5000);
  ASSERT_TRUE(Outcome.has_value());
  EXPECT_EQ(Outcome->ReplyStatus, rsExceptionReply);
  EXPECT_EQ(Outcome->ExceptionCode, 0x0B) << "the station did not answer";
  Gateway.Send(SIGUSR1);
  EXPECT_TRUE(Gateway.WaitForOutput("Requests: 1 (0 answered, 0 broadcasts, 1 without reply", 5000ms)) << Gateway.Output;
  Connection.Close();
  EXPECT_EQ(Gateway.Stop(SIGINT, 5000ms), 0);
  Gateway.WaitForOutput("Stopped.\n", 1000ms);
  const auto Last = Gateway.Output.rfind("Requests: 1 ");
  ASSERT_NE(Last, std::string::npos) << Gateway.Output;
  EXPECT_NE(Gateway.Output.find("Stopped.\n", Last), std::string::npos) << "the statistics once more at the end";
}
#endif

// The programs that serve a line announce themselves only once they listen: a request sent the
// moment the announcement appears is answered at its first attempt. The client sends at once
// (length-aware framing starts without waiting for a quiet line), over an unpaced line.
TEST(DeviceProgram, AnnouncesItselfOnlyOnceItListens) {
  Testing::TVirtualSerialLine Line(0);
  struct TProgram {
    std::vector<std::string> Args;
    std::string Announcement;  // the port follows "Port: " in the output, or is side A of Line
    Word Register;
  };
  std::vector<TProgram> Programs = {{{DORVANE_DEVICE_PROGRAM}, "Ctrl-C stops it.\n", 443}};
#ifdef QUORVEL_SERVER_PROGRAM
  Programs.push_back({{QUORVEL_SERVER_PROGRAM, "--parity", "none", Line.PortB()}, "Ctrl-C stops it.\n", 10});
#endif
  for (const auto& Program : Programs) {
    for (int Run = 0; Run < 5; ++Run) {
      TDeviceProcess Process(Program.Args);
      ASSERT_TRUE(Process.WaitForOutput(Program.Announcement, 5000ms)) << Process.Output;
      EXPECT_EQ(WriteRegisters(PortIn(Process.Output, Line.PortA()), Program.Register, TRegValues{3, 0x4142}, true, 1),
                rsSuccess)
          << Program.Args[0] << ", run " << Run;
      EXPECT_EQ(Process.Stop(SIGINT, 5000ms), 0);
    }
  }
}

#endif

}  // namespace

// ---- The requester against the device ----

namespace {

using namespace QuorvelTest;

// The requester writes a display line and reads it back in every style; the main thread's own
// blocking call serves the device's dispatch meanwhile. Registers the device does not have give
// exception 2, and a server that is not there no reply.
TEST_F(DeviceDisplayTest, ARequesterWritesAndReadsTheDisplayInEveryStyle) {
  TRequester Display(UtilityConnection, 1);
  for (const TStyle Style : AllStyles) {
    const std::string Case = StyleName(Style);
    std::string Shown = "RQ " + Case;
    TStyleEnd<TRegValues> Written;
    SendInStyle(Style, Display.WriteDisplayLine(Line1Selector, Shown), Written);
    ASSERT_EQ(Written.Count, 1) << Case;
    EXPECT_TRUE(Written.Reply.Succeeded()) << Case;
    EXPECT_EQ(Written.Reply.Values, PackDisplayLine(Line1Selector, Shown)) << Case;
    Shown.resize(20, ' ');
    EXPECT_EQ(Text(Device->Line(1)), Shown) << Case;

    TStyleEnd<TRegValues> Read;
    SendInStyle(Style, Display.ReadHoldingRegisters(443, 11), Read);
    ASSERT_EQ(Read.Count, 1) << Case;
    EXPECT_EQ(Read.Reply.Values, PackDisplayLine(Line1Selector, Shown)) << Case;

    TStyleEnd<TRegValues> Refused;
    SendInStyle(Style, Display.ReadHoldingRegisters(0, 1), Refused);
    ASSERT_EQ(Refused.Count, 1) << Case;
    EXPECT_EQ(Refused.Reply.Info.ReplyStatus, rsExceptionReply) << Case;
    EXPECT_EQ(Refused.Reply.Info.ExceptionCode, 2) << Case;
    if (!EndsOnAThreadOfItsOwn(Style)) {
      EXPECT_EQ(Refused.OnMain.load(), EndsOnMain(Style)) << Case;
    }
  }
  UtilityConnection.SetReceiveTimeout(300);
  TRequester Absent(UtilityConnection, 2);
  for (const TStyle Style : AllStyles) {
    TStyleEnd<TRegValues> Unanswered;
    SendInStyle(Style, Absent.ReadHoldingRegisters(443, 1), Unanswered);
    ASSERT_EQ(Unanswered.Count, 1) << StyleName(Style);
    EXPECT_EQ(Unanswered.Reply.Info.ReplyStatus, rsNoReply) << StyleName(Style);
    EXPECT_FALSE(Unanswered.Reply.Cancelled) << StyleName(Style);
  }
  // The client beside the requester saw none of its requests.
  EXPECT_TRUE(Outcomes.empty());
}

// A cancelled queued write never reaches the device; closing and the requester's end leave no
// request without its one end.
TEST_F(DeviceDisplayTest, PendingRequestsEndOnceWhenCancelledClosedOrAbandoned) {
  const auto PumpUntilReady = [](auto& Future) {
    for (int Waited = 0; Waited < 10000 && Future.wait_for(0s) != std::future_status::ready; Waited += 5)
      MainThread::ProcessMessagesUntil([] { return false; }, 5);
    return Future.wait_for(0s) == std::future_status::ready;
  };
  auto Display = std::make_unique<TRequester>(UtilityConnection, 1);
  auto First = Display->WriteDisplayLine(Line1Selector, "FIRST");
  auto Second = Display->WriteDisplayLine(Line2Selector, "SECOND");
  auto Third = Display->WriteDisplayLine(Line1Selector, "THIRD");
  auto FirstEnd = First.Future();
  auto SecondEnd = Second.Future();
  auto ThirdEnd = Third.Future();
  EXPECT_TRUE(Second.Cancel());
  ASSERT_TRUE(PumpUntilReady(ThirdEnd));
  EXPECT_TRUE(FirstEnd.get().Succeeded());
  EXPECT_TRUE(SecondEnd.get().Cancelled);
  EXPECT_TRUE(ThirdEnd.get().Succeeded());
  EXPECT_EQ(Written.size(), 2u);
  EXPECT_EQ(Text(Device->Line(1)), "THIRD" + std::string(15, ' '));
  EXPECT_EQ(Text(Device->Line(2)), std::string(20, ' ')) << "the cancelled line never went out";

  for (const bool Closing : {true, false}) {
    std::vector<std::future<TReply<TRegValues>>> Ends;
    for (int I = 0; I < 5; ++I) Ends.push_back(Display->WriteDisplayLine(Line2Selector, "PENDING").Future());
    if (Closing)
      UtilityConnection.Close();
    else
      Display.reset();
    int Cancelled = 0;
    for (auto& End : Ends) {
      ASSERT_TRUE(PumpUntilReady(End)) << (Closing ? "closing" : "requester destroyed");
      Cancelled += End.get().Cancelled ? 1 : 0;
    }
    // At most the one the worker was carrying ran through its attempts.
    EXPECT_GE(Cancelled, 4) << (Closing ? "closing" : "requester destroyed");
    if (Closing) UtilityConnection.Open();
  }
}

}  // namespace
