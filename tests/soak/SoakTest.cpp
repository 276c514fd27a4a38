// A soak under line noise: our client against our server and against a peer (libmodbus for RTU,
// pymodbus for ASCII), through a virtual line paced at 115200 bit/s that drops, flips, inserts,
// duplicates and delays bytes at seeded rates, in both transmission modes and both framings; and
// the same on one RS-485 bus with our server, libmodbus and pymodbus side by side (BusSoak).
//
// Per request: exactly one event, with the number the request returned and never a number seen
// before; a success carries the values the server holds (reads of a region nobody writes; writes
// checked in our server's own table); everything else is a failure outcome. Per run: no message
// for the application's error display, no request left without its event, memory flat after the
// warm-up, and statistics that agree with the events and with the faults injected.
//
// QUORVEL_SOAK_REQUESTS sets the requests per case (default 300, a short run for CI), and
// QUORVEL_SOAK_FAULTS the kind of fault (drop, flip, garbage, duplicate or delay; default: all
// of them at once). A long run:
//   QUORVEL_SOAK_REQUESTS=20000 ctest --preset default -L soak --output-on-failure -V
// Each case prints one summary line (outcomes, stale replies taken, memory, CPU).

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include <Quorvel/Application.h>
#include <Quorvel/Checksums.h>
#include <Quorvel/Client.h>
#include <Quorvel/Connection.h>
#include <Quorvel/MemoryServer.h>
#include <Quorvel/Messages.h>
#include "InteropData.h"
#include "Peers.h"
#include "VirtualBus.h"
#include "VirtualSerialLine.h"

using namespace Quorvel;
using namespace QuorvelInterop;
using Testing::TLineFaults;
using Testing::TLineSide;

namespace {

enum class TServerKind { Ours, Peer };

struct TSoakCase {
  TTransmissionMode Mode;
  bool Sized;
  TServerKind Server;
};

std::string CaseName(const ::testing::TestParamInfo<TSoakCase>& Info) {
  const TSoakCase& C = Info.param;
  return std::string(C.Mode == tmRTU ? "RTU" : "ASCII") + (C.Sized ? "_LengthAware" : "_Silence") +
         (C.Server == TServerKind::Ours ? "_OurServer" : C.Mode == tmRTU ? "_Libmodbus" : "_Pymodbus");
}

// The faults of the run: all kinds, or the one QUORVEL_SOAK_FAULTS names at a rate that makes
// about as many faults as all kinds together.
TLineFaults FaultsOfTheRun(std::chrono::milliseconds DelayBy) {
  const TLineFaults All{.Drop = 0.003, .Flip = 0.003, .Garbage = 0.003, .Duplicate = 0.003, .Delay = 0.02,
                        .DelayBy = DelayBy};
  const char* Kind = std::getenv("QUORVEL_SOAK_FAULTS");
  const std::string Only = Kind != nullptr ? Kind : "";
  if (Only.empty() || Only == "all") return All;
  TLineFaults One{.DelayBy = DelayBy};
  if (Only == "drop") One.Drop = 0.012;
  else if (Only == "flip") One.Flip = 0.012;
  else if (Only == "garbage") One.Garbage = 0.012;
  else if (Only == "duplicate") One.Duplicate = 0.012;
  else if (Only == "delay") One.Delay = 0.08;
  else throw std::invalid_argument("QUORVEL_SOAK_FAULTS: drop, flip, garbage, duplicate, delay or all");
  return One;
}

int RequestsPerCase() {
  const char* Text = std::getenv("QUORVEL_SOAK_REQUESTS");
  const int Count = Text != nullptr ? std::atoi(Text) : 0;
  return Count > 0 ? Count : 300;
}

long ResidentKiB() {
  std::ifstream Status("/proc/self/statm");
  long Pages = 0, Resident = 0;
  Status >> Pages >> Resident;
  return Resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

double CpuSeconds() {
  rusage Usage{};
  ::getrusage(RUSAGE_SELF, &Usage);
  return static_cast<double>(Usage.ru_utime.tv_sec + Usage.ru_stime.tv_sec) +
         static_cast<double>(Usage.ru_utime.tv_usec + Usage.ru_stime.tv_usec) / 1e6;
}

// Reads cover a region that nobody writes, each count always at the same start, so that a late
// reply to an earlier read of the same count carries the same values; reads of other counts
// follow one another, so that a late reply meets a request it contradicts. Writes go elsewhere.
constexpr Word ReadStart(Word Count) { return static_cast<Word>(10 * Count); }
constexpr Word WriteRegion = 1000;

// The requests of a soak run and what became of each, checked as its event comes.
class TSoakRequests {
 public:
  // By transaction number less the first one's: the numbers are consecutive. Reserved in full
  // before the run, so that the run's memory is the library's alone.
  struct TOutcome {
    int Events = 0;
    TTransactionInfo Info{};
    bool Write = false;
    bool Wrong = false;  // a success whose values are not the server's
  };
  std::vector<TOutcome> Outcomes;
  Cardinal FirstId = 0;
  int Strays = 0;  // events for numbers that no request of the run returned

  // Room for Count outcomes, the first of the request that the connection numbers next.
  void Expect(std::size_t Count, TModbusConnection& Connection) {
    Outcomes.assign(Count, {});
    FirstId = Connection.NextTransactionID() + 1;
  }

  bool Answered(Cardinal Id) const {
    const Cardinal Index = Id - FirstId;
    return Index < Outcomes.size() && Outcomes[Index].Events > 0;
  }

  // Records the outcomes of Client's requests; a successful read must carry the values every server
  // holds, a successful write to Ours must be in its table (on this thread).
  void Follow(TModbusClient& Client, TModbusMemoryServer* Ours) {
    Client.SetOnHoldingRegistersRead([this](TModbusClient&, const TTransactionInfo& Info, Word Start, Word Count,
                                            const TRegValues& Values) {
      bool Wrong = false;
      for (Word I = 0; Info.ReplyStatus == rsSuccess && I < Count; ++I)
        Wrong = Wrong || I >= Values.size() || Values[I] != HoldingRegisterAt(Start + I);
      Record(Info, Wrong);
    });
    Client.SetOnMultipleRegistersWrite([this, Ours](TModbusClient&, const TTransactionInfo& Info, Word Start, Word Count,
                                                    const TRegValues&) {
      bool Wrong = false;
      if (Info.ReplyStatus == rsSuccess && Ours != nullptr)
        for (Word I = 0; I < Count; ++I) Wrong = Wrong || Ours->HoldingRegisters()[Start + I] != Written[I];
      Record(Info, Wrong);
    });
  }

  // Client's request J: a write of 2..5 registers, or a read of 1..7.
  Cardinal Send(TModbusClient& Client, int J) {
    if (J % 3 == 0) {
      const auto Count = static_cast<Word>(2 + J % 4);
      Written.resize(Count);
      for (Word I = 0; I < Count; ++I) Written[I] = static_cast<Word>(J * 8 + I);
      return Client.WriteMultipleRegisters(WriteRegion, Written);
    }
    const auto Count = static_cast<Word>(1 + J % 7);
    return Client.ReadHoldingRegisters(ReadStart(Count), Count);
  }

 private:
  void Record(const TTransactionInfo& Info, bool Wrong) {
    const Cardinal Index = Info.TransactionID - FirstId;
    if (Index >= Outcomes.size()) {
      ++Strays;
      return;
    }
    TOutcome& O = Outcomes[Index];
    ++O.Events;
    O.Info = Info;
    O.Wrong = Wrong;
  }

  TRegValues Written;  // what the write under way writes
};

class Soak : public ::testing::TestWithParam<TSoakCase>, protected TSoakRequests {
 protected:
  // The peers set 19200 bit/s on their ports, which a pseudo-terminal ignores: the line sets the pace.
  Testing::TVirtualSerialLine Line{115200};
  TModbusConnection ServerConnection;
  TModbusMemoryServer Server;
  std::unique_ptr<TLibmodbusServer> Libmodbus;
  std::unique_ptr<TPymodbusPeer> Pymodbus;
  TModbusConnection Connection;
  TModbusClient Client;
  std::vector<std::string> Shown;

  void SetUp() override {
    const TSoakCase& C = GetParam();
    Application::SetExceptionDisplay([this](const std::string& Message) { Shown.push_back(Message); });
    if (C.Server == TServerKind::Ours) {
      Server.HoldingRegisters() = {0, TableOf(HoldingRegisterAt, 0, TableSize)};
      Server.SetServerAddress(ServerAddress);
      Server.SetConnection(&ServerConnection);
      Setup(ServerConnection, Line.PortB());
      ServerConnection.SetConnectionMode(cmServer);
      ServerConnection.Open();
    } else if (C.Mode == tmRTU) {
      Libmodbus = std::make_unique<TLibmodbusServer>(Line.PortB());
    } else {
      Pymodbus = std::make_unique<TPymodbusPeer>(TPymodbusPeer::Server, Line.PortB(), TFraming::ASCII);
    }
    Setup(Connection, Line.PortA());
    Connection.SetMaxRetries(3);
    Connection.SetReceiveTimeout(ReceiveTimeout);
    Client.SetConnection(&Connection);
    Follow(Client, C.Server == TServerKind::Ours ? &Server : nullptr);
    Connection.Open();
  }

  void TearDown() override {
    Connection.Close();
    ServerConnection.Close();
    Application::SetExceptionDisplay(nullptr);
  }

  static constexpr Cardinal ReceiveTimeout = 100;

  void Setup(TModbusConnection& C, const std::string& Port) const {
    C.SetPort(Port);
    C.SetParity(psNone);
    C.SetTransmissionMode(GetParam().Mode);
    C.SetLengthAwareFraming(GetParam().Sized);
  }

  // Requests until one is answered: our server listens only after a quiet line in RTU.
  void WarmUp() {
    Expect(20, Connection);
    for (int Attempt = 0; Attempt < 20; ++Attempt) {
      const Cardinal Id = Send(Client, 1);
      ASSERT_TRUE(MainThread::ProcessMessagesUntil([&] { return Answered(Id); }, 5000));
      if (Outcomes[Id - FirstId].Info.ReplyStatus == rsSuccess) return;
    }
    FAIL() << "the server never answered";
  }
};

TEST_P(Soak, EveryRequestEndsInExactlyOneTrueEvent) {
  const TSoakCase& C = GetParam();
  WarmUp();
  const int Requests = RequestsPerCase();
  Expect(static_cast<std::size_t>(Requests), Connection);
  Connection.ResetStatistics();

  // The faults: on every reply, and on the requests to our own server (pymodbus's ASCII server
  // stops listening after a bad LRC, and libmodbus's cannot resynchronise; neither is under test).
  // A delayed reply arrives after its request gave up: a stale reply for the next one.
  TLineFaults Faults = FaultsOfTheRun(std::chrono::milliseconds(ReceiveTimeout + 20));
  // ASCII's check is an 8-bit sum: a frame hit twice passes it about once in 256, whatever the
  // receiver does, and would be a success with wrong values that no implementation can prevent.
  // One fault a frame, each of which the LRC or the frame's shape always shows, keeps the soak
  // about the engine. RTU's CRC-16 catches any two.
  if (C.Mode == tmASCII) Faults.MaxPerFrame = 1;
  Line.SetFaults(TLineSide::B, Faults, 20261208);
  if (C.Server == TServerKind::Ours) {
    TLineFaults OnRequests = Faults;
    OnRequests.Delay = 0;
    Line.SetFaults(TLineSide::A, OnRequests, 1208);
  }

  const double CpuBefore = CpuSeconds();
  long Resident = 0;
  for (int K = 0; K < Requests; ++K) {
    if (K == Requests / 10) Resident = ResidentKiB();
    const Cardinal Id = Send(Client, K);
    // Each request returns the next number; one given twice would land on a used outcome.
    ASSERT_EQ(Id, FirstId + static_cast<Cardinal>(K)) << "transaction numbers run in order, each once";
    Outcomes[static_cast<std::size_t>(K)].Write = K % 3 == 0;
    // No hang: every request ends within its three attempts and their delays.
    ASSERT_TRUE(MainThread::ProcessMessagesUntil([&] { return Answered(Id); }, 10000))
        << "request " << K << " got no event";
  }
  MainThread::ProcessMessagesUntil([] { return false; }, 2 * ReceiveTimeout);
  const long Growth = ResidentKiB() - Resident;
  const double Cpu = CpuSeconds() - CpuBefore;

  std::map<TReplyStatus, int> ByStatus;
  int Wrong = 0, ReadsRefused = 0;
  std::uint64_t Attempts = 0;
  for (std::size_t K = 0; K < Outcomes.size(); ++K) {
    const TOutcome& O = Outcomes[K];
    EXPECT_EQ(O.Events, 1) << "request " << K;
    ++ByStatus[O.Info.ReplyStatus];
    Wrong += O.Wrong ? 1 : 0;
    if (!O.Write && O.Info.ReplyStatus == rsInvalidReply) ++ReadsRefused;
    Attempts += O.Info.Attempts;
  }
  EXPECT_EQ(Strays, 0) << "events for numbers that no request returned";
  EXPECT_EQ(Wrong, 0) << "successes whose values are not the server's";
  EXPECT_GT(ByStatus[rsSuccess], Requests / 2) << "the line is noisy, not dead";
  EXPECT_TRUE(Shown.empty()) << Shown.size() << " messages, the first: " << Shown.front();
  EXPECT_LT(Growth, 1024) << "KiB of resident memory gained after the warm-up";

  // The statistics agree with the events and the faults.
  const TLineStatistics S = Connection.Statistics();
  const auto Injected = Line.FaultCounts(TLineSide::B);
  EXPECT_EQ(S.FramesSent, Attempts) << "one frame per attempt";
  EXPECT_EQ(S.Retries, Attempts - Outcomes.size());
  EXPECT_GE(S.Timeouts + S.CheckFailures + S.MalformedFrames, ByStatus[rsNoReply]) << "each failed attempt has a cause";
  if (Injected.Total() > 0) {
    EXPECT_GT(S.CheckFailures + S.MalformedFrames + S.Timeouts, 0u);
  }

  std::printf(
      "soak %s: %d requests: %d success, %d no reply, %d invalid reply (reads refused: %d: stale replies taken as "
      "the answer and refused by the client's checks), %d exception; %llu attempts; faults on replies %zu "
      "(delays %zu); check failures %llu, malformed %llu, time-outs %llu; RSS +%ld KiB after warm-up; CPU %.2f s\n",
      CaseName({C, 0}).c_str(), Requests, ByStatus[rsSuccess], ByStatus[rsNoReply], ByStatus[rsInvalidReply],
      ReadsRefused, ByStatus[rsExceptionReply], static_cast<unsigned long long>(Attempts), Injected.Total(),
      Injected.Delays, static_cast<unsigned long long>(S.CheckFailures),
      static_cast<unsigned long long>(S.MalformedFrames), static_cast<unsigned long long>(S.Timeouts), Growth, Cpu);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, Soak,
    ::testing::Values(TSoakCase{tmRTU, false, TServerKind::Ours}, TSoakCase{tmRTU, true, TServerKind::Ours},
                      TSoakCase{tmASCII, false, TServerKind::Ours}, TSoakCase{tmASCII, true, TServerKind::Ours},
                      TSoakCase{tmRTU, false, TServerKind::Peer}, TSoakCase{tmRTU, true, TServerKind::Peer},
                      TSoakCase{tmASCII, false, TServerKind::Peer}, TSoakCase{tmASCII, true, TServerKind::Peer}),
    CaseName);

// ---- Several servers on one bus ----

// Our server at address 1, a libmodbus server at 2 and a pymodbus server at 3 (RTU, as libmodbus
// speaks no ASCII) on one RS-485 bus at 115200 bit/s, with the soak's faults on every station's
// frames; our client polls the three in turn, in both framings (the parameter: length-aware). Each
// station hears every other: the requests to the others, and their replies.
//
// Per request, as above: one true event. Of our server, from its own frame events: every request to
// address 1 that it read whole is answered, and no frame to another address is (neither a request
// to another server nor another server's reply, which it must not take for a request).
class BusSoak : public ::testing::TestWithParam<bool>, protected TSoakRequests {
 protected:
  static constexpr Byte Addresses[] = {1, 2, 3};  // our server, libmodbus, pymodbus
  static constexpr std::size_t ClientStation = 0;
  // Every server here answers within a few milliseconds: a short time-out keeps cheap the requests
  // that the peers miss.
  static constexpr Cardinal ReceiveTimeout = 50;

  Testing::TVirtualBus Bus{4, 115200};
  TModbusConnection ServerConnection;
  TModbusMemoryServer Server;
  std::unique_ptr<TLibmodbusServer> Libmodbus;
  std::unique_ptr<TPymodbusPeer> Pymodbus;
  TModbusConnection Connection;
  TModbusClient Clients[3];
  std::vector<std::string> Shown;

  // Our server's frames as they pass: what the last frame it read asks of the next it sends.
  enum class TNext { Nothing, Reply, NoReply, NoSend };
  TNext Next = TNext::Nothing;
  struct {
    int RequestsRead = 0;   // whole, checked frames to address 1
    int Answered = 0;
    int Unanswered = 0;     // requests to address 1 read whole and not answered
    int OthersAnswered = 0; // frames to another address answered
    int SentUnasked = 0;    // a send after a frame that failed its check
    int Broken = 0;         // frames that failed their check: faults, or frames run together
  } Ours;

  void SetUp() override {
    const bool Sized = GetParam();
    Application::SetExceptionDisplay([this](const std::string& Message) { Shown.push_back(Message); });
    Server.HoldingRegisters() = {0, TableOf(HoldingRegisterAt, 0, TableSize)};
    Server.SetServerAddress(Addresses[0]);
    Server.SetConnection(&ServerConnection);
    for (TModbusConnection* C : {&ServerConnection, &Connection}) {
      C->SetParity(psNone);
      C->SetLengthAwareFraming(Sized);
    }
    ServerConnection.SetPort(Bus.Port(1));
    ServerConnection.SetConnectionMode(cmServer);
    ServerConnection.SetOnFrameReceive([this](TModbusConnection&, const TFrameData& Data) { ServerRead(Data); });
    ServerConnection.SetOnFrameSend([this](TModbusConnection&, const TFrameData& Data) { ServerSent(Data); });
    ServerConnection.Open();
    Libmodbus = std::make_unique<TLibmodbusServer>(Bus.Port(2), Addresses[1], true);
    Pymodbus = std::make_unique<TPymodbusPeer>(TPymodbusPeer::Server, Bus.Port(3), TFraming::RTU, Addresses[2]);

    Connection.SetPort(Bus.Port(ClientStation));
    Connection.SetMaxRetries(3);
    Connection.SetReceiveTimeout(ReceiveTimeout);
    for (std::size_t I = 0; I < std::size(Clients); ++I) {
      TModbusClient& Client = Clients[I];
      Client.SetServerAddress(Addresses[I]);
      Client.SetConnection(&Connection);
      Follow(Client, I == 0 ? &Server : nullptr);
    }
    Connection.Open();
  }

  void TearDown() override {
    Connection.Close();
    ServerConnection.Close();
    Application::SetExceptionDisplay(nullptr);
  }

  void ServerRead(const TFrameData& Frame) {
    if (Frame.empty()) return;  // closing
    if (Next == TNext::Reply) ++Ours.Unanswered;
    const bool Whole = Frame.size() >= 4 && CRC16({Frame.data(), Frame.size() - 2}) ==
                                                (Frame[Frame.size() - 2] | (Frame[Frame.size() - 1] << 8));
    if (!Whole) {
      ++Ours.Broken;
      Next = TNext::NoSend;
    } else if (Frame[0] == Addresses[0]) {
      ++Ours.RequestsRead;
      Next = TNext::Reply;
    } else {
      Next = TNext::NoReply;
    }
  }

  void ServerSent(const TFrameData& Frame) {
    switch (Next) {
      case TNext::Reply:
        ++(Frame.empty() || Frame[0] != Addresses[0] ? Ours.Unanswered : Ours.Answered);
        break;
      case TNext::NoReply:
        if (!Frame.empty()) ++Ours.OthersAnswered;
        break;
      case TNext::NoSend:
      case TNext::Nothing:
        ++Ours.SentUnasked;
        break;
    }
    Next = TNext::Nothing;
  }

  // Request K goes to server K % 3, as that server's request K / 3.
  Cardinal Send(int K) { return TSoakRequests::Send(Clients[K % 3], K / 3); }

  // Until each server has answered once: our server listens only after a quiet line in RTU.
  void WarmUp() {
    for (int Server = 0; Server < 3; ++Server) {
      bool Success = false;
      for (int Attempt = 0; Attempt < 20 && !Success; ++Attempt) {
        Expect(1, Connection);
        const Cardinal Id = Send(3 + Server);  // a read
        ASSERT_TRUE(MainThread::ProcessMessagesUntil([&] { return Answered(Id); }, 5000));
        Success = Outcomes[0].Info.ReplyStatus == rsSuccess;
      }
      ASSERT_TRUE(Success) << "server " << int(Addresses[Server]) << " never answered";
    }
  }
};

TEST_P(BusSoak, EveryServerAnswersItsOwnAndOurServerNoOtherStations) {
  WarmUp();
  const int Requests = 3 * RequestsPerCase();
  Expect(static_cast<std::size_t>(Requests), Connection);
  Connection.ResetStatistics();
  Ours = {};

  // The faults on every station's frames; the delay only on the servers' replies (a stale reply
  // for the next request, which now may go to another server).
  const TLineFaults Faults = FaultsOfTheRun(std::chrono::milliseconds(ReceiveTimeout + 20));
  TLineFaults OnRequests = Faults;
  OnRequests.Delay = 0;
  Bus.SetFaults(ClientStation, OnRequests, 1208);
  for (std::size_t Station = 1; Station < Bus.Stations(); ++Station)
    Bus.SetFaults(Station, Faults, 20261208 + static_cast<unsigned>(Station));

  const double CpuBefore = CpuSeconds();
  long Resident = 0;
  for (int K = 0; K < Requests; ++K) {
    if (K == Requests / 10) Resident = ResidentKiB();
    const Cardinal Id = Send(K);
    ASSERT_EQ(Id, FirstId + static_cast<Cardinal>(K)) << "transaction numbers run in order, each once";
    ASSERT_TRUE(MainThread::ProcessMessagesUntil([&] { return Answered(Id); }, 10000))
        << "request " << K << " got no event";
  }
  MainThread::ProcessMessagesUntil([] { return false; }, 2 * ReceiveTimeout);
  const long Growth = ResidentKiB() - Resident;
  const double Cpu = CpuSeconds() - CpuBefore;

  std::map<TReplyStatus, int> ByStatus[3];
  int Wrong = 0;
  std::uint64_t Attempts = 0;
  for (std::size_t K = 0; K < Outcomes.size(); ++K) {
    const TOutcome& O = Outcomes[K];
    EXPECT_EQ(O.Events, 1) << "request " << K;
    EXPECT_EQ(O.Info.ServerAddress, Addresses[K % 3]) << "request " << K;
    ++ByStatus[K % 3][O.Info.ReplyStatus];
    Wrong += O.Wrong ? 1 : 0;
    Attempts += O.Info.Attempts;
  }
  EXPECT_EQ(Strays, 0) << "events for numbers that no request returned";
  EXPECT_EQ(Wrong, 0) << "successes whose values are not the server's";
  // The peers size frames by function code and lose their footing on the other stations' frames
  // (DESIGN.md): they answer far less here than on a line of their own, but they do answer. How
  // often depends on the machine's timing: in eight runs on one machine libmodbus's server answered
  // 25 to 42 of its 300, so the bound is one in twenty.
  EXPECT_GT(ByStatus[0][rsSuccess], Requests / 3 / 2) << "our server";
  for (int Server = 1; Server < 3; ++Server)
    EXPECT_GT(ByStatus[Server][rsSuccess], Requests / 3 / 20) << "server " << int(Addresses[Server]);
  EXPECT_TRUE(Shown.empty()) << Shown.size() << " messages, the first: " << Shown.front();
  EXPECT_LT(Growth, 1024) << "KiB of resident memory gained after the warm-up";

  EXPECT_GT(Ours.RequestsRead, 0);
  EXPECT_EQ(Ours.Unanswered, 0) << "requests to our server that it read whole and did not answer";
  EXPECT_EQ(Ours.Answered, Ours.RequestsRead);
  EXPECT_EQ(Ours.OthersAnswered, 0) << "frames to other stations that our server answered";
  EXPECT_EQ(Ours.SentUnasked, 0) << "sends after a frame that failed its check";
  const TLineStatistics S = Connection.Statistics();
  EXPECT_EQ(S.FramesSent, Attempts) << "one frame per attempt";
  EXPECT_EQ(S.Retries, Attempts - Outcomes.size());

  const auto Summary = [&ByStatus](int Server) {
    auto& B = ByStatus[Server];
    return std::to_string(B[rsSuccess]) + "/" + std::to_string(B[rsNoReply]) + "/" + std::to_string(B[rsInvalidReply]) +
           "/" + std::to_string(B[rsExceptionReply]);
  };
  std::printf(
      "soak bus %s: %d requests; success/no reply/invalid/exception: ours %s, libmodbus %s, pymodbus %s; %llu "
      "attempts; our server read %d requests to it whole and answered %d, answered %d frames to others, read %d "
      "frames that failed their check; faults %zu on requests, %zu on replies; RSS +%ld KiB after warm-up; CPU %.2f s\n",
      GetParam() ? "length-aware" : "silence", Requests, Summary(0).c_str(), Summary(1).c_str(), Summary(2).c_str(),
      static_cast<unsigned long long>(Attempts), Ours.RequestsRead, Ours.Answered, Ours.OthersAnswered, Ours.Broken,
      Bus.FaultCounts(ClientStation).Total(),
      Bus.FaultCounts(1).Total() + Bus.FaultCounts(2).Total() + Bus.FaultCounts(3).Total(), Growth, Cpu);
}

INSTANTIATE_TEST_SUITE_P(RTU, BusSoak, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& Info) {
                           return std::string(Info.param ? "LengthAware" : "Silence");
                         });

}  // namespace
